# Type stub of brindle_search._native, the package's native helpers (built from src/native/).
from collections.abc import Iterable, Sequence
from typing import Any, Literal

_Closest = tuple[float, int, int, str, str]

def strategy_names() -> tuple[str, ...]: ...
def locate(
    content: str,
    old_string: str,
    new_string: str,
    replace_all: bool = False,
    line_hint: int | None = None,
    strategies: Sequence[str] = ...,
    work_budget: int | None = None,
) -> tuple[Any, ...]:
    """("ok", strategy, matched_text, position, start_line, end_line) or
    (error_type, message, closest | None | "over_budget", locations | None, (head, tail) | None)."""

def closest_window(
    content: str, old_string: str, min_similarity: float, work_budget: int | None = None
) -> _Closest | Literal["over_budget"] | None: ...
def closest_piece(similarity: float, start_line: int, end_line: int, diff: str) -> str: ...
def closest_threshold() -> float: ...
def similarity(a: str, b: str) -> float: ...
def match_diff(old_string: str, window_text: str) -> str: ...
def unescape(text: str) -> str: ...
def extract(
    query: str, choices: Iterable[str], limit: int | None = None, score_cutoff: int | None = None
) -> list[tuple[str, int, int]]: ...
