X1
X1
