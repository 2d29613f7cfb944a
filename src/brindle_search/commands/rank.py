"""``brindle-search rank``: rank candidate lines by a fuzzy pattern (extract), with its options."""

from __future__ import annotations

import sys
from collections.abc import Sequence

from ..ranking import extract
from ._common import (
    EXIT_ERROR,
    EXIT_NOT_PLACED,
    EXIT_OK,
    UsageError,
    fail,
    positive_int,
    print_json,
    read_input,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

NAME = "rank"
HELP = "rank candidate lines by a fuzzy PATTERN"
DESCRIPTION = (
    "Rank candidates (one a line, from standard input or --from FILE) by the fuzzy score of\n"
    "PATTERN, best first; candidates that do not contain PATTERN as a subsequence are left\n"
    "out, equal scores keep the input order."
)
EXAMPLE = "  git ls-files | brindle-search rank stmatch --limit 5 --scores"


def add_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("pattern", metavar="PATTERN")
    parser.add_argument("--from", dest="source", metavar="FILE", help="read the candidates from FILE")
    parser.add_argument("--limit", type=positive_int, metavar="N", help="print at most N candidates")
    parser.add_argument("--scores", action="store_true", help="print 'score<TAB>candidate'")
    parser.add_argument("--json", action="store_true", help="print one JSON object (schema in the README)")


def rank_candidates(
    pattern: str, candidates: Sequence[str], limit: int | None = None
) -> list[tuple[str, int, int]]:
    """(candidate, score, 0-based position) of the matching candidates, best first, ties in input
    order; the scores are those of ``get_best_matches`` (``extract``, top k in native code)."""
    return [(c, s, int(k)) for c, s, k in extract(pattern, candidates, limit=limit)]


def _candidate_lines(text: str) -> list[str]:
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return [line[:-1] if line.endswith("\r") else line for line in lines]


def run(args: argparse.Namespace) -> int:
    try:
        candidates = _candidate_lines(read_input(args.source, "--from"))
    except UsageError as exc:
        fail(str(exc))
        return EXIT_ERROR
    ranked = rank_candidates(args.pattern, candidates, args.limit)
    out = sys.stdout
    if args.json:
        matches = [{"candidate": c, "score": s, "line": k + 1} for c, s, k in ranked]
        print_json(out, {"pattern": args.pattern, "matches": matches})
    else:
        for candidate, score, _ in ranked:
            out.write(f"{score}\t{candidate}\n" if args.scores else f"{candidate}\n")
    return EXIT_OK if ranked else EXIT_NOT_PLACED
