MCALL is not supported by this interpreter.
Try X.
