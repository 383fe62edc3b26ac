Warning [line 7]: start position of axis Z is unknown; it is held at 5.5 over the flattened arc
