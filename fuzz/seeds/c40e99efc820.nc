stack bytes at depth 1 and %zu: frame-stack %zu, %zu; recursive %zu, %zu
