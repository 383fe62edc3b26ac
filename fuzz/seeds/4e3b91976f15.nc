G1 X1
Y=(
