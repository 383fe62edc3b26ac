n10 x5
g1  x1	y2
   
		G2 X1 Y1 I0.5 J0 ;arc
m3  m8
  N20   X1  ;  spaced  
