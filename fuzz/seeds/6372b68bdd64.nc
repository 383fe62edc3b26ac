
'INSIDE' is defined, but not where this jump searches: a jump cannot enter an IF or loop body from outside.