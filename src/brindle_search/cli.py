"""The ``brindle-search`` command line: a thin shell over the package's functions.

One sub-command per verb::

    brindle-search edit FILE --old TEXT --new TEXT   edit_file
    brindle-search apply [PATCH] [--root DIR]       apply_patch (SEARCH/REPLACE blocks or a diff)
    brindle-search rank PATTERN [--from FILE]        extract (get_best_matches order)
    brindle-search locate FILE < old-block           StreamingLocator, line by line
    brindle-search mcp [--root DIR]                  the MCP server over stdio (mcp_server)

Exit codes: 0 success; 1 an edit was not placed, or nothing was ranked or located; 2 a usage or
I/O error (argparse's own usage errors exit with 2 as well). Every ``--json`` output is one
JSON document per answer with the fixed keys listed in the README; keys are only ever added.
"""

from __future__ import annotations

import os
import sys

from . import __version__
from .commands import _parsing
from .commands._common import EXIT_ERROR, PROG
from .lazy import import_module

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Iterable, Sequence
    from typing import Any

    from .commands.rank import rank_candidates

__all__ = ["main", "build_parser", "parse_arguments", "rank_candidates"]

#: The commands, in the order of the usage, each with its line of the top-level usage (the HELP of
#: its module ``commands.<name>``). Only the module of the command being run is imported.
COMMANDS = {
    "edit": "replace a block of FILE, tolerating the usual differences of a model's memory",
    "apply": "apply SEARCH/REPLACE edit blocks or a unified diff to files under a root folder",
    "rank": "rank candidate lines by a fuzzy PATTERN",
    "locate": "locate a block streamed on standard input in FILE, line by line",
    "mcp": "serve the file tools to an agent over the Model Context Protocol (stdio)",
}


def command_module(name: str) -> Any:
    """The module ``brindle_search.commands.<name>`` of a command of COMMANDS."""
    return import_module(f"{__package__}.commands.{name}")


DESCRIPTION = "Tolerant edits of source files, fuzzy ranking and streaming location."
EPILOG = (
    "exit codes: 0 success; 1 an edit was not placed, or nothing ranked or located;\n"
    "            2 usage or I/O error\n\n"
    "example:\n  brindle-search edit app.py --old 'return 1' --new 'return 2' --dry-run"
)


def build_parser(commands: Iterable[str] | None = None) -> argparse.ArgumentParser:
    """The parser of the command line, with the options of each of ``commands`` (default: all)
    added from their modules; the other commands are only listed, with their help line."""
    import argparse

    chosen = set(COMMANDS if commands is None else commands)
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for name, help_text in COMMANDS.items():
        if name not in chosen:
            sub.add_parser(name, help=help_text)
            continue
        module = command_module(name)
        command = sub.add_parser(
            name,
            help=help_text,
            description=module.DESCRIPTION,
            epilog=f"example:\n{module.EXAMPLE}",
            formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        module.add_options(command)
        command.set_defaults(handler=module.run)
    return parser


def parse_arguments(arguments: Sequence[str]) -> Any:
    """The parsed arguments (``command``, ``handler`` and the command's options); argparse's
    usage errors, ``--help`` and ``--version`` exit as argparse makes them exit."""
    name = _command_name(arguments)
    if arguments and name in COMMANDS and arguments[0] == name:
        module = command_module(name)
        recorder = _parsing.Recorder()
        module.add_options(recorder)
        values = _parsing.parse(recorder, arguments[1:])
        if values is not None:
            return _parsing.Arguments(command=name, **values, handler=module.run)
    elif len(arguments) == 1 and arguments[0] in ("-h", "--help"):
        text = _parsing.top_level_help(PROG, DESCRIPTION, EPILOG, COMMANDS, _parsing.terminal_columns())
        if text is not None:
            sys.stdout.write(text)
            raise SystemExit(0)
    elif list(arguments) == ["--version"]:
        sys.stdout.write(f"{PROG} {__version__}\n")
        raise SystemExit(0)
    return build_parser([name] if name in COMMANDS else []).parse_args(arguments)


def _command_name(argv: Sequence[str]) -> str | None:
    """The command named in ``argv``: its first argument that is not an option (the top-level
    options take no value)."""
    for k, arg in enumerate(argv):
        if arg == "--":
            return argv[k + 1] if k + 1 < len(argv) else None
        if not arg.startswith("-") or arg == "-":
            return arg
    return None


if not TYPE_CHECKING:  # the checkers know rank_candidates from its import above

    def __getattr__(name: str) -> Any:
        # rank_candidates is the rank command's, and loads the ranking only when it is asked for.
        if name == "rank_candidates":
            return command_module("rank").rank_candidates
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def _utf8_streams() -> None:
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(encoding="utf-8", errors="backslashreplace")


#: Options whose value is taken as written, even when it starts with '-' (``--old -v``).
_LITERAL_VALUES = ("--old", "--new")


def _literal_values(argv: Sequence[str]) -> list[str]:
    """The arguments with each literal option joined to its value (``--old=-v``), which argparse
    would otherwise read as an option of its own."""
    out: list[str] = []
    k = 0
    while k < len(argv):
        arg = argv[k]
        if arg == "--":
            out.extend(argv[k:])
            break
        if arg in _LITERAL_VALUES and k + 1 < len(argv):
            out.append(f"{arg}={argv[k + 1]}")
            k += 2
            continue
        out.append(arg)
        k += 1
    return out


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit code."""
    _utf8_streams()
    args = parse_arguments(_literal_values(sys.argv[1:] if argv is None else argv))
    try:
        return int(args.handler(args))
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly, and keep Python's exit-time flush quiet.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_ERROR
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
