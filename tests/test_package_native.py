"""brindle_search._native, the package's native helpers: hostile calls get clear Python exceptions,
repeated calls (failing ones included) keep no memory, and the searches for a closest block
answer within their work budget as without one, or say that it did not suffice."""

import gc
import random
import sys

import pytest
from conftest import IS_PYPY, SANITIZED

from brindle_search import _native as nat
from brindle_search import placement

BIG = "x" * 100_000


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda: nat.locate("a"), TypeError, "locate() missing"),
        (lambda: nat.locate("a", "b", "c", nope=1), TypeError, "unexpected keyword"),
        (lambda: nat.locate(1, "b", "c"), TypeError, "argument 'content'"),
        (lambda: nat.locate("a", "b", "c", replace_all=1), TypeError, "argument 'replace_all'"),
        (lambda: nat.locate("a", "b", "c", line_hint=-1), OverflowError, ""),
        (lambda: nat.locate("a", "b", "c", line_hint=2**40), OverflowError, ""),
        (lambda: nat.locate("a", "b", "c", strategies="simple"), TypeError, ""),
        (lambda: nat.locate("a", "b", "c", strategies=["simple", 3]), TypeError, ""),
        (lambda: nat.locate("a", "b", "c", strategies=["nope"]), ValueError, "unknown strategy 'nope'"),
        (lambda: nat.locate("\ud800", "b", "c"), UnicodeEncodeError, ""),
        (lambda: nat.locate("a", "b", "c", work_budget=-1), ValueError, "work_budget"),
        (lambda: nat.locate("a", "b", "c", work_budget=False), TypeError, "argument 'work_budget'"),
        (lambda: nat.closest_window("a", "b", "0.8"), TypeError, "argument 'min_similarity'"),
        (lambda: nat.closest_window("a", "b"), TypeError, "closest_window() missing"),
        (lambda: nat.closest_window("a", "b", 0.8, work_budget=-1), ValueError, "work_budget"),
        (lambda: nat.closest_window("a", "b", 0.8, work_budget=True), TypeError, "argument 'work_budget'"),
        (lambda: nat.closest_window("a", "b", 0.8, work_budget=1.5), TypeError, "argument 'work_budget'"),
        (lambda: nat.similarity("a", None), TypeError, "argument 'b'"),
        (lambda: nat.match_diff("a"), TypeError, ""),
        (lambda: nat.unescape(b"a"), TypeError, "argument 'text'"),
        (lambda: nat.strategy_names(1), TypeError, ""),
    ],
)
def test_hostile_calls(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)


def test_locate_reports_positions_in_code_points():
    content = "é😀\nab\nxé b\n"
    ok, strategy, matched, pos, start, end = nat.locate(content, "é b", "q")
    assert (ok, strategy, matched, start, end) == ("ok", "simple", "é b", 3, 3)
    assert content[pos : pos + len(matched)] == matched
    # With several occurrences the one nearest the hint, the earlier on a tie.
    content = "x\nab ab\nx\nab\n"
    _, _, _, pos, start, _ = nat.locate(content, "ab", "q", line_hint=2)
    assert (pos, start) == (2, 2)
    _, _, _, pos, start, _ = nat.locate(content, "ab", "q", line_hint=4)
    assert (pos, start) == (10, 4)


@pytest.mark.parametrize(
    "content, old, expected",
    [
        ("a\nb\n", "zzz", "not_found"),
        ("a\na\n", "a", "multiple_matches"),
        ("a\n", "a", "no_change"),
    ],
)
def test_locate_failures(content, old, expected):
    outcome = nat.locate(content, old, old if expected == "no_change" else "q")
    assert outcome[0] == expected and len(outcome) == 5
    assert isinstance(outcome[1], str)
    assert (outcome[3] is not None) == (expected == "multiple_matches")
    assert (outcome[4] is not None) == (expected == "not_found")


@pytest.mark.parametrize("old", ["zzz", "b\nc\nd\ne", "def f(x):\n    return x + 1\n"])
def test_a_not_found_message_is_its_parts_around_the_closest_match(old):
    # The package puts a closest match of its own between the parts: they must be the message
    # but for the native closest-match piece, whatever the native side found.
    content = "a\nb\nc\nd\nx\ndef f(x):\n    return x + 2\n"
    error_type, message, closest, _, (head, tail) = nat.locate(content, old, "q")
    assert error_type == "not_found" and head.startswith("Search text not found in file.")
    piece = "" if closest is None else nat.closest_piece(closest[0], closest[1], closest[2], closest[4])
    assert head + piece + tail == message
    assert tail.startswith("\n\nDebugging tips:")
    assert nat.closest_threshold() == 0.8


def _rss_pages():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1])


def _swallow(call):
    def run():
        try:
            call()
        except (TypeError, ValueError, OverflowError):
            pass

    return run


CALLS = {
    "locate ok": lambda: nat.locate(BIG + "\nneedle\n", "needle", "pin"),
    "locate not found": lambda: nat.locate("a\nb\nc\n", "a\nx\nc\nd", "y"),
    "locate ambiguous": lambda: nat.locate("a\na\n", "a", "b"),
    "locate strategies": lambda: nat.locate("a\n b\n", "b", "c", strategies=["line_trimmed"]),
    "locate bad strategy": _swallow(lambda: nat.locate("a", "b", "c", strategies=["x"])),
    "locate surrogate": _swallow(lambda: nat.locate("\ud800" + BIG, "b", "c")),
    "closest window": lambda: nat.closest_window("a\nbcd\ne\n", "bce", 0.5),
    "similarity": lambda: nat.similarity("kitten", "sitting"),
    "match diff": lambda: nat.match_diff("a\nb", "a\nc"),
    "unescape": lambda: nat.unescape("a\\nb"),
    "strategy names": nat.strategy_names,
}


@pytest.mark.skipif(IS_PYPY, reason="reference counts are emulated on PyPy")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine holds freed memory in RSS")
@pytest.mark.parametrize("name", sorted(CALLS))
def test_repeated_calls_do_not_grow_memory(name):
    call = CALLS[name]
    for _ in range(200):
        call()
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), _rss_pages()
    for _ in range(3000):
        call()
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 100
    assert _rss_pages() - rss < 256


def _look_alike(lines, block):
    content = "".join(f"    value_{i} = compute({i}, x) + offset\n" for i in range(lines))
    old = "\n".join(f"    valeu_{i} = compuet({i}, y) - offset" for i in range(10**6, 10**6 + block))
    return content, old


def _not_found_cases(count):
    """Small not-found edits: a block of a generated text with a few characters changed."""
    rng = random.Random(23)
    words = ["alpha", "beta", "x = 1", "return y", "    pass", "é", "", "(a, b)"]
    for _ in range(count):
        lines = [" ".join(rng.choices(words, k=rng.randint(0, 4))) for _ in range(rng.randint(1, 30))]
        content = "\n".join(lines) + "\n"
        start = rng.randrange(len(lines))
        old = list("\n".join(lines[start : start + rng.randint(1, 6)])) or ["q"]
        for _ in range(rng.randint(1, 4)):
            old[rng.randrange(len(old))] = rng.choice("qQz\n")
        yield content, "".join(old)


def test_locate_within_budget_answers_as_without():
    # The package's budget for such texts: the report is the one built without a budget.
    closest = 0
    for content, old in _not_found_cases(300):
        plain = nat.locate(content, old, "NEW")
        assert nat.locate(content, old, "NEW", work_budget=placement._work_budget(content)) == plain
        closest += plain[0] == "not_found" and plain[2] is not None
    assert closest > 50


def test_locate_over_budget_leaves_the_closest_match_out():
    # One line of 40k characters, 5% of them changed: the closest match is the line, at a distance
    # of about 2000 characters, which a budget of 2^16 units does not cover.
    rng = random.Random(5)
    content = "".join(rng.choice("abcdefghij ") for _ in range(40_000))
    old = "".join("Q" if rng.random() < 0.05 else c for c in content)
    plain = nat.locate(content, old, "NEW")
    assert plain[2][0] == nat.similarity(old, content)  # exact without a budget
    for budget in (0, 1 << 16):
        error_type, message, closest, locations, (head, tail) = nat.locate(
            content, old, "NEW", work_budget=budget
        )
        assert (error_type, closest, locations) == ("not_found", "over_budget", None)
        assert message == head + tail == plain[4][0] + plain[4][1]


@pytest.mark.parametrize("budget", [None, 2**62, 2**80])
def test_closest_window_within_budget_answers_as_without(budget):
    content, old = _look_alike(3000, 60)
    assert nat.closest_window(content, old, 0.5, work_budget=budget) == nat.closest_window(content, old, 0.5)


@pytest.mark.parametrize("budget", [0, 100_000])
def test_closest_window_over_budget(budget):
    content, old = _look_alike(6000, 100)
    assert nat.closest_window(content, old, 0.5, work_budget=budget) == "over_budget"
