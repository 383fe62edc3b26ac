"""Small programs must not take the machine: declared arrays."""

import contextlib
import json
import subprocess
import sys
import textwrap

import pytest

from kelvane import NcError, nc_to_batches, nc_to_rows

# Peak memory per declared element, measured in a fresh interpreter: a map
# entry per element took about 380 bytes; the dense store takes a few tens.
CHILD = textwrap.dedent(
    """
    import resource, sys
    import kelvane
    call = getattr(kelvane, sys.argv[1])
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in call("DEF REAL A[4194303]\\n"):
        pass
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print((after - before) * 1024 // 4194304)
    """
)


@pytest.mark.parametrize("call", ["nc_to_rows", "nc_to_batches"])
def test_declared_elements_take_little_memory(call):
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, call], capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 150


# A DEF repeated in a loop while nobody reads yet: its rows would hold only
# variable changes, which a consumer without include_variables never sees.
# The child waits until the worker has ended or memory has grown by 300 MB.
UNREAD = textwrap.dedent(
    """
    import json, os, resource, time
    import kelvane

    def grown_mb():
        return (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024

    program = "R1=0\\nWHILE R1<3000\\nDEF REAL A[29999]\\nR1=R1+1\\nENDWHILE\\nX1\\n"
    threads = len(os.listdir("/proc/self/task"))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    it = kelvane.nc_to_rows(program, iteration_limit=10**6)
    end = time.monotonic() + 60
    while len(os.listdir("/proc/self/task")) > threads and grown_mb() < 300:
        if time.monotonic() > end:
            break
        time.sleep(0.01)
    finished = len(os.listdir("/proc/self/task")) == threads
    print(json.dumps({"finished": finished, "rows": list(it), "grown_mb": grown_mb()}))
    """
)


def test_rows_of_unread_variable_changes_do_not_fill_the_row_channel():
    proc = subprocess.run([sys.executable, "-c", UNREAD], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["finished"]  # the worker ran to the end without anyone reading
    assert out["rows"] == [[6, {"X": 1.0}]]
    assert out["grown_mb"] < 100


# The same loop for a consumer that asked for the variable changes: every
# row carries 100000 of them, more than the row channel's whole budget, and
# a channel that counted only rows would hold 1024 such rows (gigabytes)
# before the worker waited.
UNREAD_VARIABLES = textwrap.dedent(
    """
    import json, resource, time
    import kelvane

    def grown_mb():
        return (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024

    program = "R1=0\\nWHILE R1<3000\\nDEF REAL A[99999]\\nR1=R1+1\\nENDWHILE\\nX1\\n"
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    it = kelvane.nc_to_rows(program, iteration_limit=10**6, include_variables=True)
    end = time.monotonic() + 3
    while time.monotonic() < end and grown_mb() < 300:
        time.sleep(0.01)
    grown = grown_mb()
    line, row, variables = next(it)
    print(json.dumps({"grown_mb": grown, "first": [line, row, len(variables)]}))
    """
)


def test_rows_heavy_with_variable_changes_are_held_back_by_their_weight():
    proc = subprocess.run(
        [sys.executable, "-c", UNREAD_VARIABLES], capture_output=True, text=True, timeout=300
    )
    assert proc.returncode == 0, proc.stderr
    out = json.loads(proc.stdout)
    assert out["first"] == [1, {}, 1]  # R1=0
    assert out["grown_mb"] < 100


def test_initial_state_and_program_share_the_bound_on_array_elements():
    with pytest.raises(NcError) as info:
        list(nc_to_batches("X1\nDEF REAL B[2999999]\n", initial_state="DEF REAL A[2999999]\n"))
    err = info.value
    assert err.kind == "parse_context"
    assert err.line == 2
    assert err.context == "array declaration"
    assert (
        "array B[2999999] would have 3000000 elements, 6000000 in all arrays of this run; "
        "at most 4194304 array elements per run are supported"
    ) in str(err)


def test_state_lists_declared_elements():
    it = nc_to_rows("A[7]=1\nDEF REAL A[2], B[0,1]\nA[1]=3\n")
    list(it)
    assert it.state["symbol_table"] == {
        "TRUE": 1.0,
        "FALSE": 0.0,
        "A[0]": 0.0,
        "A[1]": 3.0,
        "A[2]": 0.0,
        "A[7]": 1.0,
        "B[0,0]": 0.0,
        "B[0,1]": 0.0,
    }


# The program text is read where the str holds it, not copied: the run keeps
# the str alive while it reads it, and lets it go once it has ended, however
# it ended.
@pytest.mark.parametrize("call", [nc_to_rows, nc_to_batches])
@pytest.mark.parametrize("how", ["exhausted", "dropped early", "failed"])
def test_program_text_is_kept_while_read_and_let_go_after(call, how):
    import gc
    import time

    body = "".join(f"N{i} G1 X{i % 7} Y{i % 5}\n" for i in range(20000))
    text = "R1=1\n" + body + ("X=UNDEFINED_VAR\n" if how == "failed" else "") + body
    before = sys.getrefcount(text)
    it = call(text, batch_size=100) if call is nc_to_batches else call(text)
    assert sys.getrefcount(text) == before + 1
    if how == "dropped early":
        next(it)
    else:
        with pytest.raises(NcError) if how == "failed" else contextlib.nullcontext():
            for _ in it:
                pass
    del it
    gc.collect()
    deadline = time.monotonic() + 10
    while sys.getrefcount(text) != before and time.monotonic() < deadline:
        list(nc_to_rows("X1\n"))  # a later call lets go of what ended meanwhile
        time.sleep(0.01)
    assert sys.getrefcount(text) == before


def test_program_text_outlives_the_callers_reference():
    rows = nc_to_rows("".join(f"G1 X{i}\n" for i in range(5000)))
    assert [row["X"] for _, row in rows][-3:] == [4997.0, 4998.0, 4999.0]
