
'N10' is defined, but not where this jump searches: GOTOF only searches toward the end of the program; use GOTOB or GOTO for a destination that lies before this block.