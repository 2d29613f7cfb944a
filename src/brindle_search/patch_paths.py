"""The file path written on a line of a patch: decorations taken off, and whether it is one.

Models decorate the name of the file they edit: a Markdown heading (``### pkg/helpers.py``),
backticks or emphasis (`` `pkg/helpers.py` ``, ``**pkg/helpers.py**``), a label
(``File: pkg/helpers.py``), a list bullet, a trailing colon (``pkg/helpers.py:``), quotes.
``clean_path`` takes all of them off, in any combination, and reads a path that ``git`` quoted in
C style (``"a/caf\\303\\251.py"``). ``path_problem`` then says why what is left is not a path a
patch may name, or None; both parsers (SEARCH/REPLACE blocks and unified diffs) read their path
lines through these two functions, so that a line of prose is never taken for a folder to create.
Where a path may go (inside the root, not in ``.git``) is the business of ``paths``.
"""

from __future__ import annotations

import re
from dataclasses import dataclass

__all__ = ["PathText", "clean_path", "path_problem", "unquote_c"]

_HEADING = re.compile(r"^#{1,6}\s+")
_BULLET = re.compile(r"^(?:[-*+]|\d{1,3}[.)])\s+")
_LABEL = re.compile(
    r"^(?:(?:new|modified|changed|updated|edited|deleted|created)\s+)?"
    r"(?:file\s*name|file\s*path|file|filename|path)\s*:(?!//)\s*",
    re.IGNORECASE,
)
_PAIRS = (("```", "```"), ("``", "``"), ("`", "`"), ("**", "**"), ("*", "*"), ('"', '"'), ("'", "'"))

#: Characters that never stand in a path a model means: Markdown and shell punctuation.
_NOT_IN_PATH = re.compile(r"[<>|`\"*?\x00-\x1f\x7f]")
_SENTENCE_END = (".", ",", ";", ":", "!", "?")
_EXTENSION = re.compile(r"\S\.[A-Za-z0-9]{1,8}$")

_C_ESCAPES = {"a": 7, "b": 8, "t": 9, "n": 10, "v": 11, "f": 12, "r": 13, '"': 34, "\\": 92}


@dataclass(frozen=True)
class PathText:
    """A path as written on a line, its decorations taken off; ``quoted`` when quotes enclosed it."""

    path: str
    quoted: bool = False  # enclosed in quotes or backticks


def unquote_c(text: str) -> str:
    """The name inside a C-style quoted path (``"a\\303\\251"``, as ``git`` writes unusual names).

    Octal escapes are bytes of the UTF-8 name; a malformed escape is kept as written.
    """
    out = bytearray()
    i = 0
    while i < len(text):
        ch = text[i]
        if ch == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            octal = re.match(r"[0-3][0-7]{2}", text[i + 1 : i + 4])
            if octal:
                out.append(int(octal.group(0), 8))
                i += 4
                continue
            if nxt in _C_ESCAPES:
                out.append(_C_ESCAPES[nxt])
                i += 2
                continue
        out.extend(ch.encode("utf-8", "surrogatepass"))
        i += 1
    return out.decode("utf-8", "replace")


def clean_path(line: str) -> PathText:
    """The path written on `line` without its decorations (see the module documentation)."""
    path = line.strip()
    quoted = False
    while True:
        before = path
        path = _HEADING.sub("", path, count=1)
        path = _BULLET.sub("", path, count=1)
        path = _LABEL.sub("", path, count=1)
        if path.endswith(":") and not path.endswith("::"):
            path = path[:-1].rstrip()
        for opening, closing in _PAIRS:
            n = len(opening)
            if len(path) > 2 * n and path.startswith(opening) and path.endswith(closing):
                inner = path[n:-n]
                if opening == '"' and "\\" in inner:
                    inner = unquote_c(inner)
                if opening[0] in "`\"'":  # code spans and quotes delimit the name: blanks may be in it
                    quoted = True
                path = inner if opening[0] in "\"'" else inner.strip()
                break
        if path == before:
            return PathText(path, quoted)


def _spaced_name(path: str) -> bool:
    """An unquoted path with a blank that still reads as a file name: the blank is in the file's
    own name (never in a folder's, so no folder is made of two words of prose), once, and the
    name ends in an extension (``notes 2.txt``)."""
    *folders, name = re.split(r"[/\\]", path)
    if any(any(ch.isspace() for ch in folder) for folder in folders):
        return False
    blanks = [ch for ch in name if ch.isspace()]
    return blanks == [" "] and bool(_EXTENSION.search(name))


def path_problem(found: PathText, *, spaces: bool = False) -> str | None:
    """Why `found` is not a path a patch may name, or None when it is one.

    A path line names one file and nothing else: a line with blanks in it is prose unless the
    path was quoted or in backticks, or the blank is one in the name of the file itself (see
    ``_spaced_name``), or `spaces` allows them (in the header lines of a diff, which hold nothing
    but a path). Markdown and shell punctuation, control characters and a sentence's last
    character are never part of the path a model meant.
    """
    path = found.path
    if not path:
        return "no file path on it"
    if path != path.strip():
        return "the path begins or ends with blanks"
    if not (spaces or found.quoted) and any(ch.isspace() for ch in path) and not _spaced_name(path):
        return "not a file path (a path line holds only the path; quote a path that has blanks)"
    bad = _NOT_IN_PATH.search(path)
    if bad is not None:
        return f"not a file path (it holds {bad.group(0)!r})"
    if path.endswith(_SENTENCE_END):
        return f"not a file path (it ends in {path[-1]!r})"
    return None
