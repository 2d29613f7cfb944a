"""The report of a successful edit: which places changed, a unified diff and a numbered snippet.

``Changes`` follows the places that a run of edits changed: sorted, disjoint ranges of the latest
text, each with the original text it replaced. The original text is everything else plus those
pieces, so ``OldText`` reads it without a copy of it.

``diff_and_snippet`` writes the unified diff of the changed region, the lines from the first
change to the last plus three lines of context, as ``line_diff.unified_diff`` writes it for the
two texts' lines, and the region's lines as they now read, numbered like ``cat -n``. A small region
is compared as whole line lists. A large one (a batch of edits spread over a file, a replace_all)
is compared window by window: each group of changed lines with some lines around it, split where
the line diff would split the whole region (at lines that occur once in both texts), so that only
the changed places are ever cut into lines. Where the windows cannot show that they give the
whole-region diff (a changed line that also occurs far from its window, a window whose equal
lines run to its edge), the whole region is compared instead. The snippet of a region of more
than ``SNIPPET_LINES`` lines shows the changed places with their context, up to that many lines,
and says how many lines it leaves out.
"""

from __future__ import annotations

from bisect import bisect_left, bisect_right

from . import line_diff

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections import Counter
    from collections.abc import Iterator, Sequence

__all__ = ["Changes", "OldText", "SNIPPET_LINES", "diff_and_snippet", "whole_diff_and_snippet"]

CONTEXT = 3

#: A snippet of more lines than this shows only the changed places, up to this many lines.
SNIPPET_LINES = 200

#: Regions of at most this many characters (old and new) are compared as whole line lists.
_WHOLE_CHARS = 1 << 16

#: Lines of context taken around each block of changed lines, tried in turn for the windows whose
#: context has no line that occurs once in both texts; blocks whose windows meet share one.
_WINDOWS = (6, 24, 96)

#: Characters per piece when the middle of a large region is read line by line.
_CHUNK = 1 << 16

Opcode = tuple[str, int, int, int, int]


class _Fallback(Exception):
    """The windows cannot show that they give the whole-region diff."""


class _NoAnchor(_Fallback):
    """A window's context holds no line that occurs once in both texts."""


# ---- the changed places --------------------------------------------------------------------------


class Changes:
    """Sorted, disjoint ranges [start, end) of the latest text that differ from the original, each
    with the original text it replaced (``olds``); ranges never touch (touching ones are one)."""

    __slots__ = ("starts", "ends", "olds")

    def __init__(self) -> None:
        self.starts: list[int] = []
        self.ends: list[int] = []
        self.olds: list[str] = []

    def record(self, text: str, splices: Sequence[tuple[int, int, int]]) -> None:
        """Take in one edit of `text` (the latest text, before the edit): its splices as
        (position, length replaced, length inserted), ascending and disjoint."""
        if not splices:
            return
        starts, ends, olds = self.starts, self.ends, self.olds
        first = splices[0][0]
        last = splices[-1][0] + splices[-1][1]
        i = bisect_left(ends, first)  # the first range that ends at or after the first splice
        j = bisect_right(starts, last)  # ranges from here on start after the last one
        out_s: list[int] = []
        out_e: list[int] = []
        out_o: list[str] = []
        shift = 0
        k = 0
        si = i
        m = len(splices)
        while si < j or k < m:
            members: list[int] = []
            if k < m and (si >= j or splices[k][0] <= starts[si]):
                lo, length, inserted = splices[k]
                hi = lo + length
                delta = inserted - length
                spliced = True
                k += 1
            else:
                lo, hi = starts[si], ends[si]
                delta = 0
                spliced = False
                members.append(si)
                si += 1
            while True:
                if si < j and starts[si] <= hi:
                    members.append(si)
                    hi = max(hi, ends[si])
                    si += 1
                elif k < m and splices[k][0] <= hi:
                    pos, length, inserted = splices[k]
                    hi = max(hi, pos + length)
                    delta += inserted - length
                    spliced = True
                    k += 1
                else:
                    break
            if not spliced:
                out_s.append(lo + shift)
                out_e.append(hi + shift)
                out_o.append(olds[members[0]])
                continue
            parts = []
            cursor = lo
            for index in members:
                parts.append(text[cursor : starts[index]])
                parts.append(olds[index])
                cursor = ends[index]
            parts.append(text[cursor:hi])
            out_s.append(lo + shift)
            out_e.append(hi + shift + delta)
            out_o.append("".join(parts))
            shift += delta
        if shift:
            tail_s = [x + shift for x in starts[j:]]
            tail_e = [x + shift for x in ends[j:]]
        else:
            tail_s, tail_e = starts[j:], ends[j:]
        starts[i:] = out_s + tail_s
        ends[i:] = out_e + tail_e
        olds[i:] = out_o + olds[j:]

    def settle(self, text: str) -> None:
        """Drop the ranges that `text` (the latest text) has as they were."""
        keep = [
            k
            for k, (start, end, old) in enumerate(zip(self.starts, self.ends, self.olds))
            if not (end - start == len(old) and text.startswith(old, start))
        ]
        if len(keep) != len(self.starts):
            self.starts = [self.starts[k] for k in keep]
            self.ends = [self.ends[k] for k in keep]
            self.olds = [self.olds[k] for k in keep]


class OldText:
    """The original text read through the latest one and its ``Changes``: the few ``str``
    operations that locating and cutting lines use, without building the original."""

    def __init__(self, new: str, changes: Changes) -> None:
        self.new = new
        self.changes = changes
        # Where each changed range starts in the original, and the offset of the text after it.
        self.old_starts: list[int] = []
        self.after: list[int] = []  # original position minus latest position after range k
        offset = 0
        for start, end, old in zip(changes.starts, changes.ends, changes.olds):
            self.old_starts.append(start + offset)
            offset += len(old) - (end - start)
            self.after.append(offset)
        self.length = len(new) + offset

    def __len__(self) -> int:
        return self.length

    def _pieces(self, lo: int, hi: int) -> Iterator[str]:
        """The original text from lo to hi, in pieces."""
        ch = self.changes
        k = bisect_right(self.old_starts, lo) - 1
        pos = lo
        while pos < hi:
            if k >= 0:
                start = self.old_starts[k]
                old = ch.olds[k]
                if pos < start + len(old):
                    stop = min(hi, start + len(old))
                    yield old[pos - start : stop - start]
                    pos = stop
                    continue
            offset = self.after[k] if k >= 0 else 0
            following = self.old_starts[k + 1] if k + 1 < len(self.old_starts) else self.length
            stop = min(hi, following)
            yield self.new[pos - offset : stop - offset]
            pos = stop
            k += 1

    def __getitem__(self, index: slice) -> str:
        lo, hi, _ = index.indices(self.length)
        return "".join(self._pieces(lo, hi)) if hi > lo else ""

    def find(self, sub: str, start: int = 0) -> int:
        """Position of the first "\\n" from `start` (only line breaks are looked for)."""
        assert sub == "\n"
        pos = start
        for piece in self._pieces(start, self.length):
            at = piece.find("\n")
            if at >= 0:
                return pos + at
            pos += len(piece)
        return -1

    def rfind(self, sub: str, start: int, end: int) -> int:
        """Position of the last "\\n" before `end` (from 0: only line breaks are looked for)."""
        assert sub == "\n" and start == 0
        step = 256
        hi = end
        while hi > 0:
            lo = max(0, hi - step)
            at = self[lo:hi].rfind("\n")
            if at >= 0:
                return lo + at
            hi = lo
            step *= 2
        return -1

    def endswith(self, suffix: str) -> bool:
        return self[max(0, self.length - len(suffix)) :] == suffix


# ---- the region --------------------------------------------------------------------------------


def _line_bounds(text: str | OldText, start: int, end: int, context: int) -> tuple[int, int, int]:
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


def _region_lines(text: str | OldText, lo: int, hi: int) -> list[str]:
    lines = text[lo:hi].split("\n")
    if hi >= len(text) and text.endswith("\n") and len(lines) > 1 and lines[-1] == "":
        lines.pop()
    return lines


def _range(start: int, stop: int) -> str:
    """A hunk's line range as difflib writes it (1-based start, count when not 1)."""
    beginning = start + 1
    length = stop - start
    if length == 1:
        return f"{beginning}"
    if not length:
        beginning -= 1
    return f"{beginning},{length}"


def _grouped(codes: list[Opcode], n: int = CONTEXT) -> Iterator[list[Opcode]]:
    """``SequenceMatcher.get_grouped_opcodes(n)`` of the opcodes `codes`."""
    if not codes:
        codes = [("equal", 0, 1, 0, 1)]
    if codes[0][0] == "equal":
        tag, i1, i2, j1, j2 = codes[0]
        codes[0] = tag, max(i1, i2 - n), i2, max(j1, j2 - n), j2
    if codes[-1][0] == "equal":
        tag, i1, i2, j1, j2 = codes[-1]
        codes[-1] = tag, i1, min(i2, i1 + n), j1, min(j2, j1 + n)
    nn = n + n
    group: list[Opcode] = []
    for tag, i1, i2, j1, j2 in codes:
        if tag == "equal" and i2 - i1 > nn:
            group.append((tag, i1, min(i2, i1 + n), j1, min(j2, j1 + n)))
            yield group
            group = []
            i1, j1 = max(i1, i2 - n), max(j1, j2 - n)
        group.append((tag, i1, i2, j1, j2))
    if group and not (len(group) == 1 and group[0][0] == "equal"):
        yield group


def _write_diff(
    codes: list[Opcode], a: list[str] | _WindowLines, b: list[str] | _WindowLines, label: str, shift: int
) -> str:
    """The unified diff of the opcodes (lines a[i1:i2], b[j1:j2]), hunk numbers moved by `shift`."""
    out: list[str] = []
    for group in _grouped(codes):
        if not out:
            out.append(f"--- {label}\n+++ {label}\n")
        first, last = group[0], group[-1]
        old_range = _range(first[1] + shift, last[2] + shift)
        new_range = _range(first[3] + shift, last[4] + shift)
        out.append(f"@@ -{old_range} +{new_range} @@\n")
        for tag, i1, i2, j1, j2 in group:
            if tag == "equal":
                if i2 > i1:
                    out.append(" " + "\n ".join(a[i1:i2]) + "\n")
                continue
            if tag in ("replace", "delete") and i2 > i1:
                out.append("-" + "\n-".join(a[i1:i2]) + "\n")
            if tag in ("replace", "insert") and j2 > j1:
                out.append("+" + "\n+".join(b[j1:j2]) + "\n")
    return "".join(out)


def _numbered(lines: Sequence[str], first: int) -> str:
    return "".join(f"{first + k:6d}\t{line}\n" for k, line in enumerate(lines))


def whole_diff_and_snippet(
    old: str | OldText, new: str, prefix: int, suffix: int, first_line: int, label: str
) -> tuple[str, str]:
    """The diff and snippet of the changed region, from its whole line lists."""
    new_end = max(len(new) - suffix, prefix)
    old_end = max(len(old) - suffix, prefix)
    lo, hi, back = _line_bounds(new, prefix, new_end, CONTEXT)
    number = first_line - back
    new_lines = _region_lines(new, lo, hi)
    old_lo, old_hi, _ = _line_bounds(old, prefix, old_end, CONTEXT)
    old_lines = _region_lines(old, old_lo, old_hi)
    diff = _write_diff(line_diff.opcodes(old_lines, new_lines), old_lines, new_lines, label, number - 1)
    return diff, _snippet_of_lines(new_lines, number)


def _snippet_of_lines(lines: list[str], number: int) -> str:
    if len(lines) <= SNIPPET_LINES:
        return _numbered(lines, number)
    return _numbered(lines[:SNIPPET_LINES], number) + _more(len(lines) - SNIPPET_LINES)


def _more(count: int) -> str:
    return f"   ...\t({count} more line{'s' if count != 1 else ''}; the diff shows every change)\n"


# ---- large regions, window by window ------------------------------------------------------------


class _Window:
    """Lines lo..hi (region line numbers, same in both texts before the window) of the old and
    the new text, with the blocks of changed lines inside (window line numbers)."""

    __slots__ = ("old_lo", "new_lo", "old", "new", "blocks", "start")

    def __init__(self, old_lo: int, new_lo: int, old: list[str], new: list[str], start: int) -> None:
        self.old_lo = old_lo
        self.new_lo = new_lo
        self.old = old
        self.new = new
        self.blocks: list[tuple[int, int, int, int]] = []
        self.start = start  # position in the latest text of the window's first line


def _piece(a: list[str], i1: int, i2: int, b: list[str], j1: int, j2: int, out: list[Opcode]) -> None:
    """``line_diff._diff`` of a[i1:i2] and b[j1:j2], with a shortcut for lines that share nothing
    (one replacement then, as the line diff finds)."""
    head, tail = line_diff.common_ends(a, b, i1, i2, j1, j2)
    if i2 - i1 - head - tail > 64 and j2 - j1 - head - tail > 64:
        if set(a[i1 + head : i2 - tail]).isdisjoint(b[j1 + head : j2 - tail]):
            if head:
                out.append(("equal", i1, i1 + head, j1, j1 + head))
            out.append(("replace", i1 + head, i2 - tail, j1 + head, j2 - tail))
            if tail:
                out.append(("equal", i2 - tail, i2, j2 - tail, j2))
            return
    line_diff._diff(a, i1, i2, b, j1, j2, out)


def _patience(pairs: list[tuple[int, int]]) -> list[tuple[int, int]]:
    """The longest increasing run of j over pairs sorted by i, chosen as ``line_diff`` does."""
    tops: list[int] = []
    links: list[int] = []
    ends: list[int] = []
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


def _blocks(new: str, changes: Changes, lo: int) -> list[tuple[int, int, int, int]]:
    """The changed lines as (old first, old last, new first, new last), region line numbers,
    inclusive; ranges on the same or neighbouring lines are one block."""
    blocks: list[list[int]] = []
    line = 0
    pos = lo
    drift = 0  # new line number minus old line number after the ranges so far
    for start, end, old in zip(changes.starts, changes.ends, changes.olds):
        line += new.count("\n", pos, start)
        pos = start
        new_last = line + (new.count("\n", start, end - 1) if end > start else 0)
        old_first = line - drift
        old_last = old_first + (old.count("\n", 0, len(old) - 1) if old else 0)
        drift += new.count("\n", start, end) - old.count("\n")
        if blocks and line <= blocks[-1][3] + 1:
            block = blocks[-1]
            block[1] = max(block[1], old_last)
            block[3] = max(block[3], new_last)
        else:
            blocks.append([old_first, old_last, line, new_last])
    return [(a, b, c, d) for a, b, c, d in blocks]


def _windowed_opcodes(
    old: OldText, new: str, changes: Changes, lo: int, old_count: int, new_count: int
) -> tuple[list[Opcode], list[_Window]]:
    """Opcodes of the whole region built from windows around the changed lines, widening the
    windows while their context cannot separate them; _Fallback when they may differ from the
    whole region's."""
    blocks = _blocks(new, changes, lo)
    sizes = [_WINDOWS[0]] * len(blocks)
    for round_ in range(len(_WINDOWS)):
        try:
            return _windowed_opcodes_of(old, new, changes, lo, old_count, new_count, blocks, sizes)
        except _NoAnchor as exc:
            if round_ == len(_WINDOWS) - 1:
                raise
            for k in exc.args[0]:
                sizes[k] = _WINDOWS[round_ + 1]
    raise AssertionError("unreachable")


def _windowed_opcodes_of(
    old: OldText,
    new: str,
    changes: Changes,
    lo: int,
    old_count: int,
    new_count: int,
    blocks: list[tuple[int, int, int, int]],
    sizes: list[int],
) -> tuple[list[Opcode], list[_Window]]:
    """The same with sizes[k] lines of context around blocks[k] (old_count and new_count lines
    from position lo); _NoAnchor with the blocks whose windows need more."""
    # Groups of blocks whose windows overlap, with the lines each window takes.
    groups: list[list[int]] = []
    bounds: list[list[int]] = []
    for k, block in enumerate(blocks):
        first, last = block[2] - sizes[k], block[3] + sizes[k]
        if groups and first <= bounds[-1][1] + 1:
            groups[-1].append(k)
            bounds[-1][1] = max(bounds[-1][1], last)
        else:
            groups.append([k])
            bounds.append([first, last])
    windows: list[_Window] = []
    # Walk the latest text once, line by line positions from the region's start.
    line = 0
    pos = lo
    for members, (first_wanted, last_wanted) in zip(groups, bounds):
        group = [blocks[k] for k in members]
        first_new = max(0, first_wanted)
        last_new = min(new_count - 1, last_wanted)
        while line < first_new:
            pos = new.index("\n", pos) + 1
            line += 1
        start = pos
        end = start
        for _ in range(last_new - first_new + 1):
            nxt = new.find("\n", end)
            end = len(new) if nxt < 0 else nxt + 1
        line = last_new + 1
        pos = end
        new_lines = _region_lines_at(new, start, end)
        first_old = first_new - (group[0][2] - group[0][0])
        last_old = last_new - (group[-1][3] - group[-1][1])
        # The original lines: the same text with the changed ranges as they were.
        k1 = bisect_left(changes.starts, start)
        k2 = bisect_left(changes.starts, end)
        parts = []
        cursor = start
        for k in range(k1, k2):
            parts.append(new[cursor : changes.starts[k]])
            parts.append(changes.olds[k])
            cursor = changes.ends[k]
        parts.append(new[cursor:end])
        text = "".join(parts)
        old_lines = text.split("\n")
        if text.endswith("\n"):
            old_lines.pop()
        if len(old_lines) != last_old - first_old + 1 or len(new_lines) != last_new - first_new + 1:
            raise _Fallback
        window = _Window(first_old, first_new, old_lines, new_lines, start)
        window.blocks = [(a - first_old, b - first_old, c - first_new, d - first_new) for a, b, c, d in group]
        windows.append(window)

    # The middle of the region: from the first line that differs to the last one.
    w0, w1 = windows[0], windows[-1]
    head = _equal_head(w0.old, w0.new)
    tail = _equal_tail(w1.old, w1.new)
    if len(windows) > 1 and (head >= min(len(w0.old), len(w0.new)) or tail >= min(len(w1.old), len(w1.new))):
        raise _Fallback  # equal lines run on past the window
    old_head = w0.old_lo + head
    new_head = w0.new_lo + head
    old_stop = w1.old_lo + len(w1.old) - tail
    new_stop = w1.new_lo + len(w1.new) - tail
    if old_stop <= old_head or new_stop <= new_head:
        raise _Fallback
    if (old_stop - old_head) * (new_stop - new_head) <= line_diff._SMALL:
        raise _Fallback  # the middle is compared as a whole: the whole region is small
    if len(windows) == 1:
        # The window is the whole region (it begins and ends with the region's context lines).
        if w0.old_lo or w0.new_lo or len(w0.old) != old_count or len(w0.new) != new_count:
            raise _Fallback
        whole: list[Opcode] = []
        _piece(w0.old, 0, len(w0.old), w0.new, 0, len(w0.new), whole)
        return _merged(whole), windows

    # How often each line of the windows occurs in the middle of both texts. (The large regions
    # only: collections is not imported for an ordinary edit.)
    from collections import Counter

    wanted: set[str] = set()
    in_new_blocks: Counter[str] = Counter()
    in_old_blocks: Counter[str] = Counter()
    for w in windows:
        wanted.update(w.old[max(0, old_head - w.old_lo) : max(0, old_stop - w.old_lo)])
        wanted.update(w.new[max(0, new_head - w.new_lo) : max(0, new_stop - w.new_lo)])
        for a1, a2, b1, b2 in w.blocks:
            in_old_blocks.update(w.old[a1 : a2 + 1])
            in_new_blocks.update(w.new[b1 : b2 + 1])
    counts_new: Counter[str] = Counter()
    start = _line_start_after(new, lo, new_head)
    stop = _line_start_after(new, start, new_stop - new_head) - 1
    while True:
        cut = new.find("\n", min(start + _CHUNK, stop))
        cut = stop if cut < 0 or cut > stop else cut
        counts_new.update(filter(wanted.__contains__, new[start:cut].split("\n")))
        if cut >= stop:
            break
        start = cut + 1

    def old_count_of(line: str) -> int:
        return counts_new[line] - in_new_blocks[line] + in_old_blocks[line]

    window_anchors: list[list[tuple[int, int]]] = []
    unseparated: list[int] = []
    for index, w in enumerate(windows):
        # Anchors: lines once in the middle of each text, both times in this window.
        new_from = max(0, new_head - w.new_lo)
        where_new = {
            seen: j
            for j, seen in enumerate(w.new[new_from : max(0, new_stop - w.new_lo)], new_from)
            if counts_new[seen] == 1
        }
        pairs = []
        old_from = max(0, old_head - w.old_lo)
        for i, text_line in enumerate(w.old[old_from : max(0, old_stop - w.old_lo)], old_from):
            if counts_new[text_line] != 1 or old_count_of(text_line) != 1:
                continue
            paired = where_new.get(text_line)
            if paired is None:
                raise _Fallback  # its other occurrence is in another window or beyond
            pairs.append((i, paired))
        anchors = _patience(pairs)
        if len(anchors) != len(pairs):
            raise _Fallback  # lines that moved: the choice may depend on other windows
        before = index == 0 or any(j < w.blocks[0][2] for _, j in anchors)
        after = index == len(windows) - 1 or any(j > w.blocks[-1][3] for _, j in anchors)
        if not (before and after):
            # No line of the context separates the window from its neighbour: wider windows may.
            unseparated.extend(groups[index])
        window_anchors.append(anchors)
    if unseparated:
        raise _NoAnchor(unseparated)

    codes: list[Opcode] = []
    previous_old = previous_new = 0
    for index, (w, anchors) in enumerate(zip(windows, window_anchors)):
        local: list[Opcode] = []
        pi = pj = 0
        for ai, bj in anchors:
            _piece(w.old, pi, ai, w.new, pj, bj, local)
            local.append(("equal", ai, ai + 1, bj, bj + 1))
            pi, pj = ai + 1, bj + 1
        if index < len(windows) - 1:
            _piece(w.old, pi, len(w.old), w.new, pj, len(w.new), local)
        else:
            # The region's equal tail is taken before its middle is cut at the anchors.
            _piece(w.old, pi, len(w.old) - tail, w.new, pj, len(w.new) - tail, local)
            local.append(("equal", len(w.old) - tail, len(w.old), len(w.new) - tail, len(w.new)))
        codes.extend(_placed(local, w, previous_old, previous_new, -1, -1))
        previous_old = w.old_lo + len(w.old)
        previous_new = w.new_lo + len(w.new)
    codes.append(("equal", previous_old, old_count, previous_new, new_count))
    return _merged(codes), windows


def _equal_head(a: list[str], b: list[str]) -> int:
    n = 0
    while n < len(a) and n < len(b) and a[n] == b[n]:
        n += 1
    return n


def _equal_tail(a: list[str], b: list[str]) -> int:
    n = 0
    while n < len(a) and n < len(b) and a[-1 - n] == b[-1 - n]:
        n += 1
    return n


def _placed(
    local: list[Opcode], w: _Window, previous_old: int, previous_new: int, old_count: int, new_count: int
) -> list[Opcode]:
    """The window's opcodes in region line numbers, after an equal run from the previous window
    (and up to the region's end when the counts are given)."""
    codes: list[Opcode] = [("equal", previous_old, w.old_lo, previous_new, w.new_lo)]
    for tag, i1, i2, j1, j2 in local:
        codes.append((tag, i1 + w.old_lo, i2 + w.old_lo, j1 + w.new_lo, j2 + w.new_lo))
    if old_count >= 0:
        codes.append(("equal", w.old_lo + len(w.old), old_count, w.new_lo + len(w.new), new_count))
    return codes


def _merged(codes: list[Opcode]) -> list[Opcode]:
    """Without empty runs, and with neighbouring equal runs joined (as SequenceMatcher has them)."""
    merged: list[Opcode] = []
    for op in codes:
        if op[1] == op[2] and op[3] == op[4]:
            continue
        if merged and merged[-1][0] == op[0] == "equal":
            tag, i1, _, j1, _ = merged[-1]
            merged[-1] = (tag, i1, op[2], j1, op[4])
        else:
            merged.append(op)
    return merged


def _line_start_after(text: str, pos: int, lines: int) -> int:
    """The position `lines` lines after the line start `pos`."""
    for _ in range(lines):
        nxt = text.find("\n", pos)
        if nxt < 0:
            return len(text) + 1
        pos = nxt + 1
    return pos


def _region_lines_at(text: str, start: int, end: int) -> list[str]:
    piece = text[start:end]
    lines = piece.split("\n")
    if piece.endswith("\n"):
        lines.pop()
    return lines


class _WindowLines:
    """The lines of the windows as one sequence of region line numbers (slices inside a window)."""

    def __init__(self, windows: list[_Window], old: bool) -> None:
        self.los = [w.old_lo if old else w.new_lo for w in windows]
        self.lines = [w.old if old else w.new for w in windows]

    def __getitem__(self, index: slice) -> list[str]:
        k = bisect_right(self.los, index.start) - 1
        if k < 0 or index.stop - self.los[k] > len(self.lines[k]):
            raise _Fallback
        lo = self.los[k]
        lines = self.lines[k]
        return lines[index.start - lo : index.stop - lo]

    def __len__(self) -> int:
        raise TypeError


def diff_and_snippet(
    old: OldText, new: str, prefix: int, suffix: int, first_line: int, label: str
) -> tuple[str, str]:
    """The diff and snippet of the changed region, which is equal to ``whole_diff_and_snippet``'s
    except that a snippet over SNIPPET_LINES lines shows the changed places only."""
    changes = old.changes
    new_end = max(len(new) - suffix, prefix)
    lo, hi, back = _line_bounds(new, prefix, new_end, CONTEXT)
    old_end = max(len(old) - suffix, prefix)
    old_lo, old_hi, _ = _line_bounds(old, prefix, old_end, CONTEXT)
    number = first_line - back
    if (hi - lo) + (old_hi - old_lo) <= _WHOLE_CHARS or not changes.starts or old_lo != lo:
        return whole_diff_and_snippet(old, new, prefix, suffix, first_line, label)
    new_count = new.count("\n", lo, hi) + 1
    old_count = _old_line_count(old, old_lo, old_hi)
    if hi >= len(new) and new.endswith("\n") and new_count > 1:
        new_count -= 1  # as _region_lines drops the empty line after a final line break
    if old_hi >= len(old) and old.endswith("\n") and old_count > 1:
        old_count -= 1
    if old_count * new_count <= line_diff._SMALL:
        return whole_diff_and_snippet(old, new, prefix, suffix, first_line, label)
    try:
        codes, windows = _windowed_opcodes(old, new, changes, lo, old_count, new_count)
        diff = _write_diff(
            codes, _WindowLines(windows, True), _WindowLines(windows, False), label, number - 1
        )
    except _Fallback:
        return whole_diff_and_snippet(old, new, prefix, suffix, first_line, label)
    if new_count <= SNIPPET_LINES:
        snippet = _numbered(_region_lines(new, lo, hi), number)
    else:
        snippet = _window_snippet(windows, number)
    return diff, snippet


def _old_line_count(old: OldText, lo: int, hi: int) -> int:
    count = 1
    for piece in old._pieces(lo, hi):
        count += piece.count("\n")
    return count


def _window_snippet(windows: list[_Window], number: int) -> str:
    """The changed lines with three lines of context around each place, as they now read, up to
    SNIPPET_LINES lines."""
    spans: list[list[int]] = []
    lines_of: list[tuple[int, list[str]]] = []
    for w in windows:
        for _, _, b1, b2 in w.blocks:
            lo = max(0, b1 - CONTEXT) + w.new_lo
            hi = min(len(w.new) - 1, b2 + CONTEXT) + w.new_lo
            if spans and lo <= spans[-1][1] + 1:
                spans[-1][1] = max(spans[-1][1], hi)
            else:
                spans.append([lo, hi])
                lines_of.append((w.new_lo, w.new))
    out: list[str] = []
    shown = 0
    total = sum(hi - lo + 1 for lo, hi in spans)
    for (lo, hi), (base, lines) in zip(spans, lines_of):
        if shown >= SNIPPET_LINES:
            break
        if out:
            out.append("   ...\n")
        take = min(hi - lo + 1, SNIPPET_LINES - shown)
        out.append(_numbered(lines[lo - base : lo - base + take], number + lo))
        shown += take
    if total > shown:
        out.append(_more(total - shown).replace("more line", "more changed line", 1))
    return "".join(out)
