"""nc_to_rows: rows per second and the consumer's cost per row.

    PYTHONPATH=python /usr/bin/python3 bench/bench_python_rows.py [MB]

The interpreter runs on its worker thread while the Python thread converts
rows to dicts; rows/s is the slower of the two. The consuming thread's own
CPU time per row (time.thread_time, which excludes the waits with the GIL
released) is the cost of receiving a row and building its dict and tuple.
"""

import json
import os
import sys
import time

from bench_python_common import run_child, temp_program


def child(size_mb):
    import kelvane

    path, size, lines = temp_program(float(size_mb))
    results = {"size_mb": size / 2**20, "lines": lines}
    try:
        for label, kwargs in [("forward_fill", {}), ("no_fill", {"forward_fill": False}),
                              ("variables", {"include_variables": True})]:
            start, cpu = time.perf_counter(), time.thread_time()
            rows = 0
            for _ in kelvane.nc_to_rows(path, input_is_path=True, **kwargs):
                rows += 1
            results[label] = {"rows": rows, "seconds": time.perf_counter() - start,
                              "cpu": time.thread_time() - cpu}
        # the conversion alone: let the worker fill the row channel (1024
        # rows), then take 1000 rows that are already waiting
        for label, kwargs in [("drain_fill", {}), ("drain_no_fill", {"forward_fill": False})]:
            it = kelvane.nc_to_rows(path, input_is_path=True, **kwargs)
            cpu = 0.0
            taken = 0
            for _ in range(50):
                time.sleep(0.05)
                t0 = time.thread_time()
                for _ in range(1000):
                    next(it)
                cpu += time.thread_time() - t0
                taken += 1000
            del it
            results[label] = 1e6 * cpu / taken
        start = time.perf_counter()
        for _ in kelvane.nc_to_batches(path, input_is_path=True):
            pass
        results["batches_seconds"] = time.perf_counter() - start
    finally:
        os.unlink(path)
    print(json.dumps(results))


def main(size):
    r = run_child(__file__, size)
    print(f"nc_to_rows on {r['size_mb']:.1f} MB of simple motion lines ({r['lines']} lines); "
          f"nc_to_batches on the same input: {r['batches_seconds']:.2f} s")
    print(f"{'mode':>13} {'rows':>10} {'seconds':>8} {'rows/s':>10} {'consumer us/row':>16}")
    for label in ("forward_fill", "no_fill", "variables"):
        m = r[label]
        print(f"{label:>13} {m['rows']:10d} {m['seconds']:8.2f} {m['rows'] / m['seconds']:10.0f} "
              f"{1e6 * m['cpu'] / m['rows']:16.2f}")
    print(f"conversion of rows already waiting in the channel: "
          f"{r['drain_fill']:.2f} us/row forward-filled, {r['drain_no_fill']:.2f} us/row without fill")


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        child(sys.argv[2])
    else:
        main(float(sys.argv[1]) if len(sys.argv) > 1 else 20.0)
