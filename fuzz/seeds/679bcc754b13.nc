No mapping found for axis 'X' in array indexing operation.
To fix this, provide an axis_index_map that includes 'X'.