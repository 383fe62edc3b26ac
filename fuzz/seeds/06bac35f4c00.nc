X1
X2 Ü
