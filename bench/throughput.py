"""Throughput and peak memory against the scan limit, on generated programs.

    python bench/throughput.py [--size 100MB] [--kinds simple,arcs,logic,loops]
                               [--runs 3] [--scan-limit PATH] [--inputs DIR]

For every kind of program (bench/gen_programs.py, the same bytes every time)
the scan limit (bench/scan_limit.cpp: one thread splitting lines and reading
numbers, building nothing) and kelvane run interleaved, `--runs` times each;
the best of each is reported, and kelvane's speed as the ratio to the scan
limit's on the same file in the same run: absolute figures move from machine
to machine, the ratio much less. Every kelvane run is a fresh interpreter
that reads the file itself (input_is_path) and consumes everything:
  batches   nc_to_batches, default batch size, each batch exported
  rows      nc_to_rows with forward fill
Peak memory is the child's peak resident set.
"""

import argparse
import json
import os
import pathlib
import re
import resource
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent

CHILD = r"""
import json, resource, sys, time
import kelvane
mode, path = sys.argv[1], sys.argv[2]
start = time.perf_counter()
rows = 0
if mode == "batches":
    for batch in kelvane.nc_to_batches(path, input_is_path=True):
        schema, array = batch.__arrow_c_array__()
        del schema, array
        rows += 1
else:
    for row in kelvane.nc_to_rows(path, input_is_path=True):
        rows += 1
seconds = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
print(json.dumps({"seconds": seconds, "items": rows, "peak_mb": peak}))
"""


def parse_size(text):
    m = re.fullmatch(r"(\d+(?:\.\d+)?)\s*(MB|KB|GB)?", text.strip(), re.I)
    if not m:
        raise SystemExit(f"not a size: {text}")
    factor = {"KB": 1e3, "MB": 1e6, "GB": 1e9}[(m.group(2) or "MB").upper()]
    return int(float(m.group(1)) * factor)


def ensure_input(kind, size_text, inputs):
    path = inputs / f"{kind}_{size_text}.nc"
    if not path.exists():
        inputs.mkdir(parents=True, exist_ok=True)
        tmp = path.with_suffix(".tmp")
        subprocess.run([sys.executable, str(HERE / "gen_programs.py"), "--kind", kind,
                        "--size", size_text, "--out", str(tmp), "--quiet"], check=True)
        tmp.rename(path)
    return path


def ensure_scan_limit(path):
    exe = pathlib.Path(path)
    src = HERE / "scan_limit.cpp"
    if not exe.exists() or exe.stat().st_mtime < src.stat().st_mtime:
        exe.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run(["g++", "-O2", "-std=c++17", "-o", str(exe), str(src)], check=True)
    return exe


def scan_limit_run(exe, path):
    out = subprocess.run([str(exe), str(path)], capture_output=True, text=True, check=True)
    fields = dict(kv.split("=", 1) for kv in out.stdout.split())
    return float(fields["seconds"])


def kelvane_run(mode, path):
    out = subprocess.run([sys.executable, "-c", CHILD, mode, str(path)],
                         capture_output=True, text=True, check=False)
    if out.returncode != 0:
        raise SystemExit(f"kelvane {mode} run failed on {path}:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size", default="100MB")
    ap.add_argument("--kinds", default="simple,arcs,logic,loops")
    ap.add_argument("--modes", default="batches,rows")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--scan-limit", default=str(HERE.parent / "build" / "scan_limit"))
    ap.add_argument("--inputs", default=str(HERE.parent / "build" / "bench-inputs"))
    args = ap.parse_args()

    exe = ensure_scan_limit(args.scan_limit)
    modes = args.modes.split(",")
    print(f"{'program':<16} {'scan MB/s':>9} " +
          " ".join(f"{m + ' MB/s':>13} {'ratio':>6} {'peak MB':>8}" for m in modes) +
          ("  rows M/s" if "rows" in modes else ""))
    for kind in args.kinds.split(","):
        path = ensure_input(kind, args.size, pathlib.Path(args.inputs))
        size = path.stat().st_size
        best_scan = float("inf")
        best = {m: None for m in modes}
        for _ in range(args.runs):
            best_scan = min(best_scan, scan_limit_run(exe, path))
            for m in modes:
                r = kelvane_run(m, path)
                if best[m] is None or r["seconds"] < best[m]["seconds"]:
                    peak = max(r["peak_mb"], best[m]["peak_mb"]) if best[m] else r["peak_mb"]
                    best[m] = dict(r, peak_mb=peak)
                else:
                    best[m]["peak_mb"] = max(best[m]["peak_mb"], r["peak_mb"])
        scan_mbs = size / 1e6 / best_scan
        cells = []
        for m in modes:
            mbs = size / 1e6 / best[m]["seconds"]
            cells.append(f"{mbs:13.2f} {mbs / scan_mbs:6.3f} {best[m]['peak_mb']:8.0f}")
        line = f"{path.stem:<16} {scan_mbs:9.1f} " + " ".join(cells)
        if "rows" in modes:
            line += f"  {best['rows']['items'] / best['rows']['seconds'] / 1e6:8.3f}"
        print(line, flush=True)


if __name__ == "__main__":
    main()
