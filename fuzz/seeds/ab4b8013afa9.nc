X1 ;ab
