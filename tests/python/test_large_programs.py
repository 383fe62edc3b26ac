"""Programs large enough that their file is read in two halves at once and,
with a low streaming threshold, run line by line in chunks decoded by two
threads: the batches are those of the same text run in memory, and the
UTF-8 check of the halves is the check of the whole text.

Each check runs in a Python process of its own: large programs start the
process-wide pool, whose threads would outlive the test and be counted by
the tests of the worker thread."""

import os
import subprocess
import sys
import textwrap

import pytest

# A file is read in halves from 8 MiB on.
HALVES_FROM = 8 << 20

HERE = os.path.dirname(os.path.abspath(__file__))


def run_isolated(code, *args):
    """Runs `code` in a fresh interpreter with `args` in sys.argv; fails the
    test with what it printed when it does not exit cleanly."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (HERE, env.get("PYTHONPATH")) if p)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def motion_program(size):
    """Motion blocks with frames, M words, CR arcs and other lines among them."""
    parts = ["N1 G17 G90 G54\n", "TRANS X5\n"]
    i = 0
    total = sum(len(p) for p in parts)
    while total < size:
        i += 1
        if i % 997 == 0:
            line = f"R1={i % 13} T{i % 5}\n"
        elif i % 500 == 0:
            line = f"N{i * 10} M3 S{i % 3000} ;spindle ü\n"
        elif i % 3 == 0:
            line = f"N{i * 10} G2 X{i % 89}.5 Y-{i % 71}.25 CR={i % 7 + 1}\n"
        else:
            line = f"N{i * 10} G1 X{i % 97}.125 Y{i % 53} Z-{i % 11}.5 F{i % 900 + 100}\n"
        parts.append(line)
        total += len(line)
    return "".join(parts)


def test_file_read_in_halves_and_streamed_gives_the_batches_of_the_text(tmp_path):
    path = tmp_path / "large.nc"
    path.write_text(motion_program(HALVES_FROM + 4096), encoding="utf-8")
    run_isolated(
        """
        import os, sys
        from arrow_helpers import read_batches
        from kelvane import nc_to_batches

        def all_batches(source, **kwargs):
            return read_batches(list(nc_to_batches(source, include_line_numbers=True, **kwargs)))

        path = sys.argv[1]
        text = open(path, encoding="utf-8").read()
        os.environ.pop("NC_STREAM_MIN_BYTES", None)
        in_memory = all_batches(text)
        assert len(in_memory["line_no"]) > 200000
        assert all_batches(path, input_is_path=True) == in_memory, "read in halves"
        os.environ["NC_STREAM_MIN_BYTES"] = "0"
        assert all_batches(path, input_is_path=True) == in_memory, "streamed"
        assert all_batches(text, batch_size=7919) == in_memory, "streamed in small batches"
        """,
        path,
    )


@pytest.mark.parametrize("where", ["first half", "cut", "second half"])
def test_utf8_checked_across_the_halves(tmp_path, where):
    # a two-byte character standing on the cut between the halves is whole
    text = bytearray(b"X1 ;" + b"a" * (HALVES_FROM + 1000) + b"\n")
    cut = len(text) // 2
    text[cut - 1 : cut + 1] = "é".encode()
    good = tmp_path / "good.nc"
    good.write_bytes(bytes(text))
    # a lone continuation byte anywhere is refused
    at = {"first half": 10, "cut": cut - 1, "second half": len(text) - 10}[where]
    text[at] = 0x80
    bad = tmp_path / "bad.nc"
    bad.write_bytes(bytes(text))
    run_isolated(
        """
        import sys
        import pyarrow as pa
        from kelvane import nc_to_batches

        good, bad = sys.argv[1:]
        batches = [pa.record_batch(b) for b in nc_to_batches(good, input_is_path=True)]
        assert sum(b.num_rows for b in batches) == 1
        try:
            nc_to_batches(bad, input_is_path=True)
        except ValueError as e:
            assert "stream did not contain valid UTF-8" in str(e), str(e)
        else:
            raise AssertionError("a lone continuation byte was taken")
        """,
        good,
        bad,
    )
