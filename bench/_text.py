"""Shared by the benchmarks: the module's line and trimming rules in plain Python, and real inputs
(the largest modules of the installed standard library)."""

import os
import sysconfig

# The Unicode White_Space characters, which trimming removes at both ends of a line.
WHITE_SPACE = "".join(
    map(
        chr,
        [
            *range(0x09, 0x0E),
            0x20,
            0x85,
            0xA0,
            0x1680,
            *range(0x2000, 0x200B),
            0x2028,
            0x2029,
            0x202F,
            0x205F,
            0x3000,
        ],
    )
)


def split_lines(text):
    """Lines cut after each LF, the LF and one CR before it removed, no empty line after a final LF."""
    parts = text.split("\n")
    last = parts.pop()
    lines = [p[:-1] if p.endswith("\r") else p for p in parts]
    if last:
        lines.append(last)
    return lines


def trim(s):
    return s.strip(WHITE_SPACE)


_SKIP_DIRS = {
    "site-packages",
    "dist-packages",
    "test",
    "tests",
    "idlelib",
    "pydoc_data",
    "lib2to3",
    "__pycache__",
}


def largest_stdlib_files(count):
    """The `count` largest .py files of the standard library, as (path, text), largest first."""
    root = sysconfig.get_paths()["stdlib"]
    found = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = [d for d in dirnames if d not in _SKIP_DIRS]
        for name in filenames:
            if not name.endswith(".py"):
                continue
            path = os.path.join(dirpath, name)
            try:
                with open(path, encoding="utf-8", newline="") as fh:
                    text = fh.read()
            except (OSError, UnicodeDecodeError):
                continue
            found.append((len(text), path, text))
    found.sort(key=lambda item: -item[0])
    return [(path, text) for _, path, text in found[:count]]


def stdlib_code(line_count):
    """About `line_count` lines of real code: the largest standard-library modules concatenated,
    cut at a line boundary, as one text ending in LF."""
    lines = []
    for _, text in largest_stdlib_files(200):
        lines.extend(split_lines(text))
        if len(lines) >= line_count:
            break
    return "\n".join(lines[:line_count]) + "\n"
