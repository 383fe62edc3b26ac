
'LATER' is defined, but not where this jump searches: GOTOB only searches toward the beginning of the program; use GOTOF or GOTO for a destination that lies after this block.