 segments to meet the tolerance; clamped to 100000 (deviation will exceed the requested tolerance)
