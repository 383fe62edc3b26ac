Warning: Variable array element 'Q[3,1]' is undefined, initializing to 0.0
