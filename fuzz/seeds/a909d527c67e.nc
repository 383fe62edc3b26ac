six M words
To fix this, ensure that each block contains at most one M command.
