X1
Y2 =
