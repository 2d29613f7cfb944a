"""The README's strategy table against the core's strategy table, and its examples, run: the
Python ones as doctests, the shell ones in a temporary folder with the installed command, and
``examples/agent_edit.py`` against the output the README shows for it."""

from __future__ import annotations

import doctest
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import brindle_search

README = Path(__file__).resolve().parent.parent / "README.md"
ROW = re.compile(r"^\| (\d+) \| `(\w+)` \| .* \| `(.+)` → `(.+)` \|$")


def strategy_rows() -> list[tuple[int, str, str, str]]:
    rows = []
    for line in README.read_text(encoding="utf-8").splitlines():
        m = ROW.match(line)
        if m:
            number, name, old, found = m.groups()
            rows.append((int(number), name, old.replace("\\n", "\n"), found.replace("\\n", "\n")))
    return rows


def test_readme_lists_the_strategies_of_the_core_table_in_order():
    rows = strategy_rows()
    assert [number for number, *_ in rows] == list(range(1, len(rows) + 1))
    assert tuple(name for _, name, _, _ in rows) == brindle_search.STRATEGIES


@pytest.mark.parametrize(("number", "name", "old", "found"), strategy_rows())
def test_each_readme_example_is_placed_by_its_strategy_alone(number, name, old, found):
    content = f"before()\n{found}\nafter()\n"
    result = brindle_search.edit_text(content, old, "NEW", strategies=[name], min_similarity=0)
    assert result.ok, result.message
    assert result.strategy == name


# --- the README's examples, run ----------------------------------------------------------------

ROOT = README.parent
SCRIPTS = os.path.dirname(sys.executable)

# The file the command-line examples work on (shown by the `edit` example's diff).
APP_PY = "def total(items):\n    s = 0\n    for item in items:\n        s += item\n    return s\n"


def fenced_blocks():
    """(info string, body, line) of each fenced block of the README, outer fences only."""
    lines = README.read_text(encoding="utf-8").split("\n")
    blocks = []
    k = 0
    while k < len(lines):
        m = re.match(r"^(`{3,})(\w*)\s*$", lines[k])
        if m:
            fence, info, first = m.group(1), m.group(2), k + 1
            body = []
            k += 1
            while k < len(lines) and lines[k].rstrip() != fence:
                body.append(lines[k])
                k += 1
            blocks.append((info, "\n".join(body) + "\n", first))
        k += 1
    return blocks


def matches(want, got):
    """`got` as `want` shows it, where "..." stands for any text."""
    return doctest.OutputChecker().check_output(want, got, doctest.ELLIPSIS)


def test_readme_python_examples_run():
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    globs = {}
    ran = 0
    for info, body, line in fenced_blocks():
        if info != "python" or ">>>" not in body:
            continue
        test = parser.get_doctest(body, globs, f"README.md block at line {line}", str(README), line)
        runner.run(test, clear_globs=False)
        globs = test.globs  # later blocks use the names of earlier ones
        ran += len(test.examples)
    assert ran > 20
    assert runner.summarize(verbose=False).failed == 0


def shell_blocks():
    blocks = []
    for info, body, line in fenced_blocks():
        if info != "sh" or not body.startswith("$ "):
            continue
        steps = []  # (command, expected output)
        for text in body.split("\n")[:-1]:
            if text.startswith("$ "):
                steps.append([text[2:], ""])
            else:
                steps[-1][1] += text + "\n"
        blocks.append(pytest.param(steps, id=f"line {line}"))
    return blocks


@pytest.mark.parametrize("steps", shell_blocks())
def test_readme_shell_examples_run(tmp_path, steps):
    """Each shell example in a fresh folder holding app.py; `cat FILE` shows a file the example
    uses, so the file is written with what it shows."""
    (tmp_path / "app.py").write_text(APP_PY)
    env = dict(os.environ, PATH=SCRIPTS + os.pathsep + os.environ["PATH"], NO_COLOR="1")
    for command, want in steps:
        cat = re.fullmatch(r"cat (\S+)", command)
        if cat:
            (tmp_path / cat.group(1)).write_text(want)
            continue
        proc = subprocess.run(
            ["bash", "-c", command], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120
        )
        assert matches(want, proc.stdout), f"$ {command}\n{proc.stdout}{proc.stderr}"


def test_agent_example_prints_what_the_readme_shows_and_leaves_nothing(tmp_path):
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    env = dict(os.environ, TMPDIR=str(temporary))
    proc = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "agent_edit.py")],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    shown = [body for info, body, _ in fenced_blocks() if info == "text"]
    assert len(shown) == 2
    for body in shown:
        assert matches("..." + body + "...", proc.stdout), body
    assert list(temporary.iterdir()) == []
