"""Repeated calls, failing ones included, must not leak Python objects or native memory."""

import gc
import sys

import pytest
from conftest import IS_PYPY, SANITIZED

import _brindle_search as bs

pytestmark = [
    pytest.mark.skipif(IS_PYPY, reason="reference counts are emulated on PyPy"),
    pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory in RSS"),
]


def _rss_pages():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1])


def _growth(call, rounds=3000):
    for _ in range(200):
        call()
    gc.collect()
    blocks = sys.getallocatedblocks()
    rss = _rss_pages()
    for _ in range(rounds):
        call()
    gc.collect()
    return sys.getallocatedblocks() - blocks, _rss_pages() - rss


def _raises(fn, *args, **kwargs):
    def call():
        try:
            fn(*args, **kwargs)
        except (TypeError, ValueError, OverflowError, UnicodeEncodeError, KeyError, RuntimeError):
            pass

    return call


class BrokenSequence:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 2:
            raise KeyError(i)
        return "candidate"


BIG = "x" * 100_000

CALLS = {
    "fuzzy_match": lambda: bs.fuzzy_match("fb", "FooBar"),
    "get_best_matches": lambda: bs.get_best_matches("a", ["ab", "ba", "c"] * 10),
    "fuzzy_match_simple": lambda: bs.fuzzy_match_simple("İ", "xİ", False),
    "missing argument": _raises(bs.fuzzy_match, "a"),
    "bad keyword": _raises(bs.fuzzy_match, "a", "b", nope=1),
    "wrapped type error": _raises(bs.fuzzy_match, "a", "b", adj_bonus=None),
    "overflow": _raises(bs.fuzzy_match, "a", "b", 2**40),
    "surrogate": _raises(bs.fuzzy_match, "\ud800" + BIG, "b"),
    "candidate str": _raises(bs.get_best_matches, "a", "abc"),
    "candidate item": _raises(bs.get_best_matches, "a", ["a", "b", 3]),
    "candidate iteration": _raises(bs.get_best_matches, "a", BrokenSequence()),
    "replace ok": lambda: bs.replace_content(BIG + "\nneedle\n", "needle", "pin").content,
    "replace not found": _raises(bs.replace_content, "a\nb\nc\n", "a\nx\nc\nd", "y"),
    "replace ambiguous": _raises(bs.replace_content, "a\na\n", "a", "b"),
    "try replace": lambda: repr(bs.try_replace_content("a\nb\nc\n", "a\nb\nq", "z").closest_match),
    "matcher": lambda: bs.StreamingFuzzyMatcher("a\nb\na\n").push("a\n", 2),
    "matcher bad hint": _raises(bs.StreamingFuzzyMatcher("a").push, "a\n", -1),
}


@pytest.mark.parametrize("name", sorted(CALLS))
def test_repeated_calls_do_not_grow_memory(name):
    blocks, pages = _growth(CALLS[name])
    assert blocks < 100, f"{blocks} Python blocks kept after repeated calls"
    assert pages < 256, f"RSS grew by {pages} pages"
