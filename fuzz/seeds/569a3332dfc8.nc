No block with the jump label or block number 'E1' was found
searching forward (alarm 14080 on a real control). Did you mean E2?
Note: jump destinations inside IF/LOOP/FOR/WHILE/REPEAT bodies cannot be
reached from outside those bodies.
