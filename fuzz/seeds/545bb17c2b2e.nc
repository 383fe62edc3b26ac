
Parse error in assignment on line 1
