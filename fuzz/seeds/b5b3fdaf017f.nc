a
b

c