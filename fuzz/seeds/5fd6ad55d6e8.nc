X1
X2
X10 )
X4
