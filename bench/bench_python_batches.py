"""nc_to_batches consumed fully: throughput and peak resident memory.

    PYTHONPATH=python /usr/bin/python3 bench/bench_python_batches.py [MB ...]

Each size runs in a fresh interpreter. The program is read from a file
(input_is_path): the worker holds the text, and the interpreter state holds a
second copy of it. What waits for the consumer is bounded by the table channel
(three tables plus the one being built), so the peak above the two copies of
the text follows the batch size, not the program size, once the line driver
streams (programs of NC_STREAM_MIN_BYTES or more; set it lower to compare
small sizes in the same mode).
"""

import json
import os
import sys
import time

from bench_python_common import current_rss_mb, peak_rss_mb, run_child, temp_program

BATCH_SIZE = 100_000


def child(size_mb):
    import kelvane

    path, size, lines = temp_program(float(size_mb))
    try:
        base = current_rss_mb()
        start = time.perf_counter()
        rows = batches = 0
        for batch in kelvane.nc_to_batches(path, batch_size=BATCH_SIZE, input_is_path=True):
            schema, array = batch.__arrow_c_array__()
            batches += 1
            del schema, array
        elapsed = time.perf_counter() - start
    finally:
        os.unlink(path)
    print(json.dumps({
        "size_mb": size / 2**20, "lines": lines, "batches": batches, "seconds": elapsed,
        "base_rss_mb": base, "peak_rss_mb": peak_rss_mb(),
    }))


def main(sizes):
    print(f"nc_to_batches, batch_size={BATCH_SIZE}, program of simple motion lines read from a file")
    print(f"{'size MB':>8} {'lines':>10} {'batches':>8} {'seconds':>8} {'MB/s':>7} "
          f"{'base RSS':>9} {'peak RSS':>9} {'peak-base-2*text':>17}")
    for size in sizes:
        r = run_child(__file__, size)
        extra = r["peak_rss_mb"] - r["base_rss_mb"] - 2 * r["size_mb"]
        print(f"{r['size_mb']:8.1f} {r['lines']:10d} {r['batches']:8d} {r['seconds']:8.2f} "
              f"{r['size_mb'] / r['seconds']:7.1f} {r['base_rss_mb']:8.0f}M {r['peak_rss_mb']:8.0f}M "
              f"{extra:16.0f}M")


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        child(sys.argv[2])
    else:
        main([float(a) for a in sys.argv[1:]] or [25.0, 100.0])
