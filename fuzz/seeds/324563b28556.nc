Interpret an NC program lazily: returns an iterator of
