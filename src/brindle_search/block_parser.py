"""Reading SEARCH/REPLACE edit blocks out of the text a language model wrote; no I/O.

A patch holds any number of blocks; prose and Markdown code fences around them are ignored::

    Some explanation the model wrote.

    src/app.py
    ```python
    <<<<<<< SEARCH
    def f():
        return 1
    =======
    def f():
        return 2
    >>>>>>> REPLACE
    ```

The markers are exactly ``<<<<<<< SEARCH``, ``=======`` and ``>>>>>>> REPLACE`` (seven marker
characters, trailing blanks allowed) in the first column; anything else (``=====`` under a
heading, an indented marker, a merge conflict's ``<<<<<<< HEAD``) is text. The path is the last
non-blank line before ``<<<<<<< SEARCH`` that is not a fence line (```` ```python ````, ``~~~``),
read by ``patch_paths.clean_path`` (a heading's ``###``, backticks, emphasis, ``File:``, a trailing
colon and quotes are taken off); a line that is still not a path (prose, say) is an error naming
that line, never a folder to create. A block that directly follows another one (with nothing but
blank and fence lines between them) may leave the path out and edits the same file. The lines
between the markers are the old and the new text, each line with its line feed, so a block of
whole lines replaces whole lines; the patch's own CR LF line ends are read as LF. An empty
SEARCH part stands for "create this file".

A block whose text itself holds a line ``=======`` (a heading underline, the middle of a merge
conflict) has more than one place where it may be split: its ``splits`` list every reading, and
the applier takes the one whose SEARCH part is in the file. Its ``search`` and ``replace`` are the
first reading.

A block that cannot be read (no path, a missing divider or end marker, a marker out of place) is
a `BlockError` carrying the 1-based line number in the patch where the problem shows, and the
path it belongs to when that is known; parsing never stops at the first error, so that the
blocks of other files can still be applied on their own.
"""

from __future__ import annotations

from .patch_paths import clean_path, path_problem
from .records import record

__all__ = ["BlockError", "BlockSplit", "EditBlock", "ParsedPatch", "parse_blocks", "patch_lines"]

SEARCH_MARKER = "<<<<<<< SEARCH"
DIVIDER = "======="
REPLACE_MARKER = ">>>>>>> REPLACE"


@record(frozen=True)
class BlockSplit:
    """One reading of a block: its old and new text and the patch line of the divider taken."""

    search: str
    replace: str
    divider_line: int


@record(frozen=True)
class EditBlock:
    """One SEARCH/REPLACE block: the file it names, the old and new text, and where it stands.

    ``splits`` is empty when the block has a single divider line; otherwise it lists every
    reading, ``search``/``replace`` being the first.
    """

    path: str
    search: str
    replace: str
    line: int  # 1-based line of the ``<<<<<<< SEARCH`` marker in the patch
    splits: tuple[BlockSplit, ...] = ()

    @property
    def creates(self) -> bool:
        """An empty SEARCH part: the block creates its file."""
        return self.search == ""

    @property
    def ambiguous(self) -> bool:
        """More than one line of the block may be its divider."""
        return len(self.splits) > 1


@record(frozen=True)
class BlockError:
    """A block that could not be read; ``path`` is None when its file cannot be told."""

    line: int
    message: str
    path: str | None = None

    def __str__(self) -> str:
        return f"line {self.line}: {self.message}"


@record(frozen=True)
class ParsedPatch:
    """The blocks of a patch in input order, and the errors met while reading it."""

    blocks: list[EditBlock]
    errors: list[BlockError]


def patch_lines(text: str) -> list[str]:
    """The patch's lines, each with a final LF where it had one; a CR LF end is read as LF.

    Only LF ends a line (``str.splitlines`` would also cut at form feeds and the like, which may
    well be part of a file's text).
    """
    lines = text.split("\n")
    last = lines.pop()
    out = [(line[:-1] if line.endswith("\r") else line) + "\n" for line in lines]
    if last:
        out.append(last)
    return out


def _marker(line: str) -> str:
    """The line without its line feed and trailing blanks, to compare with the markers."""
    return line.rstrip()


def _is_path_line(line: str) -> bool:
    bare = line.strip()
    return bool(bare) and not _is_fence(bare) and _marker(line) != DIVIDER


def _is_fence(bare: str) -> bool:
    """``bare`` (a stripped line) opens or closes a Markdown code fence: three backticks or tildes
    and an info word of letters, digits and ``_+#.-``."""
    return bare.startswith(("```", "~~~")) and all(ch.isalnum() or ch in "_+#.-" for ch in bare[3:])


def parse_blocks(text: str) -> ParsedPatch:
    """Read every SEARCH/REPLACE block of ``text`` (see the module documentation)."""
    lines = patch_lines(text)
    blocks: list[EditBlock] = []
    errors: list[BlockError] = []

    # The candidate path line (its 1-based number and text): the last non-blank, non-fence line
    # outside a block; or the path of the block that just ended (number 0: already read) when
    # nothing but blanks and fences came after it.
    path: tuple[int, str] | None = None
    i = 0
    while i < len(lines):
        marker = _marker(lines[i])
        if marker == SEARCH_MARKER:
            start = i + 1
            block_path = _read_path(path, start, errors)
            parsed, i, next_path = _read_block(lines, i + 1, start, block_path, errors)
            if parsed is not None:
                blocks.append(parsed)
            # The next block may reuse this path; any other non-blank line replaces it.
            if next_path is not None:
                path = next_path
            else:
                path = None if block_path is None else (0, block_path)
            continue
        if marker == REPLACE_MARKER:
            # The end of a block whose SEARCH line was lost: which file it meant cannot be told.
            errors.append(BlockError(i + 1, f"'{REPLACE_MARKER}' without a '{SEARCH_MARKER}' line before it"))
            path = None
        elif _is_path_line(lines[i]):
            path = (i + 1, lines[i])
        i += 1
    return ParsedPatch(blocks, errors)


def _read_path(candidate: tuple[int, str] | None, start: int, errors: list[BlockError]) -> str | None:
    """The path of the block whose SEARCH marker is on patch line `start`, or None after an error.

    A line that is not a path once its decorations are off is an error that names it: the block's
    file cannot be told (and prose must never become a folder).
    """
    if candidate is None:
        errors.append(BlockError(start, f"no file path before '{SEARCH_MARKER}'"))
        return None
    number, line = candidate
    if number == 0:
        return line  # the path of the block before, read already
    found = clean_path(line)
    problem = path_problem(found)
    if problem is not None:
        shown = line.strip()
        shown = shown if len(shown) <= 80 else shown[:77] + "..."
        errors.append(
            BlockError(
                number,
                f"{shown!r} is taken as the file path of the block at line {start}, but it is {problem}. "
                "Put the file's path, relative to the root, alone on the line before the block "
                "(or before its opening fence).",
            )
        )
        return None
    return found.path


def _path_line(lines: list[str], first: int) -> tuple[int, str] | None:
    """The path line a SEARCH marker after ``lines`` (the first on patch line `first`) would take:
    the last non-blank, non-fence line, with its number."""
    for k in range(len(lines) - 1, -1, -1):
        if _is_path_line(lines[k]):
            return first + k, lines[k]
    return None


def _read_block(
    lines: list[str], i: int, start: int, path: str | None, errors: list[BlockError]
) -> tuple[EditBlock | None, int, tuple[int, str] | None]:
    """Read the body of the block whose SEARCH marker is on patch line ``start``.

    Returns the block (None when it is malformed or has no path), the index of the first line
    after it and, when a new SEARCH marker cut the block short, the path line in front of that
    marker (the next block's path, read as if the broken block had ended before it).
    """
    body: list[str] = []
    dividers: list[int] = []  # indices into body of the lines that may be the divider
    while i < len(lines):
        marker = _marker(lines[i])
        if marker == SEARCH_MARKER:
            errors.append(
                BlockError(
                    start, f"block is not closed: a new '{SEARCH_MARKER}' follows on line {i + 1}", path
                )
            )
            return None, i, _path_line(body, start + 1)
        if marker == REPLACE_MARKER:
            if not dividers:
                errors.append(BlockError(i + 1, f"'{REPLACE_MARKER}' before the '{DIVIDER}' divider", path))
                return None, i + 1, None
            if path is None:
                return None, i + 1, None
            splits = tuple(
                BlockSplit("".join(body[:k]), "".join(body[k + 1 :]), start + 1 + k) for k in dividers
            )
            first = splits[0]
            block = EditBlock(path, first.search, first.replace, start, splits if len(splits) > 1 else ())
            return block, i + 1, None
        if marker == DIVIDER:
            dividers.append(len(body))
        body.append(lines[i])
        i += 1
    missing = f"'{DIVIDER}' and '{REPLACE_MARKER}'" if not dividers else f"'{REPLACE_MARKER}'"
    errors.append(BlockError(start, f"block is not closed: {missing} missing before the end", path))
    return None, i, None
