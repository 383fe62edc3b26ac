Warning [line 2]: G33 interpolation is not flattened; its blocks pass through unchanged
Warning [line 5]: CIP interpolation is not flattened; its blocks pass through unchanged
Warning [line 7]: cannot flatten block (arc start position is unknown); emitting it unchanged
