"""Rows as dicts: values and types, forward fill, variables, state and errors."""

import pytest

from kelvane import NcError, nc_to_rows


def test_cell_types():
    rows = list(nc_to_rows("N0010 G1 X1.5 Y2 F100 M3 M8 T=\"drill\" ; go\nN20 G0 X2\n", forward_fill=False))
    line, row = rows[0]
    assert line == 1
    assert row["N"] == 10 and type(row["N"]) is int
    assert row["gg01_motion"] == "G1"
    assert row["X"] == 1.5 and type(row["X"]) is float
    assert row["Y"] == 2.0 and type(row["Y"]) is float
    assert row["F"] == 100.0
    assert row["M"] == ["M3", "M8"]
    assert row["T"] == "drill"
    assert isinstance(row["comment"], str)
    assert rows[1] == (2, {"N": 20, "gg01_motion": "G0", "X": 2.0})


def test_block_number_beyond_64_bits_saturates():
    [(_, row)] = list(nc_to_rows("N99999999999999999999 X1\n"))
    assert row["N"] == 2**63 - 1


def test_single_m_word_is_a_list():
    [(_, row)] = list(nc_to_rows("M30\n"))
    assert row["M"] == ["M30"]


def test_forward_fill_carries_modal_and_axis_columns():
    program = "G1 X10 Y20 F100\nX15\nG2 X20 Y25 I5 J0 M3\nX30 ; done\n"
    filled = [row for _, row in nc_to_rows(program)]
    plain = [row for _, row in nc_to_rows(program, forward_fill=False)]

    assert plain[1] == {"X": 15.0}
    assert filled[1] == {"gg01_motion": "G1", "X": 15.0, "Y": 20.0, "F": 100.0}
    # the columns that are not carried come after the carried ones, only where set
    assert list(filled[2])[-3:] == ["I", "J", "M"]
    assert filled[2]["gg01_motion"] == "G2"
    assert "I" not in filled[3] and "M" not in filled[3]
    assert filled[3]["comment"] == "; done"
    assert filled[3]["Y"] == 25.0 and filled[3]["F"] == 100.0
    assert list(filled[3]) == ["gg01_motion", "X", "Y", "F", "comment"]
    # every dict is built fresh: changing one, even before the next is made,
    # changes no other
    filled[1]["X"] = -1.0
    assert [row for _, row in nc_to_rows(program)][1]["X"] == 15.0
    seen = []
    for _, row in nc_to_rows(program):
        seen.append(dict(row))
        row["Y"] = -7.0
        row["new"] = 1
    assert seen == filled[:1] + [dict(filled[1], X=15.0)] + filled[2:]


def test_include_variables_yields_three_tuples():
    program = "R1=5\nG1 X=R1 R2=R1*2\nR1=7 R1=8\n"
    items = list(nc_to_rows(program, include_variables=True))
    assert items[0] == (1, {}, {"R1": 5.0})
    assert items[1][0] == 2 and items[1][1]["X"] == 5.0 and items[1][2] == {"R2": 10.0}
    # a name assigned twice keeps its last value
    assert items[2] == (3, {}, {"R1": 8.0})
    # without the flag, blocks that only assign yield nothing
    assert [line for line, _ in nc_to_rows(program)] == [2]


def test_state_after_the_end():
    it = nc_to_rows("R1=3\nG1 X=R1 Y4\n")
    assert it.state is None
    list(it)
    state = it.state
    assert list(state) == ["axes", "symbol_table", "translation", "rotation", "string_table"]
    assert state["axes"] == {"X": 3.0, "Y": 4.0}
    assert state["symbol_table"] == {"TRUE": 1.0, "FALSE": 0.0, "R1": 3.0}
    assert state["rotation"] == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]
    assert state["translation"]["X"] == 0.0
    assert state["string_table"] == {}
    again = it.state
    assert again == state and again is not state
    # exhausted: further next() ends at once
    assert list(it) == []


def test_state_carries_the_frame_and_strings():
    it = nc_to_rows('DEF STRING[10] NAME\nNAME="pocket"\nTRANS X10\nG1 X1\n')
    rows = list(it)
    assert rows[-1][1]["X"] == 11.0
    assert it.state["translation"]["X"] == 10.0
    assert it.state["string_table"] == {"NAME": "pocket"}


def test_error_is_raised_after_the_rows_before_it():
    it = nc_to_rows("G1 X1\nX2\nX=R99\nX4\n")
    assert next(it)[0] == 1
    assert next(it)[0] == 2
    with pytest.raises(NcError) as info:
        next(it)
    assert info.value.line == 3
    with pytest.raises(StopIteration):
        next(it)
    assert it.state is None


def test_initial_state_error_yields_no_rows_and_is_located_in_its_own_lines():
    it = nc_to_rows("G1 X1\nX2\n", initial_state="R1=1\n\nR2=R9\n")
    with pytest.raises(NcError) as info:
        next(it)
    assert info.value.line == 3
    assert info.value.line_text == "R2=R9"


def test_initial_state_variables_and_positions_carry_over():
    rows = list(nc_to_rows("G1 X=R1\n", initial_state="R1=2.5\nG0 Y7\n"))
    assert rows == [(1, {"gg01_motion": "G1", "X": 2.5})]
