
Parse error in block on line 