"""``brindle-search mcp``: serve the file tools over the Model Context Protocol on standard input
and output (mcp_server), with its options."""

from __future__ import annotations

import os

from ._common import EXIT_ERROR, EXIT_OK, fail

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse

NAME = "mcp"
HELP = "serve the file tools to an agent over the Model Context Protocol (stdio)"
MCP_INSTALL_HINT = "pip install 'brindle-search[mcp]' (needs Python 3.10 or later)"
DESCRIPTION = (
    "Serve the tools view, edit, create, apply and find_files over the Model Context Protocol\n"
    "on standard input and output, for the files under --root. Paths outside the root and\n"
    "inside .git folders are refused. Needs the MCP SDK:\n  " + MCP_INSTALL_HINT
)
EXAMPLE = (
    "  brindle-search mcp --root ~/project\n  claude mcp add brindle -- brindle-search mcp --root ~/project"
)


def add_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--root", default=".", metavar="DIR", help="the folder the tools work in")
    parser.add_argument(
        "--allow-vcs-dirs", action="store_true", help="let the tools read and write inside .git folders"
    )


def run(args: argparse.Namespace) -> int:
    if not os.path.isdir(args.root):
        fail(f"--root {args.root}: not a folder")
        return EXIT_ERROR
    # The MCP SDK is an optional dependency: imported here, where its absence is reported with the
    # way to install it, so that the command's help works without it.
    try:
        from ..mcp_server import serve
    except ImportError as exc:
        missing = getattr(exc, "name", None) or str(exc)
        fail(f"the mcp command needs the MCP SDK ({missing} is missing): {MCP_INSTALL_HINT}")
        return EXIT_ERROR
    serve(args.root, allow_vcs_dirs=args.allow_vcs_dirs)
    return EXIT_OK
