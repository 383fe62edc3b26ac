
Did you mean 'LOOP1'?