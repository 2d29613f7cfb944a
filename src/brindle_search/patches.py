"""Applying a patch a model wrote to the files under a root folder: SEARCH/REPLACE blocks or a
unified diff, told apart from the text.

``apply_patch`` reads the patch (``block_parser`` or ``diff_parser``), turns each file's part of
it into a task, and carries the tasks out in two steps: *placing* reads a file (holding its
advisory lock) and places every block or hunk of it in memory with ``place_edits``, the tolerant
placement of ``edit_text``; *committing* writes the new text with the conflict-checked writer of
``files``, creates files and removes them. A hunk is an edit like a block: its context and
removed lines are the old text, its context and added lines the new text, and the start line of
its header, moved by the hunks before it, is only the line hint that chooses among equal places.

Each file is all or nothing. With ``atomic`` the whole patch is: every file is placed before any
is written, and nothing is written unless all of them were placed. The files are then written
(edits first, then new files, removals last); when one of these steps fails, the steps already
taken are undone (each file written back with the bytes it had, new files removed, removed files
made again) and the report says so. A crash of the process between two writes can still leave
some files written: the writes of several files are not one operation of the file system.

A file that a diff deletes is removed only when what it holds matches what the diff says it
held (tolerantly, as an edit's old text is matched); a rename (``rename from``/``rename to``)
places the hunks on the old file, creates the new one with the result (same encoding and
permission bits) and then removes the old one. ``reverse`` applies the patch backwards: every
hunk's removed and added lines swapped, old and new paths swapped (a created file is deleted, a
deleted one created), a block's SEARCH and REPLACE parts swapped.

The outcome is a ``PatchReport`` with one ``FileOutcome`` per file; its messages speak of the
patch's own terms (the SEARCH part of a block, the lines of a hunk) rather than of
``old_string`` and ``new_string``.
"""

from __future__ import annotations

import os

from ._edit import edit_text, place_edits
from .block_parser import (
    SEARCH_MARKER,
    BlockError,
    BlockSplit,
    EditBlock,
    ParsedPatch,
    parse_blocks,
    patch_lines,
)
from .errors import EditError, PathRefused, WriteConflict
from .files import (
    Document,
    create_file,
    document_from_text,
    load_document,
    release_document,
    remove_document,
    restore_endings,
    splice_endings,
    write_document,
)
from .line_diff import unified_diff
from .paths import Location, Root, relative_parts
from .records import field, record, replace
from .results import Edit, EditResult, line_range

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable
    from typing import Final, NoReturn, Union

    from .diff_parser import DiffLine, Hunk, ParsedDiff
    from .schema import BlockStrategy, FileDict, FileErrorType, PatchFormat, PatchReportDict

    Parsed = Union[ParsedPatch, ParsedDiff]
    Undo = Callable[[], None]

__all__ = [
    "FileOutcome",
    "PatchReport",
    "apply_patch",
    "apply_parsed",
    "detect_format",
    "BLOCKS",
    "DIFF",
]

#: The formats a patch may be written in.
BLOCKS: Final = "blocks"
DIFF: Final = "diff"

# Error types of a file's outcome beyond those of ``EditResult``.
MALFORMED: Final = "malformed"  # a block or the diff of the file could not be read
AMBIGUOUS: Final = "ambiguous"  # several '=======' lines, and the file does not tell which divides
PATH_REFUSED: Final = "path_refused"  # the path leaves the root, is not a relative path, or is in .git
FILE_EXISTS: Final = "file_exists"  # the patch creates a file that exists
IO_ERROR: Final = "io_error"  # the file could not be read, decoded or written
CONFLICT: Final = "conflict"  # the file changed on disk while it was being edited
SKIPPED: Final = "skipped"  # not tried: a malformed part whose file cannot be told stops the patch
HELD_BACK: Final = "held_back"  # placed, but not written: the patch is atomic and another file failed

# Outcomes that mean a bad patch or a bad file rather than an edit that was not placed.
_HARD_ERRORS = frozenset({MALFORMED, PATH_REFUSED, IO_ERROR, CONFLICT, SKIPPED})


_PAST = {"create": "created", "edit": "edited", "delete": "deleted", "rename": "renamed", "copy": "copied"}


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


@record
class FileOutcome:
    """What happened to one file of a patch.

    ``blocks`` are the patch lines of the file's blocks (or, in a diff, of its hunk headers);
    ``failed_block`` is the patch line of the block or hunk that was not placed or could not be
    read, ``failed_hunk`` that hunk's header; ``result`` is the ``EditResult`` of the file's edits
    (None when they were never tried). ``format`` is "blocks" or "diff".
    """

    path: str
    blocks: list[int]
    ok: bool = False
    created: bool = False
    result: EditResult | None = None
    error_type: FileErrorType | None = None
    message: str | None = None
    failed_block: int | None = None
    deleted: bool = False
    renamed_from: str | None = None
    copied_from: str | None = None
    format: PatchFormat = BLOCKS
    failed_hunk: str | None = None

    @property
    def written(self) -> bool:
        return self.result is not None and self.result.written

    def _pieces(self) -> str:
        return _plural(len(self.blocks), "block" if self.format == BLOCKS else "hunk")

    def summary(self, dry_run: bool) -> str:
        """One line saying what was (or, with `dry_run`, would be) done to the file."""
        if self.deleted:
            verb, name = "delete", self.path
        elif self.renamed_from is not None:
            verb, name = "rename", f"{self.renamed_from} to {self.path}"
        elif self.copied_from is not None:
            verb, name = "copy", f"{self.copied_from} to {self.path}"
        else:
            verb, name = ("create" if self.created else "edit"), self.path
        done = f"would {verb}" if dry_run else _PAST[verb]
        if self.deleted:
            return f"{done} {name}"
        result = self.result
        where = ""
        if result is not None and result.start_line is not None and result.end_line is not None:
            where = f", {line_range(result.start_line, result.end_line)}"
        strategies = result.strategy if result is not None else None
        how = f" (strategy {', '.join(strategies)})" if isinstance(strategies, list) and strategies else ""
        pieces = f": {self._pieces()}" if self.blocks else ""
        return f"{done} {name}{pieces}{where}{how}"

    def report(self) -> str:
        """The failure, for a person or a model: which block or hunk, what went wrong."""
        if self.error_type == HELD_BACK:
            head = f"{self.path}: placed, but not written [{HELD_BACK}]"
            return f"{head}\n{self.message}" if self.message else head
        where = ""
        if self.error_type == MALFORMED:
            # The message has the patch line of each problem.
            where = " (malformed block)" if self.format == BLOCKS else " (malformed diff)"
        elif self.failed_hunk is not None and self.failed_block is not None:
            number = self.blocks.index(self.failed_block) + 1 if self.failed_block in self.blocks else None
            of = f"hunk {number} of {len(self.blocks)}, " if number is not None else ""
            where = f" ({of}{self.failed_hunk!r} at patch line {self.failed_block})"
        elif self.failed_block is not None:
            kind = "block" if self.format == BLOCKS else "file header"
            where = f" ({kind} at patch line {self.failed_block})"
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
            "deleted": self.deleted,
            "renamed_from": self.renamed_from,
            "copied_from": self.copied_from,
            "format": self.format,
            "failed_hunk": self.failed_hunk,
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


@record
class PatchReport:
    """The outcome of a whole patch: one ``FileOutcome`` per file, in the order they appear,
    and the errors of parts whose file cannot be told (which stop the whole patch)."""

    files: list[FileOutcome]
    errors: list[BlockError]
    dry_run: bool = False
    format: PatchFormat = BLOCKS
    atomic: bool = False

    @property
    def ok(self) -> bool:
        return bool(self.files) and not self.errors and all(f.ok for f in self.files)

    @property
    def exit_code(self) -> int:
        """0 all applied; 2 a malformed patch, a refused path, an I/O error or a conflict;
        1 otherwise."""
        if self.errors or any(f.error_type in _HARD_ERRORS for f in self.files):
            return 2
        return 0 if self.ok else 1

    def to_dict(self) -> PatchReportDict:
        return {
            "ok": self.ok,
            "dry_run": self.dry_run,
            "files": [f.to_dict() for f in self.files],
            "errors": [{"line": e.line, "message": e.message} for e in self.errors],
            "format": self.format,
            "atomic": self.atomic,
        }


# ---- messages in the patch's own terms ---------------------------------------------------------

_MULTIPLE_ADVICE = (
    r"To fix, include more surrounding context in old_string to uniquely identify the target "
    r"location, or use replace_all=True to replace all occurrences, or provide a line_hint to "
    r"select the closest match\."
)
_SAME_LINE_RANGE = r"\blines (\d+)-\1\b"
_ONE_LINES = r"(?<![\d.])1 lines\b"

_TERMS = {
    BLOCKS: {
        "advice": "To fix, include more of the surrounding lines in the SEARCH part, so that it "
        "matches one place only.",
        "old_string and new_string must be different": "the SEARCH and REPLACE parts are the same",
        "old_string": "the SEARCH part",
        "new_string": "the REPLACE part",
    },
    DIFF: {
        "advice": "To fix, include more context lines in the hunk, or correct the start line of "
        "its '@@' header, so that it says which place is meant.",
        "old_string and new_string must be different": "the hunk changes nothing",
        "old_string": "the hunk's old side",
        "new_string": "the hunk's new side",
    },
}
# What the terms stand for, said where a report first uses them.
_FIRST_USE = {
    "the hunk's old side": " (its context and '-' lines)",
    "the hunk's new side": " (its context and '+' lines)",
}


def for_format(message: str, fmt: str) -> str:
    """An edit's report in the terms of the patch format: its advice, its names for the old and
    new text, and "line 20" (not "lines 20-20"), "1 line" (not "1 lines")."""

    import re

    terms = _TERMS[fmt]
    message = re.sub(_MULTIPLE_ADVICE, terms["advice"], message)
    key = "old_string and new_string must be different"
    message = message.replace(key, terms[key])
    message = message.replace("old_string", terms["old_string"]).replace("new_string", terms["new_string"])
    for term, meaning in _FIRST_USE.items():
        at = message.find(term)
        if at >= 0:
            at += len(term)
            message = message[:at] + meaning + message[at:]
    message = re.sub(_SAME_LINE_RANGE, r"line \1", message)
    return re.sub(_ONE_LINES, "1 line", message)


# ---- the tasks: each file's part of the patch ----------------------------------------------------


@record
class _Piece:
    """One block or hunk as an edit of its file."""

    line: int  # patch line of the SEARCH marker or the hunk header
    old: str
    new: str
    hint: int | None = None
    splits: tuple[BlockSplit, ...] = ()  # a block with several dividers: its readings
    header: str | None = None  # a hunk's header
    start: int | None = None  # a hunk's old start line, moved by the hunks before it
    changes: bool = True
    lines: tuple[DiffLine, ...] = ()  # a hunk's lines
    # A hunk with '\ No newline at end of file': whether the file ends in a line feed after it.
    final_newline: bool | None = None

    @property
    def creates(self) -> bool:
        return self.header is None and self.old == ""


@record
class _Task:
    """What the patch does to one file."""

    outcome: FileOutcome
    rel: str  # the file edited, created or deleted (normalised)
    pieces: list[_Piece] = field(default_factory=list)
    action: str = "edit"  # "edit", "create" (a diff from /dev/null), "delete"
    source: str | None = None  # a rename or copy: the file read
    copy: bool = False
    candidates: list[str] = field(default_factory=list)  # other names a plain diff may mean
    content: str = ""  # what a created file holds; what a deleted file must hold
    delete_after: bool = False  # reversed blocks: a created file, deleted once its edits are undone


def detect_format(text: str) -> str:
    """ "blocks" when the patch holds a ``<<<<<<< SEARCH`` line, "diff" when it holds a unified
    diff, else "blocks" (a patch with neither is reported as holding no blocks)."""
    for line in text.split("\n"):
        if line.rstrip() == SEARCH_MARKER:
            return BLOCKS
    from .diff_parser import looks_like_diff  # a patch without blocks

    return DIFF if looks_like_diff(text) else BLOCKS


class _Builder:
    """Groups the parts of a patch by file, with the path policy applied to each name."""

    def __init__(self, fmt: PatchFormat, allow_vcs_dirs: bool) -> None:
        self.fmt = fmt
        self.allow_vcs_dirs = allow_vcs_dirs
        self.tasks: dict[str, _Task] = {}

    def key(self, raw: str) -> tuple[str, str | None]:
        """The normalised path, and why it is refused (None when it is not)."""
        try:
            return "/".join(relative_parts(raw, allow_vcs_dirs=self.allow_vcs_dirs)), None
        except PathRefused as exc:
            return raw, str(exc)

    def task(self, raw: str, line: int) -> _Task:
        key, refused = self.key(raw)
        task = self.tasks.get(key)
        if task is None:
            task = _Task(FileOutcome(key, [], format=self.fmt), key)
            self.tasks[key] = task
            if refused is not None:
                _fail(task.outcome, PATH_REFUSED, refused, line)
        return task


def _block_tasks(
    patch: ParsedPatch, reverse: bool, allow_vcs_dirs: bool
) -> tuple[list[_Task], list[BlockError]]:
    builder = _Builder(BLOCKS, allow_vcs_dirs)
    # Walk blocks and errors in patch order, so that files are listed where they first appear.
    events: list[tuple[int, EditBlock | BlockError]] = [(b.line, b) for b in patch.blocks]
    events += [(e.line, e) for e in patch.errors if e.path is not None]
    for _, event in sorted(events, key=lambda pair: pair[0]):
        assert event.path is not None
        task = builder.task(event.path, event.line)
        outcome = task.outcome
        if isinstance(event, EditBlock):
            outcome.blocks.append(event.line)
            task.pieces.append(_Piece(event.line, event.search, event.replace, splits=event.splits))
        elif outcome.error_type is None:
            _fail(outcome, MALFORMED, str(event), event.line)
        elif outcome.error_type == MALFORMED:
            outcome.message = f"{outcome.message}\n{event}"
    tasks = list(builder.tasks.values())
    if reverse:
        for task in tasks:
            _reverse_blocks(task)
    return tasks, [e for e in patch.errors if e.path is None]


def _reverse_blocks(task: _Task) -> None:
    """The blocks of a file undone: last one first, SEARCH and REPLACE swapped; a block that
    created the file deletes it (once the others are undone, when it holds what was created)."""
    pieces = []
    for piece in reversed(task.pieces):
        splits = tuple(BlockSplit(s.replace, s.search, s.divider_line) for s in piece.splits)
        pieces.append(replace(piece, old=piece.new, new=piece.old, splits=splits))
    if pieces and pieces[-1].new == "" and task.pieces[0].old == "" and not task.pieces[0].splits:
        task.delete_after = True
        task.content = pieces.pop().old
    task.pieces = pieces


def _hunk_pieces(hunks: tuple[Hunk, ...]) -> list[_Piece]:
    """The hunks as edits, in patch order. A hunk's line hint is its header's old start line
    moved by the lines that the hunks placed before it, and above it, add or remove."""
    pieces = []
    for k, hunk in enumerate(hunks):
        start = None
        if hunk.old_start is not None:
            shift = 0
            for earlier in hunks[:k]:
                if earlier.old_start is not None and earlier.old_start < hunk.old_start:
                    shift += sum(1 if d.kind == "+" else -1 for d in earlier.lines if d.kind != " ")
            start = max(0, hunk.old_start + shift)
        hint = max(1, start) if start is not None else None
        old, new = hunk.old, hunk.new
        final_newline = None
        if (old and not old.endswith("\n")) or (new and not new.endswith("\n")):
            final_newline = new.endswith("\n") if new else None
        pieces.append(
            _Piece(
                hunk.line,
                hunk.old,
                hunk.new,
                hint,
                header=hunk.header,
                start=start,
                changes=hunk.changes,
                lines=hunk.lines,
                final_newline=final_newline,
            )
        )
    return pieces


def _first_component_dropped(path: str) -> str | None:
    cut = min((at for at in (path.find("/"), path.find("\\")) if at >= 0), default=-1)
    return path[cut + 1 :] or None if cut >= 0 else None


def _diff_tasks(
    patch: ParsedDiff, reverse: bool, allow_vcs_dirs: bool
) -> tuple[list[_Task], list[BlockError]]:
    builder = _Builder(DIFF, allow_vcs_dirs)
    for fp in patch.files:
        if reverse:
            fp = fp.reversed()
        task = builder.task(fp.path, fp.line)
        outcome = task.outcome
        if task.pieces or task.action != "edit" or task.source is not None:
            if fp.creates or fp.deletes or fp.rename or fp.copy:
                _fail(
                    outcome, MALFORMED, f"line {fp.line}: the diff changes this file a second time", fp.line
                )
                continue
        pieces = _hunk_pieces(fp.hunks)
        outcome.blocks.extend(p.line for p in pieces)
        if fp.binary:
            _fail(
                outcome,
                MALFORMED,
                f"line {fp.line}: a binary change cannot be applied from its text",
                fp.line,
            )
            continue
        if fp.creates:
            task.action = "create"
            task.content = "".join(h.new for h in fp.hunks)
        elif fp.deletes:
            task.action = "delete"
            task.content = "".join(h.old for h in fp.hunks)
        else:
            task.pieces.extend(pieces)
            assert fp.old_path is not None and fp.new_path is not None
            if fp.rename or fp.copy:
                source, refused = builder.key(fp.old_path)
                if refused is not None:
                    _fail(outcome, PATH_REFUSED, refused, fp.line)
                    continue
                task.source, task.copy = source, fp.copy
                if fp.rename:
                    outcome.renamed_from = source
                else:
                    outcome.copied_from = source
            elif not fp.git:
                # A plain diff names the file twice (old and new name, a folder in front of each):
                # the first of these names that exists is the file it means.
                names = [fp.new_path, fp.old_path]
                names += [n for n in map(_first_component_dropped, names) if n is not None]
                for name in names:
                    key, refused = builder.key(name)
                    if refused is None and key != task.rel and key not in task.candidates:
                        task.candidates.append(key)
    for error in patch.errors:
        if error.path is not None:  # a part of the diff whose file is known: that file only
            outcome = builder.task(error.path, error.line).outcome
            if outcome.error_type is None:
                _fail(outcome, MALFORMED, str(error), error.line)
    return list(builder.tasks.values()), [e for e in patch.errors if e.path is None]


def _fail(outcome: FileOutcome, error_type: FileErrorType, message: str, line: int | None = None) -> None:
    outcome.ok = False
    outcome.error_type, outcome.message, outcome.failed_block = error_type, message, line


# ---- placing: every file's edits made in memory ----------------------------------------------------


@record
class _Plan:
    """A file's changes, placed and ready to commit; holds the documents read (and their locks)."""

    task: _Task
    doc: Document | None = None  # the file read: written, renamed, copied or deleted
    text: str | None = None  # the new text with its line endings, to write or to create
    create: str | None = None  # the file to create (normalised path)
    delete: bool = False  # remove the file `doc` was read from
    locations: list[Location] = field(default_factory=list)

    def release(self) -> None:
        if self.doc is not None:
            release_document(self.doc)
        for location in self.locations:
            location.close()
        self.locations = []


class _Failed(Exception):
    """A file that cannot be changed as the patch says: its outcome is filled in."""


def _raise(
    outcome: FileOutcome, error_type: FileErrorType, message: str, line: int | None = None
) -> NoReturn:
    _fail(outcome, error_type, message, line)
    raise _Failed


def _locate(root: Root, rel: str, outcome: FileOutcome, line: int | None) -> Location:
    try:
        return root.locate(rel)
    except EditError as exc:  # PathRefused: a link leads out of the root or into .git
        _raise(outcome, exc.error_type, str(exc), line)
    except OSError as exc:
        _raise(outcome, IO_ERROR, f"{root.display_path(rel)}: {exc.strerror or exc}", line)


def _first_line(task: _Task) -> int | None:
    return task.outcome.blocks[0] if task.outcome.blocks else task.outcome.failed_block


def _plan(task: _Task, root: Root, dry_run: bool) -> _Plan | None:
    """Place the task's changes in memory; None when they cannot be placed (outcome filled in)."""
    plan = _Plan(task)
    try:
        _place(plan, root, dry_run)
    except _Failed:
        plan.release()
        return None
    except EditError as exc:
        plan.release()
        _fail(task.outcome, exc.error_type, str(exc), task.outcome.failed_block)
        return None
    except BaseException:
        plan.release()
        raise
    return plan


def _exists(plan: _Plan, root: Root, rel: str) -> tuple[Location, bool]:
    location = _locate(root, rel, plan.task.outcome, _first_line(plan.task))
    plan.locations.append(location)
    return location, location.lstat() is not None


def _place(plan: _Plan, root: Root, dry_run: bool) -> None:
    task, outcome = plan.task, plan.task.outcome
    line = _first_line(task)
    if task.candidates and not _exists(plan, root, task.rel)[1]:
        for name in task.candidates:
            try:
                with root.locate(name) as probe:
                    found = probe.lstat() is not None
            except (EditError, OSError):
                continue  # refused or unreachable: not the file meant
            if found:
                task.rel = outcome.path = name
                break
    if task.source is not None:
        _place_moved(plan, root, dry_run)
        return
    location, exists = _exists(plan, root, task.rel)
    display = location.display
    if task.action == "create":
        _place_created(plan, root, location, exists, dry_run)
        return
    if not exists:
        if task.action == "delete" or task.delete_after:
            _raise(outcome, IO_ERROR, f"{display}: no such file (the patch deletes it)", line)
        if outcome.format == DIFF and task.pieces and all(p.old == "" for p in task.pieces):
            # Every hunk only adds lines: a new file written as a diff of an empty one.
            task.content = "".join(p.new for p in task.pieces)
            _place_created(plan, root, location, exists, dry_run)
            return
        if outcome.format == DIFF:
            _raise(outcome, IO_ERROR, f"{display}: no such file", line)
        _place_new_blocks(plan, display, dry_run)
        return
    plan.doc = load_document(location, lock=not dry_run)
    if task.action == "delete" or task.delete_after:
        _place_deleted(plan, display)
        return
    result = _place_pieces(plan, plan.doc)
    outcome.result, outcome.ok = result, True
    plan.text = result.text


def _place_pieces(plan: _Plan, doc: Document) -> EditResult:
    """The task's blocks or hunks placed on `doc`; raises _Failed with the outcome filled in."""
    if plan.task.outcome.format == DIFF:
        return _place_hunks(plan, doc)
    task, outcome = plan.task, plan.task.outcome
    pieces = _choose_splits(doc.text, task.pieces, outcome, exists=True)
    creating = [p for p in pieces if p.creates]
    if creating:
        message = "an empty SEARCH part creates a file, but this file exists"
        _raise(outcome, FILE_EXISTS, message, creating[0].line)
    result = place_edits(doc, [Edit(p.old, p.new) for p in pieces])
    if not result.ok:
        failed = pieces[result.failed_edit if result.failed_edit is not None else 0]
        outcome.result = result
        _raise(outcome, result.error_type or "refused", for_format(result.message or "", BLOCKS), failed.line)
    return result


def _place_hunks(plan: _Plan, doc: Document) -> EditResult:
    """The hunks placed one after another, each on the text the ones before it left.

    A hunk with context or removed lines is placed like an edit (``place_edits``), the start line
    of its header as the line hint; when it is not found, once more without the context lines the
    file does not have. A hunk that only adds lines, with no context to find its place by, goes
    where its header says.
    """
    task, outcome = plan.task, plan.task.outcome
    step = doc
    strategies: list[BlockStrategy] = []
    repairs: list[str] = []
    known: set[str] | None = None
    for number, piece in enumerate(task.pieces, start=1):
        if not piece.changes:
            continue  # a hunk of context alone changes nothing
        tag = f"hunk {number}: " if len(task.pieces) > 1 else ""
        if piece.old == "" and step.text:
            if piece.start is None:
                _raise(
                    outcome,
                    "not_found",
                    "the hunk has no context or removed lines, and no line numbers in its header: "
                    "nothing says where its lines go. Give it the context lines around them.",
                    piece.line,
                )
            step = _insert_lines(step, piece.start, piece.new)
            strategies.append("line_number")
            repairs.append(f"{tag}no context lines: placed after line {piece.start}, as its header says")
        else:
            result = place_edits(step, [Edit(piece.old, piece.new, line_hint=piece.hint)])
            if not result.ok and result.error_type in ("not_found", "refused"):
                # Context lines the file does not have (invented, or from another version).
                if known is None:
                    known = {line.strip() for line in doc.text.split("\n")}
                trimmed = _without_unknown_context(piece, known)
                if trimmed is not None:
                    lean, dropped = trimmed
                    retry = place_edits(step, [Edit(lean.old, lean.new, line_hint=piece.hint)])
                    if retry.ok:
                        result = retry
                        what = _plural(dropped, "context line")
                        repairs.append(f"{tag}left out {what} that the file does not have")
            if not result.ok:
                original = restore_endings(doc, doc.text, doc.crlf)
                outcome.result = replace(result, text=original, failed_edit=number - 1)
                outcome.failed_hunk = piece.header
                _raise(
                    outcome,
                    result.error_type or "refused",
                    for_format(result.message or "", DIFF),
                    piece.line,
                )
            strategies.extend(result.strategy if isinstance(result.strategy, list) else [])
            repairs.extend(tag + phrase for phrase in result.repairs)
            step = _document_of(doc, result.text)
        if piece.final_newline is not None:
            step = _final_newline(step, piece.final_newline)
    raw = restore_endings(step, step.text, step.crlf)
    if step.text == doc.text:
        return EditResult(ok=True, path=doc.path, text=raw, strategy=strategies)
    label = doc.path if doc.path is not None else "text"
    diff = "".join(line + "\n" for line in unified_diff(_text_lines(doc.text), _text_lines(step.text), label))
    start, end = _changed_lines(doc.text, step.text)
    return EditResult(
        ok=True,
        path=doc.path,
        text=raw,
        strategy=strategies,
        start_line=start,
        end_line=end,
        replacements=len(strategies),
        repairs=repairs,
        diff=diff,
    )


def _text_lines(text: str) -> list[str]:
    lines = text.split("\n")
    if text.endswith("\n"):
        lines.pop()
    return lines


def _document_of(doc: Document, raw: str) -> Document:
    """`doc` holding `raw` (a text with line endings) instead of its own text."""
    fresh = document_from_text(raw)
    newline = fresh.newline if ("\n" in raw or "\r" in raw) else doc.newline
    return replace(doc, text=fresh.text, crlf=fresh.crlf, newline=newline)


def _splice(doc: Document, pos: int, length: int, new: str) -> Document:
    """`doc` with text[pos:pos+length] replaced by `new` (LF form); new lines take its ending."""
    flags = splice_endings(doc, doc.crlf, doc.text, [(pos, length, new)])
    return replace(doc, text=doc.text[:pos] + new + doc.text[pos + length :], crlf=flags)


def _insert_lines(doc: Document, after: int, new: str) -> Document:
    """`doc` with the lines `new` put after its line `after` (0: at the top; past the end: at the end)."""
    text = doc.text
    pos = 0
    for _ in range(after):
        found = text.find("\n", pos)
        if found < 0:
            pos = len(text)
            break
        pos = found + 1
    if pos == len(text) and text and not text.endswith("\n"):
        new = "\n" + new  # after a last line without a line feed
        if new.endswith("\n"):
            new = new[:-1]
    return _splice(doc, pos, 0, new)


def _final_newline(doc: Document, wanted: bool) -> Document:
    """`doc` ending in a line feed or not, as a hunk's '\\ No newline at end of file' says."""
    text = doc.text
    if wanted and text and not text.endswith("\n"):
        return _splice(doc, len(text), 0, "\n")
    if not wanted and text.endswith("\n"):
        return _splice(doc, len(text) - 1, 1, "")
    return doc


def _changed_lines(old: str, new: str) -> tuple[int, int]:
    """The first and last lines of `new` that differ from `old` (a removal: the line after it)."""
    a, b = old.split("\n"), new.split("\n")
    prefix = 0
    while prefix < min(len(a), len(b)) and a[prefix] == b[prefix]:
        prefix += 1
    suffix = 0
    while suffix < min(len(a), len(b)) - prefix and a[-1 - suffix] == b[-1 - suffix]:
        suffix += 1
    lines = max(1, len(b) - (1 if new.endswith("\n") else 0))
    start = min(prefix + 1, lines)
    return start, min(max(start, len(b) - suffix), lines)


def _without_unknown_context(piece: _Piece, known: set[str]) -> tuple[_Piece, int] | None:
    """The hunk without its context lines that are no line of the file (blank lines are kept);
    None when it has none, or nothing of it but added lines would be left."""
    kept = [d for d in piece.lines if d.kind != " " or not d.text.strip() or d.text.strip() in known]
    dropped = len(piece.lines) - len(kept)
    if not dropped or not any(d.kind != "+" and d.text.strip() for d in kept):
        return None
    old = "".join(d.text for d in kept if d.kind != "+")
    new = "".join(d.text for d in kept if d.kind != "-")
    return replace(piece, old=old, new=new, lines=tuple(kept)), dropped


def _matches(text: str, expected: str) -> bool:
    """Whether `text` holds what `expected` says it holds, tolerating what an edit's placement
    tolerates, and no line more."""
    if text == expected or not text.strip():
        return text.strip() == expected.strip()
    if not expected.strip():
        return False
    outcome = edit_text(text, expected, "")
    filled = [line for line in text.split("\n") if line.strip()]
    said = [line for line in expected.split("\n") if line.strip()]
    return outcome.ok and not outcome.text.strip() and len(filled) <= len(said)


def _place_deleted(plan: _Plan, display: str) -> None:
    task, outcome = plan.task, plan.task.outcome
    doc = plan.doc
    assert doc is not None
    text = doc.text
    strategies: list[BlockStrategy] = []
    if task.pieces:
        result = _place_pieces(plan, doc)
        text = _lf(result.text)
        strategies = list(result.strategy) if isinstance(result.strategy, list) else []
    if not _matches(text, task.content):
        what = "the diff says it held" if outcome.format == DIFF else "the block that created it held"
        _raise(
            outcome,
            "refused",
            f"{display}: the patch deletes this file, but it does not hold what {what} "
            f"({_plural(_line_count(text), 'line')} in the file, "
            f"{_plural(_line_count(task.content), 'line')} in the patch); it was not deleted. "
            "Read the file and show all of its lines as removed to delete it.",
            _first_line(task),
        )
    import difflib

    diff = "".join(difflib.unified_diff(patch_lines(doc.text), [], display, "/dev/null"))
    if diff and not diff.endswith("\n"):
        diff += "\n\\ No newline at end of file\n"
    outcome.result = EditResult(
        ok=True, path=display, text="", strategy=[*strategies, "delete"], replacements=1, diff=diff
    )
    outcome.ok = outcome.deleted = True
    plan.delete = True


def _lf(text: str) -> str:
    return text.replace("\r\n", "\n")


def _line_count(text: str) -> int:
    return text.count("\n") + (0 if text.endswith("\n") or not text else 1)


def _creation_result(
    display: str, text: str, strategies: list[BlockStrategy], repairs: list[str], count: int
) -> EditResult:
    import difflib

    diff = "".join(difflib.unified_diff([], patch_lines(text), "/dev/null", display))
    if diff and not diff.endswith("\n"):
        diff += "\n\\ No newline at end of file\n"
    lines = _line_count(text)
    return EditResult(
        ok=True,
        path=display,
        text=text,
        strategy=strategies,
        start_line=1 if lines else None,
        end_line=lines if lines else None,
        replacements=count,
        repairs=repairs,
        diff=diff,
    )


def _place_created(plan: _Plan, root: Root, location: Location, exists: bool, dry_run: bool) -> None:
    task, outcome = plan.task, plan.task.outcome
    line = _first_line(task)
    if exists:
        held = load_document(location, lock=False)
        if held.text == task.content:
            _raise(
                outcome,
                "already_applied",
                f"{location.display}: the patch creates this file, and it exists already with the "
                "content the patch gives it. Nothing was changed.",
                line,
            )
        _raise(outcome, FILE_EXISTS, f"{location.display}: the patch creates this file, but it exists", line)
    count = len(task.pieces) or 1
    outcome.result = _creation_result(location.display, task.content, ["create"], [], count)
    outcome.ok = outcome.created = True
    plan.text, plan.create = task.content, task.rel


def _place_new_blocks(plan: _Plan, display: str, dry_run: bool) -> None:
    """A missing file that blocks create: its first block's text with the others applied."""
    task, outcome = plan.task, plan.task.outcome
    pieces = task.pieces
    first = pieces[0]
    if first.splits and any(s.search == "" for s in first.splits):
        first = replace(first, old="", new=first.splits[0].replace, splits=())
    if not first.creates:
        _raise(outcome, IO_ERROR, "no such file (an empty SEARCH part would create it)", first.line)
    text = first.new
    strategies: list[BlockStrategy] = ["create"]
    repairs: list[str] = []
    for piece in pieces[1:]:
        if piece.splits:
            piece = _choose_split(text, piece, outcome, exists=True)
        if piece.creates:
            _raise(
                outcome,
                FILE_EXISTS,
                "an empty SEARCH part creates a file, but an earlier block already created it",
                piece.line,
            )
        step = edit_text(text, piece.old, piece.new)
        if not step.ok:
            outcome.result = replace(step, path=display, failed_edit=pieces.index(piece) - 1)
            _raise(outcome, step.error_type or "refused", for_format(step.message or "", BLOCKS), piece.line)
        text = step.text
        if isinstance(step.strategy, str):
            strategies.append(step.strategy)
        repairs.extend(step.repairs)
    outcome.result = _creation_result(display, text, strategies, repairs, len(pieces))
    outcome.ok = outcome.created = True
    plan.text, plan.create = text, task.rel


def _place_moved(plan: _Plan, root: Root, dry_run: bool) -> None:
    """A rename or copy: the hunks placed on the old file, the new one must not exist yet."""
    task, outcome = plan.task, plan.task.outcome
    assert task.source is not None
    line = _first_line(task)
    target, exists = _exists(plan, root, task.rel)
    if exists:
        _raise(
            outcome, FILE_EXISTS, f"{target.display}: the patch moves a file here, but this file exists", line
        )
    source, found = _exists(plan, root, task.source)
    if not found:
        _raise(outcome, IO_ERROR, f"{source.display}: no such file (the patch renames or copies it)", line)
    plan.doc = load_document(source, lock=not dry_run)
    result = _place_pieces(plan, plan.doc)
    plan.text, plan.create, plan.delete = result.text, task.rel, not task.copy
    outcome.result = replace(result, path=target.display)
    outcome.ok = True


# ---- blocks with several dividers ---------------------------------------------------------------


def _choose_split(text: str, piece: _Piece, outcome: FileOutcome, exists: bool) -> _Piece:
    """The reading of a block whose SEARCH part is in `text` (see ``block_parser``).

    The SEARCH parts of a block's readings grow one from another, so when a longer one is in the
    text the shorter ones are too: the longest found is taken. When none is in the text as it
    stands, the one reading that the tolerant strategies place is taken. An empty SEARCH part
    (create the file) is the reading only when the file does not exist.
    """
    candidates = [s for s in piece.splits if s.search or not exists]
    chosen: BlockSplit | None = None
    if not exists and candidates and candidates[0].search == "":
        chosen = candidates[0]
    found = [s for s in candidates if s.search and s.search in text]
    if chosen is None and found:
        chosen = found[-1]
    placed: list[BlockSplit] = []
    if chosen is None:
        placed = [s for s in candidates if s.search and edit_text(text, s.search, s.replace).ok]
        if len(placed) == 1:
            chosen = placed[0]
    if chosen is not None:
        return replace(piece, old=chosen.search, new=chosen.replace, splits=())
    lines = ", ".join(str(s.divider_line) for s in piece.splits)
    why = "none of them is" if not placed else f"{len(placed)} of them are"
    _raise(
        outcome,
        AMBIGUOUS,
        f"ambiguous block: it holds {len(piece.splits)} lines '=======' (patch lines {lines}) and of "
        f"the SEARCH parts they would end, {why} found in the file. Mark the divider unmistakably: "
        "keep '=======' lines out of the SEARCH and REPLACE text (use a smaller block), or "
        "replace the whole section with a block whose SEARCH holds no such line.",
        piece.line,
    )


def _choose_splits(text: str, pieces: list[_Piece], outcome: FileOutcome, exists: bool) -> list[_Piece]:
    """The blocks with every ambiguous one read as the file tells."""
    chosen: list[_Piece] = []
    for piece in pieces:
        if piece.splits:
            piece = _choose_split(text, piece, outcome, exists)
        chosen.append(piece)
        # Later blocks may edit what this one put in.
        step = edit_text(text, piece.old, piece.new) if piece.old else None
        if step is not None and step.ok:
            text = step.text
    return chosen


# ---- committing: the writes, and how each is undone -----------------------------------------------


def _commit_step(plan: _Plan, root: Root, step: str) -> Undo | None:
    """One step of a plan ("write", "create" or "delete"); returns how to undo it."""
    doc = plan.doc
    if step == "write" and plan.create is None and plan.text is not None and doc is not None:
        original = restore_endings(doc, doc.text, doc.crlf)
        if plan.text == original:
            return None
        write_document(doc, plan.text)
        return lambda: write_document(doc, original)
    if step == "create" and plan.create is not None and plan.text is not None:
        rel = plan.create
        create_file(root, rel, plan.text, like=doc)
        return lambda: _unlink(root, rel)
    if step == "delete" and plan.delete and doc is not None:
        assert doc.source is not None
        original = restore_endings(doc, doc.text, doc.crlf)
        rel = plan.task.source or plan.task.rel
        remove_document(doc)
        return lambda: create_file(root, rel, original, like=doc)
    return None


def _unlink(root: Root, rel: str) -> None:
    with root.locate(rel) as location:
        if location.dir_fd is not None:
            os.unlink(location.name, dir_fd=location.dir_fd)


STEPS = ("write", "create", "delete")


@record
class _Trouble:
    """A step that failed: its plan, the error, and the steps before it that could not be undone."""

    plan: _Plan
    error: EditError
    not_undone: list[str]

    def fail(self) -> None:
        outcome = self.plan.task.outcome
        message = str(self.error)
        if self.not_undone:
            message += "\nUndoing the steps taken before it failed: " + "; ".join(self.not_undone)
        _fail(outcome, self.error.error_type, message, outcome.failed_block)
        outcome.result = None
        outcome.created = outcome.deleted = False


def _commit(plans: list[_Plan], root: Root) -> _Trouble | None:
    """Carry the plans out, edits first, then new files, then removals. When a step fails, the
    steps taken are undone (newest first) and the trouble is returned."""
    undo: list[Undo] = []
    for step in STEPS:
        for plan in plans:
            try:
                taken = _commit_step(plan, root, step)
            except EditError as exc:
                return _Trouble(plan, exc, _undo(undo))
            except OSError as exc:
                error = EditError(f"{plan.task.outcome.path}: {exc.strerror or exc}")
                return _Trouble(plan, error, _undo(undo))
            if taken is not None:
                undo.append(taken)
    return None


def _undo(undo: list[Undo]) -> list[str]:
    """Undo the steps, newest first; returns the problems of those that could not be undone."""
    problems = []
    for step in reversed(undo):
        try:
            step()
        except (EditError, OSError) as exc:
            problems.append(str(exc))
    return problems


def _mark_written(plan: _Plan) -> None:
    outcome = plan.task.outcome
    if outcome.result is not None and (plan.text is not None or plan.delete):
        changed = plan.create is not None or plan.delete
        if not changed and plan.doc is not None:
            changed = plan.text != restore_endings(plan.doc, plan.doc.text, plan.doc.crlf)
        outcome.result = replace(outcome.result, written=changed)


# ---- the whole patch -------------------------------------------------------------------------------


def apply_patch(
    text: str,
    root: str | os.PathLike[str] = ".",
    *,
    dry_run: bool = False,
    atomic: bool = False,
    reverse: bool = False,
    allow_vcs_dirs: bool = False,
) -> PatchReport:
    """Apply the SEARCH/REPLACE blocks or the unified diff in `text` to the files under `root`.

    The format is told from the text (``detect_format``). Each file is all or nothing; with
    `atomic`, the whole patch is (nothing is written unless every file's changes are placed).
    `reverse` applies the patch backwards. Nothing is written with `dry_run`. Paths inside
    ``.git``, ``.hg`` or ``.svn`` are refused unless `allow_vcs_dirs`. Raises EditError when the
    root cannot be opened, TypeError when `text` is not a str.
    """
    if not isinstance(text, str):
        raise TypeError(f"the patch must be a str, not {type(text).__name__}")
    parsed: Parsed
    if detect_format(text) == DIFF:
        from .diff_parser import parse_diff

        parsed = parse_diff(text)
    else:
        parsed = parse_blocks(text)
    return apply_parsed(
        parsed, root, dry_run=dry_run, atomic=atomic, reverse=reverse, allow_vcs_dirs=allow_vcs_dirs
    )


def apply_parsed(
    patch: Parsed,
    root: str | os.PathLike[str] = ".",
    *,
    dry_run: bool = False,
    atomic: bool = False,
    reverse: bool = False,
    allow_vcs_dirs: bool = False,
) -> PatchReport:
    """``apply_patch`` for a patch parsed already (``parse_blocks`` or ``parse_diff``)."""
    for name, flag in (("dry_run", dry_run), ("atomic", atomic), ("reverse", reverse)):
        if not isinstance(flag, bool):
            raise TypeError(f"{name} must be a bool")
    fmt: PatchFormat
    if not isinstance(patch, ParsedPatch):
        fmt = DIFF
        tasks, orphans = _diff_tasks(patch, reverse, allow_vcs_dirs)
    else:
        fmt = BLOCKS
        tasks, orphans = _block_tasks(patch, reverse, allow_vcs_dirs)
    try:
        handle = Root(root, allow_vcs_dirs=allow_vcs_dirs)
    except OSError as exc:
        name = os.fspath(root)
        raise EditError(f"{name}: cannot open the root folder: {exc.strerror or exc}", path=name) from None
    report = PatchReport([t.outcome for t in tasks], orphans, dry_run, fmt, atomic)
    with handle:
        if orphans:
            what = "block" if fmt == BLOCKS else "part"
            for task in tasks:
                if task.outcome.error_type is None:
                    _fail(
                        task.outcome,
                        SKIPPED,
                        f"the patch has a malformed {what} whose file cannot be told ({orphans[0]})",
                    )
            return report
        if atomic:
            _run_atomic(tasks, handle, dry_run)
        else:
            for task in tasks:
                _run_one(task, handle, dry_run)
    return report


def _run_one(task: _Task, root: Root, dry_run: bool) -> None:
    """One file on its own: placed, then written; read and placed once more after a conflict."""
    if task.outcome.error_type is not None:
        return
    for attempt in (0, 1):
        plan = _plan(task, root, dry_run)
        if plan is None or dry_run:
            if plan is not None:
                plan.release()
            return
        try:
            trouble = _commit([plan], root)
            if trouble is None:
                _mark_written(plan)
                return
            trouble.fail()
            if isinstance(trouble.error, WriteConflict) and not attempt and not trouble.not_undone:
                task.outcome.error_type = task.outcome.message = None
                continue
            return
        finally:
            plan.release()


def _run_atomic(tasks: list[_Task], root: Root, dry_run: bool) -> None:
    """Every file placed first (holding the locks), then all written or none."""
    plans: list[_Plan] = []
    try:
        for task in tasks:
            if task.outcome.error_type is None:
                plan = _plan(task, root, dry_run)
                if plan is not None:
                    plans.append(plan)
        failed = [t.outcome for t in tasks if t.outcome.error_type is not None]
        if failed:
            _hold_back(tasks, f"{failed[0].path} was not applied")
            return
        if dry_run:
            return
        trouble = _commit(plans, root)
        if trouble is not None:
            trouble.fail()
            restored = "could not all be restored" if trouble.not_undone else "were restored"
            path = trouble.plan.task.outcome.path
            _hold_back(tasks, f"writing {path} failed, and the files written before it {restored}")
            return
        for plan in plans:
            _mark_written(plan)
    finally:
        for plan in plans:
            plan.release()


def _hold_back(tasks: list[_Task], why: str) -> None:
    for task in tasks:
        outcome = task.outcome
        if outcome.error_type is None:
            outcome.ok = False
            outcome.error_type = HELD_BACK
            outcome.message = (
                f"its changes were placed, but the patch is applied all or nothing (atomic) and {why}; "
                "nothing of it was written."
            )
            if outcome.result is not None:
                outcome.result = replace(outcome.result, written=False)
