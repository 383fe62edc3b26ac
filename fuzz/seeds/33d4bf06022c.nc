if r1==1 gotof end1
