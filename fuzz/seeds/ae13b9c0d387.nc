X1 ;Ümlaut comment
X2 ;	 tab
