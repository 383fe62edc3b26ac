X1
Y1 )
