"""Reading exported batches with pyarrow, the judge of what the export hands out.

Every batch goes through `pyarrow.record_batch` and a full validation. The
ctypes view of the C structures is kept only for what pyarrow cannot show:
which structures a consumer has moved out, and consumers that take only some
children of a batch.
"""

import ctypes

import pyarrow as pa


def to_arrow(batch):
    """The batch imported by pyarrow through its PyCapsules, fully validated."""
    rb = pa.record_batch(batch)
    rb.validate(full=True)
    return rb


def read_batch(batch):
    """The batch as {column: [values]} in field order (None for nulls)."""
    return to_arrow(batch).to_pydict()


def read_batches(batches):
    """The batches concatenated as {column: [values]}; a column that appears
    only in later batches is null in the earlier ones."""
    tables = [pa.Table.from_batches([to_arrow(b)]) for b in batches]
    if not tables:
        return {}
    return pa.concat_tables(tables, promote_options="default").to_pydict()


class ArrowSchema(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowSchema))),
    ("dictionary", ctypes.POINTER(ArrowSchema)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowSchema))),
    ("private_data", ctypes.c_void_p),
]


class ArrowArray(ctypes.Structure):
    pass


ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.POINTER(ctypes.POINTER(ArrowArray))),
    ("dictionary", ctypes.POINTER(ArrowArray)),
    ("release", ctypes.CFUNCTYPE(None, ctypes.POINTER(ArrowArray))),
    ("private_data", ctypes.c_void_p),
]

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def capsule_structs(capsules):
    """The (schema, array) C structures behind a pair of capsules (the
    capsules own them and must be kept alive while they are used)."""
    schema_capsule, array_capsule = capsules
    schema = ArrowSchema.from_address(_get_pointer(schema_capsule, b"arrow_schema"))
    array = ArrowArray.from_address(_get_pointer(array_capsule, b"arrow_array"))
    return schema, array


def move_child(schema, array, index):
    """Moves child `index` out of an exported struct, as a consumer that takes
    only that child does: the caller owns the returned copies and the parent's
    entries are marked released."""
    child_schema, child_array = ArrowSchema(), ArrowArray()
    for src, dst, kind in ((schema.children[index].contents, child_schema, ArrowSchema),
                           (array.children[index].contents, child_array, ArrowArray)):
        ctypes.memmove(ctypes.addressof(dst), ctypes.addressof(src), ctypes.sizeof(kind))
        ctypes.memset(ctypes.addressof(src) + kind.release.offset, 0, ctypes.sizeof(ctypes.c_void_p))
    return child_schema, child_array
