X="A"
