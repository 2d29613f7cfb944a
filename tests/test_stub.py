"""The shipped type stub stays true to the module (checked by mypy's stubtest)."""

import importlib.util
import pathlib
import subprocess
import sys

import pytest
from conftest import IS_PYPY

STUB_DIR = pathlib.Path(__file__).resolve().parent.parent / "src"


@pytest.mark.skipif(IS_PYPY, reason="stubtest needs CPython's introspection")
@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_stub_matches_the_runtime_module():
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_brindle_search", "--concise"],
        capture_output=True,
        text=True,
        env={"MYPYPATH": str(STUB_DIR), "PATH": "/usr/bin:/bin"},
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
