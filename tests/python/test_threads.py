"""Workers, cancellation, concurrent use and interpreter shutdown."""

import gc
import inspect
import json
import os
import signal
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
# one that computes until it is stopped (with a large iteration_limit)
ENDLESS_START = "R1=0\nWHILE R1>=0\nR1=R1+1\nENDWHILE\nG1 X=R1\n"


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


def wait_for_started_workers(count, deadline=60.0):
    end = time.monotonic() + deadline
    while worker_threads() < count and time.monotonic() < end:
        time.sleep(0.01)
    return worker_threads()


def test_worker_thread_is_named_and_joined():
    base = wait_for_workers(0)
    it = nc_to_rows(LONG_PROGRAM)
    next(it)
    # the worker lives on (computing, or waiting for room in the full channel)
    assert worker_threads() == base + 1
    assert len(list(it)) == 19999
    assert wait_for_workers(base) == base


@pytest.mark.parametrize("mode", ["rows", "batches"])
def test_dropping_an_iterator_half_way_stops_its_worker(mode):
    base = wait_for_workers(0)
    for _ in range(4):
        if mode == "rows":
            it = nc_to_rows(LONG_PROGRAM)
        else:
            it = nc_to_batches(LONG_PROGRAM, batch_size=100)
        next(it)
        # the worker cannot end on its own: the channel holds only part of the rows
        assert worker_threads() == base + 1
        del it
        gc.collect()
        assert wait_for_workers(base) == base
    # dropped before the first next(), and while the worker still computes
    for program in (LONG_PROGRAM, ENDLESS_START):
        its = [nc_to_rows(program, iteration_limit=10**15),
               nc_to_batches(program, batch_size=10, iteration_limit=10**15)]
        assert wait_for_started_workers(base + 2) == base + 2
        del its
        gc.collect()
        assert wait_for_workers(base) == base


# The start of the scripts run in a child process: counts the workers, waits
# (60 s at most) for one to start or for all of them to end.
CHILD_PRELUDE = """
import gc, json, os, resource, signal, sys, time, kelvane

""" + inspect.getsource(worker_threads) + """
workers = worker_threads

def all_stopped():
    end = time.monotonic() + 60
    while workers() and time.monotonic() < end:
        time.sleep(0.01)
    return workers() == 0

def one_started():
    end = time.monotonic() + 60
    while not workers() and time.monotonic() < end:
        time.sleep(0.01)
    return workers() == 1
"""


def child_command(script, *args):
    return [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(script), *args]


def child_env(**settings):
    env = {k: v for k, v in os.environ.items() if k not in ("NC_VM", "NC_STAGE1")}
    env.update(settings, PYTHONPATH=os.pathsep.join(sys.path))
    return env


# Loops that write no cell and would run for ages, each on one executor:
# NC_VM=1 selects the frame-stack executor, NC_STAGE1=0 sends a program
# without structures to the whole-program parse, and the line driver takes a
# backward GOTOB loop of a program without structures.
ENDLESS_LOOPS = {
    "for": "FOR R1=1 TO 1000000000000\nR2=R1\nENDFOR\n",
    "while": "WHILE 1\nENDWHILE\n",
    "loop": "LOOP\nENDLOOP\n",
    "repeat": "REPEAT\nUNTIL 0\n",
    "gotob": "LBL1:\nGOTOB LBL1\n",
}
EXECUTORS = {
    "recursive": {"NC_STAGE1": "0"},
    "frame-stack": {"NC_STAGE1": "0", "NC_VM": "1"},
    "line driver": {},
}
STOP_CASES = [(executor, loop) for executor in ("recursive", "frame-stack") for loop in ENDLESS_LOOPS]
STOP_CASES.append(("line driver", "gotob"))

# Drops an iterator while its worker loops, in the main run (after its first
# row) and in the initial-state run, for both iterator kinds.
STOP_SCRIPT = """
    loop = sys.argv[1]
    for func, extra in ((kelvane.nc_to_rows, {}), (kelvane.nc_to_batches, {"batch_size": 1})):
        it = func("X1\\n" + loop, iteration_limit=10**15, **extra)
        next(it)
        assert workers() == 1, "the main run ended by itself"
        del it
        gc.collect()
        assert all_stopped(), f"{func.__name__}: the main run goes on"
        it = func("X1\\n", initial_state=loop, iteration_limit=10**15, **extra)
        time.sleep(0.2)  # the initial-state loop runs by now
        assert one_started(), "the initial-state run ended by itself"
        del it
        gc.collect()
        assert all_stopped(), f"{func.__name__}: the initial-state run goes on"
    print("done")
"""


@pytest.mark.parametrize("executor,loop", STOP_CASES)
def test_a_dropped_iterator_stops_a_worker_that_sends_nothing(executor, loop):
    proc = subprocess.run(child_command(STOP_SCRIPT, ENDLESS_LOOPS[loop]),
                          env=child_env(**EXECUTORS[executor]), capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "done"


def test_the_initial_state_run_keeps_no_rows():
    # a million rows of the initial-state program, which nobody reads, took
    # about 500 MiB when they were kept until its end
    script = """
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        it = kelvane.nc_to_rows("X1\\n", initial_state="FOR R1=1 TO 1000000\\nX=R1 Y=R1\\nENDFOR\\n")
        assert list(it) == [(1, {"X": 1.0})]
        assert it.state["symbol_table"]["R1"] == 1000001.0
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
    """
    proc = subprocess.run(child_command(script), env=child_env(), capture_output=True, text=True,
                          timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert int(proc.stdout) < 100  # MiB of peak memory growth


# next() waits for a worker that sends nothing it yields; Ctrl-C interrupts
# the wait, the worker stops and the iteration is over.
INTERRUPT_CASES = {
    "batches, nothing sent": ("nc_to_batches", {}),
    "rows, nothing sent": ("nc_to_rows", {"input": "WHILE 1\nENDWHILE\n"}),
    "rows without cells skipped": ("nc_to_rows", {}),
    "initial-state run": ("nc_to_rows", {"input": "X1\n", "initial_state": "LOOP\nENDLOOP\n"}),
}
INTERRUPT_SCRIPT = """
    signal.signal(signal.SIGINT, signal.default_int_handler)
    kwargs = {"input": "FOR R1=1 TO 1000000000000\\nR2=R1\\nENDFOR\\n",
              "iteration_limit": 10**15, **json.loads(sys.argv[2])}
    it = getattr(kelvane, sys.argv[1])(**kwargs)
    assert one_started(), "no worker runs"
    print("ready", flush=True)
    try:
        next(it)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    assert all_stopped(), "the worker goes on"
    assert list(it) == [] and it.state is None
    print("done")
"""


@pytest.mark.parametrize("case", list(INTERRUPT_CASES))
def test_ctrl_c_interrupts_a_waiting_next(case):
    func, kwargs = INTERRUPT_CASES[case]
    proc = subprocess.Popen(child_command(INTERRUPT_SCRIPT, func, json.dumps(kwargs)),
                            env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        assert proc.stdout.readline().strip() == "ready"
        time.sleep(0.5)  # next() is waiting by now
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        pytest.fail("SIGINT did not interrupt next()")
    assert proc.returncode == 0, err
    assert out.split() == ["interrupted", "done"]


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
