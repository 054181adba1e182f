"""The README's runnable examples print what the README says they print."""

import contextlib
import io
import pathlib
import re

import pytest

README = (pathlib.Path(__file__).parents[2] / "README.md").read_text()


def examples():
    """Each python block that is a script (not a doctest) and shows what it prints in comments."""
    for block in re.findall(r"```python\n(.*?)```", README, re.S):
        if block.lstrip().startswith(">>>") or "print(" not in block or "\n# " not in block:
            continue
        yield block


def expected_output(block):
    """The comment lines right after a line that prints: what it prints."""
    lines = []
    printing = False
    for line in block.splitlines():
        if not line.startswith("#"):
            printing = "print(" in line
        elif printing and line.startswith("#  "):  # the continuation of a long printed line
            lines[-1] += " " + line[3:].strip()
        elif printing and line.startswith("# "):
            lines.append(line[2:])
    return lines


@pytest.mark.parametrize("block", list(examples()), ids=lambda b: b.splitlines()[0][:40])
def test_example_prints_what_the_readme_says(block):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(block, "README.md", "exec"), {})
    assert out.getvalue().splitlines() == expected_output(block)
