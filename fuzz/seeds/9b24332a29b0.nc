X1 ;c
