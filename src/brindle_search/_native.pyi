from collections.abc import Iterable

def extract(
    query: str, choices: Iterable[str], limit: int | None = None, score_cutoff: int | None = None
) -> list[tuple[str, int, int]]: ...
