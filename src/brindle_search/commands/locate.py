"""``brindle-search locate``: locate a block streamed on standard input in a file, line by line
(StreamingLocator), with its options."""

from __future__ import annotations

import codecs
import sys
from collections.abc import Iterable, Sequence
from typing import Any

from ..errors import EditError
from ..files import read_document
from ..results import line_range
from ..streaming import StreamingLocator
from ._common import EXIT_ERROR, EXIT_NOT_PLACED, EXIT_OK, UsageError, fail, line_number, print_json

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

NAME = "locate"
HELP = "locate a block streamed on standard input in FILE, line by line"
DESCRIPTION = (
    "Feed standard input, as it arrives, into the streaming matcher over FILE and print after\n"
    "each completed line the lines of FILE where the block received so far is located. On a\n"
    "terminal a single status line is kept up to date instead. When the whole block fits\n"
    "several places equally well, the last answer lists them all and the exit code is 1\n"
    "(--line-hint chooses among them)."
)
EXAMPLE = "  printf 'def f():\\n    return 1\\n' | brindle-search locate app.py --json"


def add_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE")
    parser.add_argument(
        "--line-hint",
        type=line_number,
        metavar="N",
        help="1-based line that chooses among several equally good places",
    )
    parser.add_argument(
        "--json", action="store_true", help="print one JSON object a line (schema in the README)"
    )


def _stdin_chunks() -> Iterable[str]:
    """Standard input as text, in the pieces it arrives in (not waiting for its end).

    A leading byte-order mark is dropped; undecodable input is a UsageError naming the offset of
    its first bad byte.
    """
    stream = sys.stdin.buffer
    read = getattr(stream, "read1", None) or stream.read
    decoder = codecs.getincrementaldecoder("utf-8")("strict")
    consumed = 0  # bytes handed to the decoder before the current piece
    first = True
    while True:
        data = read(65536)
        error: UsageError | None = None
        try:
            text = decoder.decode(data, final=not data)
        except UnicodeDecodeError as exc:
            # Positions are in the decoder's own buffer: the undecided bytes of the previous piece
            # (at most three) followed by this one. The text before the bad byte still counts.
            text = exc.object[: exc.start].decode("utf-8")
            offset = consumed - (len(exc.object) - len(data)) + exc.start
            error = UsageError(f"standard input: not valid UTF-8 at byte offset {offset}")
        if first and text:
            text = text[1:] if text.startswith("\ufeff") else text
            first = False
        if text:
            yield text
        if error is not None:
            raise error
        if not data:
            break
        consumed += len(data)


def run(args: argparse.Namespace) -> int:
    try:
        # The text of the file being located in, read as the edits read it (LF form, no BOM).
        source = read_document(args.file).text
    except EditError as exc:
        fail(str(exc))
        return EXIT_ERROR
    locator = StreamingLocator(source, line_hint=args.line_hint)
    out = sys.stdout
    live = not args.json and out.isatty()
    count = 0

    def report(location: Any, places: Sequence[Any] = ()) -> None:
        if args.json:
            print_json(
                out,
                {
                    "lines_read": count,
                    "located": location is not None,
                    "start_line": None if location is None else location.start_line,
                    "end_line": None if location is None else location.end_line,
                    "candidates": [{"start_line": p.start_line, "end_line": p.end_line} for p in places],
                },
            )
            return
        if places:
            listed = ", ".join(line_range(p.start_line, p.end_line) for p in places)
            where = f"{len(places)} equal places: {listed} (--line-hint N chooses one)"
        else:
            where = "not located" if location is None else line_range(location.start_line, location.end_line)
        if live:
            out.write(f"\r\x1b[K{count} lines read: {where} of {args.file}")
            out.flush()
        else:
            out.write(f"{where}\n")
            out.flush()

    pending = False  # text after the last line feed has been pushed
    try:
        for text in _stdin_chunks():
            start = 0
            while True:
                end = text.find("\n", start)
                if end < 0:
                    break
                count += 1
                report(locator.push(text[start : end + 1]))
                start = end + 1
            if start < len(text):
                locator.push(text[start:])
                pending = True
            else:
                pending = False
    except UsageError as exc:
        if live:
            out.write("\n")
        fail(str(exc))
        return EXIT_ERROR
    location = locator.finish()
    # Without a line hint, a block that fits several places equally well is not located: every
    # place is listed, and the answer is not the first of them.
    places = locator.candidates if args.line_hint is None else []
    if len(places) > 1:
        count += pending
        report(None, places)
        location = None
    elif pending:
        count += 1
        report(location)
    if live:
        out.write("\n")
    return EXIT_OK if location is not None else EXIT_NOT_PLACED
