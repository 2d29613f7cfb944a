"""Reading the command line without argparse when it is plainly well formed.

Importing argparse (with ``re``, ``gettext`` and ``shutil``) costs a short command more than all
of its own work, so ``cli`` first tries ``parse``: the command's options are recorded from its
``add_options`` (the part of argparse's interface the commands use), and an argument list made
only of the command's name, exact option names, values that do not start with ``-`` and the
expected number of positionals is read here, into the names argparse would give. Anything else
(``-h``, abbreviations, ``--``, repeated or conflicting options, a value a converter rejects, a
missing argument) returns None, and argparse parses it and writes its own help or error. The
top-level ``--help`` and ``--version`` are written here too, as argparse writes them, whenever
the help needs no wrapping that ``textwrap`` would do differently.
"""

from __future__ import annotations

import os
import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Mapping, Sequence
    from typing import Any


class Arguments:
    """The values of a command line read here, as attributes (argparse's Namespace, without
    argparse)."""

    def __init__(self, **values: Any) -> None:
        self.__dict__.update(values)

    def __repr__(self) -> str:
        return "Arguments(" + ", ".join(f"{k}={v!r}" for k, v in self.__dict__.items()) + ")"


class _Option:
    """One ``add_argument`` call: an option (names starting with ``-``) or a positional."""

    __slots__ = ("names", "dest", "takes_value", "const", "default", "convert", "required", "group")

    def __init__(self, names: tuple[str, ...], kwargs: Mapping[str, Any], group: int | None) -> None:
        action = kwargs.get("action", "store")
        if action not in ("store", "store_true", "store_false"):
            raise ValueError(f"unsupported action {action!r}")
        unsupported = set(kwargs) - {"action", "dest", "default", "type", "metavar", "help", "nargs"}
        if unsupported or kwargs.get("nargs", "?") != "?":
            raise ValueError(f"unsupported arguments {sorted(unsupported) or kwargs.get('nargs')}")
        self.names = names
        positional = not names[0].startswith("-")
        long_names = [name for name in names if name.startswith("--")]
        if kwargs.get("dest"):
            self.dest = kwargs["dest"]
        elif positional:
            self.dest = names[0]
        else:
            self.dest = (long_names or list(names))[0].lstrip("-").replace("-", "_")
        self.takes_value = action == "store"
        self.const = action == "store_true"
        default = kwargs.get("default", None if self.takes_value else not self.const)
        self.convert: Callable[[str], Any] | None = kwargs.get("type")
        # argparse converts a default given as text with the option's type.
        if isinstance(default, str) and self.convert is not None:
            default = self.convert(default)
        self.default = default
        self.required = positional and "nargs" not in kwargs
        self.group = group


class _Group:
    def __init__(self, recorder: Recorder, index: int) -> None:
        self._recorder = recorder
        self._index = index

    def add_argument(self, *names: str, **kwargs: Any) -> None:
        self._recorder.options.append(_Option(names, kwargs, self._index))


class Recorder:
    """Takes a command's ``add_options`` calls in place of an ``argparse.ArgumentParser``."""

    def __init__(self) -> None:
        self.options: list[_Option] = []
        self.required_groups: list[bool] = []

    def add_argument(self, *names: str, **kwargs: Any) -> None:
        self.options.append(_Option(names, kwargs, None))

    def add_mutually_exclusive_group(self, required: bool = False) -> _Group:
        self.required_groups.append(required)
        return _Group(self, len(self.required_groups) - 1)


def parse(recorder: Recorder, arguments: Sequence[str]) -> dict[str, Any] | None:
    """The values of the options and positionals in ``arguments`` (those that follow the
    command's name) by destination, or None when argparse must read them."""
    by_name = {name: option for option in recorder.options for name in option.names if name[0] == "-"}
    positionals = [option for option in recorder.options if option.names[0][0] != "-"]
    values: dict[str, Any] = {}
    given: list[_Option] = []
    k = 0
    while k < len(arguments):
        arg = arguments[k]
        k += 1
        if arg.startswith("-") and arg != "-":
            name, equals, value = arg.partition("=")
            option = by_name.get(name if arg.startswith("--") else arg)
            if option is None or option in given:
                return None
            if option.takes_value:
                if not equals:
                    if k == len(arguments) or arguments[k].startswith("-"):
                        return None
                    value = arguments[k]
                    k += 1
                if option.convert is not None:
                    try:
                        value = option.convert(value)
                    except Exception:  # argparse reports it, in its own words
                        return None
                values[option.dest] = value
            elif equals:
                return None
            else:
                values[option.dest] = option.const
            given.append(option)
        else:
            if not positionals:
                return None
            option = positionals.pop(0)
            values[option.dest] = arg
            given.append(option)
    if any(option.required for option in positionals):
        return None
    for index, required in enumerate(recorder.required_groups):
        members = sum(option.group == index for option in given)
        if members > 1 or (required and members == 0):
            return None
    for option in recorder.options:
        values.setdefault(option.dest, option.default)
    return values


# --- the top-level help and version ------------------------------------------------------------


def terminal_columns() -> int:
    """The columns argparse formats its help for: $COLUMNS, else the terminal's, else 80."""
    try:
        columns = int(os.environ["COLUMNS"])
    except (KeyError, ValueError):
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns or 80  # type: ignore[union-attr]
        except (AttributeError, ValueError, OSError):  # no standard output (None), or not a terminal
            columns = 80
    return columns


def _wrap(text: str, width: int) -> list[str] | None:
    """Greedy wrapping of words at single spaces, as textwrap.wrap does for text without hyphens,
    tabs or words longer than the width (None for such text)."""
    words = text.split()
    if any("-" in word or len(word) > width for word in words):
        return None
    lines: list[str] = []
    line = ""
    for word in words:
        if line and len(line) + 1 + len(word) > width:
            lines.append(line)
            line = word
        else:
            line = f"{line} {word}" if line else word
    return [*lines, line] if line else lines


def top_level_help(
    prog: str, description: str, epilog: str, commands: Mapping[str, str], columns: int
) -> str | None:
    """The top-level ``--help`` of the command line for a terminal of ``columns`` columns, laid
    out as argparse's RawDescriptionHelpFormatter does, or None when argparse must lay it out."""
    width = columns - 2
    usage = f"usage: {prog} [-h] [--version] COMMAND ..."
    if width < 60 or len(usage) > width:
        return None
    rows = [
        ("-h, --help", 2, "show this help message and exit"),
        ("--version", 2, "show program's version number and exit"),
    ]
    listed = [(name, 4, text) for name, text in commands.items()]
    longest = max(len(name) + indent for name, indent, _ in [*rows, *listed, ("COMMAND", 2, "")])
    column = min(longest + 2, 24)
    if any(len(name) + indent + 2 > column for name, indent, _ in rows + listed):
        return None

    def item(name: str, indent: int, text: str) -> str | None:
        lines = _wrap(text, max(width - column, 11))
        if lines is None:
            return None
        head = f"{' ' * indent}{name}".ljust(column) + lines[0]
        return "\n".join([head] + [" " * column + line for line in lines[1:]]) + "\n"

    items = [item(*row) for row in listed + rows]
    if any(text is None for text in items):
        return None
    heading = "options:" if sys.version_info >= (3, 10) else "optional arguments:"
    return (
        f"{usage}\n\n{description}\n\npositional arguments:\n  COMMAND\n"
        + "".join(items[: len(listed)])  # type: ignore[arg-type]
        + f"\n{heading}\n"
        + "".join(items[len(listed) :])  # type: ignore[arg-type]
        + f"\n{epilog}\n"
    )
