"""The result shapes declared in ``brindle_search.schema``: tied to the native strategy table, to
what the package really returns, to the README's tables, and strict enough for a type checker to
catch a misspelt strategy or error type."""

from __future__ import annotations

import importlib.util
import os
import re
import subprocess
import sys
import textwrap
import typing
from pathlib import Path

import pytest
from conftest import IS_PYPY

import brindle_search as bs
from brindle_search import _native, schema
from brindle_search.blocks import apply_blocks

README = Path(__file__).resolve().parent.parent / "README.md"


def keys(typed_dict: type) -> list[str]:
    return list(typed_dict.__annotations__)


def test_the_strategy_literal_is_the_native_driver_s_table():
    assert typing.get_args(schema.DriverStrategy) == _native.strategy_names() == bs.STRATEGIES
    assert typing.get_args(schema.StrategyName) == (*bs.STRATEGIES, "closest_block")
    assert typing.get_args(schema.BlockStrategy) == (
        *bs.STRATEGIES,
        "closest_block",
        "create",
        "delete",
        "line_number",
    )


def test_error_literals_nest():
    edit_errors = typing.get_args(schema.ErrorType)
    assert typing.get_args(schema.FileErrorType)[: len(edit_errors)] == edit_errors
    assert typing.get_args(schema.CommandErrorType) == (*edit_errors, "io_error", "usage")


@pytest.mark.parametrize(
    ("old", "new", "kwargs", "error_type"),
    [
        ("x = 1", "x = 2", {}, None),
        ("nowhere at all", "y", {}, "not_found"),
        ("a()", "b()", {}, "multiple_matches"),
        ("x = 1", "x = 1", {}, "no_change"),
        (
            "def f():\n    unrelated_call(argument_one)\n    another_unrelated_line = 42\n    return x",
            "pass",
            {"strategies": ["block_anchor"]},
            "refused",
        ),
    ],
)
def test_results_have_the_declared_keys_and_values(old, new, kwargs, error_type):
    text = "def f():\n    a()\n    x = 1\n    a()\n    return x\n"
    data = bs.edit_text(text, old, new, **kwargs).to_dict()
    assert list(data) == keys(schema.EditResultDict)
    assert data["error_type"] == error_type
    assert data["error_type"] is None or data["error_type"] in typing.get_args(schema.ErrorType)
    assert data["strategy"] is None or data["strategy"] in bs.STRATEGIES
    if data["closest_match"] is not None:
        assert list(data["closest_match"]) == keys(schema.ClosestMatchDict)


def test_a_patch_report_has_the_declared_keys(tmp_path):
    (tmp_path / "a.txt").write_text("one\n", encoding="utf-8")
    patch = "a.txt\n<<<<<<< SEARCH\none\n=======\ntwo\n>>>>>>> REPLACE\n"
    patch += "b.txt\n<<<<<<< SEARCH\n=======\nnew\n>>>>>>> REPLACE\n"
    data = apply_blocks(patch, str(tmp_path)).to_dict()
    assert list(data) == keys(schema.PatchReportDict)
    assert all(list(f) == keys(schema.FileDict) for f in data["files"])
    assert [f["strategy"] for f in data["files"]] == [["simple"], ["create"]]


# --- the README ----------------------------------------------------------------------------------


def readme_table(after: str) -> dict[str, str]:
    """The first table after the line starting with ``after``: each key of its first column (a cell
    may name several) mapped to the row's last cell."""
    lines = README.read_text(encoding="utf-8").splitlines()
    start = next(k for k, line in enumerate(lines) if line.startswith(after))
    rows: dict[str, str] = {}
    in_table = False
    for line in lines[start + 1 :]:
        if line.startswith("|"):
            in_table = True
            cells = [cell.strip() for cell in line.strip("|").split("|")]
            for key in re.findall(r"`(\w+)`", cells[0]):
                rows[key] = cells[-1]
        elif in_table:
            break
    return rows


def quoted(cell: str) -> list[str]:
    return re.findall(r'"(\w+)"', cell)


def test_the_readme_edit_json_table_is_the_edit_document():
    rows = readme_table("`edit --json` prints one object")
    assert list(rows) == keys(schema.EditDocument)
    assert quoted(rows["error_type"]) == list(typing.get_args(schema.CommandErrorType))


def test_the_readme_apply_json_table_is_the_file_document():
    rows = readme_table("`apply --json` prints one object")
    assert sorted(rows) == sorted(keys(schema.FileDict))  # one row groups the keys shared with edit
    listed = set(typing.get_args(schema.ErrorType)) | set(quoted(rows["error_type"]))
    assert listed == set(typing.get_args(schema.FileErrorType))


def test_the_readme_tool_table_names_each_tool_s_structured_keys():
    rows = README.read_text(encoding="utf-8").splitlines()
    table = {}
    for line in rows:
        m = re.match(r"^\| `(\w+)\(.*?\)` \| (.*) \|$", line)
        if m:
            table[m.group(1)] = m.group(2)
    assert list(table) == [d["name"] for d in bs.tool_definitions()]
    assert "`EditResult.to_dict()`" in table["edit"]
    assert "`apply --json`" in table["apply"]
    assert re.findall(r"`(\w+)`", table["view"]) == keys(schema.ViewDict)
    matches = keys(schema.FindFilesDict) + keys(schema.FileMatchDict)
    assert re.findall(r"`(\w+)`", table["find_files"]) == matches


# --- a type checker catches misspelt names -------------------------------------------------------

MISSPELT = textwrap.dedent(
    """
    import brindle_search as bs
    from brindle_search.blocks import apply_blocks
    from brindle_search.streaming import StreamingLocator

    result = bs.edit_text("a", "a", "b")
    if result.strategy == "line_trimed":
        pass
    if result.error_type == "not_fund":
        pass
    if result.to_dict()["error_type"] == "multiple_match":
        pass
    if StreamingLocator("a").apply("b").strategy == "simpel":
        pass
    report = apply_blocks("", ".")
    if report.files[0].error_type == "path_refuse":
        pass
    for name in report.to_dict()["files"][0]["strategy"] or []:
        if name == "crate":
            pass
    """
)
CORRECTED = {"line_trimed": "line_trimmed", "not_fund": "not_found", '"multiple_match"': '"multiple_matches"'}
CORRECTED.update({"simpel": "simple", '"path_refuse"': '"path_refused"', "crate": "create"})


@pytest.mark.skipif(IS_PYPY, reason="mypy runs on CPython")
@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_flags_each_misspelt_name_and_accepts_the_right_ones(tmp_path):
    corrected = MISSPELT
    for wrong, right in CORRECTED.items():
        corrected = corrected.replace(wrong, right)
    (tmp_path / "misspelt.py").write_text(MISSPELT, encoding="utf-8")
    (tmp_path / "corrected.py").write_text(corrected, encoding="utf-8")
    env = {"PATH": "/usr/bin:/bin", "HOME": os.environ.get("HOME", "/tmp")}
    if os.environ.get("PYTHONPATH"):  # a source tree put ahead of the installed package
        paths = os.environ["PYTHONPATH"].split(os.pathsep)
        env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in paths if p)
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "misspelt.py", "corrected.py"],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=env,
        timeout=600,
    )
    flagged = re.findall(r"^(\w+)\.py:(\d+): error: Non-overlapping equality check", done.stdout, re.M)
    assert {file for file, _ in flagged} == {"misspelt"}, done.stdout
    lines = MISSPELT.splitlines()
    assert sorted(int(n) for _, n in flagged) == [
        k + 1 for k, line in enumerate(lines) if any(w.strip('"') in line for w in CORRECTED)
    ], done.stdout
    assert len(flagged) == len(CORRECTED)
