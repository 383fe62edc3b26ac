ROT Z="A"
