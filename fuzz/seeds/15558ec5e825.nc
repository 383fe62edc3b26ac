
Parse error in integer division on line 2
