The (schema, array) C structures behind a pair of capsules (the
    capsules own them and must be kept alive while they are used).