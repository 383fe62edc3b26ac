Warning [line 7]: address 'K1' - CIP intermediate point (I1= J1= K1=) - is not interpreted and is treated as a user variable; the motion it programs will be wrong
