"""A large text held as pieces of whole lines, so that an edit of it copies a piece, not the text.

A run of edits on a large file (``apply_edits``) would otherwise make a new copy of the whole text
for every edit: two texts are held at each step, and on a text with one character above U+00FF
each is twice the file. ``Pieces`` keeps the text as a tuple of strings, each of about
``PIECE_CHARS`` characters and, but for the last, ending in a line feed; every piece has its own
width, so a character above U+00FF widens only its own piece.

An old_string that occurs once is found piece by piece (and across each boundary), and the edit
is made on a window of the pieces around its place (``placement.exact_in_window``), which holds
everything that placement reads; only the window's pieces are made anew. Every other edit is made
on the joined text, as for any text.
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

    def place_once(self, old: str, new: str, opts: Options) -> tuple[Placement, Pieces] | None:
        """The placement of an old_string that occurs once, in the text's positions and lines,
        with the text after it (the placement's own text is left empty); None when the edit must
        be placed on the joined text."""
        pos = self.find_once(old)
        if pos is None:
            return None
        margin = placement.window_margin(old, new)
        first = self._index(max(0, self.starts[self._index(pos)] - margin))
        last = self._index(min(self.length, self.starts[self._index(pos + len(old) - 1) + 1] + margin))
        base = self.starts[first]
        window = "".join(self.pieces[first : last + 1])
        placed = placement.exact_in_window(window, pos - base, old, new, opts)
        if placed is None:
            return None
        lines_before = sum(self.feeds[:first])
        placed.start_line += lines_before
        placed.end_line += lines_before
        placed.splices = [(at + base, length, inserted) for at, length, inserted in placed.splices]
        fresh = split_pieces(placed.text)
        placed.text = ""
        if last + 1 < len(self.pieces) and not fresh[-1].endswith("\n"):
            return None  # cannot happen with the margin kept after the place; kept as a guard
        after = Pieces(
            [*self.pieces[:first], *fresh, *self.pieces[last + 1 :]],
            [*self.feeds[:first], *(piece.count("\n") for piece in fresh), *self.feeds[last + 1 :]],
        )
        return placed, after
