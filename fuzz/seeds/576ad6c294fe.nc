X1
  Y2 ;c
