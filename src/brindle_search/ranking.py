"""Ranking of candidate strings against a query, in the conventions of the usual ranking libraries.

``extract`` returns ``(choice, score, key)`` tuples, best score first and equal scores in input
order; ``extract_one`` returns the best one or ``None``. The scores are those of
``get_best_matches`` (the weighted fuzzy scorer with its default weights); a choice that does not
contain the query as a fuzzy subsequence is never returned. The key is the choice's position when
``choices`` is an iterable of ``str``, and its key when ``choices`` is a mapping (whose values are
scored). With a limit, the best matches are selected in native code without sorting every match.
A ``processor`` is applied to each choice before it is scored (``str.lower``, or
``lambda item: item.name`` for choices that are not strings); the results still name the choice
itself, as given.
"""

from __future__ import annotations

import math
import numbers
import operator
import sys
from collections.abc import Callable, Iterable, Mapping
from typing import Any, SupportsIndex, Union, cast

from . import _native

__all__ = ["extract", "extract_one"]

# PyPy's C-API layer reads a str subclass through its Python-level __len__ when it hands the object
# to native code, and a failing __len__ inside a list crashes it there; on PyPy the texts are
# therefore passed as plain str, made without calling any method the subclass could override.
_PLAIN_TEXTS_FIRST = sys.implementation.name == "pypy"

_INT32_MIN = -(2**31)
_INT32_MAX = 2**31 - 1

Choices = Union[Iterable[Any], Mapping[Any, Any]]
Processor = Callable[[Any], str]


def extract(
    query: str,
    choices: Choices,
    *,
    processor: Processor | None = None,
    limit: int | None = None,
    score_cutoff: float | None = None,
) -> list[tuple[Any, int, Any]]:
    """The matches of ``query`` among ``choices`` as ``(choice, score, key)``, best first.

    ``processor`` (None or a callable) turns each choice into the ``str`` that is scored; the
    query is scored as given. ``limit`` (None or an int >= 0) keeps only the first ``limit``
    matches; ``score_cutoff`` (None or a number) keeps only the matches whose score is at least
    ``score_cutoff``. Raises TypeError when ``query`` is not a ``str`` or a choice (after the
    processor) is not a ``str``, ValueError for a negative limit or a NaN cutoff.
    """
    if not isinstance(query, str):
        raise TypeError(f"query must be a str, not {type(query).__name__!r}")
    if processor is not None:
        if not callable(processor):
            raise TypeError(f"processor must be None or callable, not {type(processor).__name__!r}")
        return _extract_processed(query, choices, processor, limit, score_cutoff)
    native_limit = _check_limit(limit)
    native_cutoff, nothing_passes = _check_cutoff(score_cutoff)
    if nothing_passes:
        native_limit = 0  # the choices are still checked
    if _PLAIN_TEXTS_FIRST:
        query = _plain(query)
    if isinstance(choices, Mapping):
        return _extract_mapping(query, choices, native_limit, native_cutoff)
    if _PLAIN_TEXTS_FIRST and not isinstance(choices, str):
        choices = _plain_texts(_iterate(choices))
    return _native.extract(query, choices, native_limit, native_cutoff)


def extract_one(
    query: str,
    choices: Choices,
    *,
    processor: Processor | None = None,
    score_cutoff: float | None = None,
) -> tuple[Any, int, Any] | None:
    """The best match of ``query`` among ``choices`` as ``(choice, score, key)``, or None.

    Among equal scores the first choice wins. Arguments as for ``extract``.
    """
    found = extract(query, choices, processor=processor, limit=1, score_cutoff=score_cutoff)
    return found[0] if found else None


def _extract_processed(
    query: str, choices: Choices, processor: Processor, limit: int | None, score_cutoff: float | None
) -> list[tuple[Any, int, Any]]:
    """``extract`` of the processed choices, each result naming the choice as given."""
    if isinstance(choices, Mapping):
        keys = list(choices.keys())
        originals: list[Any] = list(choices.values())
        if len(keys) != len(originals):
            raise RuntimeError("choices changed size while it was read")
        processed = {key: _processed(processor, value, key, True) for key, value in zip(keys, originals)}
        found = extract(query, processed, limit=limit, score_cutoff=score_cutoff)
        position = {key: k for k, key in enumerate(keys)}
        return [(originals[position[key]], score, key) for _, score, key in found]
    if isinstance(choices, str):
        raise TypeError("choices must be an iterable of choices, not a str")
    originals = list(_iterate(choices))
    texts = [_processed(processor, choice, k, False) for k, choice in enumerate(originals)]
    return [
        (originals[k], score, k)
        for _, score, k in extract(query, texts, limit=limit, score_cutoff=score_cutoff)
    ]


def _processed(processor: Processor, choice: Any, where: Any, keyed: bool) -> str:
    text = processor(choice)
    if not isinstance(text, str):
        place = f"under key {_safe_repr(where)}" if keyed else f"at position {where}"
        raise TypeError(f"processor must return a str, not {type(text).__name__!r} (the choice {place})")
    return text


def _check_limit(limit: object) -> int | None:
    if limit is None:
        return None
    if isinstance(limit, bool):
        raise TypeError("limit must be None or an int, not 'bool'")
    try:
        value = operator.index(cast(SupportsIndex, limit))
    except TypeError:
        raise TypeError(f"limit must be None or an int, not {type(limit).__name__!r}") from None
    if value < 0:
        raise ValueError(f"limit must be None or a non-negative int, not {value}")
    return min(value, sys.maxsize)


def _check_cutoff(score_cutoff: object) -> tuple[int | None, bool]:
    """The lowest score to keep as a 32-bit int (None: keep all), and whether no score can pass."""
    if score_cutoff is None:
        return None, False
    if isinstance(score_cutoff, bool) or not isinstance(score_cutoff, numbers.Real):
        raise TypeError(f"score_cutoff must be None or a number, not {type(score_cutoff).__name__!r}")
    if isinstance(score_cutoff, float) and math.isnan(score_cutoff):
        raise ValueError("score_cutoff must not be NaN")
    if score_cutoff == math.inf:
        return None, True
    if score_cutoff == -math.inf:
        return None, False
    # Scores are ints: score >= x exactly when score >= ceil(x).
    lowest = math.ceil(cast(float, score_cutoff))
    if lowest > _INT32_MAX:
        return None, True
    if lowest <= _INT32_MIN:
        return None, False
    return lowest, False


def _extract_mapping(
    query: str, choices: Mapping[Any, str], limit: int | None, cutoff: int | None
) -> list[tuple[str, int, Any]]:
    keys = list(choices.keys())
    values: list[Any] = list(choices.values())
    if len(keys) != len(values):
        raise RuntimeError("choices changed size while it was read")
    if _PLAIN_TEXTS_FIRST:
        values = _plain_texts(values, keys)
    try:
        found = _native.extract(query, values, limit, cutoff)
    except TypeError:
        for key, value in zip(keys, values):
            if not isinstance(value, str):
                raise TypeError(
                    f"the choice under key {_safe_repr(key)} must be a str, not {type(value).__name__!r}"
                ) from None
        raise
    return [(text, score, keys[position]) for text, score, position in found]


def _plain(text: str) -> str:
    return text if type(text) is str else str.__add__("", text)


def _iterate(choices: object) -> Iterable[object]:
    try:
        return iter(cast(Iterable[object], choices))
    except TypeError:
        raise TypeError(f"choices must be an iterable of str, not {type(choices).__name__!r}") from None


def _plain_texts(values: Iterable[object], keys: list[Any] | None = None) -> list[str]:
    texts = []
    for position, value in enumerate(values):
        if type(value) is not str:
            if not isinstance(value, str):
                where = (
                    f"at position {position}" if keys is None else f"under key {_safe_repr(keys[position])}"
                )
                raise TypeError(f"the choice {where} must be a str, not {type(value).__name__!r}")
            value = str.__add__("", value)
        texts.append(value)
    return texts


def _safe_repr(value: object) -> str:
    try:
        return repr(value)
    except Exception:
        return f"<{type(value).__name__} object>"
