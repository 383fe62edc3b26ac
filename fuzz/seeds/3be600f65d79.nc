Reading exported batches with pyarrow, the judge of what the export hands out.

Every batch goes through `pyarrow.record_batch` and a full validation. The
ctypes view of the C structures is kept only for what pyarrow cannot show:
which structures a consumer has moved out, and consumers that take only some
children of a batch.
