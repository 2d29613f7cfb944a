"""What starting the command line imports: ``brindle-search --help`` and ``import
brindle_search.cli`` import none of the editing machinery, each command imports only what it
uses, and the package's names, loaded on first use, are the objects of their defining modules.

The installed console script is run in a subprocess (its code executed by a small harness, so
that the modules it imported can be listed after it ends); nothing here is timed
(bench/bench_startup.py times it).
"""

import ast
import importlib
import os
import pathlib
import random
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
SHARED = {"brindle_search.commands._common", "brindle_search.commands._parsing"}
# Standard modules whose import alone costs a short run more than its own work.
HEAVY = {"argparse", "re", "dataclasses", "typing", "difflib", "inspect", "json", "shutil"}

# The script is run without runpy and the listing written without json, which would import re and
# typing themselves.
RUN_SCRIPT = """
import sys
script, listing, *args = sys.argv[1:]
sys.argv = [script, *args]
code = None
try:
    with open(script) as f:
        exec(compile(f.read(), script, "exec"), {"__name__": "__main__"})
except SystemExit as exc:
    code = exc.code
with open(listing, "w") as f:
    f.write(repr(code) + "\\n" + "\\n".join(sorted(sys.modules)))
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
    code, *modules = listing.read_text().split("\n")
    return ast.literal_eval(code), set(modules)


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
    assert not any(name.startswith("brindle_search.commands.") for name in imported - SHARED)


@pytest.mark.parametrize(
    ("args", "needed", "not_needed"),
    [
        (["--help"], set(), EDITING | OTHERS | MCP | HEAVY),
        (["--version"], set(), EDITING | OTHERS | MCP | HEAVY),
        (["apply", "patch.txt"], {"brindle_search.patches"}, OTHERS | MCP | HEAVY),
        (
            ["edit", "app.py", "--old", "x = 1", "--new", "x = 2"],
            {"brindle_search._edit"},
            OTHERS | MCP | HEAVY,
        ),
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
    assert commands == chosen | SHARED


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


# --- the command line read without argparse ---------------------------------------------------

TOP_LEVEL = ["-h", "--help", "--version", "--", "--verbose", "-"]
VALUES = ["x.py", "-", "-v", "--json", "", "0", "1", "-3", "2.5", "4294967296", "a,b", "utf-8", "nope", "=x"]


def _arguments(rng, name):
    """A random argument list for command ``name``: mostly what it requires (its positionals, one
    option of each required group), then its own options (spelt whole, abbreviated, with ``=``),
    values, positionals and the odd top-level option, in random order."""
    module = cli.command_module(name)
    recorder = cli._parsing.Recorder()
    module.add_options(recorder)
    spellings = [n for option in recorder.options for n in option.names if n.startswith("-")]
    chunks = []
    if rng.random() < 0.8:
        chunks += [[rng.choice(VALUES[:1] + VALUES[4:])] for o in recorder.options if o.required]
        for index, _ in enumerate(recorder.required_groups):
            members = [o for o in recorder.options if o.group == index]
            chunks.append([rng.choice(members).names[0], rng.choice(["x", "y = 1", "utf-8"])])
    for _ in range(rng.randrange(5)):
        words = chunks[-1] if chunks and rng.random() < 0.5 else []
        if not words:
            chunks.append(words)
        kind = rng.random()
        if kind < 0.45 and spellings:
            option = rng.choice(spellings)
            if rng.random() < 0.1:
                option = option[: rng.randrange(min(3, len(option)), len(option) + 1)]
            words.append(option + ("=" + rng.choice(VALUES) if rng.random() < 0.2 else ""))
        elif kind < 0.95:
            words.append(rng.choice(VALUES))
        else:
            words.append(rng.choice(TOP_LEVEL))
    rng.shuffle(chunks)
    head = [name] if rng.random() < 0.95 else [rng.choice([*cli.COMMANDS, *TOP_LEVEL])]
    return head + [word for chunk in chunks for word in chunk]


def _argparse(arguments):
    try:
        return vars(
            cli.build_parser([arguments[0]] if arguments[0] in cli.COMMANDS else []).parse_args(arguments)
        )
    except SystemExit:
        return None


@pytest.mark.parametrize("name", sorted(cli.COMMANDS))
def test_arguments_read_without_argparse_are_read_as_argparse_reads_them(name, capsys):
    rng = random.Random(name)
    fast = 0
    for _ in range(400):
        arguments = cli._literal_values(_arguments(rng, name))
        module = cli.command_module(name)
        recorder = cli._parsing.Recorder()
        module.add_options(recorder)
        values = cli._parsing.parse(recorder, arguments[1:]) if arguments[0] == name else None
        if values is None:
            continue
        fast += 1
        expected = _argparse(arguments)
        assert expected is not None, arguments
        assert {"command": name, **values, "handler": module.run} == expected, arguments
    capsys.readouterr()
    assert fast >= 60  # the generated lists reach the fast reading


@pytest.mark.parametrize("columns", [*range(40, 130, 7), 200, 1000])
def test_the_top_level_help_is_argparse_s(monkeypatch, columns, capsys):
    monkeypatch.setenv("COLUMNS", str(columns))
    text = cli._parsing.top_level_help(cli.PROG, cli.DESCRIPTION, cli.EPILOG, cli.COMMANDS, columns)
    with pytest.raises(SystemExit):
        cli.build_parser([]).parse_args(["--help"])
    expected = capsys.readouterr().out
    assert text in (None, expected)
    assert text is not None or columns < 62


@pytest.mark.parametrize("columns", ["", "0", "abc", "57", "200"])
def test_the_help_s_width_is_the_one_argparse_uses(monkeypatch, columns):
    import shutil

    monkeypatch.setenv("COLUMNS", columns)
    assert cli._parsing.terminal_columns() == shutil.get_terminal_size().columns


@pytest.mark.parametrize("args", [["--help"], ["--version"], ["-h"]])
def test_help_and_version_print_what_argparse_prints(tmp_path, args):
    env = {**os.environ, "COLUMNS": "90"}
    got = subprocess.run([SCRIPT, *args], capture_output=True, text=True, env=env, timeout=120)
    code = f"from brindle_search import cli; cli.build_parser([]).parse_args({args!r})"
    want = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=120)
    assert (got.returncode, got.stdout, got.stderr) == (want.returncode, want.stdout, want.stderr)
