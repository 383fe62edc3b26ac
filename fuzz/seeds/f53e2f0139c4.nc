Function SIN expects 1 argument(s), but received 2.
