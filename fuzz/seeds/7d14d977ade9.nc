
Line: R1 = 7 DIV 0

Details: Integer division (DIV) by zero
