"""``brindle-search edit``: replace a block of one file (edit_file), with its options."""

from __future__ import annotations

import codecs
import sys

from .._edit import STRATEGIES, edit_file
from ..errors import EditError
from ..results import EditResult, line_range
from ._common import (
    EXIT_ERROR,
    EXIT_NOT_PLACED,
    EXIT_OK,
    UsageError,
    bad_value,
    fail,
    line_number,
    print_json,
    print_success,
    read_input,
)

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import Any

NAME = "edit"
HELP = "replace a block of FILE, tolerating the usual differences of a model's memory"
DESCRIPTION = (
    "Replace the block OLD of FILE by NEW. The block may differ from the file in indentation,\n"
    "whitespace, escapes and a few lines; the new text is repaired to fit (re-indented,\n"
    "unescaped). Prints the strategy, the changed lines, the repairs and the diff; when the\n"
    "block is not placed, prints the report (with the closest match) to standard error."
)
EXAMPLE = (
    "  brindle-search edit app.py --old 'x = 1' --new 'x = 2' --dry-run\n"
    "  brindle-search edit app.py --old-file old.txt --new-file new.txt --json"
)


def edit_keys() -> tuple[str, ...]:
    """The keys of the ``edit --json`` document (schema.EditDocument), in order, but for
    ``dry_run`` (the schema, and typing with it, loaded only for a JSON document)."""
    from ..schema import EditDocument

    return tuple(key for key in EditDocument.__annotations__ if key != "dry_run")


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise bad_value(f"not a number: {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise bad_value(f"must lie between 0 and 1, got {value}")
    return value


def _encoding(text: str) -> str:
    try:
        codecs.lookup(text)
    except LookupError:
        raise bad_value(f"unknown encoding: {text!r}") from None
    return text


def _strategy_list(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",") if name.strip()]
    if not names:
        raise bad_value("no strategy named")
    unknown = [name for name in names if name not in STRATEGIES]
    if unknown:
        raise bad_value(f"unknown strategy {unknown[0]!r}; valid strategies: {', '.join(STRATEGIES)}")
    return names


def add_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="FILE")
    old = parser.add_mutually_exclusive_group(required=True)
    old.add_argument("--old", metavar="TEXT", help="the block to replace (may start with '-')")
    old.add_argument("--old-file", metavar="F", help="read the block to replace from F (- for stdin)")
    new = parser.add_mutually_exclusive_group(required=True)
    new.add_argument("--new", metavar="TEXT", help="the text to put in its place (may start with '-')")
    new.add_argument("--new-file", metavar="F", help="read the new text from F (- for stdin)")
    parser.add_argument("--replace-all", action="store_true", help="replace every occurrence")
    parser.add_argument(
        "--line-hint",
        type=line_number,
        metavar="N",
        help="1-based line that chooses among several occurrences",
    )
    parser.add_argument(
        "--no-reindent",
        dest="reindent",
        action="store_false",
        help="insert the new text with its indentation as written",
    )
    parser.add_argument(
        "--strategies", type=_strategy_list, metavar="a,b", help="only these strategies may place the edit"
    )
    parser.add_argument(
        "--min-similarity",
        type=_fraction,
        metavar="X",
        help="refuse anchor-placed blocks less similar than X (0 to 1)",
    )
    parser.add_argument("--encoding", type=_encoding, metavar="E", help="the file's encoding (default UTF-8)")
    parser.add_argument("--dry-run", action="store_true", help="show the result, write nothing")
    parser.add_argument(
        "--allow-vcs-dirs", action="store_true", help="let the edit write inside .git, .hg and .svn folders"
    )
    parser.add_argument("--json", action="store_true", help="print one JSON object (schema in the README)")


def run(args: argparse.Namespace) -> int:
    try:
        if args.old_file == "-" and args.new_file == "-":
            raise UsageError("--old-file and --new-file cannot both read standard input")
        old = args.old if args.old is not None else read_input(args.old_file, "--old-file")
        new = args.new if args.new is not None else read_input(args.new_file, "--new-file")
        result = edit_file(
            args.file,
            old,
            new,
            replace_all=args.replace_all,
            line_hint=args.line_hint,
            reindent=args.reindent,
            strategies=args.strategies,
            min_similarity=args.min_similarity,
            dry_run=args.dry_run,
            encoding=args.encoding,
            allow_vcs_dirs=args.allow_vcs_dirs,
        )
    except UsageError as exc:
        return _report_error(args, "usage", str(exc))
    except EditError as exc:
        return _report_error(args, exc.error_type, str(exc))
    if args.json:
        print_json(sys.stdout, _edit_document(result, dry_run=args.dry_run))
    elif result.ok:
        print_success(sys.stdout, result, _describe(result, args.dry_run))
    else:
        sys.stderr.write(f"{result}\n")
    return EXIT_OK if result.ok else EXIT_NOT_PLACED


def _edit_document(result: EditResult, **extra: Any) -> dict[str, Any]:
    data = result.to_dict()
    doc = {key: data.get(key) for key in edit_keys()}
    doc.update(extra)
    return doc


def _report_error(args: argparse.Namespace, error_type: str, message: str) -> int:
    if args.json:
        # The command's own error types ("io_error", "usage") are not an edit's: set after the fact.
        doc = _edit_document(EditResult(ok=False, path=args.file, text="", message=message))
        doc["error_type"] = error_type
        doc["dry_run"] = args.dry_run
        print_json(sys.stdout, doc)
    else:
        fail(message)
    return EXIT_ERROR


def _describe(result: EditResult, dry_run: bool) -> str:
    """One line saying where the edit landed, how, and whether the file was written."""
    strategy = ", ".join(result.strategy) if isinstance(result.strategy, list) else result.strategy
    if result.start_line is None or result.end_line is None:
        where = "no change"
    else:
        where = line_range(result.start_line, result.end_line)
    count = f", {result.replacements} replacements" if result.replacements > 1 else ""
    verb = "would edit" if dry_run else "edited"
    return f"{verb} {result.path}: {where} (strategy {strategy}{count})"
