X1
  