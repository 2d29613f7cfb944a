"""Unified diffs of an edited text, in time that grows with the text, not with its square.

``difflib.unified_diff`` compares the two line lists with ``SequenceMatcher``, whose search for
the longest common run costs about the product of the lengths of what it compares. An edit
changes a few places of a text, so the lists are first cut where they agree: the common head and
tail, then the lines that occur exactly once in each list and pair up in order (patience diffing:
the longest increasing run of such pairs). Only the pieces between these anchors, each small, go
to difflib's ``SequenceMatcher`` algorithm (``sequence_matcher``). A diff whose pieces are all
small is the same as difflib's; otherwise it may pair lines differently, but it always turns the
old lines into the new ones.

The output has difflib's format: ``--- label`` / ``+++ label`` headers, ``@@ -a,b +c,d @@`` hunks
with three lines of context.
"""

from __future__ import annotations

from bisect import bisect_left

from .sequence_matcher import Opcode, get_grouped_opcodes, get_opcodes

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator, Sequence

__all__ = ["add_hunks", "common_ends", "hunk_range", "opcodes", "unified_diff", "write_hunks"]

#: Pieces of at most this many cells (lines of one side times lines of the other) are compared by
#: difflib as they are.
_SMALL = 250_000


def common_ends(
    a: Sequence[str], b: Sequence[str], alo: int = 0, ahi: int = -1, blo: int = 0, bhi: int = -1
) -> tuple[int, int]:
    """(head, tail): how many items a[alo:ahi] and b[blo:bhi] (to their ends by default) share at
    their start and, after that, at their end."""
    ahi = len(a) if ahi < 0 else ahi
    bhi = len(b) if bhi < 0 else bhi
    head = 0
    while alo + head < ahi and blo + head < bhi and a[alo + head] == b[blo + head]:
        head += 1
    tail = 0
    while ahi - tail > alo + head and bhi - tail > blo + head and a[ahi - 1 - tail] == b[bhi - 1 - tail]:
        tail += 1
    return head, tail


def opcodes(a: Sequence[str], b: Sequence[str]) -> list[Opcode]:
    """Opcodes turning a into b, as ``SequenceMatcher.get_opcodes()`` gives them."""
    if len(a) * len(b) <= _SMALL:
        # What difflib.unified_diff compares.
        return get_opcodes(a, b)
    out: list[Opcode] = []
    _diff(a, 0, len(a), b, 0, len(b), out)
    merged: list[Opcode] = []
    for op in out:
        if merged and merged[-1][0] == op[0] == "equal" and merged[-1][2] == op[1]:
            tag, i1, _, j1, _ = merged[-1]
            merged[-1] = (tag, i1, op[2], j1, op[4])
        else:
            merged.append(op)
    return merged


def _diff(
    a: Sequence[str], alo: int, ahi: int, b: Sequence[str], blo: int, bhi: int, out: list[Opcode]
) -> None:
    head, tail = common_ends(a, b, alo, ahi, blo, bhi)
    if head:
        out.append(("equal", alo, alo + head, blo, blo + head))
    i1, i2, j1, j2 = alo + head, ahi - tail, blo + head, bhi - tail
    if i1 < i2 or j1 < j2:
        if i1 == i2 or j1 == j2 or (i2 - i1) * (j2 - j1) <= _SMALL:
            _small(a, i1, i2, b, j1, j2, out)
        else:
            anchors = _anchors(a, i1, i2, b, j1, j2)
            if not anchors:
                out.append(("replace", i1, i2, j1, j2))
            else:
                pi, pj = i1, j1
                for ai, bj in anchors:
                    _diff(a, pi, ai, b, pj, bj, out)
                    out.append(("equal", ai, ai + 1, bj, bj + 1))
                    pi, pj = ai + 1, bj + 1
                _diff(a, pi, i2, b, pj, j2, out)
    if tail:
        out.append(("equal", ahi - tail, ahi, bhi - tail, bhi))


def _small(a: Sequence[str], i1: int, i2: int, b: Sequence[str], j1: int, j2: int, out: list[Opcode]) -> None:
    if i1 == i2:
        out.append(("insert", i1, i1, j1, j2))
    elif j1 == j2:
        out.append(("delete", i1, i2, j1, j1))
    else:
        codes = get_opcodes(a[i1:i2], b[j1:j2], autojunk=False)
        out.extend((tag, p + i1, q + i1, r + j1, s + j1) for tag, p, q, r, s in codes)


def _anchors(a: Sequence[str], i1: int, i2: int, b: Sequence[str], j1: int, j2: int) -> list[tuple[int, int]]:
    """Lines once in a[i1:i2] and once in b[j1:j2], paired in order (longest increasing run)."""
    a_part, b_part = a[i1:i2], b[j1:j2]
    shared = set(a_part).intersection(b_part)
    if not shared:
        return []  # every line changed: nothing to pair, and nothing counted line by line
    from collections import Counter  # large pieces only

    count_a, count_b = Counter(a_part), Counter(b_part)
    # The last place of each line: the only one of a line that occurs once.
    where_a, where_b = dict(zip(a_part, range(i1, i2))), dict(zip(b_part, range(j1, j2)))
    pairs = sorted((where_a[line], where_b[line]) for line in shared if count_a[line] == 1 == count_b[line])
    # Longest increasing run of j over pairs sorted by i (patience sorting).
    tops: list[int] = []  # j at the top of each pile
    links: list[int] = []  # index into pairs of the previous element
    ends: list[int] = []  # index into pairs of the top of each pile
    for k, (_, j) in enumerate(pairs):
        pile = bisect_left(tops, j)
        if pile == len(tops):
            tops.append(j)
            ends.append(k)
        else:
            tops[pile] = j
            ends[pile] = k
        links.append(ends[pile - 1] if pile else -1)
    run: list[tuple[int, int]] = []
    k = ends[-1] if ends else -1
    while k >= 0:
        run.append(pairs[k])
        k = links[k]
    return run[::-1]


def hunk_range(start: int, stop: int) -> str:
    """A hunk's line range as difflib writes it (1-based start, count when not 1)."""
    beginning = start + 1
    length = stop - start
    if length == 1:
        return f"{beginning}"
    if not length:
        beginning -= 1
    return f"{beginning},{length}"


def write_hunks(
    codes: list[Opcode], a: Sequence[str], b: Sequence[str], a_shift: int = 0, b_shift: int = 0, n: int = 3
) -> str:
    """The hunks of a unified diff of the opcodes (lines a[i1:i2], b[j1:j2]) with `n` lines of
    context, their line numbers moved by `a_shift` and `b_shift`."""
    out: list[str] = []
    add_hunks(out, codes, a, b, a_shift, b_shift, n)
    return "".join(out)


def add_hunks(
    out: list[str],
    codes: list[Opcode],
    a: Sequence[str],
    b: Sequence[str],
    a_shift: int = 0,
    b_shift: int = 0,
    n: int = 3,
) -> None:
    """``write_hunks``'s text added to `out` in parts, for a caller that joins a whole diff once."""
    for group in get_grouped_opcodes(codes, n):
        first, last = group[0], group[-1]
        old_range = hunk_range(first[1] + a_shift, last[2] + a_shift)
        new_range = hunk_range(first[3] + b_shift, last[4] + b_shift)
        out.append(f"@@ -{old_range} +{new_range} @@\n")
        for tag, i1, i2, j1, j2 in group:
            # Each run of lines is joined once, and copied once more into the whole diff.
            if tag == "equal":
                if i2 > i1:
                    out += (" ", "\n ".join(a[i1:i2]), "\n")
                continue
            if tag in ("replace", "delete") and i2 > i1:
                out += ("-", "\n-".join(a[i1:i2]), "\n")
            if tag in ("replace", "insert") and j2 > j1:
                out += ("+", "\n+".join(b[j1:j2]), "\n")


def unified_diff(a: Sequence[str], b: Sequence[str], label: str, n: int = 3) -> Iterator[str]:
    """The lines of a unified diff from a to b (without line ends), as difflib would write them."""
    hunks = write_hunks(opcodes(a, b), a, b, n=n)
    if hunks:
        yield f"--- {label}"
        yield f"+++ {label}"
        yield from hunks[:-1].split("\n")
