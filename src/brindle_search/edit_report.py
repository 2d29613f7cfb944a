"""The report of a successful edit: which places changed, a unified diff and a numbered snippet.

``Changes`` follows the places that a run of edits changed: sorted, disjoint ranges of the latest
text, each with the original text it replaced. The original text is everything else plus those
pieces, so ``OldText`` reads it without a copy of it.

``diff_and_snippet`` writes the unified diff of the changed region, the lines from the first
change to the last plus three lines of context, as ``line_diff.unified_diff`` writes it for the
two texts' lines, and the region's lines as they now read, numbered like ``cat -n``. A small region
is compared as whole line lists. A large one (a batch of edits spread over a file, a replace_all)
is compared group by group: the changed ranges whose hunks would touch, each group on its own
lines with three lines of context, so that only the changed places are ever cut into lines (what
a report holds grows with what changed, not with the file). The snippet of a region of more
than ``SNIPPET_LINES`` lines shows the changed places with their context, up to that many lines,
and says how many lines it leaves out.
"""

from __future__ import annotations

from bisect import bisect_left, bisect_right

from . import line_diff

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator, Sequence

    from .pieces import Pieces

__all__ = ["Changes", "OldText", "SNIPPET_LINES", "diff_and_snippet"]

CONTEXT = 3

#: A snippet of more lines than this shows only the changed places, up to this many lines.
SNIPPET_LINES = 200

#: Regions of at most this many characters (old and new) are compared as whole line lists.
_WHOLE_CHARS = 1 << 16

# ---- the changed places --------------------------------------------------------------------------


class Changes:
    """Sorted, disjoint ranges [start, end) of the latest text that differ from the original, each
    with the original text it replaced (``olds``); ranges never touch (touching ones are one)."""

    __slots__ = ("starts", "ends", "olds")

    def __init__(self) -> None:
        self.starts: list[int] = []
        self.ends: list[int] = []
        self.olds: list[str] = []

    def record(self, text: str | Pieces, splices: Sequence[tuple[int, int, int]]) -> None:
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
    """The original text read through the latest one and its ``Changes``: its length and its
    slices, without building the original; or the `original` itself, when the caller still has it
    (a slice of it is then the original's own, a slice of the whole text the text itself)."""

    def __init__(self, new: str, changes: Changes, original: str | None = None) -> None:
        self.new = new
        self.changes = changes
        self.original = original
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
        if self.original is not None:
            return self.original[lo:hi]
        return "".join(self._pieces(lo, hi)) if hi > lo else ""


# ---- the diff and the snippet -------------------------------------------------------------------


def _numbered(lines: Sequence[str], first: int) -> str:
    return "".join(f"{first + k:6d}\t{line}\n" for k, line in enumerate(lines))


def _more(count: int) -> str:
    return f"   ...\t({count} more line{'s' if count != 1 else ''}; the diff shows every change)\n"


def _unterminated(lines: list[str], open_end: bool) -> list[str]:
    """`lines`, the last one followed by "\\ No newline at end of file" when `open_end`."""
    if not (open_end and lines):
        return lines
    return [*lines[:-1], lines[-1] + "\n\\ No newline at end of file"]


def _lines(text: str) -> list[str]:
    """The lines of a span of whole lines (the last one may lack its line feed at the text's end)."""
    if not text:
        return []
    lines = text.split("\n")
    if text.endswith("\n"):
        lines.pop()
    return lines


class _Span:
    """A group of changed ranges with their lines and CONTEXT lines around them: positions in the
    latest text and in the original, which hold the same text outside the ranges, and the 0-based
    number of the first line in each."""

    __slots__ = ("new_lo", "new_hi", "old_lo", "old_hi", "new_line", "old_line")

    def __init__(
        self, new_lo: int, new_hi: int, old_lo: int, old_hi: int, new_line: int, old_line: int
    ) -> None:
        self.new_lo, self.new_hi, self.old_lo, self.old_hi = new_lo, new_hi, old_lo, old_hi
        self.new_line, self.old_line = new_line, old_line


def _spans(old: OldText, new: str) -> Iterator[_Span]:
    """The changed ranges in groups whose hunks would touch, as spans of whole lines: a range is
    widened to the lines it touches on both sides alike (the text around it is the same in both),
    so that the original's lines and the latest's line up."""
    changes = old.changes
    starts, ends, olds = changes.starts, changes.ends, changes.olds
    offset = 0  # original position minus latest position, before range k
    drift = 0  # original line number minus latest line number, before range k
    counted, line = 0, 0  # new.count("\n", 0, counted) == line
    k = 0
    while k < len(starts):
        lo = new.rfind("\n", 0, starts[k]) + 1
        group_offset = group_drift = 0
        m = k
        while True:
            group_offset += len(olds[m]) - (ends[m] - starts[m])
            group_drift += olds[m].count("\n") - new.count("\n", starts[m], ends[m])
            hi = ends[m]
            old_end = hi + offset + group_offset
            at_line_start = (hi == 0 or new[hi - 1] == "\n") and (
                old_end == 0 or old[old_end - 1 : old_end] == "\n"
            )
            if not at_line_start:
                found = new.find("\n", hi)
                hi = len(new) if found < 0 else found + 1
            if m + 1 == len(starts):
                break
            next_lo = new.rfind("\n", 0, starts[m + 1]) + 1
            if next_lo >= hi and new.count("\n", hi, next_lo) > 2 * CONTEXT:
                break
            m += 1
        # CONTEXT lines on each side: text outside the ranges, the same in both.
        context_lo = lo
        for _ in range(CONTEXT):
            if context_lo == 0:
                break
            context_lo = new.rfind("\n", 0, context_lo - 1) + 1
        context_hi = hi
        for _ in range(CONTEXT):
            if context_hi >= len(new):
                break
            found = new.find("\n", context_hi)
            context_hi = len(new) if found < 0 else found + 1
        line += new.count("\n", counted, context_lo)
        counted = context_lo
        yield _Span(
            context_lo,
            context_hi,
            context_lo + offset,
            context_hi + offset + group_offset,
            line,
            line + drift,
        )
        offset += group_offset
        drift += group_drift
        k = m + 1


def diff_and_snippet(old: OldText, new: str, label: str) -> tuple[str, str]:
    """The unified diff of the changed region and its lines as they now read, numbered like
    ``cat -n``. A region of at most _WHOLE_CHARS characters is compared whole; a larger one group
    of nearby changes by group, each on its own lines with their context, so that only the changed
    places are cut into lines. A snippet of more than SNIPPET_LINES lines shows the changed places
    only, up to that many lines."""
    if not old.changes.starts:
        return "", ""
    spans = list(_spans(old, new))
    first, last = spans[0], spans[-1]
    if len(spans) > 1 and (last.new_hi - first.new_lo) + (last.old_hi - first.old_lo) <= _WHOLE_CHARS:
        # A small region is one span: from the first group's first line to the last one's last.
        spans = [_Span(first.new_lo, last.new_hi, first.old_lo, last.old_hi, first.new_line, first.old_line)]
    header = f"--- {label}\n+++ {label}\n"
    parts = [header]  # the diff, joined once (a large hunk is not copied twice)
    shown: list[tuple[int, list[str]]] = []
    kept = 0  # lines kept in `shown`: only what the snippet can show, and the count of the rest
    left = 0
    for span in spans:
        new_lines = _lines(new[span.new_lo : span.new_hi])
        old_lines = _lines(old[span.old_lo : span.old_hi])
        # A last line without its line feed is written (and compared) with git's note after it.
        old_marked = _unterminated(old_lines, span.old_hi == len(old) and old[len(old) - 1 :] != "\n")
        new_marked = _unterminated(new_lines, span.new_hi == len(new) and not new.endswith("\n"))
        codes = line_diff.opcodes(old_marked, new_marked)
        if len(spans) == 1:
            line_diff.add_hunks(parts, codes, old_marked, new_marked, span.old_line, span.new_line)
        else:
            # Many groups: each group's hunks as one text (a part per line would cost more).
            parts.append(line_diff.write_hunks(codes, old_marked, new_marked, span.old_line, span.new_line))
        if kept <= SNIPPET_LINES:
            shown.append((span.new_line + 1, new_lines))
            kept += len(new_lines)
        else:
            left += len(new_lines)
    diff = "".join(parts) if any(parts[1:]) else ""
    if len(spans) == 1:
        number, lines = shown[0]
        if len(lines) <= SNIPPET_LINES:
            return diff, _numbered(lines, number)
        return diff, _numbered(lines[:SNIPPET_LINES], number) + _more(len(lines) - SNIPPET_LINES)
    return diff, _groups_snippet(shown, left)


def _groups_snippet(groups: list[tuple[int, list[str]]], left: int) -> str:
    """The groups' lines as they now read, numbered, up to SNIPPET_LINES lines; `left` more lines
    of later groups are only counted."""
    out: list[str] = []
    shown = 0
    total = sum(len(lines) for _, lines in groups) + left
    for number, lines in groups:
        if shown >= SNIPPET_LINES:
            break
        if out:
            out.append("   ...\n")
        take = min(len(lines), SNIPPET_LINES - shown)
        out.append(_numbered(lines[:take], number))
        shown += take
    if total > shown:
        out.append(_more(total - shown).replace("more line", "more changed line", 1))
    return "".join(out)
