"""The two entry functions: signatures, defaults, conversions and call-time errors."""

import inspect
import math

import pytest

import kelvane
from kelvane import NcError, nc_to_batches, nc_to_rows
from kelvane import _internal

ROWS_PARAMS = [
    ("input", inspect.Parameter.empty),
    ("initial_state", None),
    ("axis_identifiers", None),
    ("extra_axes", None),
    ("iteration_limit", 10000),
    ("forward_fill", True),
    ("include_variables", False),
    ("axis_index_map", None),
    ("allow_undefined_variables", False),
    ("input_is_path", False),
    ("flatten_tolerance", None),
]
BATCH_PARAMS = [
    ("input", inspect.Parameter.empty),
    ("batch_size", 500000),
    ("initial_state", None),
    ("axis_identifiers", None),
    ("extra_axes", None),
    ("iteration_limit", 10000),
    ("disable_forward_fill", False),
    ("axis_index_map", None),
    ("allow_undefined_variables", False),
    ("input_is_path", False),
    ("flatten_tolerance", None),
    ("include_line_numbers", False),
    ("include_variables", False),
]


@pytest.mark.parametrize("func,params", [(nc_to_rows, ROWS_PARAMS), (nc_to_batches, BATCH_PARAMS)])
def test_signature_lists_every_parameter_positional_or_keyword(func, params):
    sig = inspect.signature(func)
    got = [(p.name, p.default) for p in sig.parameters.values()]
    assert got == params
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in sig.parameters.values())


def test_module_members_and_docs():
    names = [n for n in vars(_internal) if not n.startswith("__")]
    assert names == ["nc_to_rows", "nc_to_batches", "NcRowIterator", "NcBatchIterator", "NcError"]
    assert _internal.__doc__ == "Define the Python module"
    assert nc_to_rows.__doc__.startswith("Interpret an NC program lazily: returns an iterator of\n")
    assert nc_to_rows.__doc__.endswith("unless `forward_fill` is false.")
    assert not hasattr(_internal, "ArrowBatch")
    assert set(kelvane.__all__) == {"nc_to_rows", "nc_to_batches", "NcRowIterator", "NcBatchIterator", "NcError"}
    for cls in (_internal.NcRowIterator, _internal.NcBatchIterator):
        with pytest.raises(TypeError):
            cls()


def test_every_parameter_by_position_and_by_keyword():
    program = "R1=2\nG1 X=R1 Y1\n"
    pos = list(nc_to_rows(program, "R2=1\n", ["X", "Y"], ["Q"], 50, False, True, {"X": 1}, True, False, None))
    kw = list(
        nc_to_rows(
            input=program, initial_state="R2=1\n", axis_identifiers=["X", "Y"], extra_axes=["Q"],
            iteration_limit=50, forward_fill=False, include_variables=True, axis_index_map={"X": 1},
            allow_undefined_variables=True, input_is_path=False, flatten_tolerance=None,
        )
    )
    assert pos == kw
    assert pos[-1] == (2, {"gg01_motion": "G1", "X": 2.0, "Y": 1.0}, {})
    batches = list(nc_to_batches(program, 7, None, None, None, 10, True, None, False, False, None, True, True))
    assert len(batches) == 1


def test_explicit_none_is_the_default():
    program = "G1 X1\nY2\n"
    a = list(nc_to_rows(program))
    b = list(nc_to_rows(program, None, None, None, None, None, None, None, None, None, None))
    assert a == b
    assert len(list(nc_to_batches(program, batch_size=None))) == 1


def test_empty_program_returns_an_iterator_at_once():
    it = nc_to_rows("")
    assert iter(it) is it
    assert list(it) == []
    assert it.state is not None


BAD_ARGUMENTS = [
    # (kwargs, exception, parameter named in the message)
    (dict(input=5), TypeError, "input"),
    (dict(input=b"G1 X1"), TypeError, "input"),
    (dict(initial_state=3), TypeError, "initial_state"),
    (dict(axis_identifiers="XYZ"), TypeError, "axis_identifiers"),
    (dict(axis_identifiers=["X", 1]), TypeError, "axis_identifiers"),
    (dict(axis_identifiers=5), TypeError, "axis_identifiers"),
    (dict(extra_axes="Q"), TypeError, "extra_axes"),
    (dict(iteration_limit=-1), OverflowError, "iteration_limit"),
    (dict(iteration_limit=2**64), OverflowError, "iteration_limit"),
    (dict(iteration_limit=1.5), TypeError, "iteration_limit"),
    (dict(iteration_limit="10"), TypeError, "iteration_limit"),
    (dict(forward_fill=1), TypeError, "forward_fill"),
    (dict(include_variables="yes"), TypeError, "include_variables"),
    (dict(axis_index_map=[("X", 1)]), TypeError, "axis_index_map"),
    (dict(axis_index_map={"X": -1}), OverflowError, "axis_index_map"),
    (dict(axis_index_map={1: 1}), TypeError, "axis_index_map"),
    (dict(axis_index_map={"X": "1"}), TypeError, "axis_index_map"),
    (dict(allow_undefined_variables=0), TypeError, "allow_undefined_variables"),
    (dict(input_is_path="no"), TypeError, "input_is_path"),
    (dict(flatten_tolerance="0.1"), TypeError, "flatten_tolerance"),
    (dict(flatten_tolerance=[0.1]), TypeError, "flatten_tolerance"),
]


@pytest.mark.parametrize("kwargs,exc,param", BAD_ARGUMENTS)
def test_bad_arguments_fail_the_call_naming_the_parameter(kwargs, exc, param):
    kwargs = {"input": "G1 X1\n", **kwargs}
    for func in (nc_to_rows, nc_to_batches):
        if param not in inspect.signature(func).parameters:
            continue
        with pytest.raises(exc) as info:
            func(**kwargs)
        assert f"argument '{param}'" in str(info.value)


@pytest.mark.parametrize("kwargs,exc", [
    (dict(batch_size=-1), OverflowError),
    (dict(batch_size=2**70), OverflowError),
    (dict(batch_size=2.0), TypeError),
    (dict(include_line_numbers=1), TypeError),
    (dict(disable_forward_fill="x"), TypeError),
])
def test_bad_batch_arguments(kwargs, exc):
    with pytest.raises(exc):
        nc_to_batches("G1 X1\n", **kwargs)


def test_unknown_keyword_and_missing_input():
    with pytest.raises(TypeError):
        nc_to_rows("X1", bogus=1)
    with pytest.raises(TypeError):
        nc_to_batches()


def test_accepted_conversions():
    # tuples as sequences, an int tolerance, the largest unsigned limit
    rows = list(nc_to_rows("G1 X1 Q=2\n", axis_identifiers=("X", "Y"), extra_axes=("Q",),
                           iteration_limit=2**64 - 1))
    assert rows == [(1, {"gg01_motion": "G1", "X": 1.0, "Q": 2.0})]
    # an int tolerance flattens the arc into several rows of its line
    rows = list(nc_to_rows("G1 X0 Y0\nG2 X10 Y0 I5 J0\n", flatten_tolerance=1))
    assert len(rows) > 2 and {line for line, _ in rows[1:]} == {2}
    assert (rows[-1][1]["X"], rows[-1][1]["Y"]) == (10.0, 0.0)


def test_batch_size_zero_is_refused_before_the_file_is_read():
    with pytest.raises(ValueError, match="^batch_size must be greater than 0$"):
        nc_to_batches("/no/such/file.nc", batch_size=0, input_is_path=True)


@pytest.mark.parametrize("func", [nc_to_rows, nc_to_batches])
def test_unreadable_inputs(func, tmp_path):
    bad_utf8 = tmp_path / "latin1.nc"
    bad_utf8.write_bytes(b"G1 X1 ; M\xfcller\n")
    cases = [
        (str(tmp_path / "missing.nc"), "No such file or directory"),
        (str(tmp_path), "Is a directory"),
        (str(bad_utf8), "stream did not contain valid UTF-8"),
    ]
    for path, reason in cases:
        with pytest.raises(ValueError) as info:
            func(path, input_is_path=True)
        assert not isinstance(info.value, NcError)
        assert str(info.value).startswith(f"Error reading input file '{path}': ")
        assert reason in str(info.value)


def test_program_read_from_a_file_and_initial_state_is_never_a_path(tmp_path):
    program = tmp_path / "part.nc"
    program.write_text("G1 X=R1\n", encoding="utf-8")
    rows = list(nc_to_rows(str(program), initial_state="R1=4\n", input_is_path=True))
    assert rows == [(1, {"gg01_motion": "G1", "X": 4.0})]
    # the text of a path given as initial state is a program, not a file name
    with pytest.raises(NcError):
        list(nc_to_rows(str(program), initial_state=str(program), input_is_path=True))


@pytest.mark.parametrize("tolerance", [0, -1.0, math.nan, math.inf])
def test_bad_flatten_tolerance_fails_at_the_first_next(tolerance):
    for func in (nc_to_rows, nc_to_batches):
        it = func("G1 X1\n", flatten_tolerance=tolerance)
        with pytest.raises(NcError) as info:
            next(it)
        assert info.value.kind == "parse_error"
        assert str(info.value).startswith("Parse error: flatten tolerance must be a positive number, got ")


def test_axis_index_map_key_naming_no_axis_fails_the_run():
    it = nc_to_rows("G1 X1\n", axis_index_map={"Q": 1})
    with pytest.raises(NcError, match="Axis 'Q' in axis_index_map is not a valid axis"):
        next(it)
    assert it.state is None
    # the key is compared upper-cased
    assert list(nc_to_rows("G1 X1\n", axis_index_map={"x": 1}))
