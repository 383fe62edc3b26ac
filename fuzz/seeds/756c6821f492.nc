The batches concatenated as {column: [values]}; a column that appears
    only in later batches is null in the earlier ones.