DEF REAL C[2, 1]
R1 = C[2, 1] + 1
