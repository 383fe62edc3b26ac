"""NcError: its class, message and location attributes by kind."""

import pytest

from kelvane import NcError, nc_to_batches, nc_to_rows
from kelvane import _internal


def raised(program, **kwargs):
    with pytest.raises(NcError) as info:
        list(nc_to_rows(program, **kwargs))
    return info.value


def test_class():
    assert NcError is _internal.NcError
    assert issubclass(NcError, ValueError)
    assert NcError.__module__ == "_internal" and NcError.__name__ == "NcError"
    assert NcError.__doc__.startswith("NC parse/interpret error. Subclasses ValueError")


# (program, kind, line, column is an int, context, line_text)
CASES = [
    ("G1 X1\nX2\nY3\nX=R5\n", "undefined_variable", 4, False, None, "X=R5"),
    ("G1 X1\nY=(1+\n", "parse_context", 2, True, "line parsing", "Y=(1+"),
    ("WHILE 0\nENDWHILE\nY=(1+\n", "parse_context", 3, True, "initial file parsing", "Y=(1+"),
    ("WHILE 1\nX1\nENDWHILE\n", "loop_limit", None, False, None, None),
    ("X1\nGOTOF NOWHERE\n", "jump_target_not_found", 2, False, None, "GOTOF NOWHERE"),
]


@pytest.mark.parametrize("program,kind,line,has_column,context,line_text", CASES)
def test_attributes_by_kind(program, kind, line, has_column, context, line_text):
    err = raised(program, iteration_limit=3)
    assert err.kind == kind
    assert err.line == line
    assert isinstance(err.column, int) if has_column else err.column is None
    assert err.context == context
    assert err.line_text == line_text
    assert err.args == (str(err),)
    if line is not None:
        assert f"on line {line}" in str(err)


def test_message_is_the_full_text():
    err = raised("X=R5\n")
    text = str(err)
    assert text.startswith("\nParse error in assignment on line 1\n")
    assert "Undefined variable 'R5'" in text


def test_caught_as_value_error_in_batch_mode():
    with pytest.raises(ValueError) as info:
        list(nc_to_batches("X=R5\n"))
    assert isinstance(info.value, NcError)
    assert info.value.kind == "undefined_variable"


def test_carriage_return_stays_in_line_text():
    err = raised("G1 X1\r\nY=(\r\n")
    assert err.kind == "parse_context"
    assert err.line == 2
    assert err.line_text == "Y=(\r"


def test_deep_nesting_is_an_error_not_a_crash_of_the_worker():
    # the worker runs on a 2 MiB stack
    n = 100000
    for program in ("R1=" + "(" * n + "1" + ")" * n + "\n", "IF 1\n" * n + "X1\n" + "ENDIF\n" * n):
        err = raised(program)
        assert err.kind == "parse_context"
