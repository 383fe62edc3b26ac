Warning: the frame rotation couples axis Y to a positioned axis before any block positioned it; assuming it is at machine position 0 (a real control would use the actual axis position).
