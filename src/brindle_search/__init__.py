"""brindle_search: safe, tolerant edits of source files for coding agents.

The package wraps the native module ``_brindle_search`` (fuzzy scoring, tolerant
search-and-replace, the streaming matcher) and re-exports its five functions and five classes.
"""

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

from .ranking import extract, extract_one

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
    "extract",
    "extract_one",
]
