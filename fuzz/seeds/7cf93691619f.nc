Warning [line 1]: $AA_IM[Z] read before axis Z was positioned; returning 0.0
