
Invalid axis mapping on line 1
