"""The package's modules are typed: mypy --strict accepts them (all but the MCP server, written
against two major versions of its SDK), and the stub of their native helpers matches the installed
extension (mypy's stubtest)."""

import importlib.util
import os
import subprocess
import sys

import pytest
from conftest import IS_PYPY

pytestmark = [
    pytest.mark.skipif(IS_PYPY, reason="mypy runs on CPython"),
    pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed"),
]

MODULES = [
    "brindle_search._edit",
    "brindle_search.files",
    "brindle_search.paths",
    "brindle_search.block_parser",
    "brindle_search.blocks",
    "brindle_search.patch_paths",
    "brindle_search.diff_parser",
    "brindle_search.patches",
    "brindle_search.repairs",
    "brindle_search.results",
    "brindle_search.errors",
    "brindle_search.schema",
    "brindle_search.placement",
    "brindle_search.alignment",
    "brindle_search.line_merge",
    "brindle_search.edit_forms",
    "brindle_search.line_diff",
    "brindle_search.sequence_matcher",
    "brindle_search.records",
    "brindle_search.lazy",
    "brindle_search.edit_report",
    "brindle_search.streaming",
    "brindle_search.tools",
    "brindle_search.cli",
    "brindle_search.commands._common",
    "brindle_search.commands._parsing",
    "brindle_search.commands.edit",
    "brindle_search.commands.apply",
    "brindle_search.commands.rank",
    "brindle_search.commands.locate",
    "brindle_search.commands.mcp",
    "brindle_search",
]


def run(*args, cwd):
    env = {"PATH": "/usr/bin:/bin", "HOME": os.environ.get("HOME", "/tmp")}
    return subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, env=env, cwd=cwd, timeout=600
    )


def test_editing_modules_pass_mypy_strict(tmp_path):
    args = ["mypy", "--strict", "--no-incremental", "--follow-imports=silent"]
    for module in MODULES:
        args += ["-m", module]
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_native_helpers_stub_matches_the_extension(tmp_path):
    result = run("mypy.stubtest", "brindle_search._native", "--concise", cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
