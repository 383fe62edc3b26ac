X1
X1 "a"
