"""``brindle-search apply``: apply a patch (SEARCH/REPLACE blocks or a unified diff) to the files
under a root folder (apply_patch), with its options."""

from __future__ import annotations

import os
import sys

from ..errors import EditError
from ..patches import HELD_BACK, apply_patch
from ._common import EXIT_ERROR, UsageError, fail, print_json, print_success, read_input

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

NAME = "apply"
HELP = "apply SEARCH/REPLACE edit blocks or a unified diff to files under a root folder"
DESCRIPTION = (
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
    "  >>>>>>> REPLACE"
)
EXAMPLE = (
    "  brindle-search apply changes.md --root ~/project --dry-run\n"
    "  git diff | brindle-search apply --reverse --root ../copy\n"
    "  my-agent --emit-edits | brindle-search apply --atomic --json"
)


def add_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("patch", nargs="?", metavar="PATCH", help="the patch file (default stdin)")
    parser.add_argument("--root", default=".", metavar="DIR", help="the folder paths are relative to")
    parser.add_argument(
        "--atomic",
        action="store_true",
        help="write nothing unless every file's changes are placed (as git apply)",
    )
    parser.add_argument("-R", "--reverse", action="store_true", help="apply the patch backwards (undo it)")
    parser.add_argument(
        "--allow-vcs-dirs", action="store_true", help="let the patch write inside .git, .hg and .svn folders"
    )
    parser.add_argument("--dry-run", action="store_true", help="show the result, write nothing")
    parser.add_argument("--json", action="store_true", help="print one JSON object (schema in the README)")


def run(args: argparse.Namespace) -> int:
    try:
        text = read_input(args.patch, "patch")
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
            print_json(
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
            fail(str(exc))
        return EXIT_ERROR
    if args.json:
        print_json(sys.stdout, report.to_dict())
    else:
        for error in report.errors:
            fail(f"patch {error}")
        for outcome in report.files:
            if outcome.ok:
                print_success(sys.stdout, outcome.result, outcome.summary(args.dry_run))
        # The failures last, where a reader (or a model) of the output finds them together.
        for outcome in report.files:
            if not outcome.ok and outcome.error_type != HELD_BACK:
                fail(outcome.report())
        held = [outcome.path for outcome in report.files if outcome.error_type == HELD_BACK]
        if held:
            fail(
                f"--atomic: nothing written; placed but held back: {', '.join(held)}"
                if not args.dry_run
                else f"--atomic: nothing would be written; placed but held back: {', '.join(held)}"
            )
        if not report.files and not report.errors:
            fail("no edit blocks (SEARCH/REPLACE) and no unified diff found in the patch")
    return report.exit_code
