"""Every Python example of the README runs as written and prints what it shows."""

import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# a Python block, then the block of the text it prints
EXAMPLE = re.compile(r"```python\n(.*?)```\n\n```text\n(.*?)```", re.S)


def examples():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    found = EXAMPLE.findall(text)
    # every Python block has its output block
    assert len(found) == text.count("```python"), "a Python block without its printed output"
    return found


@pytest.mark.parametrize("code, printed", examples())
def test_readme_example_prints_what_it_shows(code, printed):
    run = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True,
                         text=True, encoding="utf-8", timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout == printed
