"""Safe edits: placing edits with the native driver, repairing new_string, reporting the outcome.

An edit is placed on the text in LF form by the native replacement driver (``_native.locate``),
which says which strategy found old_string, where, and as what text. The package then splices a
repaired new_string in itself (``repairs``), restores the text's line endings (``files``) and
builds the result: the changed lines, a unified diff limited to the changed region, and on
failure the driver's message with a better near miss or the reason for a refusal.
"""

from __future__ import annotations

import difflib
import os
import re
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, Union

from . import _native
from .errors import EditError, is_native_panic
from .files import (
    Document,
    document_from_text,
    encode_document,
    read_document,
    restore_endings,
    splice_endings,
    write_atomic,
)
from .repairs import reindent
from .results import ClosestMatch, Edit, EditResult
from .schema import ErrorType, StrategyName

__all__ = ["DEFAULT_MIN_SIMILARITY", "STRATEGIES", "apply_edits", "edit_file", "edit_text"]

#: The strategies in the order the driver tries them (the native driver's own table).
STRATEGIES: tuple[str, ...] = tuple(_native.strategy_names())

#: Strategies that place a block by its first and last lines whatever lies between them; their
#: matches must be at least `min_similarity` alike old_string (compared line by line trimmed).
_LOOSE_STRATEGIES = frozenset({"block_anchor", "context_aware"})

#: Default of `min_similarity`, measured by bench/measure_min_similarity.py on blocks of 4 to 40
#: lines of the largest standard-library modules (3000 cases of each kind): 0.6 refuses 99.1 % of
#: the blocks whose inner lines were taken from another function (median similarity 0.29) and
#: accepts 98.8 % of those with one inner line replaced and 97.7 % of those with one inner line
#: missing (medians 0.88 and 0.90); the rest are mostly 4-line blocks, where one of two inner
#: lines is half the block.
DEFAULT_MIN_SIMILARITY = 0.6

#: Threshold of the near-miss search when the caller did not ask for another.
_NEAR_MISS_THRESHOLD = 0.8

#: Characters of text on each side of a match that are read to learn the indentation style
#: (some twenty-five lines of code).
_STYLE_SAMPLE = 1000

PathArg = Union[str, "os.PathLike[str]"]
EditLike = Union[Edit, Mapping[str, Any]]


@dataclass
class _Options:
    reindent: bool
    strategies: list[str] | None
    min_similarity: float | None


@dataclass
class _Placement:
    text: str  # the whole text after the edit (LF form)
    strategy: StrategyName
    repairs: list[str]
    replacements: int
    start_line: int
    end_line: int
    splices: list[tuple[int, int, str]]  # (position, length, inserted) in the text before


@dataclass
class _Failure:
    error_type: ErrorType
    message: str
    closest: ClosestMatch | None = None
    locations: list[int] | None = None


@dataclass
class _Envelope:
    """The changed region: the unchanged prefix and suffix lengths shared by old and new text."""

    prefix: int
    suffix: int
    lines: list[tuple[int, int]] = field(default_factory=list)


# ---- argument checks ---------------------------------------------------------------------------


def _check_options(reindent_flag: object, strategies: object, min_similarity: object) -> _Options:
    if not isinstance(reindent_flag, bool):
        raise TypeError("reindent must be a bool")
    names: list[str] | None = None
    if strategies is not None:
        if isinstance(strategies, str):
            strategies = [strategies]
        if not isinstance(strategies, Iterable):
            raise TypeError("strategies must be an iterable of strategy names")
        names = []
        for name in strategies:
            if not isinstance(name, str) or name not in STRATEGIES:
                raise ValueError(f"unknown strategy {name!r}; valid strategies: {', '.join(STRATEGIES)}")
            names.append(name)
        if not names:
            raise ValueError(f"strategies names none; valid strategies: {', '.join(STRATEGIES)}")
    if min_similarity is not None:
        if isinstance(min_similarity, bool) or not isinstance(min_similarity, (int, float)):
            raise TypeError("min_similarity must be a number between 0 and 1")
        if not 0.0 <= float(min_similarity) <= 1.0:
            raise ValueError("min_similarity must be between 0 and 1")
        min_similarity = float(min_similarity)
    return _Options(reindent_flag, names, min_similarity)


def _as_edit(item: object, index: int | None = None) -> Edit:
    where = "" if index is None else f"edit {index}: "
    if isinstance(item, Edit):
        edit = item
    elif isinstance(item, Mapping):
        unknown = set(item) - {"old_string", "new_string", "replace_all", "line_hint"}
        if unknown:
            raise ValueError(f"{where}unknown keys {sorted(map(str, unknown))}")
        try:
            edit = Edit(
                item["old_string"],
                item["new_string"],
                item.get("replace_all", False),
                item.get("line_hint"),
            )
        except KeyError as exc:
            raise ValueError(f"{where}missing key {exc.args[0]!r}") from None
    else:
        raise TypeError(f"{where}an edit must be an Edit or a mapping, not {type(item).__name__}")
    if not isinstance(edit.old_string, str) or not isinstance(edit.new_string, str):
        raise TypeError(f"{where}old_string and new_string must be str")
    if not isinstance(edit.replace_all, bool):
        raise TypeError(f"{where}replace_all must be a bool")
    hint = edit.line_hint
    if hint is not None and (isinstance(hint, bool) or not isinstance(hint, int) or not 0 <= hint < 2**32):
        raise ValueError(f"{where}line_hint must be None or a line number (int from 1)")
    return edit


# ---- placing one edit ----------------------------------------------------------------------------


def _lf(s: str) -> str:
    return s.replace("\r\n", "\n") if "\r" in s else s


def _trimmed_lines(s: str) -> str:
    return "\n".join(line.strip() for line in s.split("\n"))


def _closest(info: tuple[float, int, int, str, str] | None) -> ClosestMatch | None:
    if info is None:
        return None
    similarity, start, end, window, diff = info
    return ClosestMatch(similarity, start, end, window, diff)


def _with_closest(message: str, closest: ClosestMatch) -> str:
    """The not-found message with this closest-match piece, where the driver puts its own."""
    piece = (
        f"\nClosest fuzzy match ({closest.similarity * 100:.1f}% similar) at lines "
        f"{closest.start_line}-{closest.end_line}:\n{closest.diff}"
    )
    tips = message.rfind("\n\nDebugging tips:")
    if tips < 0:
        tips = len(message)
    start = message.find("\nClosest fuzzy match (")
    if start < 0 or start > tips:
        start = tips
    return message[:start] + piece + message[tips:]


def _place(text: str, edit: Edit, opts: _Options) -> _Placement | _Failure:
    old = _lf(edit.old_string)
    new = _lf(edit.new_string)
    kwargs = {} if opts.strategies is None else {"strategies": opts.strategies}
    outcome = _native.locate(text, old, new, edit.replace_all, edit.line_hint, **kwargs)
    if outcome[0] != "ok":
        error_type, message, closest_info, locations = outcome
        closest = _closest(closest_info)
        if error_type == "not_found" and (closest is None or closest.similarity < 1.0):
            # The driver only looks near the lines holding old_string's first line (or at the
            # first windows): a block elsewhere may be closer.
            threshold = _NEAR_MISS_THRESHOLD if opts.min_similarity is None else opts.min_similarity
            if closest is not None:
                threshold = max(threshold, closest.similarity)
            better = _closest(_native.closest_window(text, old, threshold))
            if better is not None and (closest is None or better.similarity > closest.similarity):
                closest = better
                message = _with_closest(message, closest)
        return _Failure(error_type, message, closest, locations)

    _, strategy, matched, pos, start_line, _ = outcome
    min_similarity = DEFAULT_MIN_SIMILARITY if opts.min_similarity is None else opts.min_similarity
    if strategy in _LOOSE_STRATEGIES and min_similarity > 0:
        similarity = _native.similarity(_trimmed_lines(old.rstrip("\n")), _trimmed_lines(matched))
        if similarity < min_similarity:
            end = start_line + matched.count("\n")
            closest = ClosestMatch(similarity, start_line, end, matched, _native.match_diff(old, matched))
            message = (
                f"Refused: strategy {strategy} matched lines {start_line}-{end} by their first and last "
                f"lines, but the block is only {similarity * 100:.1f}% similar to old_string (minimum "
                f"{min_similarity * 100:.1f}%): its inner lines are not the ones in the file, and "
                f"replacing it would delete code that old_string does not show.\n{closest.diff}\n"
                "Read the file at these lines and send old_string exactly as it is there."
            )
            return _Failure("refused", message, closest)

    repairs: list[str] = []
    if strategy != "simple":
        if strategy == "escape_normalized":
            unescaped_old = _native.unescape(old)
            if unescaped_old != old:
                unescaped_new = _native.unescape(new)
                if unescaped_new != new:
                    new = unescaped_new
                    repairs.append("unescaped")
                old = unescaped_old
        if old.endswith("\n") and not matched.endswith("\n") and new.endswith("\n"):
            new = new[:-1]
            repairs.append("dropped final newline")
        elif matched.endswith("\n") and not old.endswith("\n") and new and not new.endswith("\n"):
            # The match took the line break behind the block, which old_string did not show.
            new += "\n"
            repairs.append("kept final newline")
        if old.startswith("\n") and not matched.startswith("\n") and new.startswith("\n"):
            new = new[1:]
            repairs.append("dropped leading newline")
        if opts.reindent:
            pos, matched, new, phrases = _reindent_at(text, pos, matched, old, new, edit.replace_all)
            repairs.extend(phrases)

    if edit.replace_all:
        splices = []
        if matched:
            at = pos
            while at >= 0:
                splices.append((at, len(matched), new))
                at = text.find(matched, at + len(matched))
            new_text = text.replace(matched, new)
        else:
            new_text = text.replace(matched, new)
            splices = [(k, 0, new) for k in range(len(text) + 1)]
    else:
        splices = [(pos, len(matched), new)]
        new_text = text[:pos] + new + text[pos + len(matched) :]

    # Lines of the first and last inserted text in the new text.
    last_pos, last_len, _ = splices[-1]
    last_start = last_pos + (len(new) - last_len) * (len(splices) - 1)
    end_line = start_line
    if len(splices) > 1:
        end_line = start_line + new_text.count("\n", splices[0][0], last_start)
    end_line += max(new.count("\n") - (1 if new.endswith("\n") else 0), 0)
    return _Placement(new_text, strategy, repairs, len(splices), start_line, end_line, splices)


def _reindent_at(
    text: str, pos: int, matched: str, old: str, new: str, replace_all: bool
) -> tuple[int, str, str, list[str]]:
    """The indentation repair at a match: possibly widened to the start of its first line."""
    line_start = text.rfind("\n", 0, pos) + 1
    prefix = text[line_start:pos]
    if prefix.strip():
        return pos, matched, new, []  # the match starts after code on its line

    def surroundings() -> str:
        lo = text.rfind("\n", 0, max(0, pos - _STYLE_SAMPLE)) + 1
        return text[lo : pos + len(matched) + _STYLE_SAMPLE]

    repaired, phrases = reindent(new, old, prefix + matched, surroundings)
    if not phrases:
        return pos, matched, new, []
    if prefix and not replace_all:
        # The repaired first line carries the whole indentation: replace the line's own too.
        return line_start, prefix + matched, repaired, phrases
    if prefix:
        return pos, matched, new, []
    return pos, matched, repaired, phrases


# ---- reporting ---------------------------------------------------------------------------------


def _line_bounds(text: str, start: int, end: int, context: int) -> tuple[int, int, int]:
    """(lo, hi, back): the lines holding text[start:end] plus `context` lines on each side.

    `back` is the number of context lines found before the first changed line.
    """
    lo = text.rfind("\n", 0, start) + 1
    back = 0
    while back < context and lo > 0:
        lo = text.rfind("\n", 0, lo - 1) + 1
        back += 1
    last = end - 1 if end > start else start
    hi = text.find("\n", last)
    hi = len(text) if hi < 0 else hi
    for _ in range(context):
        if hi >= len(text) - 1:
            break
        nxt = text.find("\n", hi + 1)
        hi = len(text) if nxt < 0 else nxt
    return lo, hi, back


def _region_lines(text: str, lo: int, hi: int) -> list[str]:
    lines = text[lo:hi].split("\n")
    if hi >= len(text) and text.endswith("\n") and len(lines) > 1 and lines[-1] == "":
        lines.pop()
    return lines


_HUNK = re.compile(r"^@@ -(\d+)(,\d+)? \+(\d+)(,\d+)? @@$")


def _shift_hunk(line: str, offset: int) -> str:
    m = _HUNK.match(line)
    if m is None:
        return line
    a = int(m.group(1)) + offset
    b = int(m.group(3)) + offset
    return f"@@ -{a}{m.group(2) or ''} +{b}{m.group(4) or ''} @@"


def _diff_and_snippet(
    old: str, new: str, prefix: int, suffix: int, first_line: int, label: str
) -> tuple[str, str]:
    """A unified diff of the changed region and the changed lines of `new`, numbered like cat -n."""
    new_end = max(len(new) - suffix, prefix)
    old_end = max(len(old) - suffix, prefix)
    lo, hi, back = _line_bounds(new, prefix, new_end, 3)
    number = first_line - back
    snippet = "".join(f"{number + k:6d}\t{line}\n" for k, line in enumerate(_region_lines(new, lo, hi)))
    old_lo, old_hi, _ = _line_bounds(old, prefix, old_end, 3)
    old_lines = _region_lines(old, old_lo, old_hi)
    new_lines = _region_lines(new, lo, hi)
    out = []
    for line in difflib.unified_diff(old_lines, new_lines, label, label, n=3, lineterm=""):
        out.append(_shift_hunk(line, number - 1) if line.startswith("@@") else line)
    return "".join(line + "\n" for line in out), snippet


# ---- the runs --------------------------------------------------------------------------------------


def _run(
    doc: Document,
    edits: Sequence[Edit],
    opts: _Options,
    *,
    batch: bool,
    dry_run: bool,
) -> EditResult:
    label = doc.path if doc.path is not None else "text"
    text = doc.text
    crlf = doc.crlf
    placements: list[_Placement] = []
    prefix = len(text)
    suffix = len(text)
    for index, edit in enumerate(edits):
        outcome = _place(text, edit, opts)
        if isinstance(outcome, _Failure):
            original = restore_endings(doc, doc.text, doc.crlf)
            return EditResult(
                ok=False,
                path=doc.path,
                text=original,
                strategy=[p.strategy for p in placements] if batch else None,
                error_type=outcome.error_type,
                message=outcome.message,
                closest_match=outcome.closest,
                locations=outcome.locations,
                failed_edit=index if batch else None,
            )
        crlf = splice_endings(doc, crlf, text, outcome.splices)
        first_pos, _, _ = outcome.splices[0]
        last_pos, last_len, _ = outcome.splices[-1]
        prefix = min(prefix, first_pos)
        suffix = min(suffix, len(text) - last_pos - last_len)
        text = outcome.text
        placements.append(outcome)

    changed = text != doc.text
    new_raw = restore_endings(doc, text, crlf)
    diff = snippet = ""
    if batch:
        start_line: int | None = text.count("\n", 0, prefix) + 1 if placements else None
        end_line: int | None = start_line
        if start_line is not None and len(text) - suffix > prefix:
            end_line = text.count("\n", 0, len(text) - suffix - 1) + 1
    else:
        start_line = placements[0].start_line
        end_line = placements[0].end_line
    if changed and start_line is not None:
        first_line = start_line if not batch else text.count("\n", 0, prefix) + 1
        diff, snippet = _diff_and_snippet(doc.text, text, prefix, suffix, first_line, label)

    written = False
    if changed and doc.path is not None and not dry_run:
        write_atomic(doc.path, encode_document(doc, new_raw), doc.mode, doc.owner)
        written = True
    elif changed and doc.path is not None:
        # A dry run refuses what a real run would: only inserted text can fail to encode.
        for placement in placements:
            for _, _, inserted in placement.splices[:1]:
                encode_document(doc, inserted)

    repairs: list[str] = []
    for index, placement in enumerate(placements):
        tag = f"edit {index}: " if batch and len(placements) > 1 else ""
        repairs.extend(tag + phrase for phrase in placement.repairs)
    return EditResult(
        ok=True,
        path=doc.path,
        text=new_raw,
        strategy=[p.strategy for p in placements] if batch else placements[0].strategy,
        start_line=start_line,
        end_line=end_line,
        replacements=sum(p.replacements for p in placements),
        repairs=repairs,
        diff=diff,
        snippet=snippet,
        written=written,
    )


def _guarded(run: Any, path: str | None) -> EditResult:
    """Runs an edit; a fault of the native code reaches the caller as EditError."""
    try:
        result: EditResult = run()
    except BaseException as exc:
        if is_native_panic(exc):
            where = f"{path}: " if path is not None else ""
            raise EditError(f"{where}internal error in native code: {exc}", path=path) from exc
        raise
    return result


def edit_text(
    text: str,
    old_string: str,
    new_string: str,
    *,
    replace_all: bool = False,
    line_hint: int | None = None,
    reindent: bool = True,
    strategies: Iterable[str] | None = None,
    min_similarity: float | None = None,
) -> EditResult:
    """Replaces old_string by new_string in `text`, repairing new_string after a tolerant match.

    Never raises for an edit that cannot be placed: the result's ``ok`` is False and its
    ``error_type``, ``message`` and ``closest_match`` say why.
    """
    if not isinstance(text, str):
        raise TypeError("text must be a str")
    opts = _check_options(reindent, strategies, min_similarity)
    edit = _as_edit(Edit(old_string, new_string, replace_all, line_hint))
    doc = document_from_text(text)
    return _guarded(lambda: _run(doc, [edit], opts, batch=False, dry_run=True), None)


def edit_file(
    path: PathArg,
    old_string: str,
    new_string: str,
    *,
    replace_all: bool = False,
    line_hint: int | None = None,
    reindent: bool = True,
    strategies: Iterable[str] | None = None,
    min_similarity: float | None = None,
    dry_run: bool = False,
    encoding: str | None = None,
) -> EditResult:
    """Edits a file in place (atomically), with the repairs of ``edit_text``.

    Raises EditError when the file cannot be read, decoded or written.
    """
    opts = _check_options(reindent, strategies, min_similarity)
    edit = _as_edit(Edit(old_string, new_string, replace_all, line_hint))
    doc = read_document(path, encoding)
    return _guarded(lambda: _run(doc, [edit], opts, batch=False, dry_run=dry_run), doc.path)


def apply_edits(
    path: PathArg,
    edits: Iterable[EditLike],
    *,
    dry_run: bool = False,
    encoding: str | None = None,
    reindent: bool = True,
    strategies: Iterable[str] | None = None,
    min_similarity: float | None = None,
) -> EditResult:
    """Applies `edits` in order to one file, all or nothing.

    Each edit is an ``Edit`` or a mapping with the keys old_string, new_string and optionally
    replace_all and line_hint. When one is not placed nothing is written and the result's
    ``failed_edit`` is its 0-based index.
    """
    opts = _check_options(reindent, strategies, min_similarity)
    if isinstance(edits, (str, bytes, Mapping, Edit)):
        raise TypeError("edits must be an iterable of Edit objects or mappings")
    checked = [_as_edit(item, k) for k, item in enumerate(edits)]
    doc = read_document(path, encoding)
    if not checked:
        raise ValueError("apply_edits needs at least one edit")
    return _guarded(lambda: _run(doc, checked, opts, batch=True, dry_run=dry_run), doc.path)
