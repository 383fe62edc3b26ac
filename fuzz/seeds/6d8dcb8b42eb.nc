X1
	Y2 ;ä€ Z
Z3