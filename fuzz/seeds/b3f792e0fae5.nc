N0010 X1

LBL: 
  ; only a comment
G0 G1 Y2
