"""brindle_search: safe, tolerant edits of source files for coding agents.

The package wraps the native module ``_brindle_search`` (fuzzy scoring, tolerant
search-and-replace, the streaming matcher) and re-exports its five functions and five classes.
On top of them it edits files safely: ``edit_text``, ``edit_file`` and ``apply_edits`` place an
edit with the tolerant strategies, repair new_string where a tolerant match needs it, keep the
file's encoding, byte-order mark and line endings, write atomically, and report the outcome as an
``EditResult``. ``EditError`` is raised only for files that cannot be read, decoded or written
(``WriteConflict`` when another program changed the file during the edit).
``extract`` and ``extract_one`` rank candidates in the conventions of ranking libraries, and
``StreamingLocator`` locates an edit's old block while it is still being generated.
``apply_patch`` applies a patch a model wrote (SEARCH/REPLACE blocks or a unified diff) to the
files under a root folder, each file or the whole patch all or nothing, and returns a
``PatchReport``. ``tool_definitions`` and ``Toolbox`` offer file tools (view, edit, create, apply,
find_files) to agent frameworks; ``brindle-search mcp`` serves them over the Model Context Protocol.
"""

from .lazy import import_module as _import_module

# The public names are loaded on first use (PEP 562), so that importing a submodule, or the command
# line's ``brindle-search --help``, does not import every module of the package; type checkers see
# them through the imports below. (``TYPE_CHECKING`` is defined here rather than imported: the
# checkers take the name as true wherever it comes from, and ``typing`` costs start-up time.)
TYPE_CHECKING = False
if TYPE_CHECKING:
    from _brindle_search import (
        FuzzyMatchInfo,
        MatchRange,
        ReplaceResult,
        StreamingFuzzyMatcher,
        TryReplaceResult,
        fuzzy_match,
        fuzzy_match_simple,
        get_best_matches,
        replace_content,
        try_replace_content,
    )

    from ._edit import DEFAULT_MIN_SIMILARITY, STRATEGIES, apply_edits, edit_file, edit_text
    from .errors import EditError, PathRefused, WriteConflict
    from .patches import PatchReport, apply_patch
    from .ranking import extract, extract_one
    from .results import ClosestMatch, Edit, EditResult
    from .streaming import BlockLocation, StreamingLocator
    from .tools import ToolArgumentError, Toolbox, ToolResult, tool_definitions

__version__ = "0.1.0"

__all__ = [
    "__version__",
    "fuzzy_match",
    "get_best_matches",
    "fuzzy_match_simple",
    "replace_content",
    "try_replace_content",
    "StreamingFuzzyMatcher",
    "MatchRange",
    "ReplaceResult",
    "TryReplaceResult",
    "FuzzyMatchInfo",
    "edit_text",
    "edit_file",
    "apply_edits",
    "Edit",
    "EditResult",
    "ClosestMatch",
    "EditError",
    "WriteConflict",
    "PathRefused",
    "STRATEGIES",
    "DEFAULT_MIN_SIMILARITY",
    "extract",
    "extract_one",
    "StreamingLocator",
    "BlockLocation",
    "tool_definitions",
    "Toolbox",
    "ToolResult",
    "ToolArgumentError",
    "apply_patch",
    "PatchReport",
]


#: Where each public name is defined: the native module, or a module of this package.
_ORIGINS = {
    **dict.fromkeys(
        (
            "FuzzyMatchInfo",
            "MatchRange",
            "ReplaceResult",
            "StreamingFuzzyMatcher",
            "TryReplaceResult",
            "fuzzy_match",
            "fuzzy_match_simple",
            "get_best_matches",
            "replace_content",
            "try_replace_content",
        ),
        "_brindle_search",
    ),
    **dict.fromkeys(
        ("DEFAULT_MIN_SIMILARITY", "STRATEGIES", "apply_edits", "edit_file", "edit_text"), f"{__name__}._edit"
    ),
    **dict.fromkeys(("EditError", "PathRefused", "WriteConflict"), f"{__name__}.errors"),
    **dict.fromkeys(("PatchReport", "apply_patch"), f"{__name__}.patches"),
    **dict.fromkeys(("extract", "extract_one"), f"{__name__}.ranking"),
    **dict.fromkeys(("ClosestMatch", "Edit", "EditResult"), f"{__name__}.results"),
    **dict.fromkeys(("BlockLocation", "StreamingLocator"), f"{__name__}.streaming"),
    **dict.fromkeys(("ToolArgumentError", "Toolbox", "ToolResult", "tool_definitions"), f"{__name__}.tools"),
}


if not TYPE_CHECKING:  # the checkers know every name from the imports above, and no others

    def __getattr__(name: str) -> object:
        origin = _ORIGINS.get(name)
        if origin is None:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        value = getattr(_import_module(origin), name)
        globals()[name] = value  # found directly from now on
        return value


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
