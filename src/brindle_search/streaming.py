"""Locating an edit's old block while it streams in, in the source's own coordinates.

``StreamingLocator`` wraps one native ``StreamingFuzzyMatcher``. The native matcher measures a
match in UTF-8 bytes of the source's lines joined with LF: every CR LF line end counts as one
byte, a final line feed is not part of it, and a non-ASCII character counts as two to four. This
module translates such a range into what a Python caller can use directly: 1-based line numbers
of the source, and ``str`` indices into the original source text, so that
``source[location.start:location.end]`` is the located block (without its last line end).

The translation keeps one table per source line, built once: the line's start as a ``str``
index in the source, and its start as a byte offset in the joined source. A byte offset is
looked up by binary search; its distance from its line's start is turned into characters by
decoding that line's UTF-8 prefix (no decoding at all at a line's first or last byte, which is
where the matcher's ranges begin and end). Example, source ``"é\\r\\nab\\r\\n"``::

    line  str start  byte start  text
    1     0          0           "é"     (2 bytes, then CR LF: 3 characters, 1 joined byte)
    2     3          3           "ab"

    joined range 3..5 ("ab")  ->  lines 2-2, source[3:5]

Once the old block is complete, ``apply(new_string)`` makes the edit with ``edit_text`` (all of
its tolerance and repairs), taking the located block's first line as the line hint, so that a
block that occurs several times is placed where it was located.
"""

from __future__ import annotations

from bisect import bisect_right
from collections.abc import Iterable
from functools import partial
from itertools import accumulate
from operator import add, methodcaller
from typing import TYPE_CHECKING, Any

from _brindle_search import StreamingFuzzyMatcher

from ._edit import edit_text
from .records import record
from .results import check_line_hint

if TYPE_CHECKING:
    from .results import EditResult

__all__ = ["BlockLocation", "StreamingLocator"]


@record(frozen=True)
class BlockLocation:
    """A located block: 1-based source lines (inclusive) and ``str`` indices (end exclusive)."""

    start_line: int
    end_line: int
    start: int
    end: int

    def to_dict(self) -> dict[str, Any]:
        return {
            "start_line": self.start_line,
            "end_line": self.end_line,
            "start": self.start,
            "end": self.end,
        }


_plus_one = partial(add, 1)


class _LineTable:
    """Per source line: its ``str`` start in the source and its byte start in the joined lines.

    Lines follow the native matcher's rule: cut after every LF, drop the LF and one CR before
    it; a last line without LF is taken whole; no empty line after a final LF.
    """

    __slots__ = ("lines", "char_starts", "byte_starts")

    def __init__(self, source: str) -> None:
        # Built from whole-list operations, which run at C speed: this table is paid for once per
        # source, before the first chunk arrives.
        parts = source.split("\n")
        # CR LF pairs are exactly the line ends that lose their CR; a CR elsewhere is text.
        lines = source.replace("\r\n", "\n").split("\n") if "\r\n" in source else list(parts)
        if parts[-1] == "":  # no empty line after a final LF (nor in an empty source)
            parts.pop()
            lines.pop()
        if source.isascii():
            byte_lengths: Iterable[int] = map(len, lines)
        else:
            byte_lengths = map(len, map(methodcaller("encode", "utf-8", "surrogatepass"), lines))
        self.lines = lines
        self.char_starts: list[int] = [0, *accumulate(map(_plus_one, map(len, parts)))]
        self.char_starts.pop()
        # One entry past the last line, as the matcher's own table has.
        self.byte_starts: list[int] = [0, *accumulate(map(_plus_one, byte_lengths))]

    def line_of(self, offset: int) -> int:
        """The 0-based line holding joined byte ``offset`` (its line feed counts to the line)."""
        return max(0, min(bisect_right(self.byte_starts, offset) - 1, len(self.lines) - 1))

    def char_index(self, offset: int, line: int) -> int:
        """The ``str`` index in the source of joined byte ``offset``, which lies on ``line``."""
        text = self.lines[line]
        delta = offset - self.byte_starts[line]
        if delta <= 0:
            return self.char_starts[line]
        if text.isascii():
            chars = min(delta, len(text))
        else:
            encoded = text.encode("utf-8", "surrogatepass")
            chars = len(text) if delta >= len(encoded) else len(encoded[:delta].decode("utf-8", "ignore"))
        return self.char_starts[line] + chars


class StreamingLocator:
    """Feed an edit's old block in chunks; learn where it is in ``source`` as it grows.

    ``line_hint`` (1-based, like ``edit_text``'s) chooses among several equally good places; it
    stays in force until another one is given to ``push``.

    >>> loc = StreamingLocator("a = 1\\nb = 2\\nc = 3\\n")
    >>> loc.push("b = 2\\n")
    BlockLocation(start_line=2, end_line=2, start=6, end=11)
    >>> loc.apply("b = 20\\n").text
    'a = 1\\nb = 20\\nc = 3\\n'
    """

    def __init__(self, source: str, *, line_hint: int | None = None) -> None:
        if not isinstance(source, str):
            raise TypeError(f"source must be str, not {type(source).__name__}")
        self._source = source
        self._matcher = StreamingFuzzyMatcher(source)
        self._table = _LineTable(source)
        self._chunks: list[str] = []
        self._hint = self._native_hint(line_hint)
        self._location: BlockLocation | None = None
        self._candidates: list[BlockLocation] = []

    @staticmethod
    def _native_hint(line_hint: int | None) -> int | None:
        hint = check_line_hint(line_hint)
        return None if hint is None else hint - 1

    @property
    def source(self) -> str:
        return self._source

    @property
    def old_text(self) -> str:
        """Everything pushed so far, exactly as it arrived."""
        return "".join(self._chunks)

    @property
    def location(self) -> BlockLocation | None:
        """The latest answer of ``push`` or ``finish``."""
        return self._location

    @property
    def candidates(self) -> list[BlockLocation]:
        """Every place the whole block fits equally well; filled by ``finish``."""
        return list(self._candidates)

    def text(self, location: BlockLocation) -> str:
        """The source text of ``location``."""
        return self._source[location.start : location.end]

    def locate(self, start: int, end: int) -> BlockLocation:
        """Translate a range of the native matcher (joined UTF-8 bytes) into a ``BlockLocation``."""
        table = self._table
        if not table.lines:
            return BlockLocation(1, 1, 0, 0)
        first = table.line_of(start)
        last = table.line_of(end)
        return BlockLocation(first + 1, last + 1, table.char_index(start, first), table.char_index(end, last))

    def push(self, chunk: str, line_hint: int | None = None) -> BlockLocation | None:
        """Add ``chunk`` to the old block; return the best location so far, or None."""
        if not isinstance(chunk, str):
            raise TypeError(f"chunk must be str, not {type(chunk).__name__}")
        if line_hint is not None:
            self._hint = self._native_hint(line_hint)
        found = self._matcher.push(chunk, self._hint)
        self._chunks.append(chunk)
        self._location = None if found is None else self.locate(found.start, found.end)
        return self._location

    def finish(self) -> BlockLocation | None:
        """The old block is complete: take its last line, return the best location or None.

        With several equally good places, the one nearest the line hint (within 200 lines) is
        chosen, else the first; all of them are in ``candidates``.
        """
        ranges = self._matcher.finish()
        self._candidates = [self.locate(r.start, r.end) for r in ranges]
        best = self._matcher.select_best_match() if len(ranges) > 1 else None
        if best is not None:
            self._location = self.locate(best.start, best.end)
        else:
            self._location = self._candidates[0] if self._candidates else None
        return self._location

    def apply(
        self,
        new_string: str,
        *,
        replace_all: bool = False,
        line_hint: int | None = None,
        reindent: bool = True,
        strategies: Iterable[str] | None = None,
        min_similarity: float | None = None,
    ) -> EditResult:
        """Replace the streamed old block by ``new_string`` in the source, as ``edit_text`` does.

        Finishes the old block first. The located block's first line is the line hint unless
        ``line_hint`` gives one. Returns the ``EditResult`` (``ok`` False when the edit is not
        placed); the source held by this object is not changed.
        """
        location = self.finish()
        if line_hint is None and location is not None:
            line_hint = location.start_line
        return edit_text(
            self._source,
            self.old_text,
            new_string,
            replace_all=replace_all,
            line_hint=line_hint,
            reindent=reindent,
            strategies=strategies,
            min_similarity=min_similarity,
        )
