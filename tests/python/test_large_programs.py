"""Programs large enough that their file is read in two halves at once and,
with a low streaming threshold, run line by line in chunks decoded by two
threads: the batches are those of the same text run in memory, and the
UTF-8 check of the halves is the check of the whole text."""

import pyarrow as pa
import pytest

from arrow_helpers import read_batches
from kelvane import nc_to_batches

# A file is read in halves from 8 MiB on.
HALVES_FROM = 8 << 20


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


@pytest.fixture(scope="module")
def program():
    return motion_program(HALVES_FROM + 4096)


def all_batches(source, **kwargs):
    return read_batches(list(nc_to_batches(source, include_line_numbers=True, **kwargs)))


def test_file_read_in_halves_and_streamed_gives_the_batches_of_the_text(program, tmp_path, monkeypatch):
    path = tmp_path / "large.nc"
    path.write_text(program, encoding="utf-8")
    monkeypatch.delenv("NC_STREAM_MIN_BYTES", raising=False)
    in_memory = all_batches(program)
    assert len(in_memory["line_no"]) > 200000
    assert all_batches(str(path), input_is_path=True) == in_memory
    monkeypatch.setenv("NC_STREAM_MIN_BYTES", "0")
    assert all_batches(str(path), input_is_path=True) == in_memory
    assert all_batches(program, batch_size=7919) == in_memory


@pytest.mark.parametrize("where", ["first half", "cut", "second half"])
def test_utf8_checked_across_the_halves(tmp_path, where):
    # a two-byte character standing on the cut between the halves is whole
    text = bytearray(b"X1 ;" + b"a" * (HALVES_FROM + 1000) + b"\n")
    cut = len(text) // 2
    text[cut - 1 : cut + 1] = "é".encode()
    good = tmp_path / "good.nc"
    good.write_bytes(bytes(text))
    batches = [pa.record_batch(b) for b in nc_to_batches(str(good), input_is_path=True)]
    assert sum(b.num_rows for b in batches) == 1
    # a lone continuation byte anywhere is refused
    at = {"first half": 10, "cut": cut - 1, "second half": len(text) - 10}[where]
    text[at] = 0x80
    bad = tmp_path / "bad.nc"
    bad.write_bytes(bytes(text))
    with pytest.raises(ValueError, match="stream did not contain valid UTF-8"):
        nc_to_batches(str(bad), input_is_path=True)
