"""Workers, cancellation, concurrent use and interpreter shutdown."""

import gc
import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from arrow_helpers import read_batches
from kelvane import nc_to_batches, nc_to_rows

LONG_PROGRAM = "G1 X0 Y0 F500\n" + "".join(f"X{i} Y{i % 13}\n" for i in range(1, 20000))
# a program that computes for a while before its first row
SLOW_START = "R1=0\nWHILE R1<300000\nR1=R1+1\nENDWHILE\nG1 X=R1\n"


def worker_threads():
    names = []
    for task in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{task}/comm") as f:
                names.append(f.read().strip())
        except OSError:
            pass
    return names.count("brandel")


def wait_for_workers(count, deadline=60.0):
    end = time.monotonic() + deadline
    while worker_threads() > count and time.monotonic() < end:
        time.sleep(0.01)
    return worker_threads()


def test_worker_thread_is_named_and_joined():
    base = worker_threads()
    it = nc_to_rows("G1 X1\n")
    list(it)
    assert wait_for_workers(base) == base


@pytest.mark.parametrize("mode", ["rows", "batches"])
def test_dropping_an_iterator_half_way_stops_its_worker(mode):
    base = wait_for_workers(0)
    for _ in range(4):
        if mode == "rows":
            it = nc_to_rows(LONG_PROGRAM)
            next(it)
        else:
            it = nc_to_batches(LONG_PROGRAM, batch_size=100)
            next(it)
        del it
        gc.collect()
    assert wait_for_workers(base) == base
    # dropped before the first next(), and while the worker still computes
    for program in (LONG_PROGRAM, SLOW_START):
        nc_to_rows(program, iteration_limit=10**9)
        nc_to_batches(program, batch_size=10, iteration_limit=10**9)
    gc.collect()
    assert wait_for_workers(base) == base


@pytest.mark.parametrize("func", [nc_to_rows, nc_to_batches])
def test_concurrent_use_from_another_thread_fails_at_once(func):
    it = func(SLOW_START, iteration_limit=10**9)
    entered = threading.Event()
    result = []

    def consume():
        entered.set()
        result.append(next(it))

    t = threading.Thread(target=consume)
    t.start()
    entered.wait()
    errors = []
    while t.is_alive() and not errors:
        try:
            it.state
        except RuntimeError as e:
            errors.append(e)
        time.sleep(0.001)
    if errors:  # the consumer was caught inside next()
        for attempt in (lambda: next(it), lambda: iter(it)):
            with pytest.raises(RuntimeError):
                attempt()
    t.join()
    assert errors, "next() finished before it could be observed"
    assert result[0] is not None
    assert list(it) == [] and it.state["symbol_table"]["R1"] == 300000.0


def test_many_iterators_on_several_threads():
    programs = [f"G1 X{k} Y0\n" + "".join(f"X{i + k} M{i % 3}\n" for i in range(1, 3000)) for k in range(6)]
    expect_rows = [list(nc_to_rows(p)) for p in programs]
    expect_cols = [read_batches(nc_to_batches(p, batch_size=256)) for p in programs]
    failures = []

    def run(index):
        try:
            rows_its = [nc_to_rows(p) for p in programs]
            batch_its = [nc_to_batches(p, batch_size=256) for p in programs]
            # interleave the iterators of this thread
            got_rows = [[] for _ in programs]
            got_batches = [[] for _ in programs]
            active = True
            while active:
                active = False
                for i, it in enumerate(rows_its):
                    item = next(it, None)
                    if item is not None:
                        got_rows[i].append(item)
                        active = True
                for i, it in enumerate(batch_its):
                    batch = next(it, None)
                    if batch is not None:
                        got_batches[i].append(batch)
                        active = True
            for i in range(len(programs)):
                assert got_rows[i] == expect_rows[i]
                assert read_batches(got_batches[i]) == expect_cols[i]
        except Exception as e:  # reported in the main thread
            failures.append((index, e))

    threads = [threading.Thread(target=run, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


SHUTDOWN_SCRIPTS = {
    "iterators alive at exit": """
        import kelvane
        program = "G1 X0\\n" + "".join(f"X{i}\\n" for i in range(1, 50000))
        keep = []
        for _ in range(3):
            it = kelvane.nc_to_rows(program); next(it); keep.append(it)
            it = kelvane.nc_to_batches(program, batch_size=50); next(it); keep.append(it)
        keep.append(kelvane.nc_to_rows(program))
        print("done")
    """,
    "workers still computing at exit": """
        import kelvane
        slow = "R1=0\\nWHILE R1<10000000\\nR1=R1+1\\nENDWHILE\\nX1\\n"
        its = [kelvane.nc_to_rows(slow, iteration_limit=10**9) for _ in range(3)]
        its += [kelvane.nc_to_batches(slow, iteration_limit=10**9) for _ in range(3)]
        print("done")
    """,
    "daemon thread blocked in next at exit": """
        import threading, time, kelvane
        slow = "R1=0\\nWHILE R1<10000000\\nR1=R1+1\\nENDWHILE\\nX1\\n"
        def consume():
            for _ in kelvane.nc_to_rows(slow, iteration_limit=10**9):
                pass
        def consume_batches():
            for _ in kelvane.nc_to_batches(slow, iteration_limit=10**9):
                pass
        for target in (consume, consume_batches):
            threading.Thread(target=target, daemon=True).start()
        time.sleep(0.2)
        print("done")
    """,
    "daemon thread woken during shutdown": """
        import threading, time, kelvane
        program = "R1=0\\nWHILE R1<30000\\nR1=R1+1\\nENDWHILE\\n" + "X1\\nX2\\n" * 1000
        def consume():
            for _ in kelvane.nc_to_rows(program, iteration_limit=10**9):
                pass
        for _ in range(4):
            threading.Thread(target=consume, daemon=True).start()
        print("done")
    """,
}


SHUTDOWN_SCRIPTS["module imported again"] = """
    import sys, kelvane._internal as first
    it = first.nc_to_rows("G1 X1\\nX=R9\\n")
    del sys.modules["kelvane._internal"], sys.modules["kelvane"]
    import kelvane._internal as second
    assert second is not first and second.NcError is not first.NcError
    assert list(second.nc_to_rows("G1 X2\\n")) == [(1, {"gg01_motion": "G1", "X": 2.0})]
    try:
        list(it)
    except first.NcError as e:
        assert e.line == 2
    else:
        raise AssertionError("no error")
    print("done")
"""


@pytest.mark.parametrize("name", list(SHUTDOWN_SCRIPTS))
def test_interpreter_shutdown_neither_hangs_nor_crashes(name):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(SHUTDOWN_SCRIPTS[name])],
        env=env, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "done"
