X1
S="ä" R1=A+
X2