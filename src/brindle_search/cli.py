"""The ``brindle-search`` command line: a thin shell over the package's functions.

One sub-command per verb::

    brindle-search edit FILE --old TEXT --new TEXT   edit_file
    brindle-search apply [PATCH] [--root DIR]       apply_patch (SEARCH/REPLACE blocks or a diff)
    brindle-search rank PATTERN [--from FILE]        extract (get_best_matches order)
    brindle-search locate FILE < old-block           StreamingLocator, line by line
    brindle-search mcp [--root DIR]                  the MCP server over stdio (mcp_server)

Exit codes: 0 success; 1 an edit was not placed, or nothing was ranked or located; 2 a usage or
I/O error (argparse's own usage errors exit with 2 as well). Every ``--json`` output is one
JSON document per answer with the fixed keys listed in the README; keys are only ever added.
"""

from __future__ import annotations

import argparse
import codecs
import json
import os
import sys
from collections.abc import Iterable, Sequence
from typing import IO, Any

from . import __version__
from ._edit import STRATEGIES, edit_file
from .errors import EditError
from .files import read_document
from .patches import HELD_BACK, apply_patch
from .ranking import extract
from .results import EditResult, line_range
from .schema import EditDocument
from .streaming import StreamingLocator

__all__ = ["main", "build_parser", "rank_candidates"]

EXIT_OK = 0
EXIT_NOT_PLACED = 1
EXIT_ERROR = 2

PROG = "brindle-search"

# Keys of the ``edit --json`` document (schema.EditDocument), in order, but for ``dry_run``.
EDIT_KEYS = tuple(key for key in EditDocument.__annotations__ if key != "dry_run")


class UsageError(Exception):
    """A problem with the command's arguments or inputs found after parsing: exit code 2."""


# --- output ------------------------------------------------------------------------------------

_COLOURS = {"+": "\x1b[32m", "-": "\x1b[31m", "@": "\x1b[36m"}
_BOLD, _RESET = "\x1b[1m", "\x1b[0m"


def use_colour(stream: IO[str]) -> bool:
    """Colour only on a terminal, and never when NO_COLOR is set to anything but the empty text."""
    if os.environ.get("NO_COLOR", ""):
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def colour_diff(diff: str) -> str:
    """A unified diff with ANSI colours: headers bold, hunks cyan, removals red, additions green."""
    out = []
    for line in diff.split("\n"):
        if line.startswith(("--- ", "+++ ")):
            out.append(f"{_BOLD}{line}{_RESET}")
        elif line[:1] in _COLOURS:
            out.append(f"{_COLOURS[line[:1]]}{line}{_RESET}")
        else:
            out.append(line)
    return "\n".join(out)


def _print_json(stream: IO[str], data: Any) -> None:
    stream.write(json.dumps(data, ensure_ascii=False) + "\n")
    stream.flush()


def _fail(message: str) -> None:
    sys.stderr.write(f"{PROG}: {message}\n")


# --- reading inputs ----------------------------------------------------------------------------


def _decode(data: bytes, what: str) -> str:
    """UTF-8 text (a BOM dropped), or a UsageError naming the first undecodable byte."""
    skip = len(codecs.BOM_UTF8) if data.startswith(codecs.BOM_UTF8) else 0
    try:
        return data[skip:].decode("utf-8")
    except UnicodeDecodeError as exc:
        raise UsageError(f"{what}: not valid UTF-8 at byte offset {skip + exc.start}") from None


def _read_input(path: str | None, what: str) -> str:
    """The UTF-8 text of ``path``, or of standard input when it is None or ``-``."""
    if path is None or path == "-":
        return _decode(sys.stdin.buffer.read(), "standard input")
    try:
        with open(path, "rb") as f:
            return _decode(f.read(), path)
    except OSError as exc:
        raise UsageError(f"{what} {path}: {exc.strerror or exc}") from None


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, got {value}")
    return value


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must lie between 0 and 1, got {value}")
    return value


def _encoding(text: str) -> str:
    try:
        codecs.lookup(text)
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding: {text!r}") from None
    return text


def _line_number(text: str) -> int:
    value = _positive_int(text)
    if value >= 2**32:
        raise argparse.ArgumentTypeError(f"must be below 2**32, got {value}")
    return value


def _strategy_list(text: str) -> list[str]:
    names = [name.strip() for name in text.split(",") if name.strip()]
    if not names:
        raise argparse.ArgumentTypeError("no strategy named")
    unknown = [name for name in names if name not in STRATEGIES]
    if unknown:
        raise argparse.ArgumentTypeError(
            f"unknown strategy {unknown[0]!r}; valid strategies: {', '.join(STRATEGIES)}"
        )
    return names


# --- edit --------------------------------------------------------------------------------------


def _edit_document(result: Any, **extra: Any) -> dict[str, Any]:
    data = result.to_dict()
    doc = {key: data.get(key) for key in EDIT_KEYS}
    doc.update(extra)
    return doc


def _error_document(path: str | None, error_type: str, message: str) -> dict[str, Any]:
    # The command's own error types ("io_error", "usage") are not an edit's: set after the fact.
    doc = _edit_document(EditResult(ok=False, path=path, text="", message=message))
    doc["error_type"] = error_type
    return doc


def _describe(result: Any, dry_run: bool) -> str:
    """One line saying where the edit landed, how, and whether the file was written."""
    strategy = result.strategy
    if isinstance(strategy, list):
        strategy = ", ".join(strategy)
    if result.start_line is None or result.end_line is None:
        where = "no change"
    else:
        where = line_range(result.start_line, result.end_line)
    count = f", {result.replacements} replacements" if result.replacements > 1 else ""
    verb = "would edit" if dry_run else "edited"
    return f"{verb} {result.path}: {where} (strategy {strategy}{count})"


def _print_success(out: IO[str], result: Any, dry_run: bool, label: str | None = None) -> None:
    out.write(f"{label or _describe(result, dry_run)}\n")
    if result.repairs:
        out.write("repairs: " + ", ".join(result.repairs) + "\n")
    if result.diff:
        diff = result.diff if result.diff.endswith("\n") else result.diff + "\n"
        out.write(colour_diff(diff) if use_colour(out) else diff)


def cmd_edit(args: argparse.Namespace) -> int:
    try:
        if args.old_file == "-" and args.new_file == "-":
            raise UsageError("--old-file and --new-file cannot both read standard input")
        old = args.old if args.old is not None else _read_input(args.old_file, "--old-file")
        new = args.new if args.new is not None else _read_input(args.new_file, "--new-file")
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
        )
    except UsageError as exc:
        return _report_error(args, "usage", str(exc))
    except EditError as exc:
        return _report_error(args, exc.error_type, str(exc))
    if args.json:
        _print_json(sys.stdout, _edit_document(result, dry_run=args.dry_run))
    elif result.ok:
        _print_success(sys.stdout, result, args.dry_run)
    else:
        sys.stderr.write(f"{result}\n")
    return EXIT_OK if result.ok else EXIT_NOT_PLACED


def _report_error(args: argparse.Namespace, error_type: str, message: str) -> int:
    if args.json:
        _print_json(sys.stdout, dict(_error_document(args.file, error_type, message), dry_run=args.dry_run))
    else:
        _fail(message)
    return EXIT_ERROR


# --- apply -------------------------------------------------------------------------------------


def cmd_apply(args: argparse.Namespace) -> int:
    try:
        text = _read_input(args.patch, "patch")
        if not os.path.isdir(args.root):
            raise UsageError(f"--root {args.root}: not a folder")
        report = apply_patch(
            text,
            args.root,
            dry_run=args.dry_run,
            atomic=args.atomic,
            reverse=args.reverse,
            allow_vcs_dirs=args.allow_vcs_dirs,
        )
    except (UsageError, EditError) as exc:
        if args.json:
            _print_json(
                sys.stdout,
                {
                    "ok": False,
                    "dry_run": args.dry_run,
                    "files": [],
                    "errors": [{"line": None, "message": str(exc)}],
                    "format": None,
                    "atomic": args.atomic,
                },
            )
        else:
            _fail(str(exc))
        return EXIT_ERROR
    if args.json:
        _print_json(sys.stdout, report.to_dict())
    else:
        for error in report.errors:
            _fail(f"patch {error}")
        for outcome in report.files:
            if outcome.ok:
                _print_success(sys.stdout, outcome.result, args.dry_run, outcome.summary(args.dry_run))
        # The failures last, where a reader (or a model) of the output finds them together.
        for outcome in report.files:
            if not outcome.ok and outcome.error_type != HELD_BACK:
                _fail(outcome.report())
        held = [outcome.path for outcome in report.files if outcome.error_type == HELD_BACK]
        if held:
            _fail(
                f"--atomic: nothing written; placed but held back: {', '.join(held)}"
                if not args.dry_run
                else f"--atomic: nothing would be written; placed but held back: {', '.join(held)}"
            )
        if not report.files and not report.errors:
            _fail("no edit blocks (SEARCH/REPLACE) and no unified diff found in the patch")
    return report.exit_code


# --- rank --------------------------------------------------------------------------------------


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


def cmd_rank(args: argparse.Namespace) -> int:
    try:
        candidates = _candidate_lines(_read_input(args.source, "--from"))
    except UsageError as exc:
        _fail(str(exc))
        return EXIT_ERROR
    ranked = rank_candidates(args.pattern, candidates, args.limit)
    out = sys.stdout
    if args.json:
        matches = [{"candidate": c, "score": s, "line": k + 1} for c, s, k in ranked]
        _print_json(out, {"pattern": args.pattern, "matches": matches})
    else:
        for candidate, score, _ in ranked:
            out.write(f"{score}\t{candidate}\n" if args.scores else f"{candidate}\n")
    return EXIT_OK if ranked else EXIT_NOT_PLACED


# --- locate ------------------------------------------------------------------------------------


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


def cmd_locate(args: argparse.Namespace) -> int:
    try:
        source = _read_source(args.file)
    except EditError as exc:
        _fail(str(exc))
        return EXIT_ERROR
    locator = StreamingLocator(source, line_hint=args.line_hint)
    out = sys.stdout
    live = not args.json and out.isatty()
    count = 0

    def report(location: Any, places: Sequence[Any] = ()) -> None:
        if args.json:
            _print_json(
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
        _fail(str(exc))
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


def _read_source(path: str) -> str:
    """The text of the file being located in, read as the edits read it (LF form, no BOM)."""
    return read_document(path).text


# --- the parser --------------------------------------------------------------------------------


def _command(sub: Any, name: str, help_text: str, description: str, example: str) -> argparse.ArgumentParser:
    return sub.add_parser(  # type: ignore[no-any-return]
        name,
        help=help_text,
        description=description,
        epilog=f"example:\n{example}",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Tolerant edits of source files, fuzzy ranking and streaming location.",
        epilog=(
            "exit codes: 0 success; 1 an edit was not placed, or nothing ranked or located;\n"
            "            2 usage or I/O error\n\n"
            "example:\n  brindle-search edit app.py --old 'return 1' --new 'return 2' --dry-run"
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    edit = _command(
        sub,
        "edit",
        "replace a block of FILE, tolerating the usual differences of a model's memory",
        "Replace the block OLD of FILE by NEW. The block may differ from the file in indentation,\n"
        "whitespace, escapes and a few lines; the new text is repaired to fit (re-indented,\n"
        "unescaped). Prints the strategy, the changed lines, the repairs and the diff; when the\n"
        "block is not placed, prints the report (with the closest match) to standard error.",
        "  brindle-search edit app.py --old 'x = 1' --new 'x = 2' --dry-run\n"
        "  brindle-search edit app.py --old-file old.txt --new-file new.txt --json",
    )
    edit.add_argument("file", metavar="FILE")
    old = edit.add_mutually_exclusive_group(required=True)
    old.add_argument("--old", metavar="TEXT", help="the block to replace (may start with '-')")
    old.add_argument("--old-file", metavar="F", help="read the block to replace from F (- for stdin)")
    new = edit.add_mutually_exclusive_group(required=True)
    new.add_argument("--new", metavar="TEXT", help="the text to put in its place (may start with '-')")
    new.add_argument("--new-file", metavar="F", help="read the new text from F (- for stdin)")
    edit.add_argument("--replace-all", action="store_true", help="replace every occurrence")
    edit.add_argument(
        "--line-hint",
        type=_line_number,
        metavar="N",
        help="1-based line that chooses among several occurrences",
    )
    edit.add_argument(
        "--no-reindent",
        dest="reindent",
        action="store_false",
        help="insert the new text with its indentation as written",
    )
    edit.add_argument(
        "--strategies", type=_strategy_list, metavar="a,b", help="only these strategies may place the edit"
    )
    edit.add_argument(
        "--min-similarity",
        type=_fraction,
        metavar="X",
        help="refuse anchor-placed blocks less similar than X (0 to 1)",
    )
    edit.add_argument("--encoding", type=_encoding, metavar="E", help="the file's encoding (default UTF-8)")
    edit.add_argument("--dry-run", action="store_true", help="show the result, write nothing")
    edit.add_argument("--json", action="store_true", help="print one JSON object (schema in the README)")
    edit.set_defaults(handler=cmd_edit)

    apply = _command(
        sub,
        "apply",
        "apply SEARCH/REPLACE edit blocks or a unified diff to files under a root folder",
        "Read a patch from PATCH (or standard input) and apply it: SEARCH/REPLACE blocks or a\n"
        "unified diff (diff -u, git diff; new and deleted files, renames), told apart from the\n"
        "text. Each block names its file on the line before it, relative to --root ('### x.py',\n"
        "'`x.py`', '**x.py**', 'File: x.py' and 'x.py:' are read as x.py; a line that is not a\n"
        "path is an error). An empty SEARCH part creates a file that does not exist yet. A hunk\n"
        "is placed by its lines, not its numbers, with the tolerance of 'edit'; a deleted file\n"
        "is removed only when it holds what the diff says. Each file is applied all or nothing;\n"
        "with --atomic the whole patch is. Paths that leave the root (absolute, '..', '~',\n"
        "symbolic links) or enter .git, .hg or .svn are refused; a malformed block or diff is\n"
        "reported with its line number and nothing of its file is written.\n\n"
        "  path/to/file.py\n"
        "  <<<<<<< SEARCH\n"
        "  old lines\n"
        "  =======\n"
        "  new lines\n"
        "  >>>>>>> REPLACE",
        "  brindle-search apply changes.md --root ~/project --dry-run\n"
        "  git diff | brindle-search apply --reverse --root ../copy\n"
        "  my-agent --emit-edits | brindle-search apply --atomic --json",
    )
    apply.add_argument("patch", nargs="?", metavar="PATCH", help="the patch file (default stdin)")
    apply.add_argument("--root", default=".", metavar="DIR", help="the folder paths are relative to")
    apply.add_argument(
        "--atomic",
        action="store_true",
        help="write nothing unless every file's changes are placed (as git apply)",
    )
    apply.add_argument("-R", "--reverse", action="store_true", help="apply the patch backwards (undo it)")
    apply.add_argument(
        "--allow-vcs-dirs", action="store_true", help="let the patch write inside .git, .hg and .svn folders"
    )
    apply.add_argument("--dry-run", action="store_true", help="show the result, write nothing")
    apply.add_argument("--json", action="store_true", help="print one JSON object (schema in the README)")
    apply.set_defaults(handler=cmd_apply)

    rank = _command(
        sub,
        "rank",
        "rank candidate lines by a fuzzy PATTERN",
        "Rank candidates (one a line, from standard input or --from FILE) by the fuzzy score of\n"
        "PATTERN, best first; candidates that do not contain PATTERN as a subsequence are left\n"
        "out, equal scores keep the input order.",
        "  git ls-files | brindle-search rank stmatch --limit 5 --scores",
    )
    rank.add_argument("pattern", metavar="PATTERN")
    rank.add_argument("--from", dest="source", metavar="FILE", help="read the candidates from FILE")
    rank.add_argument("--limit", type=_positive_int, metavar="N", help="print at most N candidates")
    rank.add_argument("--scores", action="store_true", help="print 'score<TAB>candidate'")
    rank.add_argument("--json", action="store_true", help="print one JSON object (schema in the README)")
    rank.set_defaults(handler=cmd_rank)

    locate = _command(
        sub,
        "locate",
        "locate a block streamed on standard input in FILE, line by line",
        "Feed standard input, as it arrives, into the streaming matcher over FILE and print after\n"
        "each completed line the lines of FILE where the block received so far is located. On a\n"
        "terminal a single status line is kept up to date instead. When the whole block fits\n"
        "several places equally well, the last answer lists them all and the exit code is 1\n"
        "(--line-hint chooses among them).",
        "  printf 'def f():\\n    return 1\\n' | brindle-search locate app.py --json",
    )
    locate.add_argument("file", metavar="FILE")
    locate.add_argument(
        "--line-hint",
        type=_line_number,
        metavar="N",
        help="1-based line that chooses among several equally good places",
    )
    locate.add_argument(
        "--json", action="store_true", help="print one JSON object a line (schema in the README)"
    )
    locate.set_defaults(handler=cmd_locate)
    _add_mcp_command(sub)
    return parser


# --- mcp ---------------------------------------------------------------------------------------

MCP_INSTALL_HINT = "pip install 'brindle-search[mcp]' (needs Python 3.10 or later)"


def cmd_mcp(args: argparse.Namespace) -> int:
    if not os.path.isdir(args.root):
        _fail(f"--root {args.root}: not a folder")
        return EXIT_ERROR
    try:
        from .mcp_server import serve
    except ImportError as exc:
        missing = getattr(exc, "name", None) or str(exc)
        _fail(f"the mcp command needs the MCP SDK ({missing} is missing): {MCP_INSTALL_HINT}")
        return EXIT_ERROR
    serve(args.root, allow_vcs_dirs=args.allow_vcs_dirs)
    return EXIT_OK


def _add_mcp_command(sub: Any) -> None:
    mcp = _command(
        sub,
        "mcp",
        "serve the file tools to an agent over the Model Context Protocol (stdio)",
        "Serve the tools view, edit, create, apply and find_files over the Model Context Protocol\n"
        "on standard input and output, for the files under --root. Paths outside the root and\n"
        "inside .git folders are refused. Needs the MCP SDK:\n  " + MCP_INSTALL_HINT,
        "  brindle-search mcp --root ~/project\n"
        "  claude mcp add brindle -- brindle-search mcp --root ~/project",
    )
    mcp.add_argument("--root", default=".", metavar="DIR", help="the folder the tools work in")
    mcp.add_argument(
        "--allow-vcs-dirs", action="store_true", help="let the tools read and write inside .git folders"
    )
    mcp.set_defaults(handler=cmd_mcp)


def _utf8_streams() -> None:
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(encoding="utf-8", errors="backslashreplace")


#: Options whose value is taken as written, even when it starts with '-' (``--old -v``).
_LITERAL_VALUES = ("--old", "--new")


def _literal_values(argv: Sequence[str]) -> list[str]:
    """The arguments with each literal option joined to its value (``--old=-v``), which argparse
    would otherwise read as an option of its own."""
    out: list[str] = []
    k = 0
    while k < len(argv):
        arg = argv[k]
        if arg == "--":
            out.extend(argv[k:])
            break
        if arg in _LITERAL_VALUES and k + 1 < len(argv):
            out.append(f"{arg}={argv[k + 1]}")
            k += 2
            continue
        out.append(arg)
        k += 1
    return out


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit code."""
    _utf8_streams()
    args = build_parser().parse_args(_literal_values(sys.argv[1:] if argv is None else argv))
    try:
        return int(args.handler(args))
    except BrokenPipeError:
        # The reader went away (``| head``): stop quietly, and keep Python's exit-time flush quiet.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_ERROR
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
