M30 X10 ;done
X20
