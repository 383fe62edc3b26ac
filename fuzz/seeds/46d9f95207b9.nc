Details: bad
