N1 X1
N2 Y2 ;c

R1=5
X=R1*2
X2 ;c