"""Applying SEARCH/REPLACE edit blocks to the files under a root folder.

``apply_blocks`` takes a patch (its text, or the ``ParsedPatch`` of ``block_parser``) and applies
the blocks of each file all or nothing, each file on its own. Paths are checked by the root's
policy (``paths``) and every file is reached from the root's descriptor; reading and writing go
through ``files``, placing through ``apply_edits``/``edit_text``. The parser's names are available
here as well, so that ``brindle_search.blocks`` is the one import for the block format.
"""

from __future__ import annotations

import difflib
import os
from dataclasses import dataclass, replace
from typing import Final

from ._edit import apply_edits, edit_text
from .block_parser import BlockError, BlockSplit, EditBlock, ParsedPatch, parse_blocks, patch_lines
from .errors import EditError, PathRefused
from .files import create_file, read_document
from .paths import Location, Root, relative_parts
from .results import Edit, EditResult, line_range
from .schema import BlockStrategy, FileDict, FileErrorType, PatchReportDict

__all__ = [
    "EditBlock",
    "BlockError",
    "BlockSplit",
    "ParsedPatch",
    "parse_blocks",
    "PathRefused",
    "FileOutcome",
    "PatchReport",
    "apply_blocks",
]

# Error types of a file's outcome beyond those of ``EditResult``.
MALFORMED: Final = "malformed"  # a block of the file could not be read
AMBIGUOUS: Final = "ambiguous"  # several '=======' lines, and the file does not tell which divides
PATH_REFUSED: Final = "path_refused"  # the path leaves the root, is not a relative path, or is in .git
FILE_EXISTS: Final = "file_exists"  # an empty SEARCH part names a file that exists
IO_ERROR: Final = "io_error"  # the file could not be read, decoded or written
CONFLICT: Final = "conflict"  # the file changed on disk while it was being edited
SKIPPED: Final = "skipped"  # not tried: a malformed block of an unknown file stops the whole patch

# Outcomes that mean a bad patch or a bad file rather than an edit that was not placed.
_HARD_ERRORS = frozenset({MALFORMED, PATH_REFUSED, IO_ERROR, CONFLICT, SKIPPED})

# The keys of a file's outcome taken from its ``EditResult.to_dict()``, before and after its own
# error_type and message.
_RESULT_HEAD = ("strategy", "start_line", "end_line", "replacements", "repairs", "diff")
_RESULT_TAIL = ("closest_match", "locations")


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
        return self.result is not None and self.result.written

    def summary(self, dry_run: bool) -> str:
        verb = (
            ("would create" if dry_run else "created")
            if self.created
            else ("would edit" if dry_run else "edited")
        )
        count = len(self.blocks)
        result = self.result
        where = ""
        if result is not None and result.start_line is not None and result.end_line is not None:
            where = f", {line_range(result.start_line, result.end_line)}"
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
        }


def apply_blocks(
    patch: ParsedPatch | str,
    root: str | os.PathLike[str] = ".",
    *,
    dry_run: bool = False,
    allow_vcs_dirs: bool = False,
) -> PatchReport:
    """Apply the blocks of ``patch`` to the files under ``root``, each file all or nothing.

    The blocks of one file go to ``apply_edits`` in patch order. A file that does not exist is
    created when its first block has an empty SEARCH part (its other blocks then edit the new
    text); an empty SEARCH part for a file that exists is an error. A file with a malformed block
    or a refused path is not touched; a malformed block whose file cannot be told stops the whole
    patch. Paths inside ``.git``, ``.hg`` or ``.svn`` are refused unless ``allow_vcs_dirs``.
    Nothing is written with ``dry_run``. Raises EditError when the root cannot be opened.
    """
    if isinstance(patch, str):
        patch = parse_blocks(patch)
    try:
        handle = Root(root, allow_vcs_dirs=allow_vcs_dirs)
    except OSError as exc:
        name = os.fspath(root)
        raise EditError(f"{name}: cannot open the root folder: {exc.strerror or exc}", path=name) from None
    with handle:
        return _apply(patch, handle, dry_run)


def _apply(patch: ParsedPatch, root: Root, dry_run: bool) -> PatchReport:
    outcomes: dict[str, FileOutcome] = {}
    refused: dict[str, str] = {}
    groups: dict[str, list[EditBlock]] = {}

    def outcome_for(raw_path: str) -> FileOutcome:
        try:
            key = "/".join(relative_parts(raw_path, allow_vcs_dirs=root.allow_vcs_dirs))
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
            _apply_file(outcome, root, key, groups[key], dry_run)
    return PatchReport(list(outcomes.values()), orphans, dry_run)


def _fail(outcome: FileOutcome, error_type: FileErrorType, message: str, block: int | None = None) -> None:
    outcome.error_type, outcome.message, outcome.failed_block = error_type, message, block


def _apply_file(outcome: FileOutcome, root: Root, rel: str, blocks: list[EditBlock], dry_run: bool) -> None:
    try:
        location = root.locate(rel)
    except EditError as exc:  # PathRefused: a link leads out of the root or into .git
        _fail(outcome, exc.error_type, str(exc), blocks[0].line)
        return
    except OSError as exc:
        _fail(outcome, IO_ERROR, f"{root.display_path(rel)}: {exc.strerror or exc}", blocks[0].line)
        return
    with location:
        _apply_located(outcome, root, rel, location, blocks, dry_run)


def _apply_located(
    outcome: FileOutcome, root: Root, rel: str, location: Location, blocks: list[EditBlock], dry_run: bool
) -> None:
    first_edit = 0
    try:
        if location.lstat() is not None:
            if any(b.ambiguous for b in blocks):
                blocks, problem = _choose_splits(read_document(location).text, blocks, exists=True)
                if problem is not None:
                    _fail(outcome, AMBIGUOUS, problem[1], problem[0])
                    return
            creating = [b for b in blocks if b.creates]
            if creating:
                _fail(
                    outcome,
                    FILE_EXISTS,
                    "an empty SEARCH part creates a file, but this file exists",
                    creating[0].line,
                )
                return
            result = apply_edits(location, [Edit(b.search, b.replace) for b in blocks], dry_run=dry_run)
        else:
            if blocks[0].ambiguous and any(s.search == "" for s in blocks[0].splits):
                blocks = [_with_split(blocks[0], blocks[0].splits[0])] + blocks[1:]
            if not blocks[0].creates:
                _fail(
                    outcome, IO_ERROR, "no such file (an empty SEARCH part would create it)", blocks[0].line
                )
                return
            first_edit = 1
            outcome.created = True
            created = _create(root, rel, location.display, blocks, dry_run)
            if isinstance(created, tuple):
                _fail(outcome, created[1], created[2], created[0])
                return
            result = created
    except EditError as exc:
        _fail(outcome, exc.error_type, str(exc))
        return
    outcome.result = result
    outcome.ok = result.ok
    if not result.ok:
        failed = result.failed_edit if result.failed_edit is not None else 0
        block = blocks[min(first_edit + failed, len(blocks) - 1)].line
        _fail(outcome, result.error_type or "refused", result.message or "", block)


# --- blocks with several dividers ---------------------------------------------------------------


def _with_split(block: EditBlock, split: BlockSplit) -> EditBlock:
    return replace(block, search=split.search, replace=split.replace, splits=())


def _choose_split(text: str, block: EditBlock, exists: bool) -> BlockSplit | str:
    """The reading of `block` whose SEARCH part is in `text`, or why none can be chosen.

    The SEARCH parts of a block's readings grow one from another, so when a longer one is in the
    text the shorter ones are too: the longest found is taken. When none is in the text as it
    stands, the one reading that the tolerant strategies place is taken. An empty SEARCH part
    (create the file) is the reading only when the file does not exist.
    """
    candidates = [s for s in block.splits if s.search or not exists]
    if not exists and candidates and candidates[0].search == "":
        return candidates[0]
    found = [s for s in candidates if s.search and s.search in text]
    if found:
        return found[-1]
    placed = [s for s in candidates if s.search and edit_text(text, s.search, s.replace).ok]
    if len(placed) == 1:
        return placed[0]
    lines = ", ".join(str(s.divider_line) for s in block.splits)
    why = "none of them is" if not placed else f"{len(placed)} of them are"
    return (
        f"ambiguous block: it holds {len(block.splits)} lines '=======' (patch lines {lines}) and of "
        f"the SEARCH parts they would end, {why} found in the file. Mark the divider unmistakably: "
        "keep '=======' lines out of the SEARCH and REPLACE text (use a smaller block), or "
        "replace the whole section with a block whose SEARCH holds no such line."
    )


def _choose_splits(
    text: str, blocks: list[EditBlock], exists: bool
) -> tuple[list[EditBlock], tuple[int, str] | None]:
    """The blocks with every ambiguous one read as the file tells; or (patch line, message)."""
    chosen: list[EditBlock] = []
    for block in blocks:
        if block.ambiguous:
            split = _choose_split(text, block, exists)
            if isinstance(split, str):
                return blocks, (block.line, split)
            block = _with_split(block, split)
        chosen.append(block)
        # Later blocks may edit what this one put in.
        step = edit_text(text, block.search, block.replace) if block.search else None
        if step is not None and step.ok:
            text = step.text
    return chosen, None


# --- new files ----------------------------------------------------------------------------------


def _create(
    root: Root, rel: str, display: str, blocks: list[EditBlock], dry_run: bool
) -> EditResult | tuple[int, FileErrorType, str]:
    """The new file's result: its first block's text with the other blocks applied in order
    (or the patch line, error type and message of a block that cannot be applied to it: one whose
    divider cannot be told, or one that would create the file again)."""
    text = blocks[0].replace
    strategies: list[BlockStrategy] = ["create"]
    repairs: list[str] = []
    for index, block in enumerate(blocks[1:], start=1):
        if block.ambiguous:
            split = _choose_split(text, block, exists=True)
            if isinstance(split, str):
                return block.line, AMBIGUOUS, split
            block = _with_split(block, split)
        if block.creates:
            message = "an empty SEARCH part creates a file, but an earlier block already created it"
            return block.line, FILE_EXISTS, message
        step = edit_text(text, block.search, block.replace)
        if not step.ok:
            return replace(step, path=display, failed_edit=index - 1)
        text = step.text
        if isinstance(step.strategy, str):
            strategies.append(step.strategy)
        repairs.extend(step.repairs)
    diff = "".join(difflib.unified_diff([], patch_lines(text), "/dev/null", display))
    if diff and not diff.endswith("\n"):
        diff += "\n\\ No newline at end of file\n"
    if not dry_run:
        create_file(root, rel, text)
    lines = text.count("\n") + (0 if text.endswith("\n") or not text else 1)
    return EditResult(
        ok=True,
        path=display,
        text=text,
        strategy=strategies,
        start_line=1 if lines else None,
        end_line=lines if lines else None,
        replacements=len(blocks),
        repairs=repairs,
        diff=diff,
        written=not dry_run,
    )
