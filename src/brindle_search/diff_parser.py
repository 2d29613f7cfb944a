"""Reading unified diffs out of the text a language model wrote; no I/O.

A diff holds any number of files, each with a header and hunks::

    diff --git a/pkg/helpers.py b/pkg/helpers.py      (optional; with git's extended lines)
    --- a/pkg/helpers.py                               (/dev/null for a new file)
    +++ b/pkg/helpers.py                               (/dev/null for a deleted file)
    @@ -12,4 +12,5 @@ def shout(text):
     context line
    -removed line
    +added line

Prose and Markdown fences around the diff are ignored. The file header is read as ``diff -u``,
``git diff`` (``a/`` and ``b/`` prefixes, ``new file mode``, ``deleted file mode``, ``rename
from``/``rename to``, ``copy from``/``copy to``, binary changes) and the models write them; a
timestamp after the path is dropped and decorations are taken off by ``patch_paths``. A hunk
without a file header takes the path on the last line of text before it (``pkg/helpers.py``
above a fenced hunk; a path with a folder or an extension), or continues the file of the hunk
before it.

Models write hunks that are slightly wrong, so the numbers of a hunk header are only read, never
trusted to find where it ends: a hunk ends at the next ``@@`` line, ``diff`` line, ``---`` line
followed by ``+++``, fence line, or end of text. Inside a hunk a line that starts with neither
``' '``, ``'-'``, ``'+'`` nor ``'\\'`` is a context line that lost its leading space, unless the
counts of the header are already reached (then it is text after the hunk); an empty line after
a complete hunk ends it, and empty lines at the end of a hunk are dropped unless the counts need
them. ``\\ No newline at end of file`` takes the line feed off the line before it.

A hunk's ``old`` text is its context and removed lines, its ``new`` text its context and added
lines, each line with its line feed: what an edit of the file replaces and by what. Problems that
keep a file's part of the diff from being read are ``BlockError`` values with their patch line,
as the block parser reports them.
"""

from __future__ import annotations

import re

from .block_parser import BlockError, patch_lines
from .patch_paths import PathText, clean_path, path_problem, unquote_c
from .records import record, replace

__all__ = ["DiffLine", "Hunk", "FilePatch", "ParsedDiff", "parse_diff", "looks_like_diff"]

DEV_NULL = "/dev/null"

_HUNK_HEADER = re.compile(r"^@@+\s*-(\d+)(?:,(\d+))?\s+\+(\d+)(?:,(\d+))?\s*@@+(.*)$")
_FENCE = re.compile(r"^(```|~~~)[\w+#.-]*\s*$")
_DIFF_COMMAND = re.compile(r"^diff (?:--git |-{1,2}[A-Za-z])")
_TIMESTAMP = re.compile(
    r"\s+\d{4}-\d\d-\d\d(?:[ T]\d\d:\d\d(?::\d\d(?:\.\d+)?)?)?(?:\s*[+-]\d{4})?\s*$"
    r"|\s+\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}(?:\s*[+-]\d{4})?\s*$"
)
_GIT_HEADER_LINES = (
    "old mode ",
    "new mode ",
    "deleted file mode",
    "new file mode",
    "similarity index ",
    "dissimilarity index ",
    "rename from ",
    "rename to ",
    "rename old ",
    "rename new ",
    "copy from ",
    "copy to ",
    "index ",
    "Binary files ",
    "GIT binary patch",
)


@record(frozen=True)
class DiffLine:
    """One line of a hunk: its kind (``' '`` context, ``'-'`` removed, ``'+'`` added) and its text
    with its line feed (none when ``\\ No newline at end of file`` followed it)."""

    kind: str
    text: str


@record(frozen=True)
class Hunk:
    """One hunk: the header as written, its patch line, its numbers (None where the header has
    none) and its lines."""

    header: str
    line: int
    old_start: int | None
    old_count: int | None
    new_start: int | None
    new_count: int | None
    lines: tuple[DiffLine, ...]

    @property
    def old(self) -> str:
        """The context and removed lines: the text the hunk replaces."""
        return "".join(d.text for d in self.lines if d.kind != "+")

    @property
    def new(self) -> str:
        """The context and added lines: the text the hunk puts in its place."""
        return "".join(d.text for d in self.lines if d.kind != "-")

    @property
    def changes(self) -> bool:
        """Whether the hunk removes or adds a line (a hunk of context alone changes nothing)."""
        return any(d.kind != " " for d in self.lines)

    def reversed(self) -> Hunk:
        """The hunk that undoes this one: removed and added lines swapped, numbers too."""
        swap = {"-": "+", "+": "-", " ": " "}
        return replace(
            self,
            old_start=self.new_start,
            old_count=self.new_count,
            new_start=self.old_start,
            new_count=self.old_count,
            lines=tuple(DiffLine(swap[d.kind], d.text) for d in self.lines),
        )


@record(frozen=True)
class FilePatch:
    """The part of a diff about one file.

    ``old_path`` is None for a file the diff creates, ``new_path`` None for one it deletes (both
    ``/dev/null`` in the header); they differ for a rename or copy (``rename``, ``copy``) and for
    a plain ``diff -u`` of two names. ``line`` is the patch line where the file's header (or its
    first hunk, without one) begins. ``binary`` marks a change git shows only as binary.
    """

    old_path: str | None
    new_path: str | None
    hunks: tuple[Hunk, ...]
    line: int
    git: bool = False
    rename: bool = False
    copy: bool = False
    binary: bool = False

    @property
    def creates(self) -> bool:
        return self.old_path is None

    @property
    def deletes(self) -> bool:
        return self.new_path is None

    @property
    def path(self) -> str:
        """The file the patch is about: the new path, or the old one for a deletion."""
        name = self.new_path if self.new_path is not None else self.old_path
        assert name is not None
        return name

    def reversed(self) -> FilePatch:
        """The patch that undoes this one: paths swapped, every hunk reversed, in file order."""
        return replace(
            self,
            old_path=self.new_path,
            new_path=self.old_path,
            hunks=tuple(h.reversed() for h in self.hunks),
        )


@record(frozen=True)
class ParsedDiff:
    """The files of a diff in input order, and the errors met while reading it."""

    files: list[FilePatch]
    errors: list[BlockError]


def looks_like_diff(text: str) -> bool:
    """Whether `text` holds a unified diff: a ``diff --git`` line, a ``---``/``+++`` pair of
    lines, or a hunk header with its numbers."""
    lines = text.split("\n")
    for k, line in enumerate(lines):
        if line.startswith("diff --git ") or _HUNK_HEADER.match(line.rstrip("\r")):
            return True
        if line.startswith("--- ") and k + 1 < len(lines) and lines[k + 1].startswith("+++ "):
            return True
    return False


# ---- file headers ------------------------------------------------------------------------------


@record
class _Header:
    """A file header being read."""

    line: int
    git: bool = False
    git_paths: tuple[str | None, str | None] = (None, None)
    old: str | None = None  # as written, before prefixes are taken off
    new: str | None = None
    has_old: bool = False  # a '---' line or a git line said what the old side is
    has_new: bool = False
    rename_from: str | None = None
    rename_to: str | None = None
    copy: bool = False
    created: bool = False
    deleted: bool = False
    binary: bool = False


def _header_path(raw: str) -> str:
    """The path of a ``---``/``+++`` line (after the marker): no timestamp, no decorations."""
    raw = raw.rstrip("\n").rstrip("\r")
    if not raw.startswith('"') and "\t" in raw:
        raw = raw.split("\t", 1)[0]
    raw = _TIMESTAMP.sub("", raw).strip()
    if raw.startswith('"') and raw.endswith('"') and len(raw) >= 2:
        return unquote_c(raw[1:-1])
    return clean_path(raw).path


def _git_line_paths(rest: str) -> tuple[str | None, str | None]:
    """The two paths of a ``diff --git`` line (after ``diff --git ``), as written (prefixes kept)."""
    rest = rest.strip()
    if rest.startswith('"'):
        end = rest.find('"', 1)
        while end > 0 and rest[end - 1] == "\\":
            end = rest.find('"', end + 1)
        if end < 0:
            return None, None
        first = unquote_c(rest[1:end])
        second = rest[end + 1 :].strip()
        second = unquote_c(second[1:-1]) if second.startswith('"') and second.endswith('"') else second
        return first, second or None
    # The same name twice ("a/P b/P"): split in the middle.
    mid = (len(rest) - 1) // 2
    if len(rest) % 2 == 1 and rest[mid] == " " and rest[:mid][2:] == rest[mid + 1 :][2:]:
        return rest[:mid], rest[mid + 1 :]
    at = rest.find(" b/")
    if at > 0:
        return rest[:at], rest[at + 1 :]
    parts = rest.split(" ")
    if len(parts) == 2:
        return parts[0], parts[1]
    return None, None


def _strip_prefix(path: str | None, prefix: str) -> str | None:
    if path is None or path == DEV_NULL:
        return None
    return path[len(prefix) :] if path.startswith(prefix) and len(path) > len(prefix) else path


def _finish_header(h: _Header) -> tuple[str | None, str | None]:
    """(old path, new path) of a header, None for /dev/null, git's ``a/``/``b/`` taken off."""
    old = h.old if h.has_old else h.git_paths[0]
    new = h.new if h.has_new else h.git_paths[1]
    if h.created:
        old = DEV_NULL
    if h.deleted:
        new = DEV_NULL
    real_old = old if old != DEV_NULL else None
    real_new = new if new != DEV_NULL else None
    prefixed = h.git and all(p is not None and p.startswith(q) for p, q in zip(h.git_paths, ("a/", "b/")))
    if not h.git:
        prefixed = (real_old is None or real_old.startswith("a/")) and (
            real_new is None or real_new.startswith("b/")
        )
        prefixed = prefixed and (real_old is not None or real_new is not None)
    if prefixed:
        old_path = _strip_prefix(old, "a/")
        new_path = _strip_prefix(new, "b/")
    else:
        old_path = None if old in (None, DEV_NULL) else old
        new_path = None if new in (None, DEV_NULL) else new
    if h.rename_from is not None and h.rename_to is not None:
        old_path, new_path = h.rename_from, h.rename_to
    return old_path, new_path


# ---- the parser --------------------------------------------------------------------------------


class _Reader:
    def __init__(self, text: str) -> None:
        self.lines = patch_lines(text)
        self.files: list[FilePatch] = []
        self.errors: list[BlockError] = []

    def bare(self, k: int) -> str:
        return self.lines[k].rstrip("\n")

    def is_pair(self, k: int) -> bool:
        return (
            self.lines[k].startswith("--- ")
            and k + 1 < len(self.lines)
            and self.lines[k + 1].startswith("+++ ")
        )

    def ends_hunk(self, k: int) -> bool:
        """A line that cannot be part of a hunk: another hunk, another file, a fence."""
        line = self.bare(k)
        return (
            line.startswith("@@")
            or bool(_DIFF_COMMAND.match(line))
            or self.is_pair(k)
            or bool(_FENCE.match(line.strip()))
        )

    def run(self) -> ParsedDiff:
        k = 0
        current: list[Hunk] | None = None  # the hunks of the file being read
        header: _Header | None = None
        end = 0  # the index after the last header or hunk read
        while k < len(self.lines):
            line = self.bare(k)
            if line.startswith("diff --git "):
                self.close(header, current)
                header, current = _Header(k + 1, git=True), []
                header.git_paths = _git_line_paths(line[len("diff --git ") :])
                k = end = self.git_extended(header, k + 1)
                continue
            if self.is_pair(k):
                if header is None or current or header.has_old:
                    self.close(header, current)
                    header, current = _Header(k + 1), []
                header.old, header.has_old = _header_path(line[4:]), True
                header.new, header.has_new = _header_path(self.bare(k + 1)[4:]), True
                k = end = k + 2
                continue
            if line.startswith("@@"):
                # A hunk after text that names a file starts that file; after anything else it
                # continues the file of the hunk before it.
                named = self.path_before(k, end) if header is None or k > end else None
                if named is not None:
                    self.close(header, current)
                    header, current = named, []
                elif header is None:
                    self.errors.append(
                        BlockError(
                            k + 1,
                            f"hunk {self.bare(k)!r} has no file: put '--- a/PATH' and '+++ b/PATH' "
                            "lines (or the file's path alone on a line) before it",
                        )
                    )
                    k = end = self.skip_hunk(k)
                    continue
                assert current is not None
                hunk, k = self.hunk(k)
                end = k
                current.append(hunk)
                continue
            k += 1
        self.close(header, current)
        return ParsedDiff(self.files, self.errors)

    def git_extended(self, h: _Header, k: int) -> int:
        """Read git's extended header lines from line index `k`; returns the index after them."""
        while k < len(self.lines):
            line = self.bare(k)
            if not line.startswith(_GIT_HEADER_LINES):
                return k
            if line.startswith("new file mode"):
                h.created = True
            elif line.startswith("deleted file mode"):
                h.deleted = True
            elif line.startswith(("rename from ", "rename old ", "copy from ")):
                h.rename_from = _header_path(line.split(" ", 2)[2])
                h.copy = line.startswith("copy")
            elif line.startswith(("rename to ", "rename new ", "copy to ")):
                h.rename_to = _header_path(line.split(" ", 2)[2])
            elif line.startswith(("Binary files ", "GIT binary patch")):
                h.binary = True
                if line.startswith("GIT binary patch"):
                    k += 1
                    while k < len(self.lines) and self.bare(k).strip():
                        k += 1
                    continue
            k += 1
        return k

    def path_before(self, k: int, end: int) -> _Header | None:
        """The header of a hunk without one: the path on the last line of text before line index
        `k` (and after index `end`), when that line is a path."""
        for j in range(k - 1, end - 1, -1):
            text = self.bare(j).strip()
            if not text or _FENCE.match(text):
                continue
            found = clean_path(text)
            # A word alone ("Also:") is more likely prose than a file without an extension.
            if path_problem(found) is not None or not re.search(r"[./\\]", found.path):
                return None
            h = _Header(j + 1, has_old=True, has_new=True)
            h.old = h.new = found.path
            return h
        return None

    def skip_hunk(self, k: int) -> int:
        k += 1
        while k < len(self.lines) and not self.ends_hunk(k):
            k += 1
        return k

    def hunk(self, k: int) -> tuple[Hunk, int]:
        """Read the hunk whose header is on line index `k`; returns it and the index after it."""
        header = self.bare(k).rstrip("\r")
        m = _HUNK_HEADER.match(header)
        numbers: list[int | None] = [None, None, None, None]
        if m is not None:
            numbers = [
                int(m.group(1)),
                int(m.group(2)) if m.group(2) is not None else 1,
                int(m.group(3)),
                int(m.group(4)) if m.group(4) is not None else 1,
            ]
        old_count, new_count = numbers[1], numbers[3]
        lines: list[DiffLine] = []
        blank_tail = 0  # empty lines (no leading space) at the end of `lines`
        seen_old = seen_new = 0
        start = k + 1
        k = start
        while k < len(self.lines):
            raw = self.lines[k]
            complete = (
                old_count is not None
                and new_count is not None
                and seen_old >= old_count
                and seen_new >= new_count
            )
            if self.ends_hunk(k):
                break
            first = raw[:1]
            if first == "\\":
                if lines:
                    last = lines[-1]
                    lines[-1] = DiffLine(last.kind, last.text[:-1] if last.text.endswith("\n") else last.text)
                k += 1
                continue
            if raw.strip("\r\n") == "":
                if complete:
                    break
                lines.append(DiffLine(" ", "\n"))
                blank_tail += 1
            elif first in (" ", "-", "+"):
                lines.append(DiffLine(first, raw[1:]))
                blank_tail = 0
            elif complete:
                break
            else:
                lines.append(DiffLine(" ", raw))  # a context line that lost its leading space
                blank_tail = 0
            kind = lines[-1].kind
            seen_old += kind != "+"
            seen_new += kind != "-"
            k += 1
        # Empty lines at the end are separators, unless the counts need them.
        while blank_tail and lines:
            over_old = old_count is None or seen_old > old_count
            over_new = new_count is None or seen_new > new_count
            if not (over_old and over_new):
                break
            lines.pop()
            seen_old -= 1
            seen_new -= 1
            blank_tail -= 1
        hunk = Hunk(header, start, numbers[0], old_count, numbers[2], new_count, tuple(lines))
        return hunk, k

    def close(self, h: _Header | None, hunks: list[Hunk] | None) -> None:
        if h is None:
            return
        hunks = hunks or []
        if not (h.has_old or h.has_new or h.git):
            return
        old, new = _finish_header(h)
        for which, path in (("old", old), ("new", new)):
            if path is None:
                continue
            problem = path_problem(PathText(path, quoted=True))
            if problem is not None:
                self.errors.append(BlockError(h.line, f"the {which} path {path!r} of this file is {problem}"))
                return
        if old is None and new is None:
            if h.git_paths == (None, None) and not (h.has_old or h.has_new):
                self.errors.append(BlockError(h.line, "cannot read the file names of this 'diff --git' line"))
            else:
                self.errors.append(BlockError(h.line, "both sides of this file are /dev/null"))
            return
        if not hunks and not h.git:
            self.errors.append(
                BlockError(h.line, "this file has no hunks ('@@' lines) after its header", new or old)
            )
            return
        self.files.append(
            FilePatch(
                old,
                new,
                tuple(hunks),
                h.line,
                git=h.git,
                rename=h.rename_from is not None and not h.copy and old != new,
                copy=h.copy,
                binary=h.binary,
            )
        )


def parse_diff(text: str) -> ParsedDiff:
    """Read every file of the unified diff in `text` (see the module documentation)."""
    return _Reader(text).run()
