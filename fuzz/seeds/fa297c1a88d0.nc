X1
GOTO nowhere
