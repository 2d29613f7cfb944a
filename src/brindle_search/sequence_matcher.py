"""The line matching of ``difflib.SequenceMatcher`` (without a junk function), on its own.

difflib's matcher is what the package's diffs must agree with, but importing difflib imports
``re`` as well, which costs a short command-line run more than its whole edit. This is the same
algorithm, step for step: the longest matching run first (the earliest of equally long ones),
then the same search on each side of it; with 200 or more lines, a line occurring more than once
per hundred lines of b is not used to start a run (difflib's "autojunk"). The tests hold its
opcodes and groups equal to difflib's on generated sequences.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Hashable, Iterator, Sequence

__all__ = ["get_opcodes", "get_grouped_opcodes"]

Opcode = tuple[str, int, int, int, int]


def _index_b(b: Sequence[Hashable], autojunk: bool) -> dict[Hashable, list[int]]:
    b2j: dict[Hashable, list[int]] = {}
    for j, item in enumerate(b):
        b2j.setdefault(item, []).append(j)
    if autojunk and len(b) >= 200:
        most = len(b) // 100 + 1
        for item in [item for item, places in b2j.items() if len(places) > most]:
            del b2j[item]
    return b2j


def _longest_match(
    a: Sequence[Hashable],
    b: Sequence[Hashable],
    b2j: dict[Hashable, list[int]],
    alo: int,
    ahi: int,
    blo: int,
    bhi: int,
) -> tuple[int, int, int]:
    besti, bestj, bestsize = alo, blo, 0
    j2len: dict[int, int] = {}
    nothing: list[int] = []
    for i in range(alo, ahi):
        get = j2len.get
        new_j2len: dict[int, int] = {}
        for j in b2j.get(a[i], nothing):
            if j < blo:
                continue
            if j >= bhi:
                break
            k = new_j2len[j] = get(j - 1, 0) + 1
            if k > bestsize:
                besti, bestj, bestsize = i - k + 1, j - k + 1, k
        j2len = new_j2len
    # Lines left out of the index (popular ones) still extend a run on either side.
    while besti > alo and bestj > blo and a[besti - 1] == b[bestj - 1]:
        besti, bestj, bestsize = besti - 1, bestj - 1, bestsize + 1
    while besti + bestsize < ahi and bestj + bestsize < bhi and a[besti + bestsize] == b[bestj + bestsize]:
        bestsize += 1
    return besti, bestj, bestsize


def _matching_blocks(
    a: Sequence[Hashable], b: Sequence[Hashable], autojunk: bool
) -> list[tuple[int, int, int]]:
    b2j = _index_b(b, autojunk)
    queue = [(0, len(a), 0, len(b))]
    blocks = []
    while queue:
        alo, ahi, blo, bhi = queue.pop()
        i, j, k = found = _longest_match(a, b, b2j, alo, ahi, blo, bhi)
        if k:
            blocks.append(found)
            if alo < i and blo < j:
                queue.append((alo, i, blo, j))
            if i + k < ahi and j + k < bhi:
                queue.append((i + k, ahi, j + k, bhi))
    blocks.sort()
    merged = []
    i1 = j1 = k1 = 0
    for i2, j2, k2 in blocks:
        if i1 + k1 == i2 and j1 + k1 == j2:
            k1 += k2
        else:
            if k1:
                merged.append((i1, j1, k1))
            i1, j1, k1 = i2, j2, k2
    if k1:
        merged.append((i1, j1, k1))
    merged.append((len(a), len(b), 0))
    return merged


def get_opcodes(a: Sequence[Hashable], b: Sequence[Hashable], autojunk: bool = True) -> list[Opcode]:
    """What ``SequenceMatcher(None, a, b, autojunk).get_opcodes()`` gives."""
    i = j = 0
    out: list[Opcode] = []
    for ai, bj, size in _matching_blocks(a, b, autojunk):
        if i < ai and j < bj:
            out.append(("replace", i, ai, j, bj))
        elif i < ai:
            out.append(("delete", i, ai, j, bj))
        elif j < bj:
            out.append(("insert", i, ai, j, bj))
        i, j = ai + size, bj + size
        if size:
            out.append(("equal", ai, i, bj, j))
    return out


def get_grouped_opcodes(codes: list[Opcode], n: int = 3) -> Iterator[list[Opcode]]:
    """What ``SequenceMatcher.get_grouped_opcodes(n)`` makes of the opcodes ``codes``: the changes
    with up to n lines of context, a group ending where more than 2n lines are equal."""
    codes = list(codes) or [("equal", 0, 1, 0, 1)]
    if codes[0][0] == "equal":
        tag, i1, i2, j1, j2 = codes[0]
        codes[0] = tag, max(i1, i2 - n), i2, max(j1, j2 - n), j2
    if codes[-1][0] == "equal":
        tag, i1, i2, j1, j2 = codes[-1]
        codes[-1] = tag, i1, min(i2, i1 + n), j1, min(j2, j1 + n)
    group: list[Opcode] = []
    for tag, i1, i2, j1, j2 in codes:
        if tag == "equal" and i2 - i1 > n + n:
            group.append((tag, i1, min(i2, i1 + n), j1, min(j2, j1 + n)))
            yield group
            group = []
            i1, j1 = max(i1, i2 - n), max(j1, j2 - n)
        group.append((tag, i1, i2, j1, j2))
    if group and not (len(group) == 1 and group[0][0] == "equal"):
        yield group
