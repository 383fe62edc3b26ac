"""Batches through the Arrow PyCapsule interface, judged by pyarrow and polars."""

import ctypes
import gc
import random

import polars as pl
import pyarrow as pa
import pytest

from arrow_helpers import capsule_structs, move_child, read_batch, read_batches, to_arrow
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
    rb = to_arrow(batch)
    text, item = pa.string(), pa.field("item", pa.string(), nullable=False)
    assert rb.schema == pa.schema([
        ("line_no", pa.int64()), ("N", pa.int64()), ("gg01_motion", text),
        ("X", pa.float64()), ("Y", pa.float64()), ("Z", pa.float64()), ("F", pa.float64()),
        ("S", pa.float64()), ("T", text), ("M", pa.list_(item)), ("comment", text),
    ])
    assert all(field.nullable for field in rb.schema)
    assert rb.schema.metadata is None
    cols = rb.to_pydict()
    assert cols["line_no"] == [1, 2, 3, 5]
    assert cols["N"] == [10, 20, 30, 30]
    assert cols["gg01_motion"] == ["G1", "G1", "G1", "G0"]
    assert cols["X"] == [1.0, 2.0, 2.0, 2.0]
    assert cols["Z"] == [None, None, None, 4.0]
    assert cols["S"] == [None, None, None, 1200.0]
    assert cols["T"] == [None, None, "drill", None]
    # a missing M is a null list, never a list with a null item
    assert cols["M"] == [None, ["M3", "M8"], None, ["M5"]]
    assert rb.column("M").null_count == 2
    assert cols["comment"] == ["; start", None, None, None]


def test_forward_fill_off_leaves_nulls():
    cols = read_batch(next(nc_to_batches(PROGRAM, disable_forward_fill=True)))
    assert "line_no" not in cols
    assert cols["X"] == [1.0, 2.0, None, None]
    assert cols["N"] == [10, 20, 30, None]


def test_batch_sizes_and_fill_across_batches():
    program = "G1 X0 Y0\n" + "".join(f"X{i}\n" for i in range(1, 1200))
    batches = list(nc_to_batches(program, batch_size=500))
    assert [to_arrow(b).num_rows for b in batches] == [500, 500, 200]
    last = read_batch(batches[-1])
    assert set(last["gg01_motion"]) == {"G1"}
    assert set(last["Y"]) == {0.0}
    # the largest batch size reserves nothing up front
    assert len(list(nc_to_batches(program, batch_size=2**64 - 1))) == 1
    # columns of earlier batches stay, in the same place
    program = "G1 X1 Y1 M3\nX2\nX3\n"
    batches = list(nc_to_batches(program, batch_size=1, disable_forward_fill=True))
    assert [to_arrow(b).schema.names for b in batches] == [["gg01_motion", "X", "Y", "M"]] * 3
    assert read_batches(batches)["M"] == [["M3"], None, None]


# Programs whose batches must hold exactly the values of their rows: columns
# that appear late, text and list columns, variables, frames, jumps.
MATCH_PROGRAMS = [
    "G1 X1 Y2\nG2 X3 Y4 I1 J1\nX5 M3\nG0 Z9\n",
    PROGRAM,
    "N5 G0 X0 Y0 Z5\nR1=0\nLBL1: R1=R1+1\nG1 X=R1*2 Y=R1 F=100+R1\nIF R1<7 GOTOB LBL1\n"
    'N90 T="end" M30 ; last\n',
    "DEF REAL DEPTH\nTRANS X10\nG17 G1 X1 Y1\nAROT Z90\nX2\nDEPTH=3 Z=DEPTH\nG4 F2\nG91 X1\nG90\n",
    "G1 X0 Y0 F100\nR1=0\nWHILE R1<5\nR1=R1+1\nX=R1 A=R1/2\nENDWHILE\nFOO  X1\nM30\n",
    # arcs and splines, whose flattened rows the flattener writes itself, then
    # motion codes that must win over the carried ones
    "G1 X0 Y0 F100\nG2 X10 Y0 I5 J0\nG0 X20\nX30\nG3 X20 Y0 CR=5\nG1 X0\n",
    "G0 X0 Y0 Z0\nG17 G2 X0 Y0 I4 J0 Z-2 ; full circle\nG18 G3 X6 Z0 I3 K0\nG0 Z5\n",
    "G1 X0 Y0\nASPLINE X10 Y5\nX20 Y0\nX30 Y10\nG1 X40\nBSPLINE X50 Y20\nX60 Y0\n"
    "CSPLINE X70 Y5\nX80 Y0\nG0 X0 Y0\n",
]


@pytest.mark.parametrize("program", MATCH_PROGRAMS)
@pytest.mark.parametrize("batch_size", [1, 3, 1000])
@pytest.mark.parametrize("forward_fill", [True, False])
@pytest.mark.parametrize("flatten_tolerance", [None, 0.5])
def test_batches_match_rows(program, batch_size, forward_fill, flatten_tolerance):
    it = nc_to_rows(program, forward_fill=forward_fill, include_variables=True,
                    flatten_tolerance=flatten_tolerance)
    items = list(it)
    rows = [(line, row) for line, row, _ in items if row]
    bit = nc_to_batches(program, batch_size=batch_size, disable_forward_fill=not forward_fill,
                        include_line_numbers=True, include_variables=True,
                        flatten_tolerance=flatten_tolerance)
    cols = read_batches(bit)
    assert cols.pop("line_no") == [line for line, _ in rows]
    assert all(len(values) == len(rows) for values in cols.values())
    for i, (_, row) in enumerate(rows):
        batch_row = {name: values[i] for name, values in cols.items() if values[i] is not None}
        assert batch_row == row, f"row {i}"
    assert bit.state == it.state

    # the variable events point at the row (with cells) each change is seen at
    events = read_batch(bit.variable_events)
    expected, seen = [], 0
    for _, row, variables in items:
        expected += [(seen, name, value) for name, value in variables.items()]
        seen += bool(row)
    names = bit.variable_names
    got = [(r, names[n], v) for r, n, v in zip(events["row_idx"], events["name_id"], events["value"])]
    assert sorted(got) == sorted(expected)


def test_polars_reads_a_batch_without_pyarrow():
    batches = list(nc_to_batches(PROGRAM, batch_size=2, include_line_numbers=True))
    frames = [pl.DataFrame(b) for b in batches]
    df = pl.concat(frames, how="diagonal")
    # the last batch holds every column of the run, in canonical order
    assert frames[-1].columns == ["line_no", "N", "gg01_motion", "X", "Y", "Z", "F", "S", "T", "M",
                                  "comment"]
    assert df["line_no"].to_list() == [1, 2, 3, 5]
    assert df["M"].to_list() == [None, ["M3", "M8"], None, ["M5"]]
    assert df.schema["N"] == pl.Int64 and df.schema["M"] == pl.List(pl.String)
    assert frames[0].equals(pl.from_arrow(to_arrow(batches[0])))


def test_no_rows_with_cells_gives_no_batch_but_a_state():
    it = nc_to_batches("R1=5\nR2=R1\n", include_variables=True)
    assert list(it) == []
    assert it.state["symbol_table"]["R1"] == 5.0
    # the events point at the row that never came
    assert it.variable_names == ["R1", "R2"]
    assert read_batch(it.variable_events)["row_idx"] == [0, 0]


def test_requested_schema_is_ignored():
    [batch] = list(nc_to_batches("G1 X1\n"))
    reference = to_arrow(batch)
    for args, kwargs in [((object(),), {}), ((), {"requested_schema": None}), ((None,), {})]:
        capsules = batch.__arrow_c_array__(*args, **kwargs)
        rb = pa.RecordBatch._import_from_c_capsule(*capsules)
        rb.validate(full=True)
        assert rb.equals(reference)
    with pytest.raises(TypeError):
        batch.__arrow_c_array__(None, None)


def test_batches_outlive_their_iterator_and_each_other():
    program = "G1 X0 Y0\n" + "".join(f"X{i} M{i % 7}\n" for i in range(1, 50))
    expected = [read_batch(b) for b in nc_to_batches(program, batch_size=7)]
    it = nc_to_batches(program, batch_size=7)
    batches = list(it)
    imported = [to_arrow(b) for b in batches]
    del it
    gc.collect()
    # drop every other batch object, in random order: the imports of all of
    # them and the batch objects left stay readable
    order = list(range(len(batches)))
    random.Random(5).shuffle(order)
    for i in order[::2]:
        batches[i] = None
    gc.collect()
    assert [rb.to_pydict() for rb in imported] == expected
    del imported
    gc.collect()
    for i, batch in enumerate(batches):
        if batch is not None:
            assert read_batch(batch) == expected[i]


def test_release_under_pyarrows_own_import():
    it = nc_to_batches("G1 X1 M3 ; a\nX2\n")
    [batch] = list(it)
    capsules = batch.__arrow_c_array__()
    schema, array = capsule_structs(capsules)
    assert schema.release and array.release
    rb = pa.RecordBatch._import_from_c_capsule(*capsules)
    # the importer moved both structures out: the capsules must not release them
    assert not schema.release and not array.release
    del capsules, batch, it
    gc.collect()
    rb.validate(full=True)
    assert rb.to_pydict() == {"gg01_motion": ["G1", "G1"], "X": [1.0, 2.0], "M": [["M3"], None],
                              "comment": ["; a", None]}


def test_a_consumer_that_takes_only_some_children():
    it = nc_to_batches("G1 X1 M3 ; a\nX2\n")
    [batch] = list(it)
    capsules = batch.__arrow_c_array__()
    schema, array = capsule_structs(capsules)
    names = [schema.children[i].contents.name.decode() for i in range(schema.n_children)]
    # take the M and comment children, each into pyarrow on its own
    taken = {}
    for name in ("M", "comment"):
        child_schema, child_array = move_child(schema, array, names.index(name))
        taken[name] = pa.Array._import_from_c(ctypes.addressof(child_array),
                                              ctypes.addressof(child_schema))
        assert not child_array.release  # pyarrow owns it now
    # the consumer releases the rest of the parent; the taken children live on
    array.release(ctypes.byref(array))
    assert not array.release
    del capsules, batch, it
    gc.collect()
    for arr in taken.values():
        arr.validate(full=True)
    assert taken["M"].to_pylist() == [["M3"], None]
    assert taken["comment"].to_pylist() == ["; a", None]


def test_variable_events():
    program = "R1=1\nG1 X1\nR2=2 R1=3\nX2\nX3 R2=5\n"
    it = nc_to_batches(program, batch_size=1, include_variables=True)
    assert it.variable_names is None and it.variable_events is None
    batches = list(it)
    assert len(batches) == 3
    assert it.variable_names == ["R1", "R2"]
    events = it.variable_events
    rb = to_arrow(events)
    assert rb.schema == pa.schema([("row_idx", pa.int64()), ("name_id", pa.int64()),
                                   ("value", pa.float64())])
    assert rb.to_pydict() == {
        "row_idx": [0, 1, 1, 2],
        "name_id": [0, 1, 0, 1],
        "value": [1.0, 2.0, 3.0, 5.0],
    }
    assert pl.DataFrame(events)["value"].to_list() == [1.0, 2.0, 3.0, 5.0]
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
