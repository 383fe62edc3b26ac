X1
X10 rot
