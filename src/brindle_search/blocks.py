"""Applying SEARCH/REPLACE edit blocks to the files under a root folder.

``apply_blocks`` takes a patch of blocks (its text, or the ``ParsedPatch`` of ``block_parser``)
and applies the blocks of each file all or nothing, each file on its own; it is ``apply_patch``
of ``patches`` for a patch known to hold blocks (where the reading, placing and writing are).
The parser's and the report's names are available here as well, so that
``brindle_search.blocks`` is the one import for the block format.
"""

from __future__ import annotations

import os

from .block_parser import BlockError, BlockSplit, EditBlock, ParsedPatch, parse_blocks
from .errors import PathRefused
from .patches import FileOutcome, PatchReport, apply_parsed

__all__ = [
    "EditBlock",
    "BlockError",
    "BlockSplit",
    "ParsedPatch",
    "parse_blocks",
    "PathRefused",
    "FileOutcome",
    "PatchReport",
    "apply_blocks",
]


def apply_blocks(
    patch: ParsedPatch | str,
    root: str | os.PathLike[str] = ".",
    *,
    dry_run: bool = False,
    atomic: bool = False,
    reverse: bool = False,
    allow_vcs_dirs: bool = False,
) -> PatchReport:
    """Apply the blocks of ``patch`` to the files under ``root``, each file all or nothing.

    The blocks of one file are placed in patch order. A file that does not exist is created when
    its first block has an empty SEARCH part (its other blocks then edit the new text); an empty
    SEARCH part for a file that exists is an error. A file with a malformed block or a refused
    path is not touched; a malformed block whose file cannot be told stops the whole patch. Paths
    inside ``.git``, ``.hg`` or ``.svn`` are refused unless ``allow_vcs_dirs``. With ``atomic``
    nothing is written unless every file's blocks are placed; ``reverse`` undoes the blocks
    (SEARCH and REPLACE swapped, last block first). Nothing is written with ``dry_run``. Raises
    EditError when the root cannot be opened.
    """
    if isinstance(patch, str):
        patch = parse_blocks(patch)
    return apply_parsed(
        patch, root, dry_run=dry_run, atomic=atomic, reverse=reverse, allow_vcs_dirs=allow_vcs_dirs
    )
