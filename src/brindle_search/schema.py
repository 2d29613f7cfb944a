"""The shape of every JSON document the package hands out, declared once.

``EditResult.to_dict()``, the block applier's ``FileOutcome.to_dict()`` and
``PatchReport.to_dict()`` return the ``TypedDict``s below; the command line's ``--json`` documents
and the MCP server's structured results are built from them, and the README's tables are checked
against them. Strategy names and error types are ``Literal`` types, so that a type checker catches
a misspelt name in code that reads a result.
"""

from __future__ import annotations

from typing import Literal, TypedDict

__all__ = [
    "DriverStrategy",
    "StrategyName",
    "BlockStrategy",
    "PatchFormat",
    "ErrorType",
    "FileErrorType",
    "CommandErrorType",
    "ClosestMatchDict",
    "EditResultDict",
    "EditDocument",
    "FileDict",
    "PatchErrorDict",
    "PatchReportDict",
    "ViewDict",
    "FileMatchDict",
    "FindFilesDict",
]

#: The replacement strategies, in the order the native driver tries them (its own table).
DriverStrategy = Literal[
    "simple",
    "line_trimmed",
    "block_anchor",
    "whitespace_normalized",
    "indentation_flexible",
    "escape_normalized",
    "trimmed_boundary",
    "context_aware",
]

#: What placed an edit: a driver strategy, or "closest_block" for the package's own placement of a
#: block that no strategy found but whose closest block differs from it only by small edits.
StrategyName = Literal[DriverStrategy, "closest_block"]

#: What placed one block or hunk of a patch: a strategy, "create" for a block (or a diff) that
#: creates its file, "delete" for a diff that deletes one, "line_number" for a hunk without
#: context lines, placed where its header says.
BlockStrategy = Literal[StrategyName, "create", "delete", "line_number"]

#: The formats a patch may be written in.
PatchFormat = Literal["blocks", "diff"]

#: Why an edit was not placed.
ErrorType = Literal[
    "not_found",  # old_string is nowhere in the text
    "multiple_matches",  # old_string is in several places and nothing chose one
    "no_change",  # old_string and new_string are the same
    "refused",  # the place does not hold old_string's lines, or the edit cannot be made there
    "already_applied",  # new_string is already in the text where old_string would be
    "conflict",  # the file changed since it was read
]

#: Why one file of a patch was not applied: an edit's reasons, or the patch's own.
FileErrorType = Literal[
    ErrorType,
    "malformed",  # a block of the file could not be read
    "ambiguous",  # a block holds several '=======' lines and the file does not tell which divides
    "path_refused",  # the path leaves the root, or is not allowed under it
    "file_exists",  # a block that creates its file names one that exists
    "io_error",  # the file could not be read, decoded or written
    "skipped",  # not tried: a malformed block of an unknown file stops the whole patch
    "held_back",  # placed, but not written: the patch is atomic and another file failed
]

#: Why ``brindle-search edit`` failed: an edit's reasons, or the command's own (exit code 2).
CommandErrorType = Literal[ErrorType, "io_error", "usage"]


class ClosestMatchDict(TypedDict):
    similarity: float
    start_line: int
    end_line: int
    text: str
    diff: str


class EditResultDict(TypedDict):
    """``EditResult.to_dict()``."""

    ok: bool
    path: str | None
    text: str
    strategy: StrategyName | list[BlockStrategy] | None
    start_line: int | None
    end_line: int | None
    replacements: int
    repairs: list[str]
    diff: str
    snippet: str
    error_type: ErrorType | None
    message: str | None
    closest_match: ClosestMatchDict | None
    locations: list[int] | None
    failed_edit: int | None
    written: bool


class EditDocument(TypedDict):
    """The document of ``brindle-search edit --json``: an ``EditResultDict`` without the texts."""

    ok: bool
    path: str | None
    strategy: StrategyName | None
    start_line: int | None
    end_line: int | None
    replacements: int
    repairs: list[str]
    diff: str
    error_type: CommandErrorType | None
    message: str | None
    closest_match: ClosestMatchDict | None
    locations: list[int] | None
    written: bool
    dry_run: bool


class FileDict(TypedDict):
    """One file of a patch: ``FileOutcome.to_dict()``."""

    path: str
    ok: bool
    created: bool
    written: bool
    blocks: list[int]
    failed_block: int | None
    strategy: list[BlockStrategy] | None
    start_line: int | None
    end_line: int | None
    replacements: int
    repairs: list[str]
    diff: str
    error_type: FileErrorType | None
    message: str | None
    closest_match: ClosestMatchDict | None
    locations: list[int] | None
    deleted: bool
    renamed_from: str | None
    copied_from: str | None
    format: PatchFormat
    failed_hunk: str | None


class PatchErrorDict(TypedDict):
    line: int | None
    message: str


class PatchReportDict(TypedDict):
    """A whole patch: ``PatchReport.to_dict()``, the document of ``brindle-search apply --json``."""

    ok: bool
    dry_run: bool
    files: list[FileDict]
    errors: list[PatchErrorDict]
    format: PatchFormat | None  # None: the patch could not be read at all
    atomic: bool


class ViewDict(TypedDict):
    """The structured result of the ``view`` tool: lines of a file and where they stand."""

    path: str
    start_line: int
    end_line: int
    total_lines: int
    content: str  # the lines shown, without their numbers
    truncated: bool  # more lines follow that the call did not show


class FileMatchDict(TypedDict):
    path: str
    score: int


class FindFilesDict(TypedDict):
    """The structured result of the ``find_files`` tool, best match first."""

    pattern: str
    matches: list[FileMatchDict]
