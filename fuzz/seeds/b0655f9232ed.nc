
Line: 