Warning [line 3]: address 'AR' - arc opening angle (G2/G3 ... AR=) - is not interpreted and is treated as a user variable; the motion it programs will be wrong
