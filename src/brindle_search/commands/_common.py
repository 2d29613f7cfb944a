"""What the commands of ``brindle-search`` share: exit codes, UsageError, error and JSON output,
the coloured diff, reading patches and blocks from files or standard input, and the argument
types of more than one command.

Kept light: ``brindle-search --help`` imports it, so it imports nothing of the package, and the
modules a command needs only on some paths (json, argparse for a rejected value) are imported
where they are used.
"""

from __future__ import annotations

import codecs
import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import IO, Any

EXIT_OK = 0
EXIT_NOT_PLACED = 1
EXIT_ERROR = 2

PROG = "brindle-search"


class UsageError(Exception):
    """A problem with the command's arguments or inputs found after parsing: exit code 2."""


# --- output ------------------------------------------------------------------------------------

_COLOURS = {"+": "\x1b[32m", "-": "\x1b[31m", "@": "\x1b[36m"}
_BOLD, _RESET = "\x1b[1m", "\x1b[0m"


def use_colour(stream: IO[str]) -> bool:
    """Colour only on a terminal, and never when NO_COLOR is set to anything but the empty text."""
    if os.environ.get("NO_COLOR", ""):
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def colour_diff(diff: str) -> str:
    """A unified diff with ANSI colours: headers bold, hunks cyan, removals red, additions green."""
    out = []
    for line in diff.split("\n"):
        if line.startswith(("--- ", "+++ ")):
            out.append(f"{_BOLD}{line}{_RESET}")
        elif line[:1] in _COLOURS:
            out.append(f"{_COLOURS[line[:1]]}{line}{_RESET}")
        else:
            out.append(line)
    return "\n".join(out)


def print_json(stream: IO[str], data: Any) -> None:
    import json

    stream.write(json.dumps(data, ensure_ascii=False) + "\n")
    stream.flush()


def fail(message: str) -> None:
    sys.stderr.write(f"{PROG}: {message}\n")


def print_success(out: IO[str], result: Any, label: str) -> None:
    """A placed edit: its label line, the repairs made, and the diff (coloured on a terminal)."""
    out.write(f"{label}\n")
    if result.repairs:
        out.write("repairs: " + ", ".join(result.repairs) + "\n")
    if result.diff:
        diff = result.diff if result.diff.endswith("\n") else result.diff + "\n"
        out.write(colour_diff(diff) if use_colour(out) else diff)


# --- reading inputs ----------------------------------------------------------------------------


def decode(data: bytes, what: str) -> str:
    """UTF-8 text (a BOM dropped), or a UsageError naming the first undecodable byte."""
    skip = len(codecs.BOM_UTF8) if data.startswith(codecs.BOM_UTF8) else 0
    try:
        return data[skip:].decode("utf-8")
    except UnicodeDecodeError as exc:
        raise UsageError(f"{what}: not valid UTF-8 at byte offset {skip + exc.start}") from None


def read_input(path: str | None, what: str) -> str:
    """The UTF-8 text of ``path``, or of standard input when it is None or ``-``."""
    if path is None or path == "-":
        return decode(sys.stdin.buffer.read(), "standard input")
    try:
        with open(path, "rb") as f:
            return decode(f.read(), path)
    except OSError as exc:
        raise UsageError(f"{what} {path}: {exc.strerror or exc}") from None


# --- argument types ----------------------------------------------------------------------------


def bad_value(message: str) -> Exception:
    """The error an argument type raises for a value it rejects (argparse reports it)."""
    import argparse

    return argparse.ArgumentTypeError(message)


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise bad_value(f"not an integer: {text!r}") from None
    if value < 1:
        raise bad_value(f"must be 1 or more, got {value}")
    return value


def line_number(text: str) -> int:
    value = positive_int(text)
    if value >= 2**32:
        raise bad_value(f"must be below 2**32, got {value}")
    return value
