
Line: DEF REAL A[2147483647]

Details: Invalid index 2147483647 for axis '2147483647' in array indexing operation.
Array indices must be non-negative and within the valid range.