"""Edits and their results: the records that callers pass in and get back.

``Edit`` is one search-and-replace request. ``EditResult`` says what happened to a text or a file:
where the edit landed and what was repaired, or why it was not placed, with the evidence a
language model needs to retry. ``to_dict()`` gives the same data as plain JSON-ready values and
``str(result)`` a short report meant to be handed back to the model.
"""

from __future__ import annotations

from .records import field, record

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .schema import BlockStrategy, ClosestMatchDict, EditResultDict, ErrorType, StrategyName

__all__ = ["ClosestMatch", "Edit", "EditResult", "check_line_hint", "line_range", "MAX_LINE_HINT"]

#: The largest line_hint: line numbers are unsigned 32-bit in the native driver.
MAX_LINE_HINT = 2**32 - 1


def check_line_hint(hint: object, where: str = "") -> int | None:
    """The one check of a line_hint anywhere in the package: None, or a line number from 1."""
    if hint is None:
        return None
    if isinstance(hint, bool) or not isinstance(hint, int):
        raise TypeError(f"{where}line_hint must be None or an int, not {type(hint).__name__}")
    if not 1 <= hint <= MAX_LINE_HINT:
        raise ValueError(
            f"{where}line_hint must be None or a line number from 1 to {MAX_LINE_HINT}, got {hint}"
        )
    return hint


def line_range(start: int, end: int) -> str:
    """How reports name 1-based lines: "line 3" or "lines 3-5"."""
    return f"line {start}" if start == end else f"lines {start}-{end}"


@record(frozen=True)
class Edit:
    """One replacement: ``old_string`` (as the model remembers it) becomes ``new_string``."""

    old_string: str
    new_string: str
    replace_all: bool = False
    line_hint: int | None = None


@record(frozen=True)
class ClosestMatch:
    """The block of the text most like ``old_string`` (1-based lines, ``end_line`` inclusive)."""

    similarity: float
    start_line: int
    end_line: int
    text: str
    diff: str

    def to_dict(self) -> ClosestMatchDict:
        return {
            "similarity": self.similarity,
            "start_line": self.start_line,
            "end_line": self.end_line,
            "text": self.text,
            "diff": self.diff,
        }


@record(frozen=True)
class EditResult:
    """The outcome of ``edit_text``, ``edit_file`` or ``apply_edits``.

    On success ``text`` is the new text, ``start_line``/``end_line`` the changed lines in it and
    ``strategy`` the strategy that placed the edit (a list, one per edit, for ``apply_edits``).
    On failure ``text`` is the unchanged text and ``error_type`` says why (``schema.ErrorType``;
    problems with the file itself are EditError, whose ``error_type`` is "io_error", "conflict"
    or "path_refused").
    """

    ok: bool
    path: str | None
    text: str
    strategy: StrategyName | list[BlockStrategy] | None = None
    start_line: int | None = None
    end_line: int | None = None
    replacements: int = 0
    repairs: list[str] = field(default_factory=list)
    diff: str = ""
    snippet: str = ""
    error_type: ErrorType | None = None
    message: str | None = None
    closest_match: ClosestMatch | None = None
    locations: list[int] | None = None
    failed_edit: int | None = None
    written: bool = False

    def __bool__(self) -> bool:
        return self.ok

    def to_dict(self) -> EditResultDict:
        """Every field as plain JSON-ready data (str, int, float, bool, None, list, dict)."""
        strategy: StrategyName | list[BlockStrategy] | None = (
            list(self.strategy) if isinstance(self.strategy, list) else self.strategy
        )
        return {
            "ok": self.ok,
            "path": self.path,
            "text": self.text,
            "strategy": strategy,
            "start_line": self.start_line,
            "end_line": self.end_line,
            "replacements": self.replacements,
            "repairs": list(self.repairs),
            "diff": self.diff,
            "snippet": self.snippet,
            "error_type": self.error_type,
            "message": self.message,
            "closest_match": None if self.closest_match is None else self.closest_match.to_dict(),
            "locations": None if self.locations is None else list(self.locations),
            "failed_edit": self.failed_edit,
            "written": self.written,
        }

    def __str__(self) -> str:
        where = self.path if self.path is not None else "the text"
        if not self.ok:
            head = f"Edit not applied to {where} ({self.error_type})."
            if self.failed_edit is not None:
                head = (
                    f"Edit {self.failed_edit} (0-based) of the batch not applied to {where} "
                    f"({self.error_type}); nothing was written."
                )
            return f"{head}\n{self.message or ''}".rstrip("\n")
        strategies = self.strategy if isinstance(self.strategy, list) else [self.strategy]
        how = "strategy " + ", ".join(str(s) for s in strategies)
        if self.repairs:
            how += "; repairs: " + ", ".join(self.repairs)
        if self.start_line is None or self.end_line is None:
            lines = "no change to the text"
        else:
            lines = line_range(self.start_line, self.end_line)
        count = "" if self.replacements == 1 else f", {self.replacements} replacements"
        head = f"Edited {where}: {lines} ({how}{count})."
        if not self.snippet:
            return head
        return f"{head} The changed lines now read:\n{self.snippet}".rstrip("\n")
