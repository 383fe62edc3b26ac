X1 Y
