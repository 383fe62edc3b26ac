G1 X1 M3 ; a
X2
