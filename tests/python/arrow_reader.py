"""A small reader of the Arrow C data interface, for checking exported batches.

It understands exactly what kelvane exports: a struct array whose children are
Float64 ("g"), Int64 ("l"), Utf8 ("u") and List<Utf8> ("+l") arrays.
"""

import ctypes
import struct


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

FLAG_NULLABLE = 2

_get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_get_pointer.restype = ctypes.c_void_p
_get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]


def capsule_structs(batch, *args, **kwargs):
    """The (schema, array) structures behind the capsules of one export, and
    the capsules themselves (which own the structures)."""
    schema_capsule, array_capsule = batch.__arrow_c_array__(*args, **kwargs)
    schema = ArrowSchema.from_address(_get_pointer(schema_capsule, b"arrow_schema"))
    array = ArrowArray.from_address(_get_pointer(array_capsule, b"arrow_array"))
    return schema, array, (schema_capsule, array_capsule)


def _bitmap(ptr, length, offset):
    if not ptr:
        return [True] * length
    nbytes = (offset + length + 7) // 8
    raw = ctypes.string_at(ptr, nbytes)
    return [bool(raw[(offset + i) // 8] >> ((offset + i) % 8) & 1) for i in range(length)]


def _values(ptr, fmt, length, offset):
    size = struct.calcsize(fmt)
    raw = ctypes.string_at(ptr, size * (offset + length))
    return list(struct.unpack(f"<{offset + length}{fmt}", raw))[offset:]


def _utf8(array, length=None, offset=None):
    n = array.length if length is None else length
    off = array.offset if offset is None else offset
    offsets = _values(array.buffers[1], "i", n + 1, off)
    data = ctypes.string_at(array.buffers[2], offsets[-1]) if offsets[-1] else b""
    return [data[offsets[i]:offsets[i + 1]].decode("utf-8") for i in range(n)], offsets


def read_column(schema, array):
    """The Python values of one child array (None for nulls)."""
    fmt = schema.format.decode()
    n, off = array.length, array.offset
    valid = _bitmap(array.buffers[0], n, off)
    if fmt == "g":
        values = _values(array.buffers[1], "d", n, off)
    elif fmt == "l":
        values = _values(array.buffers[1], "q", n, off)
    elif fmt == "u":
        values, _ = _utf8(array)
    elif fmt == "+l":
        offsets = _values(array.buffers[1], "i", n + 1, off)
        child = array.children[0].contents
        items, _ = _utf8(child, offsets[-1], child.offset)
        values = [items[offsets[i]:offsets[i + 1]] for i in range(n)]
    else:
        raise AssertionError(f"unexpected format {fmt!r}")
    nulls = sum(1 for v in valid if not v)
    assert array.null_count in (nulls, -1), (array.null_count, nulls)
    return [v if ok else None for v, ok in zip(values, valid)]


def describe_schema(schema):
    """[(name, format, nullable, [child descriptions])] of a struct schema."""
    out = []
    for i in range(schema.n_children):
        child = schema.children[i].contents
        sub = [
            (c.name.decode(), c.format.decode(), bool(c.flags & FLAG_NULLABLE))
            for c in (child.children[j].contents for j in range(child.n_children))
        ]
        out.append((child.name.decode(), child.format.decode(), bool(child.flags & FLAG_NULLABLE), sub))
    return out


def read_batch(batch):
    """The batch as {column: [values]} in field order, after checking the
    struct array; the capsules are dropped afterwards (which releases)."""
    schema, array, _capsules = capsule_structs(batch)
    assert schema.format == b"+s"
    assert array.n_children == schema.n_children
    assert array.null_count == 0
    columns = {}
    for i in range(schema.n_children):
        child_schema = schema.children[i].contents
        child_array = array.children[i].contents
        assert child_array.length == array.length
        columns[child_schema.name.decode()] = read_column(child_schema, child_array)
    return columns


def read_batches(batches):
    """Concatenated columns of several batches (later columns padded with None)."""
    merged = {}
    total = 0
    for b in batches:
        cols = read_batch(b)
        n = len(next(iter(cols.values()))) if cols else 0
        for name, values in cols.items():
            merged.setdefault(name, [None] * total).extend(values)
        total += n
        for name, values in merged.items():
            if len(values) < total:
                values.extend([None] * (total - len(values)))
    return merged
