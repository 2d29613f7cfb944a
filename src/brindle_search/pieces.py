"""A large text held as pieces of whole lines, so that an edit of it copies a piece, not the text.

A run of edits on a large file (``apply_edits``) would otherwise make a new copy of the whole text
for every edit: two texts are held at each step, and on a text with one character above U+00FF
each is twice the file. ``Pieces`` keeps the text as a list of strings of about ``PIECE_CHARS``
characters, each but the last ending in a line feed; every piece has its own width, so a
character above U+00FF widens only its own piece.

An old_string that occurs once is found piece by piece (and across each boundary). The edit is
placed on a window of whole lines around its place that holds everything placement reads there
(``placement.exact_in_window``), and the text after it shares every piece with the text before
but the one the change touches. Every other edit is made on the joined text, as for any text.
"""

from __future__ import annotations

from itertools import accumulate

from . import placement

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .placement import Options, Placement

__all__ = ["PIECE_CHARS", "Pieces", "split_pieces"]

#: The size a piece is cut at (at the next line feed): small enough that a new piece costs little
#: and that one wide character widens little, large enough that a search calls find a few times.
PIECE_CHARS = 1 << 14


def split_pieces(text: str) -> list[str]:
    """`text` cut after the first line feed at or after every PIECE_CHARS characters."""
    out: list[str] = []
    start = 0
    size = len(text)
    while size - start > PIECE_CHARS:
        cut = text.find("\n", start + PIECE_CHARS - 1)
        if cut < 0:
            break
        out.append(text[start : cut + 1])
        start = cut + 1
    if start < size or not out:
        out.append(text[start:])
    return out


class Pieces:
    """An immutable text as pieces of whole lines (see the module documentation): its length,
    slices and line-feed counts, and the edit of an old_string found once."""

    __slots__ = ("pieces", "starts", "feeds", "length")

    def __init__(self, pieces: list[str], feeds: list[int] | None = None) -> None:
        self.pieces = pieces
        self.feeds = feeds if feeds is not None else [piece.count("\n") for piece in pieces]
        # starts[k] is where piece k begins; starts[-1] is the length.
        self.starts = [0, *accumulate(map(len, pieces))]
        self.length = self.starts[-1]

    @classmethod
    def of(cls, text: str) -> Pieces:
        return cls(split_pieces(text))

    def join(self) -> str:
        return "".join(self.pieces)

    def __len__(self) -> int:
        return self.length

    def _index(self, pos: int) -> int:
        """The piece that holds position `pos` (the last piece for the length)."""
        lo, hi = 0, len(self.pieces) - 1
        starts = self.starts
        while lo < hi:
            mid = (lo + hi + 1) // 2
            if starts[mid] <= pos:
                lo = mid
            else:
                hi = mid - 1
        return lo

    def __getitem__(self, index: slice) -> str:
        lo, hi, step = index.indices(self.length)
        if step != 1:
            raise ValueError("only contiguous slices of pieces")
        if hi <= lo:
            return ""
        first, last = self._index(lo), self._index(hi - 1)
        starts, pieces = self.starts, self.pieces
        if first == last:
            return pieces[first][lo - starts[first] : hi - starts[first]]
        parts = [
            pieces[first][lo - starts[first] :],
            *pieces[first + 1 : last],
            pieces[last][: hi - starts[last]],
        ]
        return "".join(parts)

    def count(self, sub: str, start: int = 0, end: int | None = None) -> int:
        """How many times the one character `sub` occurs in [start, end)."""
        if len(sub) != 1:
            raise ValueError("pieces count single characters")
        lo, hi, _ = slice(start, end).indices(self.length)
        if hi <= lo:
            return 0
        first, last = self._index(lo), self._index(hi - 1)
        starts, pieces = self.starts, self.pieces
        if first == last:
            return pieces[first].count(sub, lo - starts[first], hi - starts[first])
        inner = (
            sum(self.feeds[first + 1 : last])
            if sub == "\n"
            else sum(p.count(sub) for p in pieces[first + 1 : last])
        )
        return (
            pieces[first].count(sub, lo - starts[first])
            + inner
            + pieces[last].count(sub, 0, hi - starts[last])
        )

    # ---- an old_string found once ----------------------------------------------------------------

    def find_once(self, old: str) -> int | None:
        """Where `old` occurs in the text when it occurs exactly once (overlapping occurrences
        counted), else None; None too when a search across the boundaries would cost more than a
        pass over the text."""
        m = len(old)
        if not m:
            return None
        found = -1
        for k, piece in enumerate(self.pieces):
            at = piece.find(old)
            if at >= 0:
                if found >= 0 or piece.find(old, at + 1) >= 0:
                    return None
                found = self.starts[k] + at
        # An occurrence across a boundary holds the piece's last character, a line feed, before
        # its own last character.
        if "\n" in old[:-1] and len(self.pieces) > 1:
            if 2 * m * len(self.pieces) > self.length:
                return None
            for boundary in self.starts[1:-1]:
                lo = max(0, boundary - m + 1)
                around = self[lo : boundary + m - 1]
                at = around.find(old)
                while at >= 0 and lo + at < boundary:
                    if found >= 0 and found != lo + at:
                        return None
                    found = lo + at
                    at = around.find(old, at + 1)
        return found if found >= 0 else None

    def _line_start(self, pos: int) -> int:
        """Where the line holding `pos` starts (a piece starts a line)."""
        k = self._index(pos)
        return self.starts[k] + self.pieces[k].rfind("\n", 0, pos - self.starts[k]) + 1

    def _line_end(self, pos: int) -> int:
        """Just after the line feed that ends the line holding `pos` (or the length)."""
        if pos >= self.length:
            return self.length
        k = self._index(pos)
        found = self.pieces[k].find("\n", pos - self.starts[k])
        return self.length if found < 0 else self.starts[k] + found + 1

    def place_once(self, old: str, new: str, opts: Options) -> tuple[Placement, Pieces] | None:
        """The placement of an old_string that occurs once, in the text's positions and lines,
        with the text after it (the placement's own text is left empty); None when the edit must
        be placed on the joined text. The window is whole lines reaching ``window_margin`` past
        the place's lines; the text after it shares every piece but those the change touches."""
        pos = self.find_once(old)
        if pos is None:
            return None
        margin = placement.window_margin(old, new)
        lo = self._line_start(max(0, self._line_start(pos) - margin))
        hi = self._line_end(self._line_end(pos + len(old) - 1) + margin)
        window = self[lo:hi]
        placed = placement.exact_in_window(window, pos - lo, old, new, opts)
        if placed is None:
            return None
        placed.text = ""
        lines_before = self.count("\n", 0, lo)
        placed.start_line += lines_before
        placed.end_line += lines_before
        ((at, length, inserted),) = placed.splices
        at += lo
        placed.splices = [(at, length, inserted)]
        return placed, self._spliced(at, length, inserted)

    def _spliced(self, at: int, length: int, inserted: str) -> Pieces:
        """The text with [at, at + length) replaced by `inserted`: the pieces it touches are made
        one (with the next ones until it ends in a line feed), cut again if it grew long."""
        pieces, starts = self.pieces, self.starts
        first = self._index(at)
        last = self._index(at + length - 1) if length else first
        made = "".join(
            (pieces[first][: at - starts[first]], inserted, pieces[last][at + length - starts[last] :])
        )
        while last + 1 < len(pieces) and not made.endswith("\n"):
            last += 1
            made += pieces[last]
        fresh = split_pieces(made) if len(made) > 2 * PIECE_CHARS else [made] if made else []
        if not fresh and first == 0 and last + 1 == len(pieces):
            fresh = [""]
        return Pieces(
            [*pieces[:first], *fresh, *pieces[last + 1 :]],
            [*self.feeds[:first], *(piece.count("\n") for piece in fresh), *self.feeds[last + 1 :]],
        )
