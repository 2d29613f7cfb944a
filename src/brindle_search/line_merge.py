"""The block that replaces a placed edit's lines: old_string's change to new_string, made on the
text's own lines.

old_string is the model's memory of the block; new_string is that memory, edited. The aligned
block (``alignment``) says which line of the text each old line is. The change is carried over
line by line, the way a careful reviewer would make it by hand::

    old → new (difflib)   old line's pair in the text   written
    kept                  a line of the text            the text's line, byte for byte
    kept                  none (not in the text)        nothing
    kept, an elision      the lines it stands for       those lines, byte for byte
    changed               a line of the text            new's line, merged into the text's line
    inserted              -                             new's line, in the text's indentation
    removed               a line of the text            nothing
    -                     a line nobody quoted          the text's line (never deleted unseen)

A changed line is merged character by character (``merge_line``): the text's own differences from
old_string's line (indentation, a misremembered name, an escape) stay unless new_string rewrote
the same characters. An inserted line moves by the constant indentation offset between old_string
and the text when every aligned line shows the same one; otherwise it is converted level by level
(``repairs.reindent``).

A change that cannot be carried over is refused with the reason: a changed or removed line that
is not in the text, or an elision marker that new_string does not keep.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from difflib import SequenceMatcher

from .alignment import ELIDED, EQUAL, FILE_ONLY, OLD_ONLY, PAIRED, SPACING, Alignment, is_elision, line_key
from .line_diff import common_ends
from .records import record
from .repairs import leading_whitespace, reindent

__all__ = ["Merged", "MergeRefused", "merge_block", "merge_line", "line_opcodes", "constant_shift"]

# Lines longer than this are merged as whole lines (new_string's line wins): the character diff is
# quadratic in the worst case.
_MERGE_CHARS = 4000


@record(frozen=True)
class Merged:
    lines: list[str]  # the lines that replace block lines lo..hi
    lo: int
    hi: int
    repairs: list[str]
    kept_unquoted: list[int]  # block lines kept because old_string did not show them


@record(frozen=True)
class MergeRefused:
    reason: str


def line_opcodes(a: Sequence[str], b: Sequence[str]) -> list[tuple[str, int, int, int, int]]:
    """difflib's opcodes from a to b, with the common head and tail taken first (cheap on the long
    equal stretches of an edit, whatever lines repeat)."""
    n, m = len(a), len(b)
    head, tail = common_ends(a, b)
    ops: list[tuple[str, int, int, int, int]] = []
    if head:
        ops.append(("equal", 0, head, 0, head))
    a_mid, b_mid = a[head : n - tail], b[head : m - tail]
    if not a_mid or not b_mid or set(a_mid).isdisjoint(b_mid):
        # Nothing in common between the middles: one change (the usual edit).
        if a_mid or b_mid:
            tag = "replace" if a_mid and b_mid else ("delete" if a_mid else "insert")
            ops.append((tag, head, n - tail, head, m - tail))
    else:
        matcher = SequenceMatcher(None, a_mid, b_mid, autojunk=False)
        for tag, i1, i2, j1, j2 in matcher.get_opcodes():
            ops.append((tag, i1 + head, i2 + head, j1 + head, j2 + head))
    if tail:
        ops.append(("equal", n - tail, n, m - tail, m))
    return ops


def _map_start(ops: Sequence[tuple[str, int, int, int, int]], x: int) -> int:
    """Where position x of the first sequence falls in the second, before anything inserted at x."""
    for tag, i1, i2, j1, _ in ops:
        if tag == "equal" and i1 <= x < i2:
            return j1 + (x - i1)
        if tag != "equal" and i1 == x:
            return j1
    return ops[-1][4] if ops else 0


def _map_end(ops: Sequence[tuple[str, int, int, int, int]], x: int) -> int:
    """Where position x of the first sequence falls in the second, after anything inserted at x."""
    for tag, i1, i2, j1, j2 in reversed(ops):
        if tag == "equal" and i1 < x <= i2:
            return j1 + (x - i1)
        if tag != "equal" and i2 == x:
            return j2
    return 0


def merge_line(base: str, ours: str, theirs: str) -> str:
    """Three-way merge of one line: `theirs`' changes to `base` made on `ours`; where both change
    the same characters, `theirs` wins."""
    if base == ours:
        return theirs
    if base == theirs:
        return ours
    if max(len(base), len(ours), len(theirs)) > _MERGE_CHARS:
        return theirs
    a = SequenceMatcher(None, base, ours, autojunk=False).get_opcodes()
    b = SequenceMatcher(None, base, theirs, autojunk=False).get_opcodes()
    changes = sorted(
        [(i1, i2, 0) for tag, i1, i2, _, _ in a if tag != "equal"]
        + [(i1, i2, 1) for tag, i1, i2, _, _ in b if tag != "equal"]
    )
    out = []
    pos = 0
    k = 0
    while k < len(changes):
        lo, hi, side = changes[k]
        sides = {side}
        k += 1
        # Changes that overlap or touch form one group.
        while k < len(changes) and (
            changes[k][0] < hi or changes[k][0] == hi == changes[k][1] or lo == hi == changes[k][0]
        ):
            hi = max(hi, changes[k][1])
            sides.add(changes[k][2])
            k += 1
        out.append(base[pos:lo])
        if sides == {0}:
            out.append(ours[_map_start(a, lo) : _map_end(a, hi)])
        else:
            out.append(theirs[_map_start(b, lo) : _map_end(b, hi)])
        pos = hi
    out.append(base[pos:])
    return "".join(out)


def constant_shift(alignment: Alignment) -> tuple[str, str] | None:
    """(old prefix, text prefix) when every aligned non-blank line's indentation is old prefix +
    r in old_string and text prefix + r in the text, for one pair of prefixes; else None."""
    pairs = []
    for step in alignment.steps:
        if step.kind in PAIRED and step.old is not None:
            old_line = alignment.old_lines[step.old]
            block_line = alignment.block_lines[step.lo]
            if old_line.strip() and block_line.strip():
                pairs.append((leading_whitespace(old_line), leading_whitespace(block_line)))
    if not pairs:
        return None
    old_ws, block_ws = min(pairs, key=lambda p: len(p[0]))
    common = 0
    while common < min(len(old_ws), len(block_ws)) and old_ws[-1 - common] == block_ws[-1 - common]:
        common += 1
    p_old, p_text = old_ws[: len(old_ws) - common], block_ws[: len(block_ws) - common]
    for o, t in pairs:
        if not o.startswith(p_old) or t != p_text + o[len(p_old) :]:
            return None
    return p_old, p_text


def _shift_phrase(p_old: str, p_text: str) -> str | None:
    if p_old == p_text:
        return None
    if not p_old.strip(" ") and not p_text.strip(" "):
        delta = len(p_text) - len(p_old)
        return f"reindented {delta:+d} space" + ("" if abs(delta) == 1 else "s")
    if not p_old.strip("\t") and not p_text.strip("\t"):
        delta = len(p_text) - len(p_old)
        return f"reindented {delta:+d} tab" + ("" if abs(delta) == 1 else "s")
    return "indentation converted to tabs" if "\t" in p_text else "indentation converted to spaces"


class _Indenter:
    """old_string's and new_string's lines moved to the text's indentation (a constant shift is
    applied to the lines asked for; a level conversion is made once for all)."""

    def __init__(
        self,
        alignment: Alignment,
        new_lines: Sequence[str],
        block_text: Callable[[], str],
        surroundings: Callable[[], str],
        enabled: bool,
    ) -> None:
        self._old = alignment.old_lines
        self._new = new_lines
        self._shift: tuple[str, str] | None = None
        self.phrases: list[str] = []
        self._used = False
        if not enabled:
            return
        shift = constant_shift(alignment)
        if shift is not None:
            p_old, p_text = shift
            if p_old != p_text:
                self._shift = shift
                phrase = _shift_phrase(p_old, p_text)
                self.phrases = [phrase] if phrase else []
            return
        # No constant shift: a line indented as some aligned old line is indented like that line's
        # pair in the text (when all such pairs agree); the other lines are converted level by level.
        mapping = _indent_mapping(alignment)
        old_text = "\n".join(self._old)
        moved_new, phrases = reindent("\n".join(self._new), old_text, block_text(), surroundings)
        moved_old, _ = reindent(old_text, old_text, block_text(), surroundings)
        self._new = _mapped(self._new, moved_new.split("\n"), mapping)
        self._old = _mapped(self._old, moved_old.split("\n"), mapping)
        self.phrases = phrases or (["reindented line by line"] if mapping else [])

    def old(self, i: int) -> str:
        line = self._old[i]
        return line if self._shift is None else _shift_line(line, *self._shift)

    def take(self, j1: int, j2: int, original: Sequence[str]) -> list[str]:
        """New lines j1..j2 as inserted; notes that a repair was used when one moved."""
        lines = self._new[j1:j2]
        if self._shift is not None:
            lines = [_shift_line(line, *self._shift) for line in lines]
        if not self._used and any(a != b for a, b in zip(lines, original[j1:j2])):
            self._used = True
        return list(lines)

    @property
    def used_phrases(self) -> list[str]:
        return self.phrases if self._used else []


def _indent_mapping(alignment: Alignment) -> dict[str, str]:
    """old_string's indentations that every aligned line pairs with one same text indentation."""
    seen: dict[str, str | None] = {}
    for step in alignment.steps:
        if step.kind in PAIRED and step.old is not None:
            old_line = alignment.old_lines[step.old]
            block_line = alignment.block_lines[step.lo]
            if old_line.strip() and block_line.strip():
                ws, target = leading_whitespace(old_line), leading_whitespace(block_line)
                seen[ws] = target if seen.get(ws, target) == target else None
    return {ws: target for ws, target in seen.items() if target is not None}


def _mapped(lines: Sequence[str], converted: Sequence[str], mapping: dict[str, str]) -> list[str]:
    out = []
    for line, fallback in zip(lines, converted):
        ws = leading_whitespace(line)
        out.append(mapping[ws] + line[len(ws) :] if line.strip() and ws in mapping else fallback)
    return out


def _shift_line(line: str, p_old: str, p_text: str) -> str:
    ws = leading_whitespace(line)
    if not line.strip():
        return line
    if ws.startswith(p_old):
        return p_text + line[len(p_old) :]
    if not ws.strip(" ") and not p_old.strip(" ") and not p_text.strip(" "):
        columns = len(ws) - len(p_old) + len(p_text)
        # A line that would move left of column 0 keeps its indentation as written.
        return " " * columns + line[len(ws) :] if columns >= 0 else line
    return line


def _one_run(
    alignment: Alignment, ops: Sequence[tuple[str, int, int, int, int]], new_lines: Sequence[str]
) -> int | None:
    """The block line where old_string's lines lie as one run of the same lines (but for blanks),
    when the change needs nothing more than that: old_string's first and last lines are not
    blank, nothing is inserted at its ends (where the text may hold it already), and new_string
    has nothing that reads as an elision marker. Else None."""
    old_lines = alignment.old_lines
    n = len(old_lines)
    if not n or not old_lines[0].strip() or not old_lines[-1].strip():
        return None
    first = alignment.block_of(0)
    for i in range(n):
        step = alignment.block_of(i)
        if step.kind not in (EQUAL, SPACING) or step.lo != first.lo + i:
            return None
    for tag, i1, _, j1, j2 in ops:
        if tag == "insert" and (i1 == 0 or i1 == n):
            return None
        if tag != "equal" and any(is_elision(line) for line in new_lines[j1:j2]):
            return None
    return first.lo


def _merge_run(
    alignment: Alignment,
    ops: Sequence[tuple[str, int, int, int, int]],
    new_lines: Sequence[str],
    indenter: _Indenter,
    lo: int,
) -> Merged:
    """merge_block for old_string's lines found as one run at block line `lo`: the same result
    with no unpaired lines to keep or account for."""
    block = alignment.block_lines
    out: list[str] = []
    for tag, i1, i2, j1, j2 in ops:
        if tag == "equal":
            out.extend(block[lo + i1 : lo + i2])
        elif i2 - i1 == j2 - j1:
            for k in range(i2 - i1):
                theirs = indenter.take(j1 + k, j1 + k + 1, new_lines)[0]
                out.append(merge_line(indenter.old(i1 + k), block[lo + i1 + k], theirs))
        else:
            out.extend(indenter.take(j1, j2, new_lines))
    return Merged(out, lo, lo + len(alignment.old_lines), indenter.used_phrases, [])


def merge_block(
    alignment: Alignment,
    new_lines: Sequence[str],
    *,
    reindent_lines: bool,
    surroundings: Callable[[], str],
) -> Merged | MergeRefused:
    """The lines that replace the aligned block (see the module documentation).

    The block's lines lo..hi are replaced: from the first to the last block line that pairs with
    a non-blank old line (or that an elision marker stands for).
    """
    old_lines = alignment.old_lines
    block = alignment.block_lines
    anchored = [
        s
        for s in alignment.steps
        if (s.kind in PAIRED or s.kind == ELIDED) and s.old is not None and old_lines[s.old].strip()
    ]
    if not anchored:
        return MergeRefused("no line of old_string is in the text here")
    lo, hi = anchored[0].lo, anchored[-1].hi
    indenter = _Indenter(alignment, new_lines, lambda: "\n".join(block[lo:hi]), surroundings, reindent_lines)
    if not reindent_lines:
        # new_string as written in place of the lines that old_string stands for.
        return Merged(list(new_lines), lo, hi, [], [])

    ops = line_opcodes(old_lines, new_lines)
    run = _one_run(alignment, ops, new_lines)
    if run is not None:
        return _merge_run(alignment, ops, new_lines, indenter, run)
    # For each old line: the new line it is kept as, or the change group it belongs to. Inserted
    # lines are attached to the old line they come before (len(old_lines): at the end).
    kept_as: dict[int, int] = {}
    group_at: dict[int, tuple[int, int, int, int]] = {}
    in_group: set[int] = set()
    inserts: dict[int, tuple[int, int]] = {}
    for tag, i1, i2, j1, j2 in ops:
        if tag == "equal":
            for k in range(i2 - i1):
                kept_as[i1 + k] = j1 + k
        elif tag == "insert":
            inserts[i1] = (j1, j2)
        else:
            group_at[i1] = (i1, i2, j1, j2)
            in_group.update(range(i1, i2))

    for i in kept_as:
        if alignment.block_of(i).kind == OLD_ONLY and old_lines[i].strip() and not is_elision(old_lines[i]):
            return MergeRefused(
                f"old_string's line {old_lines[i].strip()!r} is not in the text there, and new_string "
                "keeps it: the block is not the one in the text"
            )
    # An elision marker that new_string adds stands for lines nobody can tell: refused where the
    # edit removes lines of old_string, and for a comment that says so ("// ... existing code")
    # anywhere; a bare "..." only inserted may be code (a Python stub's body).
    old_set = set(old_lines)
    added_markers = [
        line.strip()
        for tag, _, _, j1, j2 in ops
        if tag != "equal"
        for line in new_lines[j1:j2]
        if line not in old_set and is_elision(line)
    ]
    removes = any(old_lines[i].strip() for i in in_group)
    if added_markers and (removes or any(m not in ("...", "\u2026") for m in added_markers)):
        return MergeRefused(
            f"new_string has the elision marker {added_markers[0]!r} that old_string does not, so "
            "what it stands for cannot be told; write those lines out"
        )
    # The text lines a change group replaces: from its first to its last paired line. Lines of
    # the text between them that old_string did not show go with them; an old line of the group
    # that is not in the text must lie between two that are, or the change has no place.
    replaced: list[tuple[int, int]] = []
    for i1, i2, _j1, _j2 in group_at.values():
        paired = [
            alignment.block_of(i)
            for i in range(i1, i2)
            if alignment.block_of(i).kind in PAIRED and lo <= alignment.block_of(i).lo < hi
        ]
        first = paired[0].lo if paired else hi
        last = paired[-1].lo if paired else lo
        if paired:
            replaced.append((first, last))
        for i in range(i1, i2):
            step = alignment.block_of(i)
            line = old_lines[i]
            if step.kind == ELIDED:
                return MergeRefused(
                    f"new_string does not keep the elision marker {line.strip()!r} of old_string, "
                    "so the lines it stands for cannot be told"
                )
            if not line.strip():
                continue
            outside = step.kind in PAIRED and not (lo <= step.lo < hi)
            stray = step.kind == OLD_ONLY and not (first < step.lo <= last)
            if outside or stray:
                return MergeRefused(f"the line {line.strip()!r} that new_string changes is not in the text")

    out: list[str] = []
    kept_unquoted: list[int] = []

    def emit_new(j1: int, j2: int) -> None:
        out.extend(indenter.take(j1, j2, new_lines))

    def emit_group(i1: int, i2: int, j1: int, j2: int) -> None:
        if i2 - i1 == j2 - j1:
            # Line for line: each changed line is merged into the text's line it stands for.
            for k in range(i2 - i1):
                step = alignment.block_of(i1 + k)
                if step.kind in PAIRED and lo <= step.lo < hi:
                    theirs = indenter.take(j1 + k, j1 + k + 1, new_lines)[0]
                    out.append(merge_line(indenter.old(i1 + k), block[step.lo], theirs))
                else:
                    emit_new(j1 + k, j1 + k + 1)
        else:
            emit_new(j1, j2)

    # The text lines no old line pairs with in each gap between old lines (before old line i; n:
    # after the last), inside the block or around it: a line new_string inserts there that the
    # text already has is not inserted again (an edit sent twice).
    n = len(old_lines)
    gap_keys: dict[int, list[str]] = {}

    def gap(i: int) -> list[str]:
        if not gap_keys:
            current: list[str] = []
            for step in alignment.steps:
                if step.kind == FILE_ONLY:
                    current.append(line_key(block[step.lo]))
                elif step.old is not None:
                    gap_keys[step.old] = current
                    current = []
            gap_keys[n] = current
        return gap_keys.get(i, [])

    def emit_insert(i: int, span: tuple[int, int], front: bool = False) -> None:
        j1, j2 = span
        wanted = [line_key(line) for line in new_lines[j1:j2] if line.strip()]
        there = iter(gap(i))
        if wanted and all(key in there for key in wanted):
            return
        lines = indenter.take(j1, j2, new_lines)
        if front:
            out[:0] = lines
        else:
            out.extend(lines)

    emitted_inserts: set[int] = set()
    for step in alignment.steps:
        at = step.old
        if at is not None and at in inserts and at not in emitted_inserts:
            emitted_inserts.add(at)
            if lo <= step.lo <= hi:
                emit_insert(at, inserts[at])
        if at is not None and at in group_at:
            emit_group(*group_at[at])
        inside = lo <= step.lo and step.hi <= hi and step.hi > step.lo
        if not inside:
            continue
        if step.kind == FILE_ONLY:
            if any(first < step.lo < last for first, last in replaced):
                continue
            out.append(block[step.lo])
            if block[step.lo].strip():
                kept_unquoted.append(step.lo)
        elif at is not None and at in kept_as:
            out.extend(block[step.lo : step.hi])
    for i, span in sorted(inserts.items()):
        if i not in emitted_inserts:
            # After the last old line, or before a line that lies outside the block.
            emit_insert(i, span, front=i < n and alignment.block_of(i).lo < lo)
    return Merged(out, lo, hi, indenter.used_phrases, kept_unquoted)
