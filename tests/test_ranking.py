"""brindle_search.extract / extract_one against a plain-Python ranking (the plain scorer of
test_fuzzy.py, every match sorted), and their behaviour on hostile arguments."""

import gc
import math
import random
import re
import sys
from collections import OrderedDict
from collections.abc import Mapping

import pytest
from conftest import IS_PYPY
from hypothesis import given, settings
from hypothesis import strategies as st
from test_fuzzy import reference_fuzzy_match

import _brindle_search as bs
from brindle_search import _native, extract, extract_one


def reference_extract(query, choices, limit=None, score_cutoff=None):
    """Every match scored by the plain scorer, filtered by the cutoff, sorted (stable), cut."""
    if isinstance(choices, Mapping):
        pairs = [(key, choices[key]) for key in choices]
    else:
        pairs = list(enumerate(choices))
    if not query:
        return []
    found = []
    for key, text in pairs:
        matched, score = reference_fuzzy_match(query, text)
        if matched and (score_cutoff is None or score >= score_cutoff):
            found.append((text, score, key))
    found.sort(key=lambda item: -item[1])
    return found if limit is None else found[:limit]


# Path-like texts: separators, camel humps, repeated letters (ties), and characters outside ASCII,
# including ones whose lower() is ASCII (KELVIN SIGN, capital I with dot above).
TEXT_ALPHABET = list("abcAB_ -/.x") + ["é", "İ", "\u212a", "Σ"]
QUERY_ALPHABET = list("abAx_/") + ["k", "é"]


def random_text(rng, alphabet, low, high):
    return "".join(rng.choice(alphabet) for _ in range(rng.randint(low, high)))


def test_extract_equals_the_plain_ranking_on_generated_inputs():
    rng = random.Random(2024)
    reached = {"cut by limit": 0, "tie at the cut": 0, "cut by cutoff": 0, "non-ASCII hit": 0}
    for round_ in range(1200):
        query = random_text(rng, QUERY_ALPHABET, 0 if round_ % 50 == 0 else 1, 3)
        long_texts = round_ % 4 == 0  # long enough for the score bound to reject candidates
        choices = [
            random_text(rng, TEXT_ALPHABET, 0, 60 if long_texts else 10) for _ in range(rng.randint(0, 80))
        ]
        if choices and round_ % 3 == 0:
            choices += rng.sample(choices, min(5, len(choices)))  # repeated texts: ties
        limit = rng.choice([None, 0, 1, 2, 5, 10, len(choices) + 3])
        cutoff = rng.choice([None, None, -30, -5, 0, 7, 12.5])
        got = extract(query, choices, limit=limit, score_cutoff=cutoff)
        want = reference_extract(query, choices, limit, cutoff)
        assert got == want, (query, choices, limit, cutoff)
        full = reference_extract(query, choices, None, cutoff)
        if limit is not None and len(full) > limit > 0:
            reached["cut by limit"] += 1
            reached["tie at the cut"] += full[limit - 1][1] == full[limit][1]
        if cutoff is not None and len(full) < len(reference_extract(query, choices)):
            reached["cut by cutoff"] += 1
        reached["non-ASCII hit"] += any(any(ord(c) > 127 for c in text) for text, _, _ in got)
    assert min(reached.values()) >= 30, reached


@settings(max_examples=200, deadline=None)
@given(
    st.text(st.sampled_from(QUERY_ALPHABET), min_size=1, max_size=3),
    st.lists(st.text(st.sampled_from(TEXT_ALPHABET), max_size=12), max_size=25),
    st.one_of(st.none(), st.integers(min_value=0, max_value=30)),
    st.one_of(st.none(), st.integers(min_value=-40, max_value=30)),
    st.sampled_from(["list", "tuple", "generator", "dict", "mapping"]),
)
def test_extract_equals_the_plain_ranking_for_every_kind_of_choices(query, texts, limit, cutoff, kind):
    def make():
        if kind == "list":
            return list(texts)
        if kind == "tuple":
            return tuple(texts)
        if kind == "generator":
            return (t for t in texts)
        if kind == "dict":
            return {f"k{i}": t for i, t in enumerate(texts)}
        return FrozenMapping(OrderedDict((("key", i), t) for i, t in enumerate(texts)))

    reference_choices = make() if kind in ("dict", "mapping") else texts
    want = reference_extract(query, reference_choices, limit, cutoff)
    assert extract(query, make(), limit=limit, score_cutoff=cutoff) == want
    best = reference_extract(query, reference_choices, 1, cutoff)
    assert extract_one(query, make(), score_cutoff=cutoff) == (best[0] if best else None)


def test_scores_are_those_of_get_best_matches():
    rng = random.Random(5)
    choices = [random_text(rng, TEXT_ALPHABET, 0, 20) for _ in range(500)]
    for query in ["a", "ab", "_b", "x/", "é", "K"]:
        assert [(t, s) for t, s, _ in extract(query, choices)] == bs.get_best_matches(query, choices)
        assert [(t, s) for t, s, _ in extract(query, choices, limit=7)] == bs.get_best_matches(
            query, choices
        )[:7]


class FrozenMapping(Mapping):
    """A mapping that is not a dict."""

    def __init__(self, data):
        self._data = data

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


@pytest.mark.parametrize(
    ("query", "choices", "kwargs", "expected"),
    [
        (
            "fb",
            ["foobar", "FooBar", "foo_bar", "xyz"],
            {},
            [("FooBar", 16, 1), ("foo_bar", 15, 2), ("foobar", 6, 0)],
        ),
        ("a", ["ca", "ba", "a"], {}, [("a", 10, 2), ("ca", -4, 0), ("ba", -4, 1)]),
        ("a", ["ca", "ba", "a"], {"limit": 2}, [("a", 10, 2), ("ca", -4, 0)]),
        ("a", ["ca", "ba", "a"], {"score_cutoff": -4}, [("a", 10, 2), ("ca", -4, 0), ("ba", -4, 1)]),
        ("a", ["ca", "ba", "a"], {"score_cutoff": -3.5}, [("a", 10, 2)]),
        ("a", ["ca", "ba", "a"], {"score_cutoff": math.inf}, []),
        ("a", ["ca", "ba", "a"], {"score_cutoff": -math.inf}, [("a", 10, 2), ("ca", -4, 0), ("ba", -4, 1)]),
        ("a", ["ca", "ba", "a"], {"score_cutoff": 2**40}, []),
        ("a", ["ca", "ba", "a"], {"score_cutoff": -(2**40)}, [("a", 10, 2), ("ca", -4, 0), ("ba", -4, 1)]),
        ("a", ["ca", "ba", "a"], {"limit": 0}, []),
        ("a", ["ca", "ba", "a"], {"limit": 10**100}, [("a", 10, 2), ("ca", -4, 0), ("ba", -4, 1)]),
        ("a", {"x": "ca", "y": "a"}, {}, [("a", 10, "y"), ("ca", -4, "x")]),
        ("", ["a", "b"], {}, []),
        ("a", [], {"limit": 3}, []),
        ("a", iter(["b", "ab"]), {}, [("ab", 10 - 1, 1)]),
    ],
)
def test_extract_examples(query, choices, kwargs, expected):
    assert extract(query, choices, **kwargs) == expected


def test_extract_one():
    assert extract_one("a", ["ca", "ba", "a"]) == ("a", 10, 2)
    assert extract_one("a", ["ca", "ba"]) == ("ca", -4, 0)  # the first of equal scores
    assert extract_one("a", {"k": "ba"}) == ("ba", -4, "k")
    assert extract_one("a", ["ca", "ba"], score_cutoff=0) is None
    assert extract_one("z", ["ca", "ba"]) is None
    assert extract_one("", ["a"]) is None


def test_returns_the_given_str_objects_and_plain_copies_of_subclasses():
    class Sub(str):
        pass

    given = "".join(["a", "bc"])
    sub = Sub("abd")
    (first, _, _), (second, _, _) = extract("ab", [given, sub])
    assert first is given
    assert type(second) is str and second == "abd"


# ---- hostile arguments (both interpreters) ------------------------------------------------------


class FailingLen(str):
    """A str subclass whose Python-level methods all fail."""

    def _fail(self, *args):
        raise RuntimeError("hostile")

    __len__ = __iter__ = __getitem__ = __str__ = __radd__ = __add__ = __hash__ = _fail


def test_str_subclass_with_failing_methods_is_read_by_its_text():
    query = FailingLen("ab")
    choices = [FailingLen("xab"), "ab"]
    expected = [("ab", 10 + 5, 1), ("xab", -3 - 1 + 5, 0)]
    assert extract(query, choices) == expected
    assert extract(query, iter(choices), limit=1) == expected[:1]
    assert extract_one(query, {"k": FailingLen("ab")}) == ("ab", 15, "k")
    assert all(type(text) is str for text, _, _ in extract(query, choices))


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((b"a", ["a"]), {}, TypeError, "query must be a str"),
        ((None, ["a"]), {}, TypeError, "query must be a str"),
        (("a", "abc"), {}, TypeError, "not a str"),
        (("a", 5), {}, TypeError, "choices must be an iterable of str, not 'int'"),
        (("a", None), {}, TypeError, "choices must be an iterable of str"),
        (("a", ["a", 3]), {}, TypeError, "choice at position 1 must be a str, not 'int'"),
        (("a", [b"a"]), {}, TypeError, "choice at position 0 must be a str, not 'bytes'"),
        (("a", {"k": "a", "bad": 3}), {}, TypeError, "the choice under key 'bad' must be a str, not 'int'"),
        (("a", ["a"]), {"limit": -1}, ValueError, "non-negative"),
        (("a", ["a"]), {"limit": True}, TypeError, "limit must be None or an int"),
        (("a", ["a"]), {"limit": 1.5}, TypeError, "not 'float'"),
        (("a", ["a"]), {"limit": "3"}, TypeError, "not 'str'"),
        (("a", ["a"]), {"score_cutoff": math.nan}, ValueError, "NaN"),
        (("a", ["a"]), {"score_cutoff": "1"}, TypeError, "score_cutoff must be None or a number"),
        (("a", ["a"]), {"score_cutoff": False}, TypeError, "not 'bool'"),
        (("a", ["\ud800"]), {}, UnicodeEncodeError, "surrogate"),
    ],
)
def test_bad_arguments_raise_clear_exceptions(args, kwargs, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)")):
        extract(*args, **kwargs)


def test_bad_choices_are_reported_even_when_nothing_could_pass():
    with pytest.raises(TypeError):
        extract("a", ["a", 1], limit=0)
    with pytest.raises(TypeError):
        extract("a", ["a", 1], score_cutoff=math.inf)
    with pytest.raises(TypeError):
        extract("", ["a", 1])


def test_keyword_only_options():
    with pytest.raises(TypeError):
        extract("a", ["a"], 3)  # type: ignore[misc]


def test_a_generator_raising_midway_propagates_its_exception():
    def choices():
        yield "ab"
        yield "b"
        raise ZeroDivisionError("midway")

    with pytest.raises(ZeroDivisionError, match="midway"):
        extract("a", choices(), limit=1)


class WeirdMapping(Mapping):
    """A mapping whose values view fails."""

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(["a", "b"])

    def __len__(self):
        return 2


def test_a_failing_mapping_propagates_its_exception():
    with pytest.raises(KeyError):
        extract("a", WeirdMapping())


def test_old_style_sequences_and_iterators_are_accepted():
    class OldSequence:
        def __getitem__(self, i):
            if i >= 3:
                raise IndexError(i)
            return "a" * (i + 1)

    assert extract("aa", OldSequence()) == [("aa", 15, 1), ("aaa", 14, 2)]


@pytest.mark.parametrize(
    ("args", "error"),
    [
        ((), TypeError),
        (("a",), TypeError),
        (("a", ["a"], -1), ValueError),
        (("a", ["a"], None, 2**31), OverflowError),
        (("a", ["a"], None, True), TypeError),
        (("a", ["a"], 2.0), TypeError),
        (("a", ["a"], None, None, 1), TypeError),
        ((1, ["a"]), TypeError),
    ],
)
def test_the_native_function_checks_its_own_arguments(args, error):
    with pytest.raises(error):
        _native.extract(*args)


def test_the_native_function_accepts_huge_limits():
    assert _native.extract("a", ["a", "ba"], 10**30) == [("a", 10, 0), ("ba", -4, 1)]
    assert _native.extract("a", ["a", "ba"], limit=1, score_cutoff=-100) == [("a", 10, 0)]


@pytest.mark.skipif(IS_PYPY, reason="reference counts are emulated on PyPy")
def test_repeated_calls_do_not_leak():
    choices = ["ab", "ba", "c", "abc"] * 20

    def calls():
        extract("a", choices, limit=3)
        extract("a", choices)
        extract_one("a", {"k": "ab"})
        for bad in (["a", 1], 5, {"k": 1}):
            try:
                extract("a", bad, limit=2)
            except TypeError:
                pass

    for _ in range(200):
        calls()
    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(2000):
        calls()
    gc.collect()
    # A leak of one object a call would add at least 2000 blocks; caches the interpreter fills
    # now and then (interned strings, the regex cache) add a few hundred at most.
    assert sys.getallocatedblocks() - blocks < 1000


# --- processor ------------------------------------------------------------------------------------


class Item:
    """A choice that is not a string: what a processor is for."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"Item({self.name!r})"


def reference_processed(query, choices, processor, limit=None, score_cutoff=None):
    """The plain ranking of the processed texts, each result naming the choice as given."""
    if isinstance(choices, Mapping):
        texts = {key: processor(value) for key, value in choices.items()}
        return [
            (choices[key], score, key)
            for _, score, key in reference_extract(query, texts, limit, score_cutoff)
        ]
    items = list(choices)
    texts = [processor(item) for item in items]
    return [(items[k], score, k) for _, score, k in reference_extract(query, texts, limit, score_cutoff)]


@settings(max_examples=200, deadline=None)
@given(
    st.text(st.sampled_from(QUERY_ALPHABET), min_size=1, max_size=3),
    st.lists(st.text(st.sampled_from(TEXT_ALPHABET), max_size=12), max_size=25),
    st.one_of(st.none(), st.integers(min_value=0, max_value=30)),
    st.one_of(st.none(), st.integers(min_value=-40, max_value=30)),
    st.sampled_from(["items", "upper", "dict"]),
)
def test_processor_is_applied_to_each_choice(query, texts, limit, cutoff, kind):
    if kind == "items":
        choices, processor = [Item(t) for t in texts], (lambda item: item.name)
    elif kind == "upper":
        choices, processor = list(texts), str.upper
    else:
        choices, processor = {f"k{i}": Item(t) for i, t in enumerate(texts)}, (lambda item: item.name[::-1])
    want = reference_processed(query, choices, processor, limit, cutoff)
    got = extract(query, choices, processor=processor, limit=limit, score_cutoff=cutoff)
    assert got == want
    assert all(choice is original for (choice, _, _), (original, _, _) in zip(got, want))
    best = reference_processed(query, choices, processor, 1, cutoff)
    assert extract_one(query, choices, processor=processor, score_cutoff=cutoff) == (
        best[0] if best else None
    )


@pytest.mark.parametrize(
    "choices, processor, message",
    [
        (
            [Item("a")],
            lambda item: item,
            "processor must return a str, not 'Item' (the choice at position 0)",
        ),
        ({"k": 1}, str, None),
        ({"k": 1}, lambda v: v, "processor must return a str, not 'int' (the choice under key 'k')"),
        (["a"], "lower", "processor must be None or callable"),
        ("abc", str.lower, "not a str"),
    ],
)
def test_processor_errors(choices, processor, message):
    if message is None:
        assert extract("1", choices, processor=processor) == [(1, extract("1", ["1"])[0][1], "k")]
        return
    with pytest.raises(TypeError, match=re.escape(message)):
        extract("a", choices, processor=processor)
