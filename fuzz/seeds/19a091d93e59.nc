 ;long line
