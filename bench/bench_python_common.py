"""Shared helpers of the Python benchmarks: program generation and child runs."""

import json
import os
import pathlib
import resource
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
LINE_TEMPLATES = [
    "N{n} G1 X{x:.3f} Y{y:.3f} Z-1.500 F1200\n",
    "N{n} X{x:.3f} Y{y:.3f}\n",
    "N{n} G0 X{x:.3f} Y{y:.3f} Z5.000\n",
    "N{n} Y{y:.3f} S2400 M3\n",
]


def generate_program(path, size_bytes):
    """A program of simple motion lines, at least `size_bytes` long."""
    chunk = []
    written = 0
    n = 0
    with open(path, "w", encoding="ascii") as f:
        while written < size_bytes:
            n += 1
            line = LINE_TEMPLATES[n % 4].format(n=n % 100000, x=(n % 5000) * 0.01, y=(n % 733) * 0.1)
            chunk.append(line)
            written += len(line)
            if len(chunk) == 10000:
                f.write("".join(chunk))
                chunk.clear()
        f.write("".join(chunk))
    return written, n


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def current_rss_mb():
    with open("/proc/self/statm") as f:
        pages = int(f.read().split()[1])
    return pages * os.sysconf("SC_PAGE_SIZE") / 2**20


def run_child(script, *args):
    """Runs `script --child args...` in a fresh interpreter; its JSON result."""
    env = dict(os.environ, PYTHONPATH=str(ROOT / "python"))
    out = subprocess.run([sys.executable, str(script), "--child", *map(str, args)],
                         env=env, capture_output=True, text=True, check=False)
    if out.returncode != 0:
        raise SystemExit(f"benchmark child failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def temp_program(size_mb):
    fd, path = tempfile.mkstemp(prefix="kelvane-bench-", suffix=".nc")
    os.close(fd)
    size, lines = generate_program(path, int(size_mb * 2**20))
    return path, size, lines
