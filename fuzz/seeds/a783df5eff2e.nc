
Did you mean 'N100'?