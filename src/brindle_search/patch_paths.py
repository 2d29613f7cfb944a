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

from .records import record

__all__ = ["PathText", "clean_path", "path_problem", "unquote_c"]

#: A label before a path (``File: x.py``, ``new file path: x.py``), matched case-insensitively.
#: A line is searched for it only when it holds a colon and begins with a letter a label may
#: begin with.
_LABEL_STARTS = frozenset("nmcuedfpNMCUEDFP")
LABEL = (
    r"^(?:(?:new|modified|changed|updated|edited|deleted|created)\s+)?"
    r"(?:file\s*name|file\s*path|file|filename|path)\s*:(?!//)\s*"
)
_PAIRS = (("```", "```"), ("``", "``"), ("`", "`"), ("**", "**"), ("*", "*"), ('"', '"'), ("'", "'"))

#: Characters that never stand in a path a model means: Markdown and shell punctuation, and the
#: control characters (below a space, and DEL).
NOT_IN_PATH = frozenset('<>|`"*?\x7f') | frozenset(map(chr, range(32)))
_SENTENCE_END = (".", ",", ";", ":", "!", "?")
_ASCII_ALNUM = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789")

_C_ESCAPES = {"a": 7, "b": 8, "t": 9, "n": 10, "v": 11, "f": 12, "r": 13, '"': 34, "\\": 92}


@record(frozen=True)
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
            octal = text[i + 1 : i + 4]
            if len(octal) == 3 and octal[0] in "0123" and octal[1] in "01234567" and octal[2] in "01234567":
                out.append(int(octal, 8))
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
        path = _after_heading(path)
        path = _after_bullet(path)
        if path[:1] in _LABEL_STARTS and ":" in path:
            import re

            path = re.sub(LABEL, "", path, count=1, flags=re.IGNORECASE)
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


def _after_blanks(text: str, start: int) -> str:
    """``text`` from the end of the blanks (one or more) at ``start``; ``text`` when there are none."""
    end = start
    while end < len(text) and text[end].isspace():
        end += 1
    return text[end:] if end > start else text


def _after_heading(path: str) -> str:
    """``path`` without a Markdown heading's one to six ``#`` and the blanks after them."""
    hashes = len(path) - len(path.lstrip("#"))
    return _after_blanks(path, hashes) if 1 <= hashes <= 6 else path


def _after_bullet(path: str) -> str:
    """``path`` without a list item's bullet (``-``, ``*``, ``+``, or one to three digits and ``.``
    or ``)``) and the blanks after it."""
    if path[:1] in ("-", "*", "+"):
        return _after_blanks(path, 1)
    digits = 0
    while digits < min(len(path), 4) and path[digits].isdecimal():
        digits += 1
    if 1 <= digits <= 3 and path[digits : digits + 1] in (".", ")"):
        return _after_blanks(path, digits + 1)
    return path


def _has_extension(name: str) -> bool:
    """``name`` ends in a dot and one to eight ASCII letters or digits, after a character that is not
    blank (a line feed after them allowed)."""
    if name.endswith("\n"):
        name = name[:-1]
    dot = name.rfind(".")
    suffix = name[dot + 1 :]
    return (
        dot >= 1
        and 1 <= len(suffix) <= 8
        and all(ch in _ASCII_ALNUM for ch in suffix)
        and not name[dot - 1].isspace()
    )


def _spaced_name(path: str) -> bool:
    """An unquoted path with a blank that still reads as a file name: the blank is in the file's
    own name (never in a folder's, so no folder is made of two words of prose), once, and the
    name ends in an extension (``notes 2.txt``)."""
    *folders, name = path.replace("\\", "/").split("/")
    if any(any(ch.isspace() for ch in folder) for folder in folders):
        return False
    blanks = [ch for ch in name if ch.isspace()]
    return blanks == [" "] and _has_extension(name)


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
    bad = next((ch for ch in path if ch in NOT_IN_PATH), None)
    if bad is not None:
        return f"not a file path (it holds {bad!r})"
    if path.endswith(_SENTENCE_END):
        return f"not a file path (it ends in {path[-1]!r})"
    return None
