N10 IF R1==1 GOTOB L1 ; comment
