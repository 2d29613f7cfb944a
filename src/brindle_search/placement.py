"""Placing one edit on a text: where it goes, whether it may go there, and what is written.

The native driver (``_native.locate``) finds old_string by its strategies, in its order. Each
place it proposes is then judged on the alignment of old_string's lines with the text's lines
there (``alignment``), and the change is made line by line on the text's own lines
(``line_merge``)::

    locate ──► exact, and no word cut? ──yes──► splice new_string (whole lines kept whole)
      │              │no
      │              ▼
      │        align old_string with the lines there ──► anchors and inner lines in the text?
      │                                                   │yes                    │no
      │                                                   ▼                       ▼
      │                                            merge line by line     refuse this place and
      │                                                                   ask the later strategies
      ▼ (not found by any)
    the closest block, when it is unique and differs only by small edits ──► merge
      ▼ (otherwise)
    new_string already there? ──► "already_applied"; else the driver's report, or the refusal

A place is accepted when old_string's first and last lines (not counting blank lines and elision
markers) are lines of the text, each the same or differing only in blanks, escapes or quotes; when
at least ``inner_share`` of the lines between them pair, counted on both sides (old lines not in
the text, and text lines old_string did not show); and when new_string changes only lines that are
in the text. A blank line never anchors a place. A loose place where old_string's trimmed lines
are in the text elsewhere moves there (or is ambiguous when they are in several places).

The edit is tried as written first; only when that fails in the other forms a model may have
written it in (``edit_forms``: line-number prefixes, typographic quotes). Searches for the closest
block run with a work budget of a few passes over the text (``_work_budget``): the driver's own,
near the first line of old_string, and then the package's over the whole text. When the driver's
runs out, the package's is not made (it would measure more blocks with the same budget), and the
report says that the search stopped; it never shows a closest block measured only in part.
"""

from __future__ import annotations

from .edit_forms import EditForm, edit_forms, split_lines
from .lazy import lazy_module
from .records import record
from .results import ClosestMatch, line_range

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Sequence
    from typing import Any

    from .alignment import Alignment
    from .schema import ErrorType, StrategyName

# The tolerant machinery, imported when an edit first needs more than an exact match.
_alignment = lazy_module("brindle_search.alignment", globals(), "_alignment")
_line_merge = lazy_module("brindle_search.line_merge", globals(), "_line_merge")
_repairs = lazy_module("brindle_search.repairs", globals(), "_repairs")
# The native driver: an old_string found once as it is needs no more than str.find, and a short
# command-line edit then does not load the extension.
_native = lazy_module("brindle_search._native", globals(), "_native")

__all__ = ["Placement", "Failure", "place", "STRATEGIES", "DEFAULT_INNER_SHARE"]

#: The strategies in the order the driver tries them (the native driver's table, which the tests
#: hold this equal to).
STRATEGIES: tuple[str, ...] = (
    "simple",
    "line_trimmed",
    "block_anchor",
    "whitespace_normalized",
    "indentation_flexible",
    "escape_normalized",
    "trimmed_boundary",
    "context_aware",
)

#: Share of the lines between a loose place's first and last lines that must pair, counted on both
#: sides. Half: one of two inner lines may be misremembered or missing (the model's copy of a
#: 4-line block), while inner lines taken from elsewhere pair with almost nothing.
DEFAULT_INNER_SHARE = 0.5


#: The closest block is placed only when no other block comes within this much similarity.
_NEAR_MARGIN = 0.05

#: Characters of text on each side of a place that are read to learn the indentation style.
_STYLE_SAMPLE = 1000

#: Strategies whose hits show that a text holds new_string (for "already applied").
_EXACT_ISH = ("simple", "line_trimmed", "whitespace_normalized", "indentation_flexible")


def _is_word(ch: str) -> bool:
    """``ch`` is a character of a word: a letter, a digit or ``_`` (in Unicode's sense)."""
    return ch.isalnum() or ch == "_"


#: Other notations old_string may be written in, and the repair that reading it so makes.
_NOTATIONS: tuple[tuple[str, Callable[[str], str]], ...] = (
    ("unescaped", lambda s: _native.unescape(s)),
    ("quotes straightened", lambda s: _alignment.straighten_quotes(s)),
    ("unescaped, quotes straightened", lambda s: _alignment.straighten_quotes(_native.unescape(s))),
)

EMPTY_OLD_MESSAGE = (
    "old_string is empty. An empty old_string only creates a file or fills an empty one; to "
    "change this text, quote the lines to replace in old_string (to add lines, quote the line "
    "they go after and repeat it in new_string)."
)


@record
class Placement:
    text: str  # the whole text after the edit (LF form)
    strategy: StrategyName
    repairs: list[str]
    replacements: int
    start_line: int
    end_line: int
    splices: list[tuple[int, int, str]]  # (position, length, inserted) in the text before


@record
class Failure:
    error_type: ErrorType
    message: str
    closest: ClosestMatch | None = None
    locations: list[int] | None = None
    # A not-found message around its closest-match piece: (before it, after it).
    parts: tuple[str, str] | None = None
    # A search for the closest block ran out of its work budget: the driver's (then `closest` is
    # None) or the package's.
    near_miss_over_budget: bool = False


@record
class Options:
    reindent: bool
    strategies: list[str] | None
    min_similarity: float | None
    # The text holds no lone surrogate (a file's, decoded strictly, and what edits put in it).
    clean_text: bool = False


# ---- the place as lines ------------------------------------------------------------------------


def _line_start(text: str, pos: int) -> int:
    return text.rfind("\n", 0, pos) + 1


def _line_end(text: str, pos: int) -> int:
    end = text.find("\n", pos)
    return len(text) if end < 0 else end


@record
class _Block:
    """Whole lines lo..hi of the text (character span start..end, without the last line feed)."""

    start: int
    end: int
    first_line: int  # 1-based

    def lines(self, text: str) -> list[str]:
        return text[self.start : self.end].split("\n")


def _block_at(text: str, pos: int, line: int, length: int, extra_lines: int) -> _Block:
    """The whole lines of text[pos:pos+length] (pos on 1-based line `line`) and `extra_lines`
    more on each side."""
    start = _line_start(text, pos)
    last = pos + length - 1 if length and text[pos + length - 1] == "\n" else pos + length
    end = _line_end(text, max(start, min(last, len(text))))
    for _ in range(extra_lines):
        if start == 0:
            break
        start = _line_start(text, start - 1)
        line -= 1
    for _ in range(extra_lines):
        if end >= len(text) - 1:
            break
        end = _line_end(text, end + 1)
    return _Block(start, end, line)


def _region_span(
    text: str, block: _Block, lines: list[str], lo: int, hi: int, empty: bool
) -> tuple[int, int]:
    """Character span of block lines lo..hi; when they are replaced by nothing, with one line feed."""
    start = block.start + sum(len(line) + 1 for line in lines[:lo])
    end = start + sum(len(line) + 1 for line in lines[lo:hi]) - 1 if hi > lo else start
    if empty and hi > lo:
        if end < len(text):
            end += 1
        elif start > 0:
            start -= 1
    return start, end


# ---- judging a place ---------------------------------------------------------------------------


def _judge(alignment: Alignment, inner_share: float, anchors_exact: bool) -> str | None:
    """Why the aligned place is not a placement of old_string, or None when it is."""
    old_lines = alignment.old_lines
    real = [
        s
        for s in alignment.steps
        if s.old is not None and old_lines[s.old].strip() and not _alignment.is_elision(old_lines[s.old])
    ]
    if not real:
        return "old_string has no line to anchor it (only blank lines or elision markers)"
    allowed = _alignment.SAME if anchors_exact else _alignment.PAIRED
    for name, step in (("first", real[0]), ("last", real[-1])):
        if step.kind not in allowed:
            line = old_lines[step.old or 0].strip()
            return f"old_string's {name} line {line!r} is not a line of the text there"
    inner = real[1:-1]
    lo, hi = real[0].lo, real[-1].hi
    unquoted = sum(
        1
        for s in alignment.steps
        if s.kind == _alignment.FILE_ONLY and lo <= s.lo < hi and alignment.block_lines[s.lo].strip()
    )
    paired = sum(1 for s in inner if s.kind in _alignment.PAIRED)
    # A line replaced by another is one old line not in the text and one text line not quoted:
    # it counts once.
    mismatched = max(len(inner) - paired, unquoted)
    total = paired + mismatched
    if total and paired / total < inner_share:
        if paired == len(inner):
            return f"the text has {_count(unquoted, 'line')} there that old_string does not show"
        if len(inner) == 1:
            said = "the line between its first and last lines is not in the text there"
        else:
            some = "none" if paired == 0 else f"only {paired}"
            verb = "is" if paired == 1 else "are"
            said = (
                f"{some} of the {len(inner)} lines between its first and last lines {verb} in the text there"
            )
        if unquoted:
            said += f", and the text has {_count(unquoted, 'more line')} there that old_string does not show"
        return said
    if unquoted > max(2, len(real) // 3):
        return f"the text has {_count(unquoted, 'line')} there that old_string does not show"
    return None


# ---- placing -----------------------------------------------------------------------------------


@record
class _Edit:
    old: str
    new: str
    replace_all: bool
    line_hint: int | None


def place(
    text: str, old: str, new: str, replace_all: bool, line_hint: int | None, opts: Options
) -> Placement | Failure:
    """Where and how the edit goes (see the module documentation)."""
    if old == "":
        if text == "" and new != "":
            return _splice(text, 0, 1, "", new, "simple", [], False)
        if new == "":
            return Failure("no_change", "old_string and new_string must be different")
        return Failure("refused", EMPTY_OLD_MESSAGE)
    failures: list[Failure] = []
    refusals: list[Failure] = []
    literal = EditForm(old, new)
    budget = _work_budget(text)
    outcome = _place_form(text, literal, _Edit(old, new, replace_all, line_hint), opts, refusals, budget)
    if isinstance(outcome, Placement):
        return outcome
    failures.append(outcome)
    # Not placed as written: the other forms the model may have written it in. Only the literal
    # form's not-found report is shown, so the driver spends no work on the others' closest block.
    forms = edit_forms(text, old, new)
    for form in forms[1:]:
        edit = _Edit(form.old, form.new, replace_all, line_hint)
        outcome = _place_form(text, form, edit, opts, refusals, 0)
        if isinstance(outcome, Placement):
            return outcome
        failures.append(outcome)
    first = failures[0]
    if first.error_type in ("multiple_matches", "no_change"):
        return first
    near = _near_miss(text, old, first, opts)
    if opts.strategies is None and not replace_all and opts.min_similarity != 0:
        for form in forms:
            if form is forms[0]:
                # After a search for its closest block ran out of the budget, none is made again.
                placed = _place_closest(text, form, near, opts, search=not first.near_miss_over_budget)
            else:
                placed = _place_closest(text, form, None, opts)
            if placed is not None:
                return placed
    applied = _already_applied(text, forms[0], line_hint)
    if applied is not None:
        return applied
    if refusals:
        return refusals[0]
    if near is not None and first.parts is not None:
        if first.closest is None or near.similarity > first.closest.similarity:
            head, tail = first.parts
            piece = _native.closest_piece(near.similarity, near.start_line, near.end_line, near.diff)
            first = Failure(first.error_type, head + piece + tail, near, first.locations, first.parts)
    return first


def _place_form(
    text: str, form: EditForm, edit: _Edit, opts: Options, refusals: list[Failure], budget: int
) -> Placement | Failure:
    """The edit in one form placed by the driver's strategies, or why not; `budget`: the work
    allowed to the search for the closest block of a not-found report."""
    remaining = list(opts.strategies) if opts.strategies is not None else list(STRATEGIES)
    while True:
        # Naming no strategies is cheaper than naming all of them (the names are not converted).
        every = set(remaining) == set(STRATEGIES)
        kwargs = {} if every else {"strategies": remaining}
        once = _found_once(text, edit.old, edit.new, edit.replace_all, opts.clean_text) if every else None
        outcome: tuple[Any, ...] = once or _native.locate(
            text, edit.old, edit.new, edit.replace_all, edit.line_hint, work_budget=budget, **kwargs
        )
        if outcome[0] != "ok":
            error_type, message, closest_info, locations, parts = outcome
            if closest_info == "over_budget":
                return Failure(error_type, message, None, locations, parts, near_miss_over_budget=True)
            return Failure(error_type, message, _closest(closest_info), locations, parts)
        _, name, matched, pos, line, _ = outcome
        strategy: StrategyName = name  # one of the driver's strategy names
        judged = _judge_place(text, form, edit, strategy, matched, pos, line, opts)
        if isinstance(judged, Placement):
            return judged
        refusals.append(judged)
        later = STRATEGIES[STRATEGIES.index(strategy) + 1 :]
        remaining = [s for s in remaining if s in later]
        if not remaining:
            return judged


def _found_once(
    text: str, old: str, new: str, replace_all: bool = False, clean_text: bool = False
) -> tuple[str, str, str, int, int, int] | None:
    """What the native driver answers for an old_string that occurs exactly once in the text as it
    is (overlapping occurrences counted), or at all for `replace_all`: placed by "simple" at its
    first offset, with the line it starts on and that line plus its line feeds; None otherwise."""
    if not (clean_text or _without_surrogates(text)) or not _without_surrogates(old, new):
        return None
    pos = text.find(old)
    if pos < 0 or not old or old == new or (not replace_all and text.find(old, pos + 1) >= 0):
        return None
    line = text.count("\n", 0, pos) + 1
    return ("ok", "simple", old, pos, line, line + old.count("\n"))


def exact_in_window(window: str, pos: int, old: str, new: str, opts: Options) -> Placement | None:
    """The placement `place` makes of an old_string that occurs once in a file's text, made on a
    `window` of that text around its one place (at `pos` in the window), when the outcome can
    depend on nothing outside it: lines and positions are the window's. The window must hold
    whole lines and ``window_margin(old, new)`` characters on both sides of the place's lines.
    None where the whole text must be placed on: a strategy filter, an elided new_string, text
    that may hold a lone surrogate, or a refusal (whose message numbers lines). A replace_all
    is not placed here."""
    if not opts.clean_text or not old or old == new or not _without_surrogates(old, new):
        return None
    if opts.strategies is not None and set(opts.strategies) != set(STRATEGIES):
        return None
    if _elides(old, new):
        return None
    line = window.count("\n", 0, pos) + 1
    judged = _judge_place(
        window, EditForm(old, new), _Edit(old, new, False, None), "simple", old, pos, line, opts
    )
    return judged if isinstance(judged, Placement) else None


def window_margin(old: str, new: str) -> int:
    """How far `_place_exact` reads around an exact place's lines: new_string's length on both
    sides (an edit sent again) and the stretch that `_inserted_already` compares."""
    return len(old) + len(new) + _added_reach(_added_lines(old, new))


def _without_surrogates(*texts: str) -> bool:
    """No lone surrogate in `texts`, which the driver refuses (UnicodeEncodeError): ASCII is a flag
    of the string; other text is encoded to see (what the driver's own conversion costs), a
    stretch at a time, so that no encoded copy of a large text is made."""
    for text in texts:
        if not text.isascii():
            try:
                for start in range(0, len(text), _ENCODED_AT_A_TIME):
                    text[start : start + _ENCODED_AT_A_TIME].encode("utf-8")
            except UnicodeEncodeError:
                return False
    return True


#: Characters encoded at a time by the surrogate check (a code point is never cut in two).
_ENCODED_AT_A_TIME = 1 << 16


def _judge_place(
    text: str,
    form: EditForm,
    edit: _Edit,
    strategy: StrategyName,
    matched: str,
    pos: int,
    line: int,
    opts: Options,
) -> Placement | Failure:
    old, new = edit.old, edit.new
    if strategy == "simple" or matched == old:
        if _elides(old, new):
            # new_string leaves lines out with a marker: only the line merge can tell what stays.
            return _place_lines(text, form, edit, strategy, pos, line, len(matched), opts)
        return _place_exact(text, form, edit, strategy, matched, pos, line)
    unescaped = _native.unescape(old)
    if unescaped != old and matched == unescaped:
        # The resolved old_string is in the text as it stands: an exact hit in another notation.
        exact = _Edit(unescaped, _native.unescape(new), edit.replace_all, edit.line_hint)
        escaped_form = EditForm(exact.old, exact.new, (*form.repairs, "unescaped"))
        return _place_exact(text, escaped_form, exact, strategy, matched, pos, line)
    return _place_lines(text, form, edit, strategy, pos, line, len(matched), opts)


def _elides(old: str, new: str) -> bool:
    """Whether new_string has an elision marker line that old_string does not."""
    if "..." not in new and "\u2026" not in new and "existing" not in new:
        return False
    old_lines = set(old.split("\n"))
    return any(_alignment.is_elision(line) and line not in old_lines for line in new.split("\n"))


def _place_exact(
    text: str, form: EditForm, edit: _Edit, strategy: StrategyName, matched: str, pos: int, line: int
) -> Placement | Failure:
    """old_string found as it is: spliced in place, unless that would cut into a word."""
    old, new = matched, edit.new
    end = pos + len(old)
    start_of_line = _line_start(text, pos)
    prefix = text[start_of_line:pos]
    repairs = list(form.repairs)
    inner_break = "\n" in old.rstrip("\n")
    applied = _overlaps_new(text, pos, old, new)
    if applied is not None:
        return applied
    if not edit.replace_all:
        stale = _inserted_already(text, pos, old, new)
        if stale is not None:
            return stale
    if inner_break and prefix.strip() and _is_word(prefix[-1]) and _is_word(old[0]):
        return _refuse_exact(text, pos, old, "it starts in the middle of a word")
    if not old.endswith("\n") and end < len(text) and text[end] != "\n":
        rest = text[end : _line_end(text, end)]
        last = old.rsplit("\n", 1)[-1]
        new_last = new.rsplit("\n", 1)[-1] if new else ""
        mid_word = _is_word(old[-1]) and _is_word(rest[0])
        if (
            (inner_break or mid_word)
            and new_last.startswith(last)
            and len(new_last) > len(last)
            and rest.strip()
        ):
            # old_string's last line was cut short and new_string's is whole: the whole line goes.
            old = old + rest
            repairs.append("completed the last line")
        elif inner_break and mid_word:
            return _refuse_exact(text, pos, old, "it ends in the middle of a word")
    whole_start = not prefix.strip()
    at_line_end = end == len(text) or text[end] == "\n"
    if whole_start and old.endswith("\n") and new and not new.endswith("\n"):
        # Whole lines for whole lines: new_string's last line keeps its line break.
        new += "\n"
        repairs.append("kept final newline")
    elif whole_start and at_line_end and not old.endswith("\n") and new.endswith("\n") and end < len(text):
        new = new[:-1]
        repairs.append("dropped final newline")
    if prefix and not prefix.strip() and not inner_break and "\n" in new.rstrip("\n"):
        # A fragment after its line's indentation: new_string's later lines take that indentation.
        lines = new.split("\n")
        new = "\n".join([lines[0]] + [prefix + line if line.strip() else line for line in lines[1:]])
        repairs.append("indented like the first line")
    return _splice(text, pos, line, old, new, strategy, repairs, edit.replace_all)


def _overlaps_new(text: str, pos: int, old: str, new: str) -> Failure | None:
    """An edit sent again: old_string found only as part of new_string, which is already there."""
    k = new.find(old) if len(new) > len(old) else -1
    while k >= 0:
        if pos - k >= 0 and text.startswith(new, pos - k):
            line = text.count("\n", 0, pos - k) + 1
            return Failure(
                "already_applied",
                f"new_string is already in the text at line {line}, and old_string is found only "
                "as part of it: the edit looks applied already. Nothing was changed.",
            )
        k = new.find(old, k + 1)
    return None


def _added_lines(old: str, new: str) -> tuple[list[str], list[str]] | None:
    """The keys of the whole lines new_string adds before and after old_string, when it adds
    some with a word in them (only brackets and the like: adding one more may well be meant)."""
    old_core = old.strip("\n")
    new_core = new.strip("\n")
    if not old_core or len(new_core) <= len(old_core):
        return None
    k = new_core.find(old_core)
    if k < 0:
        return None
    head_text, tail_text = new_core[:k], new_core[k + len(old_core) :]
    if (head_text and not head_text.endswith("\n")) or (tail_text and not tail_text.startswith("\n")):
        return None  # not whole lines added
    head = [_alignment.line_key(line) for line in head_text.split("\n") if line.strip()]
    tail = [_alignment.line_key(line) for line in tail_text.split("\n") if line.strip()]
    if not any(_is_word(ch) for key in head + tail for ch in key):
        return None
    return head, tail


def _added_reach(added: tuple[list[str], list[str]] | None) -> int:
    """How far around the place's lines the added lines are looked for (a longer line is no match
    anyway)."""
    return 0 if added is None else 4096 * (len(added[0]) + len(added[1]) + 1)


def _inserted_already(text: str, pos: int, old: str, new: str) -> Failure | None:
    """Whole lines added before or after old_string that the text already has there."""
    added = _added_lines(old, new)
    if added is None:
        return None
    head, tail = added
    reach = _added_reach(added)
    start = _line_start(text, pos)
    if (
        head
        and _nonblank_keys(reversed(text[max(0, start - reach) : start].split("\n")), len(head))[::-1] != head
    ):
        return None
    end = pos + len(old)
    if tail and _nonblank_keys(iter(text[end : end + reach].split("\n")), len(tail)) != tail:
        return None
    line = text.count("\n", 0, pos) + 1
    return Failure(
        "already_applied",
        f"The lines that new_string adds around old_string (line {line}) are there already: the "
        "edit looks applied already. Nothing was changed.",
    )


def _nonblank_keys(lines: Iterable[str], count: int) -> list[str]:
    """The keys of the first `count` non-blank lines."""
    out: list[str] = []
    for line in lines:
        if line.strip():
            out.append(_alignment.line_key(line))
            if len(out) == count:
                break
    return out


def _refuse_exact(text: str, pos: int, old: str, why: str) -> Failure:
    line = text.count("\n", 0, pos) + 1
    return Failure(
        "refused",
        f"Refused: old_string occurs at line {line}, but {why}, so replacing it would splice "
        "new_string into a word. Quote whole lines in old_string and new_string.",
    )


def _splice(
    text: str,
    pos: int,
    start_line: int,
    old: str,
    new: str,
    strategy: StrategyName,
    repairs: list[str],
    replace_all: bool,
) -> Placement:
    count = 1
    if replace_all and "\n" not in old and "\n" not in new and old and not _overlaps_itself(old):
        # No line break removed or added: the first and last places are all that the line
        # endings and the changed region need, and str.count finds the same places as the scan.
        count = text.count(old)
        last = text.rfind(old)
        splices = [(pos, len(old), new)] + ([(last, len(old), new)] if count > 1 else [])
        new_text = text.replace(old, new)
    elif replace_all:
        splices = []
        at = pos
        while at >= 0:
            splices.append((at, len(old), new))
            at = text.find(old, at + len(old)) if old else -1
        count = len(splices)
        new_text = text.replace(old, new)
    else:
        splices = [(pos, len(old), new)]
        if text.find(old, 0, pos + len(old)) == pos:
            new_text = text.replace(old, new, 1)  # one copy of the text, where slices make two
        else:
            new_text = "".join((text[:pos], new, text[pos + len(old) :]))
    last_pos, last_len, _ = splices[-1]
    last_start = last_pos + (len(new) - last_len) * (count - 1)
    end_line = start_line
    if count > 1:
        end_line = start_line + new_text.count("\n", splices[0][0], last_start)
    end_line += max(new.count("\n") - (1 if new.endswith("\n") else 0), 0)
    return Placement(new_text, strategy, repairs, count, start_line, end_line, splices)


def _overlaps_itself(s: str) -> bool:
    """Whether two occurrences of s can overlap (a proper suffix of s is also its prefix)."""
    if len(s) > 256:
        return True  # not worth the check: take the scan
    return any(s.startswith(s[k:]) for k in range(1, len(s)))


def _place_lines(
    text: str,
    form: EditForm,
    edit: _Edit,
    strategy: StrategyName,
    pos: int,
    line: int,
    length: int,
    opts: Options,
    *,
    window: bool = False,
) -> Placement | Failure:
    """A tolerant place: old_string aligned with the whole lines there, the change merged in."""
    old_lines = split_lines(edit.old)
    new_lines = split_lines(edit.new) if edit.new else []
    if opts.min_similarity == 0 and not window:
        return _place_as_matched(text, form, edit, strategy, pos, line, length, opts)
    block = placed = _block_at(text, pos, line, length, 0)
    if not window:
        # The lines around the place too: it may be shorter than old_string, and lines that
        # new_string adds at its ends may be there already.
        placed_lines = text.count("\n", block.start, block.end) + 1
        extra = max(len(old_lines) - placed_lines, len(new_lines) - len(old_lines), 0) + 1
        block = _block_at(text, pos, line, length, extra)
    lines = block.lines(text)
    repairs = list(form.repairs)
    near = line - block.first_line
    alignment = _alignment.align(old_lines, lines, near)
    # old_string in another notation (escape sequences, typographic quotes): read it, and
    # new_string with it, that way when that explains the text better.
    best = alignment.count(_alignment.EQUAL, _alignment.SPACING, blank=True)
    for label, notation in _NOTATIONS if best < len(old_lines) else ():
        old_read = notation(edit.old)
        if old_read == edit.old:
            continue
        other = _alignment.align(split_lines(old_read), lines, near)
        if other.count(_alignment.EQUAL, _alignment.SPACING, blank=True) > best:
            best = other.count(_alignment.EQUAL, _alignment.SPACING, blank=True)
            alignment, old_lines = other, split_lines(old_read)
            new_lines = split_lines(notation(edit.new)) if edit.new else []
            repairs = [*form.repairs, label]
    inner_share = DEFAULT_INNER_SHARE if opts.min_similarity is None else opts.min_similarity
    # Every old line the same as a line of one run of the block passes every test of _judge.
    one_run = alignment.run_at is not None and any(
        line.strip() and not _alignment.is_elision(line) for line in old_lines
    )
    reason = None if one_run else _judge(alignment, inner_share, anchors_exact=not window)
    if reason is not None:
        return _refusal(text, placed, edit.old, strategy, reason)
    if not edit.replace_all and edit.line_hint is None and not window:
        anchored = [
            s.lo
            for s in alignment.steps
            if s.kind in _alignment.PAIRED and alignment.old_lines[s.old or 0].strip()
        ]
        here = block.first_line + (anchored[0] if anchored else 0)
        elsewhere = _loose_place_check(text, form, edit, alignment, strategy, here, opts)
        if elsewhere is not None:
            return elsewhere

    def surroundings() -> str:
        lo = _line_start(text, max(0, block.start - _STYLE_SAMPLE))
        return text[lo : block.end + _STYLE_SAMPLE]

    merged = _line_merge.merge_block(
        alignment, new_lines, reindent_lines=opts.reindent, surroundings=surroundings
    )
    if not isinstance(merged, _line_merge.Merged):
        return _refusal(text, placed, edit.old, strategy, merged.reason)
    inserted = "\n".join(merged.lines)
    empty = not merged.lines
    start, end = _region_span(text, block, lines, merged.lo, merged.hi, empty)
    old_region = text[start:end]
    if not empty and (merged.hi <= merged.lo):
        inserted += "\n"
    if inserted == old_region:
        return Failure(
            "already_applied" if edit.new.strip() else "no_change",
            f"The lines that old_string matches ("
            f"{line_range(block.first_line + merged.lo, block.first_line + max(merged.lo, merged.hi - 1))}) "
            "already read as new_string would make them: the edit looks applied already. Nothing was "
            "changed.",
        )
    repairs.extend(merged.repairs)
    kept = [block.first_line + k for k in merged.kept_unquoted]
    if kept:
        repairs.append("kept unquoted " + _lines_phrase(kept))
    return _splice(
        text, start, block.first_line + merged.lo, old_region, inserted, strategy, repairs, edit.replace_all
    )


def _trimmed_places(text: str, old_lines: Sequence[str], limit: int) -> list[tuple[int, int, int]]:
    """Up to `limit` places where old_string's lines, without its blank first and last lines,
    are lines of the text but for the blanks at their ends: (1-based line, position, length).

    The longest line is searched for with ``str.find`` and the others checked around it."""
    lo, hi = 0, len(old_lines)
    while lo < hi and not old_lines[lo].strip():
        lo += 1
    while hi > lo and not old_lines[hi - 1].strip():
        hi -= 1
    core = [line.strip() for line in old_lines[lo:hi]]
    if not core:
        return []
    probe_at = max(range(len(core)), key=lambda k: len(core[k]))
    probe = core[probe_at]
    places: list[tuple[int, int, int]] = []
    at = text.find(probe)
    while at >= 0 and len(places) < limit:
        start = _line_start(text, at)
        line_end = _line_end(text, at)
        if text[start:line_end].strip() == probe:
            # Walk back to the core's first line, then compare every line.
            first = start
            for _ in range(probe_at):
                first = _line_start(text, first - 1) if first > 0 else -1
                if first < 0:
                    break
            if first >= 0:
                lines = text[first:].split("\n", len(core))[: len(core)]
                if len(lines) == len(core) and all(a.strip() == b for a, b in zip(lines, core)):
                    length = sum(len(line) + 1 for line in lines) - 1
                    places.append((text.count("\n", 0, first) + 1, first, length))
        at = text.find(probe, line_end + 1)
    return places


def _loose_place_check(
    text: str,
    form: EditForm,
    edit: _Edit,
    alignment: Alignment,
    strategy: StrategyName,
    here: int,
    opts: Options,
) -> Placement | Failure | None:
    """A loose place where old_string's lines are, trimmed, elsewhere in the text: that place
    instead when it is the only one, "multiple_matches" when there are several; None when the
    place stands."""
    perfect = all(
        s.kind in (_alignment.EQUAL, _alignment.SPACING)
        for s in alignment.steps
        if s.old is not None and alignment.old_lines[s.old].strip()
    )
    if perfect and strategy in ("simple", "line_trimmed"):
        return None
    places = _trimmed_places(text, alignment.old_lines, 3)
    if len(places) == 1 and places[0][0] != here:
        line, pos, length = places[0]
        return _place_lines(text, form, edit, "line_trimmed", pos, line, length, opts)
    if len(places) < 2:
        return None
    where = ", ".join(str(line) for line, _, _ in places) + (" and more" if len(places) == 3 else "")
    return Failure(
        "multiple_matches",
        f"old_string's lines are in the text at more than one place (lines: {where}); a looser "
        "match is no way to choose. Include more surrounding context in old_string to identify "
        "the place, or give line_hint to choose the nearest one.",
        None,
        [line for line, _, _ in places],
    )


def _place_as_matched(
    text: str,
    form: EditForm,
    edit: _Edit,
    strategy: StrategyName,
    pos: int,
    line: int,
    length: int,
    opts: Options,
) -> Placement:
    """The driver's own placement (``min_similarity=0``): new_string in place of the matched
    text, only moved to the indentation of the match."""
    matched = text[pos : pos + length]
    new = edit.new
    repairs = list(form.repairs)
    line_start = _line_start(text, pos)
    prefix = text[line_start:pos]
    if opts.reindent and not prefix.strip():
        lo = _line_start(text, max(0, pos - _STYLE_SAMPLE))
        sample = text[lo : pos + length + _STYLE_SAMPLE]
        moved, phrases = _repairs.reindent(new, edit.old, prefix + matched, lambda: sample)
        if phrases and (not prefix or not edit.replace_all):
            pos, matched, new = line_start, prefix + matched, moved
            repairs.extend(phrases)
    return _splice(text, pos, line, matched, new, strategy, repairs, edit.replace_all)


def _count(n: int, noun: str) -> str:
    return f"{n} {noun}" if n == 1 else f"{n} {noun}s"


def _lines_phrase(numbers: Sequence[int]) -> str:
    if len(numbers) == 1:
        return f"line {numbers[0]}"
    return "lines " + ", ".join(str(n) for n in numbers)


def _refusal(text: str, block: _Block, old: str, strategy: StrategyName, reason: str) -> Failure:
    lines = block.lines(text)
    window = "\n".join(lines)
    similarity = _native.similarity(_trimmed_lines(old.rstrip("\n")), _trimmed_lines(window))
    end = block.first_line + len(lines) - 1
    closest = ClosestMatch(similarity, block.first_line, end, window, _native.match_diff(old, window))
    where = line_range(block.first_line, end)
    message = (
        f"Refused: strategy {strategy} matched {where}, but {reason}; replacing them could change "
        f"code that old_string does not show.\n{closest.diff}\n"
        "Read the file at these lines and send old_string exactly as it is there."
    )
    return Failure("refused", message, closest)


def _trimmed_lines(s: str) -> str:
    return "\n".join(line.strip() for line in s.split("\n"))


# ---- the closest block -------------------------------------------------------------------------


def _closest(info: tuple[float, int, int, str, str] | None) -> ClosestMatch | None:
    if info is None:
        return None
    similarity, start, end, window, diff = info
    return ClosestMatch(similarity, start, end, window, diff)


def _work_budget(text: str) -> int:
    """Work allowed to a search for the closest block: a few passes over the text. Look-alike
    lines can make every window worth measuring; a report then says the search stopped rather
    than hold the caller for seconds."""
    return 2 * len(text) + (1 << 20)


def _closest_window(text: str, old: str, threshold: float) -> ClosestMatch | None | str:
    found = _native.closest_window(text, old, threshold, work_budget=_work_budget(text))
    return found if isinstance(found, str) else _closest(found)


def _over_budget_note(closest: ClosestMatch | None) -> str:
    """What a report says when a search for the closest block stopped at its work budget."""
    sought = "the closest block" if closest is None else "a closer block elsewhere in the text"
    return (
        f"\nThe search for {sought} stopped at its work budget (a long block, or many lines that "
        "look alike); quote fewer or more distinctive lines."
    )


def _near_miss(text: str, old: str, failure: Failure, opts: Options) -> ClosestMatch | None:
    """The block of old_string's line count most like it anywhere in the text (the driver's own
    when the search runs out of its work budget; none when the driver's did)."""
    closest = failure.closest
    if closest is not None and closest.similarity >= 1.0:
        return closest
    if failure.near_miss_over_budget:
        failure.message += _over_budget_note(None)
        return None
    threshold = _native.closest_threshold() if opts.min_similarity is None else opts.min_similarity
    if closest is not None:
        # Only a block more similar than the driver's is of use: the driver's own block, and the
        # others as similar, are not measured again.
        import math

        threshold = max(threshold, math.nextafter(closest.similarity, math.inf))
    better = _closest_window(text, old, threshold)
    if isinstance(better, str):
        failure.message += _over_budget_note(closest)
        failure.near_miss_over_budget = True
        better = None
    if better is not None and (closest is None or better.similarity > closest.similarity):
        return better
    return closest if failure.error_type == "not_found" else None


def _place_closest(
    text: str, form: EditForm, near: ClosestMatch | None, opts: Options, *, search: bool = True
) -> Placement | None:
    """old_string misremembered by small edits: placed on the closest block when that block is the
    only one near it, has its line count, and every line of it pairs. Without `near`, the block is
    searched for unless `search` is false."""
    old_lines = split_lines(form.old)
    real = [line for line in old_lines if line.strip()]
    if len(real) < 2:
        return None
    if near is None:
        if not search:
            return None
        found = _closest_window(text, form.old, _native.closest_threshold())
        near = None if isinstance(found, str) else found
    if near is None or near.end_line - near.start_line + 1 != len(old_lines):
        return None
    window = near.text.split("\n")
    alignment = _alignment.align(old_lines, window)
    if alignment.count(_alignment.OLD_ONLY, _alignment.FILE_ONLY, _alignment.ELIDED) or alignment.count(
        *_alignment.SAME
    ) * 2 < len(real):
        return None
    if alignment.count(_alignment.SMALL_EDIT) == 0:
        return None
    # Unique: no other block comes near once this one is blanked out.
    all_lines = text.split("\n")
    blanked = "\n".join(
        "" if near.start_line - 1 <= k < near.end_line else line for k, line in enumerate(all_lines)
    )
    rival = _closest_window(blanked, form.old, max(0.0, near.similarity - _NEAR_MARGIN))
    if rival is not None:  # another block as near, or no proof that there is none
        return None
    start = sum(len(line) + 1 for line in all_lines[: near.start_line - 1])
    length = len(near.text)
    edit = _Edit(form.old, form.new, False, None)
    placed = _place_lines(
        text, form, edit, "closest_block", start, near.start_line, length, opts, window=True
    )
    if not isinstance(placed, Placement):
        return None
    corrected = alignment.count(_alignment.SMALL_EDIT)
    placed.repairs.insert(
        0,
        f"placed on the closest block ({near.similarity * 100:.1f}% similar; {corrected} line"
        f"{'' if corrected == 1 else 's'} differed by a small edit)",
    )
    return placed


# ---- already applied ---------------------------------------------------------------------------


def _already_applied(text: str, form: EditForm, line_hint: int | None) -> Failure | None:
    """old_string is not in the text but new_string is, where an exact-ish strategy finds it."""
    new_key = form.new.strip()
    if len(new_key) < 8 or new_key in form.old:
        return None
    # Only whether new_string is found matters: no work goes to a not-found report's closest block.
    outcome = _native.locate(
        text, form.new, form.old, False, line_hint, strategies=list(_EXACT_ISH), work_budget=0
    )
    if outcome[0] != "ok":
        return None
    start_line, end_line = outcome[4], outcome[5]
    where = line_range(start_line, end_line)
    return Failure(
        "already_applied",
        f"old_string is not in the text, but new_string is, at {where}: the edit looks applied "
        "already. Nothing was changed. If it is not, read the file again and quote the lines to "
        "change as they are now.",
    )
