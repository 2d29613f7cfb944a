"""Fuzzy scoring: the weighted scorer, the plain subsequence test and candidate ranking, checked
against plain-Python renditions of the same rules."""

import random
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _brindle_search as bs

ADJ, SEP, CAMEL = 5, 10, 10
UNMATCHED = -1


def wrap(value):
    """Signed 32-bit two's complement."""
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value >= 1 << 31 else value


def lower(c):
    return c.lower()[0] if c.lower() else c


def upper(c):
    return c.upper()[0] if c.upper() else c


def reference_fuzzy_match(
    pattern,
    instring,
    adj_bonus=5,
    sep_bonus=10,
    camel_bonus=10,
    lead_penalty=-3,
    max_lead_penalty=-9,
    unmatched_penalty=-1,
):
    """The scorer's rules written out plainly, with explicit 32-bit wrapping."""
    if not pattern:
        return False, 0
    score = pattern_pos = held_bonus = lead_total = 0
    held = None
    after_match = after_lower = False
    after_sep = True
    for c in instring:
        pc = pattern[pattern_pos] if pattern_pos < len(pattern) else None
        pl = lower(pc) if pc is not None else None
        cl, cu = lower(c), upper(c)
        takes_next = pc is not None and pl == cl
        repeats_held = held is not None and held == cl
        if (takes_next and held is not None) or (held is not None and pc is not None and held == pl):
            score = wrap(score + held_bonus)
            held, held_bonus = None, 0
        if takes_next or repeats_held:
            if pattern_pos == 0:
                score = wrap(score + max(lead_total, max_lead_penalty))
            bonus = 0
            if after_match:
                bonus = wrap(bonus + adj_bonus)
            if after_sep:
                bonus = wrap(bonus + sep_bonus)
            if after_lower and c == cu and cl != cu:
                bonus = wrap(bonus + camel_bonus)
            if takes_next:
                pattern_pos += 1
            if bonus >= held_bonus:
                if held is not None:
                    score = wrap(score + unmatched_penalty)
                held, held_bonus = cl, bonus
            after_match = True
        else:
            score = wrap(score + unmatched_penalty)
            after_match = False
        after_lower = c == cl and cl != cu
        after_sep = c in "_ "
        lead_total = wrap(lead_total + lead_penalty)
    if held is not None:
        score = wrap(score + held_bonus)
    return pattern_pos == len(pattern), score


@pytest.mark.parametrize(
    ("pattern", "instring", "expected"),
    [
        ("abc", "abc", (True, SEP + ADJ + ADJ)),
        ("abc", "aXbXc", (True, SEP + 2 * UNMATCHED)),
        ("fb", "FooBar", (True, SEP + CAMEL + 4 * UNMATCHED)),
        ("fb", "foo_bar", (True, SEP + SEP + 5 * UNMATCHED)),
        ("fb", "foobar", (True, SEP + 4 * UNMATCHED)),
        ("ab", "xxxxab", (True, -9 + 4 * UNMATCHED + ADJ)),
        ("aa", "aaa", (True, SEP + ADJ + UNMATCHED)),
        ("ba", "ab", (False, -4)),
        ("a", "b", (False, -1)),
        ("", "", (False, 0)),
        ("", "abc", (False, 0)),
        ("a", "", (False, 0)),
        ("b", "a-b", (True, -6 + 2 * UNMATCHED)),
        ("b", "a_b", (True, -6 + 2 * UNMATCHED + SEP)),
        ("b", "a b", (True, -6 + 2 * UNMATCHED + SEP)),
        ("b", "a.b", (True, -6 + 2 * UNMATCHED)),
        ("b", "a/b", (True, -6 + 2 * UNMATCHED)),
        ("b", "a\tb", (True, -6 + 2 * UNMATCHED)),
    ],
)
def test_weighted_scores(pattern, instring, expected):
    assert bs.fuzzy_match(pattern, instring) == expected
    assert reference_fuzzy_match(pattern, instring) == expected


def test_case_of_the_pattern_does_not_matter():
    assert bs.fuzzy_match("SE", "some_excellent") == bs.fuzzy_match("se", "some_excellent")


@pytest.mark.parametrize(
    ("pattern", "instring"),
    [
        ("ß", "SS"),  # upper(ß) is S, but lower(ß) is ß: no match
        ("s", "ß"),
        ("i", "İ"),  # lower(İ) is i (first code point of "i̇")
        ("İ", "i"),
        ("σ", "Σ"),
        ("ς", "Σ"),
        ("k", "\u212a"),  # KELVIN SIGN lowers to k
        ("ǆ", "ǅ"),  # title-case digraph
        ("aB", "aaBb"),
        ("ab", "ÀB"),
        ("𐐨", "𐐀"),  # Deseret, astral
    ],
)
def test_unicode_case_rules_match_the_reference(pattern, instring):
    assert bs.fuzzy_match(pattern, instring) == reference_fuzzy_match(pattern, instring)


def test_camel_hump_needs_a_cased_lower_letter_before():
    # '1' is not lower case, so 'B' after it earns no camel bonus.
    assert bs.fuzzy_match("b", "a1B") == (True, -6 + 2 * UNMATCHED)
    assert bs.fuzzy_match("b", "aB") == (True, -3 + CAMEL + UNMATCHED)


@pytest.mark.parametrize(
    "weights",
    [
        (2**31 - 1, 2**31 - 1, 2**31 - 1, 2**31 - 1, 2**31 - 1, 2**31 - 1),
        (-(2**31), -(2**31), -(2**31), -(2**31), -(2**31), -(2**31)),
        (2**31 - 1, 1, 2**31 - 1, -(2**31), 2**31 - 1, -(2**31)),
        (0, 0, 0, 0, 0, 0),
        (7, -3, 100, 5, -1, 3),
    ],
)
@pytest.mark.parametrize(
    ("pattern", "instring"),
    [("abc", "a_b_cAbC abc"), ("fb", "FooBarFooBar_fb"), ("aa", "aaaaaaaa"), ("x", "y" * 50 + "x")],
)
def test_extreme_weights_wrap_like_32_bit_integers(weights, pattern, instring):
    assert bs.fuzzy_match(pattern, instring, *weights) == reference_fuzzy_match(pattern, instring, *weights)


def test_lead_total_wraps():
    # lead_total is k * lead_penalty modulo 2**32; at k = 2 with 2**30 it is -2**31.
    assert bs.fuzzy_match("a", "xxa", 0, 0, 0, 2**30, -(2**31), 0) == (True, -(2**31))
    assert bs.fuzzy_match("a", "xxxxa", 0, 0, 0, 2**30, -(2**31), 0) == (True, 0)


ALPHABET = st.sampled_from(list("abAB_ -.xXé") + ["Σ", "σ", "ß", "İ", "\u212a", "𐐀"])
WEIGHT = st.integers(min_value=-(2**31), max_value=2**31 - 1)


@settings(max_examples=400, deadline=None)
@given(st.text(ALPHABET, max_size=4), st.text(ALPHABET, max_size=16))
def test_scorer_equals_reference(pattern, instring):
    assert bs.fuzzy_match(pattern, instring) == reference_fuzzy_match(pattern, instring)


@settings(max_examples=200, deadline=None)
@given(st.text(ALPHABET, max_size=3), st.text(ALPHABET, max_size=12), st.tuples(*[WEIGHT] * 6))
def test_scorer_equals_reference_for_any_weights(pattern, instring, weights):
    assert bs.fuzzy_match(pattern, instring, *weights) == reference_fuzzy_match(pattern, instring, *weights)


# ---- fuzzy_match_simple -----------------------------------------------------------------------


def reference_simple(pattern, instring, case_sensitive):
    if not pattern:
        return True
    if not instring:
        return False
    if not case_sensitive:
        pattern, instring = pattern.lower(), instring.lower()
    i = 0
    for c in instring:
        if i < len(pattern) and c == pattern[i]:
            i += 1
    return i == len(pattern)


@pytest.mark.parametrize(
    ("pattern", "instring", "case_sensitive", "expected"),
    [
        ("", "", False, True),
        ("", "abc", True, True),
        ("a", "", False, False),
        ("FB", "FooBar", True, True),
        ("fb", "FooBar", True, False),
        ("fb", "FooBar", False, True),
        ("ba", "ab", False, False),
        ("aa", "a", False, False),
        ("ss", "ß", False, False),
        ("i\u0307", "İ", False, True),  # full lower-casing expands İ to two characters
        ("ς", "ΑΣ", False, True),  # final sigma
        ("σ", "ΑΣ", False, False),
        ("σα", "ΣΑ", False, True),  # not final: followed by a cased letter
        ("ς", "ΑΣ\u0301", False, True),  # case-ignorable after does not count
    ],
)
def test_simple_match(pattern, instring, case_sensitive, expected):
    assert bs.fuzzy_match_simple(pattern, instring, case_sensitive) is expected
    assert reference_simple(pattern, instring, case_sensitive) is expected


@settings(max_examples=300, deadline=None)
@given(st.text(ALPHABET, max_size=4), st.text(ALPHABET, max_size=14), st.booleans())
def test_simple_match_equals_reference(pattern, instring, case_sensitive):
    assert bs.fuzzy_match_simple(pattern, instring, case_sensitive) is reference_simple(
        pattern, instring, case_sensitive
    )


def test_full_lower_casing_agrees_with_python_on_every_shared_code_point():
    # A code point's full lower-casing is seen through a one-character subsequence test:
    # the lowered character must match Python's lowered form and nothing longer.
    mismatches = []
    for cp in range(0x80, 0x20000):
        c = chr(cp)
        if 0xD800 <= cp <= 0xDFFF or unicodedata.category(c) == "Cn":
            continue
        low = c.lower()
        if low == c:
            continue
        if not bs.fuzzy_match_simple(low, c, False) or bs.fuzzy_match_simple(low + low, c, False):
            mismatches.append(hex(cp))
    assert mismatches == []


# ---- get_best_matches -------------------------------------------------------------------------


def test_ranking_examples():
    assert bs.get_best_matches("fb", ["foobar", "FooBar", "foo_bar", "xyz"]) == [
        ("FooBar", 16),
        ("foo_bar", 15),
        ("foobar", 6),
    ]
    assert bs.get_best_matches("a", ["ca", "ba", "a"]) == [("a", 10), ("ca", -4), ("ba", -4)]
    assert bs.get_best_matches("", ["a", "b"]) == []
    assert bs.get_best_matches("a", []) == []
    assert bs.get_best_matches("a", ["a", "a"]) == [("a", 10), ("a", 10)]


@settings(max_examples=150, deadline=None)
@given(st.text(ALPHABET, max_size=3), st.lists(st.text(ALPHABET, max_size=10), max_size=20))
def test_ranking_equals_stable_sort_of_reference_scores(pattern, candidates):
    expected = []
    if pattern:
        scored = [(c, reference_fuzzy_match(pattern, c)) for c in candidates]
        expected = [(c, s) for c, (m, s) in scored if m]
        expected.sort(key=lambda pair: -pair[1])
    assert bs.get_best_matches(pattern, candidates) == expected


def test_ranking_returns_the_given_objects():
    candidates = ["".join(["ab", str(i)]) for i in range(3)]
    result = bs.get_best_matches("a", candidates)
    assert all(any(text is c for c in candidates) for text, _ in result)


# ---- fast paths against the plain forms -------------------------------------------------------

ASCII_TEXT = list("abcABC_ -./x1")
# Pattern letters whose lower() is ASCII (KELVIN SIGN, capital I with dot above) or not ASCII.
ASCII_PATTERN = list("abcAB_ /x") + ["\u212a", "İ", "é"]


def test_ascii_instrings_score_like_the_reference():
    # All-ASCII instrings take the scorer's ASCII path; half the rounds use arbitrary weights.
    rng = random.Random(99)
    matched = repeated_letters = 0
    for round_ in range(4000):
        pattern = "".join(rng.choice(ASCII_PATTERN) for _ in range(rng.randint(1, 4)))
        instring = "".join(rng.choice(ASCII_TEXT) for _ in range(rng.randint(0, 30)))
        weights = (
            ()
            if round_ % 2 == 0
            else tuple(rng.choice([rng.randint(-(2**31), 2**31 - 1), rng.randint(-12, 12)]) for _ in range(6))
        )
        expected = reference_fuzzy_match(pattern, instring, *weights)
        assert bs.fuzzy_match(pattern, instring, *weights) == expected, (pattern, instring, weights)
        matched += expected[0]
        repeated_letters += expected[0] and any(a.lower() == b.lower() for a, b in zip(pattern, pattern[1:]))
    assert matched > 800 and repeated_letters > 50, (matched, repeated_letters)


# Final_Sigma contexts: capital sigma between cased letters, case-ignorable characters (apostrophe,
# full stop, combining acute, ypogegrammeni which is also cased, soft hyphen) and uncased ones.
SIGMA_TEXT = [
    "Σ",
    "Σ",
    "σ",
    "ς",
    "Α",
    "α",
    "a",
    "B",
    "'",
    ".",
    "\u0301",
    "\u0345",
    "\u00ad",
    " ",
    "1",
    "İ",
    "i",
    "\u0307",
    "ß",
    "ẞ",
    "\U00010400",
]


def test_simple_match_lowers_on_the_fly_like_str_lower():
    rng = random.Random(7)
    final_sigmas = expanded = found = 0
    for _ in range(6000):
        pattern = "".join(rng.choice(SIGMA_TEXT) for _ in range(rng.randint(1, 3)))
        instring = "".join(rng.choice(SIGMA_TEXT) for _ in range(rng.randint(0, 12)))
        for case_sensitive in (False, True):
            expected = reference_simple(pattern, instring, case_sensitive)
            assert bs.fuzzy_match_simple(pattern, instring, case_sensitive) is expected, (
                pattern,
                instring,
                case_sensitive,
            )
        lowered = instring.lower()
        final_sigmas += "ς" in lowered and "ς" not in instring
        expanded += len(lowered) > len(instring)
        found += reference_simple(pattern, instring, False)
    assert final_sigmas > 500 and expanded > 500 and found > 500, (final_sigmas, expanded, found)


def test_ranking_with_a_wide_range_of_scores_equals_the_reference():
    # A few very long candidates spread the scores far wider than the number of matches.
    candidates = ["a", "-" * 5000 + "a", "xa", "a" + "-" * 3000, "ba", "-" * 5000 + "a", "a"]
    expected = [(c, s) for c, (m, s) in ((c, reference_fuzzy_match("a", c)) for c in candidates) if m]
    expected.sort(key=lambda pair: -pair[1])
    assert bs.get_best_matches("a", candidates) == expected


def test_ranking_many_candidates_equals_the_reference():
    rng = random.Random(3)
    candidates = [
        "".join(rng.choice(ASCII_TEXT + ["é", "İ"]) for _ in range(rng.randint(0, 25))) for _ in range(3000)
    ]
    for pattern in ["a", "ab", "/x", "İ", "B_"]:
        scored = [(c, reference_fuzzy_match(pattern, c)) for c in candidates]
        expected = [(c, s) for c, (m, s) in scored if m]
        expected.sort(key=lambda pair: -pair[1])
        assert bs.get_best_matches(pattern, candidates) == expected
