X1
A[1]=SET(1,2)
