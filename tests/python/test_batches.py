"""Batches through the Arrow C data interface, read back with a ctypes reader."""

import ctypes
import gc

import pytest

from arrow_reader import (
    ArrowArray,
    ArrowSchema,
    capsule_structs,
    describe_schema,
    read_batch,
    read_batches,
    read_column,
)
from kelvane import NcError, nc_to_batches, nc_to_rows

PROGRAM = (
    "N10 G1 X1 Y2 F100 ; start\n"
    "N20 X2 M3 M8\n"
    'N30 Y3 T="drill"\n'
    "R1=4\n"
    "G0 Z=R1 S1200 M5\n"
)


def test_schema_and_values():
    [batch] = list(nc_to_batches(PROGRAM, include_line_numbers=True))
    schema, _array, _caps = capsule_structs(batch)
    assert describe_schema(schema) == [
        ("line_no", "l", True, []),
        ("N", "l", True, []),
        ("gg01_motion", "u", True, []),
        ("X", "g", True, []),
        ("Y", "g", True, []),
        ("Z", "g", True, []),
        ("F", "g", True, []),
        ("S", "g", True, []),
        ("T", "u", True, []),
        ("M", "+l", True, [("item", "u", False)]),
        ("comment", "u", True, []),
    ]
    cols = read_batch(batch)
    assert cols["line_no"] == [1, 2, 3, 5]
    assert cols["N"] == [10, 20, 30, 30]
    assert cols["gg01_motion"] == ["G1", "G1", "G1", "G0"]
    assert cols["X"] == [1.0, 2.0, 2.0, 2.0]
    assert cols["Z"] == [None, None, None, 4.0]
    assert cols["S"] == [None, None, None, 1200.0]
    assert cols["T"] == [None, None, "drill", None]
    # a missing M is a null list; the list offsets skip it
    assert cols["M"] == [None, ["M3", "M8"], None, ["M5"]]
    assert cols["comment"] == ["; start", None, None, None]


def test_forward_fill_off_leaves_nulls():
    [batch] = list(nc_to_batches(PROGRAM, disable_forward_fill=True))
    cols = read_batch(batch)
    assert "line_no" not in cols
    assert cols["X"] == [1.0, 2.0, None, None]
    assert cols["N"] == [10, 20, 30, None]


def test_batch_sizes_and_fill_across_batches():
    program = "G1 X0 Y0\n" + "".join(f"X{i}\n" for i in range(1, 1200))
    batches = list(nc_to_batches(program, batch_size=500))
    sizes = [len(read_batch(b)["X"]) for b in batches]
    assert sizes == [500, 500, 200]
    last = read_batch(batches[-1])
    assert set(last["gg01_motion"]) == {"G1"}
    assert set(last["Y"]) == {0.0}
    # the largest batch size reserves nothing up front
    assert len(list(nc_to_batches(program, batch_size=2**64 - 1))) == 1
    # columns of earlier batches stay, in the same place
    program = "G1 X1 Y1 M3\nX2\nX3\n"
    batches = list(nc_to_batches(program, batch_size=1, disable_forward_fill=True))
    names = [list(read_batch(b)) for b in batches]
    assert names == [["gg01_motion", "X", "Y", "M"]] * 3
    assert read_batches(batches)["M"] == [["M3"], None, None]


def test_batches_match_rows():
    program = "G1 X1 Y2\nG2 X3 Y4 I1 J1\nX5 M3\nG0 Z9\n"
    cols = read_batches(nc_to_batches(program, batch_size=2))
    rows = [row for _, row in nc_to_rows(program)]
    for i, row in enumerate(rows):
        for name, value in row.items():
            assert cols[name][i] == value


def test_no_rows_with_cells_gives_no_batch_but_a_state():
    it = nc_to_batches("R1=5\nR2=R1\n", include_variables=True)
    assert list(it) == []
    assert it.state["symbol_table"]["R1"] == 5.0
    # the events point at the row that never came
    assert it.variable_names == ["R1", "R2"]
    assert read_batch(it.variable_events)["row_idx"] == [0, 0]


def test_requested_schema_is_ignored():
    [batch] = list(nc_to_batches("G1 X1\n"))
    a_schema, a_array, _a = capsule_structs(batch)
    b_schema, b_array, _b = capsule_structs(batch, object())
    c_schema, c_array, _c = capsule_structs(batch, requested_schema=None)
    for schema, array in [(b_schema, b_array), (c_schema, c_array)]:
        assert describe_schema(schema) == describe_schema(a_schema)
        assert read_column(schema.children[1].contents, array.children[1].contents) == [1.0]
    with pytest.raises(TypeError):
        batch.__arrow_c_array__(None, None)


def test_release_and_ownership():
    it = nc_to_batches("G1 X1 M3\nX2\n")
    [batch] = list(it)
    schema_capsule, array_capsule = batch.__arrow_c_array__()
    schema, array, _ = capsule_structs(batch)  # a second, independent export
    del schema, array, _

    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype = ctypes.c_void_p
    get.argtypes = [ctypes.py_object, ctypes.c_char_p]
    schema = ArrowSchema.from_address(get(schema_capsule, b"arrow_schema"))
    array = ArrowArray.from_address(get(array_capsule, b"arrow_array"))

    # a consumer moves the M child out, then releases the parent: the child
    # stays readable and is released on its own
    m_index = 2
    child = ArrowArray()
    ctypes.memmove(ctypes.addressof(child), ctypes.addressof(array.children[m_index].contents),
                   ctypes.sizeof(ArrowArray))
    ctypes.memset(ctypes.addressof(array.children[m_index].contents) + ArrowArray.release.offset,
                  0, ctypes.sizeof(ctypes.c_void_p))
    child_schema = schema.children[m_index].contents

    # the buffers outlive the batch object and the iterator
    del batch, it
    gc.collect()
    array.release(ctypes.byref(array))
    assert not array.release
    assert read_column(child_schema, child) == [["M3"], None]
    child.release(ctypes.byref(child))
    assert not child.release

    # the moved-out parent: dropping the capsule must not release it again
    del array_capsule
    # the schema was not taken: the capsule destructor releases it
    del schema_capsule
    gc.collect()


def test_variable_events():
    program = "R1=1\nG1 X1\nR2=2 R1=3\nX2\nX3 R2=5\n"
    it = nc_to_batches(program, batch_size=1, include_variables=True)
    assert it.variable_names is None and it.variable_events is None
    batches = list(it)
    assert len(batches) == 3
    assert it.variable_names == ["R1", "R2"]
    events = it.variable_events
    schema, _array, _caps = capsule_structs(events)
    assert describe_schema(schema) == [
        ("row_idx", "l", True, []), ("name_id", "l", True, []), ("value", "g", True, [])
    ]
    assert read_batch(events) == {
        "row_idx": [0, 1, 1, 2],
        "name_id": [0, 1, 0, 1],
        "value": [1.0, 2.0, 3.0, 5.0],
    }
    assert it.variable_events is not events


def test_variable_events_absent_without_the_flag_or_after_an_error():
    it = nc_to_batches("R1=1\nG1 X1\n")
    list(it)
    assert it.variable_names is None and it.variable_events is None and it.state is not None

    it = nc_to_batches("R1=1\nG1 X1\nX=R9\n", include_variables=True)
    with pytest.raises(NcError):
        list(it)
    assert it.variable_names is None and it.variable_events is None and it.state is None


def test_error_after_complete_batches():
    program = "G1 X1\nX2\nX3\nX=R9\n"
    it = nc_to_batches(program, batch_size=2)
    first = next(it)
    assert read_batch(first)["X"] == [1.0, 2.0]
    # the partial batch holding X3 is lost with the error
    with pytest.raises(NcError) as info:
        next(it)
    assert info.value.line == 4
    with pytest.raises(StopIteration):
        next(it)
