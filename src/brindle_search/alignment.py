"""Line-by-line alignment of old_string with the block of the text where an edit was placed.

Every judgement about a tolerant placement reads one alignment: whether it is a placement at all,
how far old_string's indentation is from the text's, which lines new_string keeps verbatim, what
an elision marker stands for. Each line of old_string pairs with at most one line of the block,
in order::

    old_string                      block of the text            kind
    "def area(w, h):"               "def area(w, h):"            equal
    "  x = compute( w )"            "    x = compute(w)"         spacing  (same once blanks go)
    "  # ..."                       "    check(w)"               elided   (the marker stands for
                                    "    check(h)"                         these two lines)
    "  y = comptue(x)"              "    y = compute(x)"         small_edit
    "  log(y)"                                                   old_only (not in the text)
                                    "    return y"               file_only (never quoted)

Lines are first paired by a key that ignores blanks (``difflib``'s longest matching runs, after
the common head and tail, so that repeated lines cost no more than distinct ones); the lines left
between two such runs are paired by a small dynamic programme that accepts a pair only when the
two lines differ by a small edit. An elision marker (``...``, ``# ...``, ``// ... existing code
...``) that pairs with no line of its own takes the block lines left unpaired around it.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from difflib import SequenceMatcher
from typing import NamedTuple

from . import _native
from .line_diff import common_ends

__all__ = [
    "Alignment",
    "Step",
    "align",
    "is_elision",
    "line_key",
    "PAIRED",
    "SAME",
    "EQUAL",
    "SPACING",
    "EQUIVALENT",
    "SMALL_EDIT",
    "ELIDED",
    "OLD_ONLY",
    "FILE_ONLY",
]

EQUAL = "equal"
SPACING = "spacing"
EQUIVALENT = "equivalent"
SMALL_EDIT = "small_edit"
ELIDED = "elided"
OLD_ONLY = "old_only"
FILE_ONLY = "file_only"

#: Kinds where an old line and a block line are the same line of code, and those among them that
#: are the same line in another notation (blanks, escapes, typographic quotes).
PAIRED = frozenset({EQUAL, SPACING, EQUIVALENT, SMALL_EDIT})
SAME = frozenset({EQUAL, SPACING, EQUIVALENT})

_QUOTES = str.maketrans({"\u2018": "'", "\u2019": "'", "\u201c": '"', "\u201d": '"'})

# Blank runs count as one space, and blanks next to punctuation do not count at all: the same
# normalisation as the whitespace-tolerant strategy's.
_PUNCT_BLANKS = re.compile(r" (?=[:;,()\[\]{}])|(?<=[:;,()\[\]{}]) ")

# A line that stands for lines the model did not repeat: an ellipsis alone or in a comment, with a
# few words around it ("...", "# ...", "// ... existing code ...", "/* ... */"), or a comment that
# says so in words ("# rest of the function unchanged").
_COMMENT_ENDS = re.compile(r"^(?:#+|//+|--|;+|/\*+|<!--|\*)\s*|\s*(?:\*/|-->)$")
_ELLIPSIS = re.compile(r"^(?:\.\.\.|…)(?:[\w ,'-]{0,40}?(?:\.\.\.|…)?)?$")
_ELISION_HINTS = ("rest", "remaining", "existing", "unchanged", "same", "other")
_ELISION_WORDS = re.compile(
    r"^(?:\.\.\.\s*)?(?:the\s+)?(?:rest|remaining|existing|other|unchanged|same)\b[\w ,'-]{0,40}"
    r"(?:unchanged|code|lines|as before|here)(?:\s*\.\.\.)?$",
    re.IGNORECASE,
)

#: Lines left between two exact runs are paired by the dynamic programme only when there are at
#: most this many cells; beyond it they stay unpaired (such gaps mean a block far from the text).
_GAP_CELLS = 40_000

#: Two lines are one line with a small edit when at least this similar (1 - edit distance /
#: longer length, both trimmed) or at most two characters apart.
SMALL_EDIT_SIMILARITY = 0.8


def line_key(line: str) -> str:
    """The line as the alignment compares it: no blanks at the ends, runs of blanks as one."""
    key = " ".join(line.split())
    return _PUNCT_BLANKS.sub("", key) if " " in key else key


def is_elision(line: str) -> bool:
    """Whether the line is an elision marker ("...", "# ...", "// ... existing code ...")."""
    s = line.strip()
    if not s or len(s) > 60:
        return False
    if "..." not in s and "\u2026" not in s:
        # Without an ellipsis only a comment that says so in words.
        if not s.startswith(("#", "//", "--", ";", "/*", "<!--")):
            return False
        lowered = s.lower()
        if not any(word in lowered for word in _ELISION_HINTS):
            return False
    comment = _COMMENT_ENDS.sub("", s)
    words = _COMMENT_ENDS.sub("", comment).strip()
    if _ELLIPSIS.match(words):
        return True
    return comment != s and bool(_ELISION_WORDS.match(words))


class Step(NamedTuple):
    """One step of an alignment: old line ``old`` (None for a block line that pairs with no old
    line) with block lines ``lo``..``hi`` (exclusive; empty for an old line not in the block)."""

    kind: str
    old: int | None
    lo: int
    hi: int


class Alignment:
    """The steps in order; every old line and every block line appears in exactly one step."""

    __slots__ = ("steps", "old_lines", "block_lines", "_by_old", "run_at")

    def __init__(
        self,
        steps: list[Step],
        old_lines: Sequence[str],
        block_lines: Sequence[str],
        run_at: int | None = None,
    ) -> None:
        self.steps = steps
        self.old_lines = old_lines
        self.block_lines = block_lines
        self._by_old = {s.old: s for s in steps if s.old is not None}
        # The block line where every old line lies, in order, as the same line but for the blanks
        # at its ends (None when the alignment is anything else).
        self.run_at = run_at

    def block_of(self, old: int) -> Step:
        return self._by_old[old]

    def count(self, *kinds: str, blank: bool = False) -> int:
        """Steps of these kinds, counting only non-blank lines unless ``blank``."""
        n = 0
        for s in self.steps:
            if s.kind not in kinds:
                continue
            line = self.old_lines[s.old] if s.old is not None else self.block_lines[s.lo]
            if blank or line.strip():
                n += 1
        return n

    @property
    def first_paired(self) -> int | None:
        """The first block line paired with an old line, or None."""
        for s in self.steps:
            if s.kind in PAIRED:
                return s.lo
        return None

    @property
    def last_paired(self) -> int | None:
        for s in reversed(self.steps):
            if s.kind in PAIRED:
                return s.hi - 1
        return None


def straighten_quotes(text: str) -> str:
    """Typographic single and double quotes as ASCII quotes."""
    return text.translate(_QUOTES)


def _equivalent(a: str, b: str) -> bool:
    """The same line once escape sequences are resolved and typographic quotes straightened."""
    if "\\" not in a and "\\" not in b and a.isascii() and b.isascii():
        return False
    a2 = line_key(straighten_quotes(_native.unescape(a) if "\\" in a else a))
    b2 = line_key(straighten_quotes(_native.unescape(b) if "\\" in b else b))
    return a2 == b2


def small_edit(a: str, b: str) -> bool:
    """Whether two lines are one line with a small edit (trimmed, blanks as in ``line_key``)."""
    a, b = line_key(a), line_key(b)
    if not a or not b:
        return False
    longer = max(len(a), len(b))
    if abs(len(a) - len(b)) > max(2, longer // 5):
        return False
    similarity = _native.similarity(a, b)
    return similarity >= SMALL_EDIT_SIMILARITY or (longer >= 6 and (1 - similarity) * longer <= 2.0)


def align(old_lines: Sequence[str], block_lines: Sequence[str], near: int = 0) -> Alignment:
    """The alignment of old_string's lines with the block's (see the module documentation).

    When old_string's lines occur in the block as one run more than once, the run that starts
    nearest block line `near` is taken."""
    n, m = len(old_lines), len(block_lines)
    # Most places hold old_string's lines as they are but for indentation: found as one run of
    # trimmed lines, they need no keys.
    at = _contiguous([line.strip() for line in old_lines], [line.strip() for line in block_lines], near)
    if at >= 0:
        run = [Step(FILE_ONLY, None, j, j + 1) for j in range(at)]
        run.extend(Step(EQUAL, i, at + i, at + i + 1) for i in range(n))
        run.extend(Step(FILE_ONLY, None, j, j + 1) for j in range(at + n, m))
        return Alignment(run, old_lines, block_lines, run_at=at)
    old_keys = [line_key(line) for line in old_lines]
    block_keys = [line_key(line) for line in block_lines]

    # Exact runs: the common head and tail first (most blocks are nearly equal to old_string),
    # then difflib's longest runs on what is left between them.
    head, tail = common_ends(old_keys, block_keys)
    runs: list[tuple[int, int, int]] = [(0, 0, head)]
    at = _contiguous(old_keys, block_keys, near) if head < n and tail < n else -1
    if at >= 0:
        # Every old line in one run of the block (the usual case: the block is old_string with
        # context around it): no search for runs needed.
        runs, head, tail = [(0, at, n)], 0, 0
    elif head < n - tail and head < m - tail:
        matcher = SequenceMatcher(
            None, old_keys[head : n - tail], block_keys[head : m - tail], autojunk=False
        )
        runs.extend((a + head, b + head, size) for a, b, size in matcher.get_matching_blocks() if size)
    runs.append((n - tail, m - tail, tail))

    steps: list[Step] = []
    i = j = 0
    for a, b, size in runs:
        if a > i or b > j:
            steps.extend(_align_gap(old_lines, block_lines, i, a, j, b))
        for k in range(size):
            o, t = old_lines[a + k], block_lines[b + k]
            steps.append(
                Step(EQUAL if o == t or o.strip() == t.strip() else SPACING, a + k, b + k, b + k + 1)
            )
        i, j = a + size, b + size
    return Alignment(_absorb_elided(steps, old_lines), old_lines, block_lines)


def _contiguous(old_keys: list[str], block_keys: list[str], near: int) -> int:
    """Where old_keys occur as one run in block_keys (the start nearest `near`), or -1."""
    n, m = len(old_keys), len(block_keys)
    if n == 0 or n > m:
        return -1
    first = old_keys[0]
    best = -1
    for k in range(m - n + 1):
        if block_keys[k] == first and block_keys[k : k + n] == old_keys:
            if best < 0 or abs(k - near) < abs(best - near):
                best = k
    return best


def _align_gap(
    old_lines: Sequence[str], block_lines: Sequence[str], i0: int, i1: int, j0: int, j1: int
) -> list[Step]:
    """Old lines i0..i1 and block lines j0..j1, which share no key: pairs of lines one small edit
    apart, most pairs first, in order; the rest unpaired."""
    p, q = i1 - i0, j1 - j0
    if p == 0 or q == 0 or p * q > _GAP_CELLS:
        return [Step(OLD_ONLY, i, j0, j0) for i in range(i0, i1)] + [
            Step(FILE_ONLY, None, j, j + 1) for j in range(j0, j1)
        ]
    # 2: the same line in another notation; 1: a small edit apart; 0: not a pair.
    close = [[_closeness(old_lines[i0 + a], block_lines[j0 + b]) for b in range(q)] for a in range(p)]
    # best[a][b]: most pairs among old lines a.. and block lines b..
    best = [[0] * (q + 1) for _ in range(p + 1)]
    for a in range(p - 1, -1, -1):
        row, below = best[a], best[a + 1]
        for b in range(q - 1, -1, -1):
            row[b] = max(below[b], row[b + 1], below[b + 1] + close[a][b] if close[a][b] else 0)
    steps: list[Step] = []
    a = b = 0
    while a < p or b < q:
        if a < p and b < q and close[a][b] and best[a][b] == best[a + 1][b + 1] + close[a][b]:
            kind = EQUIVALENT if close[a][b] == 2 else SMALL_EDIT
            steps.append(Step(kind, i0 + a, j0 + b, j0 + b + 1))
            a += 1
            b += 1
        elif a < p and (b == q or best[a][b] == best[a + 1][b]):
            steps.append(Step(OLD_ONLY, i0 + a, j0 + b, j0 + b))
            a += 1
        else:
            steps.append(Step(FILE_ONLY, None, j0 + b, j0 + b + 1))
            b += 1
    return steps


def _closeness(old_line: str, block_line: str) -> int:
    if is_elision(old_line) or not old_line.strip() or not block_line.strip():
        return 0
    if _equivalent(old_line, block_line):
        return 2
    return 1 if small_edit(old_line, block_line) else 0


def _absorb_elided(steps: list[Step], old_lines: Sequence[str]) -> list[Step]:
    """An unpaired elision marker takes the unpaired block lines between the pairs around it."""
    out: list[Step] = []
    k = 0
    while k < len(steps):
        s = steps[k]
        if s.kind != OLD_ONLY or not is_elision(old_lines[s.old or 0]):
            out.append(s)
            k += 1
            continue
        # Block lines left unpaired before the marker (since the last pair) and after it (up to
        # the next pair) are the lines it stands for.
        lo = s.lo
        while out and out[-1].kind == FILE_ONLY:
            lo = out.pop().lo
        hi = s.hi
        k += 1
        while k < len(steps) and steps[k].kind == FILE_ONLY:
            hi = steps[k].hi
            k += 1
        out.append(Step(ELIDED, s.old, lo, max(lo, hi)))
    return out
