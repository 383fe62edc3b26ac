GOTOS is not supported by this interpreter.

