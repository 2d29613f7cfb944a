"""What starting the command line imports: ``brindle-search --help`` and ``import
brindle_search.cli`` import none of the editing machinery, each command imports only what it
uses, and the package's names, loaded on first use, are the objects of their defining modules.

The installed console script is run in a subprocess (through runpy, so that the modules it
imported can be listed after it ends); nothing here is timed (bench/bench_startup.py times it).
"""

import ast
import importlib
import json
import os
import pathlib
import subprocess
import sys

import pytest

import brindle_search
from brindle_search import cli

SCRIPT = os.path.join(os.path.dirname(sys.executable), "brindle-search")
PACKAGE = pathlib.Path(brindle_search.__file__).parent

EDITING = {"brindle_search._edit", "brindle_search.patches", "brindle_search.placement", "_brindle_search"}
OTHERS = {"brindle_search.ranking", "brindle_search.streaming", "brindle_search.tools"}
MCP = {"mcp", "brindle_search.mcp_server", "anyio"}
COMMON = "brindle_search.commands._common"

RUN_SCRIPT = """
import json, runpy, sys
script, listing, *args = sys.argv[1:]
sys.argv = [script, *args]
try:
    runpy.run_path(script, run_name="__main__")
except SystemExit as exc:
    code = exc.code
with open(listing, "w") as f:
    json.dump({"code": code, "modules": sorted(sys.modules)}, f)
"""


def modules_after(tmp_path, *args):
    """(exit code, modules imported) of one run of the installed command."""
    assert os.path.exists(SCRIPT), f"console script not installed: {SCRIPT}"
    listing = tmp_path / "modules.json"
    proc = subprocess.run(
        [sys.executable, "-c", RUN_SCRIPT, SCRIPT, str(listing), *args],
        cwd=tmp_path,
        capture_output=True,
        timeout=120,
    )
    assert listing.exists(), proc.stderr.decode()
    data = json.loads(listing.read_text())
    return data["code"], set(data["modules"])


def test_importing_the_command_line_imports_nothing_of_the_editing_machinery():
    proc = subprocess.run(
        [sys.executable, "-c", "import sys, brindle_search.cli; print('\\n'.join(sys.modules))"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    imported = set(proc.stdout.split())
    assert "brindle_search.cli" in imported
    assert not imported & (EDITING | OTHERS | MCP)
    assert not any(name.startswith("brindle_search.commands.") for name in imported - {COMMON})


@pytest.mark.parametrize(
    ("args", "needed", "not_needed"),
    [
        (["--help"], set(), EDITING | OTHERS | MCP),
        (["--version"], set(), EDITING | OTHERS | MCP),
        (["apply", "patch.txt"], {"brindle_search.patches"}, OTHERS | MCP),
        (["edit", "app.py", "--old", "x = 1", "--new", "x = 2"], {"brindle_search._edit"}, OTHERS | MCP),
        (["rank", "x", "--from", "app.py"], {"brindle_search.ranking"}, EDITING - {"_brindle_search"} | MCP),
        (["mcp", "--help"], set(), EDITING | OTHERS | MCP),
    ],
    ids=lambda value: " ".join(value) if isinstance(value, list) else "",
)
def test_each_command_imports_what_it_uses(tmp_path, args, needed, not_needed):
    (tmp_path / "app.py").write_text("x = 1\n")
    (tmp_path / "patch.txt").write_text("app.py\n<<<<<<< SEARCH\nx = 1\n=======\nx = 2\n>>>>>>> REPLACE\n")
    code, imported = modules_after(tmp_path, *args)
    assert code in (0, None)
    assert needed <= imported
    assert not imported & not_needed, sorted(imported & not_needed)
    # Of the command modules, only the one of the command run.
    commands = {name for name in imported if name.startswith("brindle_search.commands.")}
    chosen = {f"brindle_search.commands.{args[0]}"} if args[0] in cli.COMMANDS else set()
    assert commands == chosen | {COMMON}


def test_the_command_table_agrees_with_the_command_modules():
    modules = sorted(p.stem for p in (PACKAGE / "commands").glob("*.py") if not p.stem.startswith("_"))
    assert sorted(cli.COMMANDS) == modules
    for name, help_text in cli.COMMANDS.items():
        module = importlib.import_module(f"brindle_search.commands.{name}")
        assert (module.NAME, module.HELP) == (name, help_text)
        assert callable(module.add_options) and callable(module.run)
        assert module.DESCRIPTION and module.EXAMPLE


def type_checking_imports():
    """{name: defining module} of the imports the package's __init__ makes for type checkers."""
    tree = ast.parse((PACKAGE / "__init__.py").read_text(encoding="utf-8"))
    guard = next(
        node for node in tree.body if isinstance(node, ast.If) and ast.unparse(node.test) == "TYPE_CHECKING"
    )
    origins = {}
    for node in guard.body:
        assert isinstance(node, ast.ImportFrom)
        module = "brindle_search." + node.module if node.level else node.module
        origins.update({alias.name: module for alias in node.names})
    return origins


def test_the_lazily_loaded_names_are_those_the_type_checkers_see():
    origins = type_checking_imports()
    assert origins == brindle_search._ORIGINS
    assert set(origins) | {"__version__"} == set(brindle_search.__all__)


def test_every_public_name_loads_in_a_fresh_interpreter_as_its_defining_modules_object():
    code = """
import importlib, sys
import brindle_search as bs
assert "brindle_search._edit" not in sys.modules
assert set(bs.__all__) <= set(dir(bs))
namespace = {}
exec("from brindle_search import *", namespace)
for name, origin in bs._ORIGINS.items():
    value = getattr(importlib.import_module(origin), name)
    assert getattr(bs, name) is value is namespace[name], name
try:
    bs.no_such_name
except AttributeError as exc:
    assert "no_such_name" in str(exc)
else:
    raise AssertionError("no AttributeError")
print("ok")
"""
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.stdout == "ok\n", proc.stderr


def test_rank_candidates_is_still_the_command_lines():
    from brindle_search.cli import rank_candidates
    from brindle_search.commands.rank import rank_candidates as defined

    assert rank_candidates is defined
    with pytest.raises(AttributeError):
        cli.no_such_name  # noqa: B018
