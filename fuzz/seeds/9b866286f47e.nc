Invalid index 99 for axis 'Y' in array indexing operation.
Array indices must be non-negative and within the valid range.