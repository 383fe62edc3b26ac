Warning [line 2]: address 'RP' - polar radius (G0..G3 AP= RP=) - is not interpreted and is treated as a user variable; the motion it programs will be wrong
