Warning: Variable 'R7' is undefined, initializing to 0.0
