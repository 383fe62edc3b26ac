while r1<3
