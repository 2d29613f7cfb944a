"""Edit blocks as language models write them, and where they may point.

This module owns three things: reading SEARCH/REPLACE blocks out of a patch text, deciding
whether the path a block names may be written under a root folder, and applying a patch's blocks
to the files under that root, each file all or nothing (``apply_blocks``).

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

Markers start in the first column (an indented ``=======`` is text). The path is the last
non-blank line before ``<<<<<<< SEARCH`` that is not a fence line
(```` ```python ````, ``~~~``); a block that directly follows another one (with nothing but
blank and fence lines between them) may leave the path out and edits the same file. The lines
between the markers are the old and the new text, each line with its line feed, so a block of
whole lines replaces whole lines; the patch's own CR LF line ends are read as LF (the file's own
line ends are kept when the edit is applied). An empty SEARCH part stands for "create this file".

A block that cannot be read (no path, a missing divider or end marker, a marker out of place) is
a `BlockError` carrying the 1-based line number in the patch where the problem shows, and the
path it belongs to when that is known; parsing never stops at the first error, so that the
blocks of other files can still be applied on their own.
"""

from __future__ import annotations

import os
import posixpath
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final

from .schema import BlockStrategy, FileDict, FileErrorType, PatchReportDict

if TYPE_CHECKING:
    from .results import EditResult

__all__ = [
    "EditBlock",
    "BlockError",
    "ParsedPatch",
    "parse_blocks",
    "resolve_path",
    "PathRefused",
    "FileOutcome",
    "PatchReport",
    "apply_blocks",
]

# Markers are accepted with 5 to 9 of their characters: models miscount them now and then.
_SEARCH = re.compile(r"^<{5,9} ?SEARCH\s*$")
_DIVIDER = re.compile(r"^={5,9}\s*$")
_REPLACE = re.compile(r"^>{5,9} ?REPLACE\s*$")
_FENCE = re.compile(r"^(```|~~~)[\w+#.-]*\s*$")


@dataclass(frozen=True)
class EditBlock:
    """One SEARCH/REPLACE block: the file it names, the old and new text, and where it stands."""

    path: str
    search: str
    replace: str
    line: int  # 1-based line of the ``<<<<<<< SEARCH`` marker in the patch

    @property
    def creates(self) -> bool:
        """An empty SEARCH part: the block creates its file."""
        return self.search == ""


@dataclass(frozen=True)
class BlockError:
    """A block that could not be read; ``path`` is None when its file cannot be told."""

    line: int
    message: str
    path: str | None = None

    def __str__(self) -> str:
        return f"line {self.line}: {self.message}"


@dataclass(frozen=True)
class ParsedPatch:
    """The blocks of a patch in input order, and the errors met while reading it."""

    blocks: list[EditBlock]
    errors: list[BlockError]


def _patch_lines(text: str) -> list[str]:
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


def _clean_path(line: str) -> str:
    """The path written on a line, without surrounding blanks and Markdown emphasis or backticks."""
    path = line.strip()
    for mark in ("`", "**", "*"):
        if len(path) > 2 * len(mark) and path.startswith(mark) and path.endswith(mark):
            path = path[len(mark) : -len(mark)].strip()
    return path


def parse_blocks(text: str) -> ParsedPatch:
    """Read every SEARCH/REPLACE block of ``text`` (see the module documentation)."""
    lines = _patch_lines(text)
    blocks: list[EditBlock] = []
    errors: list[BlockError] = []

    # The candidate path line: the last non-blank, non-fence line outside a block, or the path of
    # the block that just ended when nothing but blanks and fences came after it.
    path: str | None = None
    i = 0
    while i < len(lines):
        raw = lines[i].rstrip("\n")
        marker = raw.rstrip()
        if _SEARCH.match(marker):
            start = i + 1
            block_path = path
            if not block_path:
                errors.append(BlockError(start, "no file path before '<<<<<<< SEARCH'"))
                block_path = None
            parsed, i, next_path = _read_block(lines, i + 1, start, block_path, errors)
            if parsed is not None:
                blocks.append(parsed)
            # The next block may reuse this path; any other non-blank line replaces it.
            path = next_path or block_path
            continue
        if _REPLACE.match(marker):
            # The end of a block whose SEARCH line was lost: which file it meant cannot be told.
            errors.append(BlockError(i + 1, "'>>>>>>> REPLACE' without a '<<<<<<< SEARCH' line before it"))
            path = None
        elif marker.strip() and not _FENCE.match(marker.strip()) and not _DIVIDER.match(marker):
            path = _clean_path(raw)
        i += 1
    return ParsedPatch(blocks, errors)


def _path_line(lines: list[str]) -> str | None:
    """The path a SEARCH marker after ``lines`` would take: the last non-blank, non-fence line."""
    for line in reversed(lines):
        bare = line.strip()
        if bare and not _FENCE.match(bare) and not _DIVIDER.match(bare.rstrip()):
            return _clean_path(line)
    return None


def _read_block(
    lines: list[str], i: int, start: int, path: str | None, errors: list[BlockError]
) -> tuple[EditBlock | None, int, str | None]:
    """Read the two parts of the block whose SEARCH marker is on patch line ``start``.

    Returns the block (None when it is malformed or has no path), the index of the first line
    after it and, when a new SEARCH marker cut the block short, the path line in front of that
    marker (the next block's path, read as if the broken block had ended before it).
    """
    parts: list[list[str]] = [[]]
    while i < len(lines):
        bare = lines[i].rstrip()
        if _SEARCH.match(bare):
            errors.append(
                BlockError(
                    start, f"block is not closed: a new '<<<<<<< SEARCH' follows on line {i + 1}", path
                )
            )
            return None, i, _path_line(parts[-1])
        if _DIVIDER.match(bare) and len(parts) == 1:
            parts.append([])
        elif _REPLACE.match(bare):
            if len(parts) == 1:
                errors.append(BlockError(i + 1, "'>>>>>>> REPLACE' before the '=======' divider", path))
                return None, i + 1, None
            if path is None:
                return None, i + 1, None
            return EditBlock(path, "".join(parts[0]), "".join(parts[1]), start), i + 1, None
        else:
            parts[-1].append(lines[i])
        i += 1
    missing = "'=======' and '>>>>>>> REPLACE'" if len(parts) == 1 else "'>>>>>>> REPLACE'"
    errors.append(BlockError(start, f"block is not closed: {missing} missing before the end", path))
    return None, i, None


class PathRefused(ValueError):
    """A block names a path that may not be written under the root."""


def resolve_path(root: str, path: str) -> tuple[str, str]:
    """Check ``path`` against ``root`` and return (normalised relative path, absolute path).

    Refused (``PathRefused``): an empty or absolute path, a ``..`` component, a NUL character, a
    path that names the root itself, and a path that leaves the root through a symbolic link (of
    the file itself or of any folder on the way). A path inside the root may still name a missing
    file or folder; a symbolic link that stays inside the root is followed. A backslash counts as
    a folder separator, as in the paths models write on Windows.
    """
    if not path:
        raise PathRefused("empty path")
    if "\0" in path:
        raise PathRefused(f"{path!r}: NUL character in path")
    if os.path.isabs(path) or path.startswith(("/", "\\")) or (len(path) > 1 and path[1] == ":"):
        raise PathRefused(f"{path}: absolute path (paths are relative to the root)")
    parts = re.split(r"[/\\]", path)
    if ".." in parts:
        raise PathRefused(f"{path}: '..' leaves the root")
    rel = posixpath.normpath(path.replace("\\", "/"))
    if rel == ".":
        raise PathRefused(f"{path}: names the root folder itself")
    real_root = os.path.realpath(root)
    target = os.path.join(real_root, *rel.split("/"))
    real = os.path.realpath(target)
    if real == real_root or os.path.commonpath([real_root, real]) != real_root:
        raise PathRefused(f"{path}: a symbolic link leads out of the root")
    return rel, target


# --- applying a patch ---------------------------------------------------------------------------

# Error types of a file's outcome beyond those of ``EditResult``.
MALFORMED: Final = "malformed"  # a block of the file could not be read
PATH_REFUSED: Final = "path_refused"  # the path leaves the root or is not a relative path
FILE_EXISTS: Final = "file_exists"  # an empty SEARCH part names a file that exists
IO_ERROR: Final = "io_error"  # the file could not be read, decoded or written
SKIPPED: Final = "skipped"  # not tried: a malformed block of an unknown file stops the whole patch

# Outcomes that mean a bad patch or a bad file rather than an edit that was not placed.
_HARD_ERRORS = frozenset({MALFORMED, PATH_REFUSED, IO_ERROR, SKIPPED})


@dataclass
class FileOutcome:
    """What happened to one file of a patch.

    ``blocks`` are the patch lines of the file's blocks; ``failed_block`` is the patch line of the
    block that was not placed or could not be read; ``result`` is the ``EditResult`` of the
    file's edits (None when they were never tried).
    """

    path: str
    blocks: list[int]
    ok: bool = False
    created: bool = False
    result: EditResult | None = None
    error_type: FileErrorType | None = None
    message: str | None = None
    failed_block: int | None = None

    @property
    def written(self) -> bool:
        return bool(self.result is not None and self.result.written)

    def summary(self, dry_run: bool) -> str:
        verb = (
            ("would create" if dry_run else "created")
            if self.created
            else ("would edit" if dry_run else "edited")
        )
        count = len(self.blocks)
        result = self.result
        where = ""
        if result is not None and result.start_line is not None:
            if result.start_line == result.end_line:
                where = f", line {result.start_line}"
            else:
                where = f", lines {result.start_line}-{result.end_line}"
        strategies = result.strategy if result is not None else None
        how = f" (strategy {', '.join(strategies)})" if isinstance(strategies, list) and strategies else ""
        return f"{verb} {self.path}: {count} block{'s' if count != 1 else ''}{where}{how}"

    def report(self) -> str:
        """The failure, for a person or a model: which block, what went wrong, nothing written."""
        where = ""
        if self.error_type == MALFORMED:
            where = " (malformed block)"  # the message has the patch line of each problem
        elif self.failed_block is not None:
            where = f" (block at patch line {self.failed_block})"
        head = f"{self.path}: not applied{where}, nothing of it written [{self.error_type}]"
        return f"{head}\n{self.message}" if self.message else head

    def to_dict(self) -> FileDict:
        doc: FileDict = {
            "path": self.path,
            "ok": self.ok,
            "created": self.created,
            "written": self.written,
            "blocks": list(self.blocks),
            "failed_block": self.failed_block,
            "strategy": None,
            "start_line": None,
            "end_line": None,
            "replacements": 0,
            "repairs": [],
            "diff": "",
            "error_type": self.error_type,
            "message": self.message,
            "closest_match": None,
            "locations": None,
        }
        if self.result is not None:
            data = self.result.to_dict()
            strategy = data["strategy"]
            doc["strategy"] = strategy if isinstance(strategy, list) else None
            doc["start_line"], doc["end_line"] = data["start_line"], data["end_line"]
            doc["replacements"], doc["repairs"], doc["diff"] = (
                data["replacements"],
                data["repairs"],
                data["diff"],
            )
            doc["closest_match"], doc["locations"] = data["closest_match"], data["locations"]
        return doc


@dataclass
class PatchReport:
    """The outcome of a whole patch: one ``FileOutcome`` per file, in the order they appear,
    and the errors of blocks whose file cannot be told (which stop the whole patch)."""

    files: list[FileOutcome]
    errors: list[BlockError]
    dry_run: bool = False

    @property
    def ok(self) -> bool:
        return bool(self.files) and not self.errors and all(f.ok for f in self.files)

    @property
    def exit_code(self) -> int:
        """0 all applied; 2 a malformed patch, a refused path or an I/O error; 1 otherwise."""
        if self.errors or any(f.error_type in _HARD_ERRORS for f in self.files):
            return 2
        return 0 if self.ok else 1

    def to_dict(self) -> PatchReportDict:
        return {
            "ok": self.ok,
            "dry_run": self.dry_run,
            "files": [f.to_dict() for f in self.files],
            "errors": [{"line": e.line, "message": e.message} for e in self.errors],
        }


def apply_blocks(patch: ParsedPatch | str, root: str = ".", *, dry_run: bool = False) -> PatchReport:
    """Apply the blocks of ``patch`` to the files under ``root``, each file all or nothing.

    The blocks of one file go to ``apply_edits`` in patch order. A file that does not exist is
    created when its first block has an empty SEARCH part (its other blocks then edit the new
    text); an empty SEARCH part for a file that exists is an error. A file with a malformed block
    or a refused path is not touched; a malformed block whose file cannot be told stops the whole
    patch. Nothing is written with ``dry_run``.
    """
    if isinstance(patch, str):
        patch = parse_blocks(patch)
    outcomes: dict[str, FileOutcome] = {}
    refused: dict[str, str] = {}
    groups: dict[str, list[EditBlock]] = {}

    def outcome_for(raw_path: str) -> FileOutcome:
        try:
            key, _ = resolve_path(root, raw_path)
        except PathRefused as exc:
            key = raw_path
            refused[key] = str(exc)
        if key not in outcomes:
            outcomes[key] = FileOutcome(key, [])
            groups[key] = []
        return outcomes[key]

    # Walk blocks and errors in patch order, so that files are listed where they first appear.
    events: list[tuple[int, EditBlock | BlockError]] = [(b.line, b) for b in patch.blocks]
    events += [(e.line, e) for e in patch.errors if e.path is not None]
    for _, event in sorted(events, key=lambda pair: pair[0]):
        assert event.path is not None
        outcome = outcome_for(event.path)
        if isinstance(event, EditBlock):
            outcome.blocks.append(event.line)
            groups[outcome.path].append(event)
        elif outcome.error_type is None:
            outcome.error_type, outcome.failed_block, outcome.message = MALFORMED, event.line, str(event)
        else:
            outcome.message = f"{outcome.message}\n{event}"
    orphans = [e for e in patch.errors if e.path is None]

    for key, outcome in outcomes.items():
        if outcome.error_type is not None:
            continue
        if orphans:
            outcome.error_type = SKIPPED
            outcome.message = f"the patch has a malformed block whose file cannot be told ({orphans[0]})"
        elif key in refused:
            outcome.error_type, outcome.message = PATH_REFUSED, refused[key]
            outcome.failed_block = outcome.blocks[0]
        else:
            # Reports and diffs name the file as the caller would (the root joined with the path);
            # the checks above were made on the resolved path.
            shown = os.path.normpath(os.path.join(root, key))
            _apply_file(outcome, shown, groups[key], dry_run)
    return PatchReport(list(outcomes.values()), orphans, dry_run)


def _apply_file(outcome: FileOutcome, target: str, blocks: list[EditBlock], dry_run: bool) -> None:
    from . import Edit, EditError, apply_edits

    exists = os.path.lexists(target)
    first_edit = 0
    try:
        if exists:
            creating = [b for b in blocks if b.creates]
            if creating:
                outcome.error_type, outcome.failed_block = FILE_EXISTS, creating[0].line
                outcome.message = "an empty SEARCH part creates a file, but this file exists"
                return
            result = apply_edits(target, [Edit(b.search, b.replace) for b in blocks], dry_run=dry_run)
        else:
            if not blocks[0].creates:
                outcome.error_type, outcome.failed_block = IO_ERROR, blocks[0].line
                outcome.message = "no such file (an empty SEARCH part would create it)"
                return
            first_edit = 1
            outcome.created = True
            result = _create(target, blocks, dry_run)
    except _CreatedTwice as exc:
        outcome.error_type, outcome.failed_block = FILE_EXISTS, exc.block.line
        outcome.message = "an empty SEARCH part creates a file, but an earlier block already created it"
        return
    except EditError as exc:
        outcome.error_type, outcome.message = IO_ERROR, str(exc)
        return
    outcome.result = result
    outcome.ok = bool(result.ok)
    if not result.ok:
        outcome.error_type, outcome.message = result.error_type, result.message
        failed = result.failed_edit if result.failed_edit is not None else 0
        outcome.failed_block = blocks[min(first_edit + failed, len(blocks) - 1)].line


class _CreatedTwice(Exception):
    """A later block of a new file has an empty SEARCH part too."""

    def __init__(self, block: EditBlock) -> None:
        super().__init__(block.line)
        self.block = block


def _create(target: str, blocks: list[EditBlock], dry_run: bool) -> EditResult:
    """The new file's result: its first block's text with the other blocks applied in order."""
    import difflib

    from . import EditResult, edit_text

    text = blocks[0].replace
    strategies: list[BlockStrategy] = ["create"]
    repairs: list[str] = []
    for index, block in enumerate(blocks[1:], start=1):
        if block.creates:
            raise _CreatedTwice(block)
        step = edit_text(text, block.search, block.replace)
        if not step.ok:
            return _with(step, path=target, failed_edit=index - 1)
        text = step.text
        if isinstance(step.strategy, str):
            strategies.append(step.strategy)
        repairs.extend(step.repairs)
    diff = "".join(difflib.unified_diff([], _patch_lines(text), "/dev/null", target))
    if diff and not diff.endswith("\n"):
        diff += "\n\\ No newline at end of file\n"
    if not dry_run:
        _write_new(target, text.encode("utf-8"))
    lines = text.count("\n") + (0 if text.endswith("\n") or not text else 1)
    return EditResult(
        ok=True,
        path=target,
        text=text,
        strategy=strategies,
        start_line=1 if lines else None,
        end_line=lines if lines else None,
        replacements=len(blocks),
        repairs=repairs,
        diff=diff,
        written=not dry_run,
    )


def _with(result: EditResult, **changes: Any) -> EditResult:
    import dataclasses

    return dataclasses.replace(result, **changes)


def _write_new(target: str, data: bytes) -> None:
    """Create ``target`` with ``data`` atomically; never replace a file that appeared meanwhile."""
    import tempfile

    from . import EditError

    folder, base = os.path.split(target)
    try:
        os.makedirs(folder, exist_ok=True)
        fd, tmp = tempfile.mkstemp(prefix=f".{base}.", suffix=".tmp", dir=folder)
    except OSError as exc:
        raise EditError(f"{target}: cannot create: {exc.strerror or exc}", path=target) from None
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.link(tmp, target)  # fails when the name is taken, unlike a rename
    except FileExistsError:
        raise EditError(f"{target}: cannot create: the file exists", path=target) from None
    except OSError as exc:
        raise EditError(f"{target}: cannot create: {exc.strerror or exc}", path=target) from None
    finally:
        try:
            os.unlink(tmp)
        except OSError:
            pass
