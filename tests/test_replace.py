"""replace_content / try_replace_content seen from Python.

Covers the order of the strategy table for the mistakes an edit request
typically makes, occurrence selection (single mode, line_hint, replace_all,
the empty candidate), the failure messages and their structured fields, the
result classes, argument binding, and robustness on awkward text. Hypothesis
checks every outcome against a plain splice computed here.
"""

import gc
import platform

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _brindle_search as bs

CPYTHON_ONLY = pytest.mark.skipif(
    platform.python_implementation() == "PyPy",
    reason="PyPy's C-API emulation does not enforce this",
)

STRATEGIES = (
    "simple",
    "line_trimmed",
    "block_anchor",
    "whitespace_normalized",
    "indentation_flexible",
    "escape_normalized",
    "trimmed_boundary",
    "context_aware",
)

NO_CHANGE = "old_string and new_string must be different"

TIPS = (
    "\n\nDebugging tips:\n"
    "1. Check for exact whitespace/indentation match\n"
    "2. Verify line endings match the file (\\r\\n vs \\n)\n"
    "3. Ensure the search text hasn't been modified\n"
    "4. Try reading the file section first to get exact text"
)

ADVICE = (
    "\n\nTo fix, include more surrounding context in old_string to uniquely identify the "
    "target location, or use replace_all=True to replace all occurrences, or provide a "
    "line_hint to select the closest match."
)


def multiple_message(lines_text, preview):
    return (
        f"Pattern found at multiple locations (lines: {lines_text}).\n"
        f'Search text starts with: "{preview}"' + ADVICE
    )


# --- plain references --------------------------------------------------------


def line_of(content, pos):
    return 1 + content.count("\n", 0, pos)


def occurrences(content, needle):
    """Every start position of needle, overlapping ones included."""
    if needle == "":
        return list(range(len(content) + 1))
    found = []
    pos = content.find(needle)
    while pos >= 0:
        found.append(pos)
        pos = content.find(needle, pos + 1)
    return found


def check_outcome(content, old, new, replace_all, line_hint, t):
    """Check a TryReplaceResult against what a plain splice gives."""
    assert isinstance(t, bs.TryReplaceResult)
    if old == new:
        assert not t.success
        assert t.error_type == "no_change"
        assert t.error == NO_CHANGE
        return
    if t.success:
        assert t.error is None and t.error_type is None
        assert t.closest_match is None and t.locations is None
        r = t.result
        assert r.strategy in STRATEGIES
        matched = r.matched_text
        occs = occurrences(content, matched)
        assert occs, "matched_text must be a stretch of the old content"
        if replace_all:
            pos = occs[0]
            expected = content.replace(matched, new)
        else:
            if len(occs) == 1:
                pos = occs[0]
            else:
                assert line_hint is not None, "an ambiguous candidate needs a line_hint"
                pos = min(occs, key=lambda p: (abs(line_of(content, p) - line_hint), p))
            expected = content[:pos] + new + content[pos + len(matched) :]
        assert r.content == expected
        assert r.start_line == line_of(content, pos)
        assert r.end_line == r.start_line + matched.count("\n")
        # The exact text is always tried first and wins whenever it can be placed.
        exact = occurrences(content, old)
        if exact and (replace_all or line_hint is not None or len(exact) == 1):
            assert r.strategy == "simple"
            assert matched == old
    else:
        assert t.result is None
        assert t.error_type in ("not_found", "multiple_matches")
        if t.error_type == "not_found":
            # The exact strategy yields a candidate whenever old_string occurs.
            assert old not in content
            assert t.locations is None
            assert t.error.startswith("Search text not found in file.")
            assert t.error.endswith(TIPS)
        else:
            assert t.closest_match is None
            locs = t.locations
            assert locs == sorted(set(locs))
            assert all(1 <= n <= content.count("\n") + 1 for n in locs)
            assert t.error.startswith("Pattern found at multiple locations (lines: ")
            assert t.error.endswith(ADVICE)


def check_both(content, old, new, replace_all=False, line_hint=None):
    """Run both entry points, check they agree, and return the TryReplaceResult."""
    t = bs.try_replace_content(content, old, new, replace_all, line_hint)
    check_outcome(content, old, new, replace_all, line_hint, t)
    if t.success:
        r = bs.replace_content(content, old, new, replace_all, line_hint)
        expected = t.result
        assert (r.content, r.matched_text, r.start_line, r.end_line, r.strategy) == (
            expected.content,
            expected.matched_text,
            expected.start_line,
            expected.end_line,
            expected.strategy,
        )
    else:
        with pytest.raises(ValueError) as info:
            bs.replace_content(content, old, new, replace_all, line_hint)
        assert type(info.value) is ValueError
        assert info.value.args == (t.error,)
    return t


def fields(r):
    return (r.content, r.matched_text, r.start_line, r.end_line, r.strategy)


# --- which strategy wins -------------------------------------------------------

STRATEGY_CASES = [
    pytest.param(
        "x = 1\ny = 2\n",
        "y = 2",
        "y = 3",
        ("x = 1\ny = 3\n", "y = 2", 2, 2, "simple"),
        id="exact-text",
    ),
    pytest.param(
        "a\nb\nc\n",
        "b\n",
        "B\n",
        ("a\nB\nc\n", "b\n", 2, 3, "simple"),
        id="exact-text-ending-in-lf-counts-the-break",
    ),
    pytest.param(
        "def f():\n    x = 1\n    return x\n",
        "def f():\nx = 1\nreturn x",
        "Z",
        ("Z\n", "def f():\n    x = 1\n    return x", 1, 3, "line_trimmed"),
        id="indentation-changed-per-line",
    ),
    pytest.param(
        # A re-indented block is also an indentation_flexible match, but the
        # line-by-line trimmed comparison comes first and accepts it.
        "    if x:\n        y()\n",
        "if x:\n    y()",
        "Z",
        ("Z\n", "    if x:\n        y()", 1, 2, "line_trimmed"),
        id="whole-block-reindented",
    ),
    pytest.param(
        # 'x' occurs twice; the trimmed-line candidate '  x' occurs once.
        "x\n  x\n",
        "x",
        "y",
        ("x\ny\n", "  x", 2, 2, "line_trimmed"),
        id="ambiguous-exact-text-resolved-later",
    ),
    pytest.param(
        "def f():\n    y = 2\n    z = 3\n    return x\n",
        "def f():\n    x = 1\nreturn x",
        "Z",
        ("Z\n", "def f():\n    y = 2\n    z = 3\n    return x", 1, 4, "block_anchor"),
        id="inner-lines-changed-anchors-kept",
    ),
    pytest.param(
        "a = 1\nfoo( a, b )\nz\n",
        "foo(a,b)",
        "Z",
        ("a = 1\nZ\nz\n", "foo( a, b )", 2, 2, "whitespace_normalized"),
        id="collapsed-spaces",
    ),
    pytest.param(
        "if x :\n  y( )\nz\n",
        "if x:\n    y()",
        "Z",
        ("Z\nz\n", "if x :\n  y( )", 1, 2, "whitespace_normalized"),
        id="collapsed-spaces-two-lines",
    ),
    pytest.param(
        # The whole content normalises like old_string: the whole content is replaced.
        "a\r\nb\r\n",
        "a\nb",
        "x",
        ("x", "a\r\nb\r\n", 1, 3, "whitespace_normalized"),
        id="whole-content-normalised-crlf",
    ),
    pytest.param(
        'print("hi")\nx = 1\n',
        'print(\\"hi\\")\\nx = 1',
        "Z",
        ("Z\n", 'print("hi")\nx = 1', 1, 2, "escape_normalized"),
        id="escaped-newline-and-quotes",
    ),
    pytest.param(
        "say('it\\'s')\n",
        "say('it's')",
        "x",
        ("x\n", "say('it\\'s')", 1, 1, "escape_normalized"),
        id="escape-in-content",
    ),
    pytest.param(
        "a\nfoo()\nb\nc\nd\n",
        "\n\nfoo()\n\n",
        "Z",
        ("a\nZ\nb\nc\nd\n", "foo()", 2, 2, "trimmed_boundary"),
        id="blank-boundary-lines",
    ),
    pytest.param(
        "x = foo()+1\ny\n",
        "\nfoo()\n",
        "Z",
        ("x = Z+1\ny\n", "foo()", 1, 1, "trimmed_boundary"),
        id="blank-boundary-mid-line",
    ),
    pytest.param(
        # Blank search text normalises to the empty text, as does the empty content,
        # which is then replaced as a whole before the trimmed-boundary strategy runs.
        "",
        " \n",
        "new",
        ("new", "", 1, 1, "whitespace_normalized"),
        id="blank-search-text-empty-content",
    ),
    pytest.param(
        # block_anchor picks the best-scoring block, which occurs twice; the
        # context-aware blocks are tried in line order and the first is unique.
        "start\nfoo\nXXX\nend\nstart\nfoo\nbaz\nend\nstart\nfoo\nbaz\nend\n",
        "start\nfoo\nbar\nend",
        "Z",
        (
            "Z\nstart\nfoo\nbaz\nend\nstart\nfoo\nbaz\nend\n",
            "start\nfoo\nXXX\nend",
            1,
            4,
            "context_aware",
        ),
        id="context-aware-after-ambiguous-block-anchor",
    ),
]


@pytest.mark.parametrize("content, old, new, expected", STRATEGY_CASES)
def test_strategy_order(content, old, new, expected):
    r = bs.replace_content(content, old, new)
    assert fields(r) == expected
    check_both(content, old, new)


# --- single mode and line_hint --------------------------------------------------


@pytest.mark.parametrize(
    "content, old, new, hint, expected_content, start",
    [
        pytest.param("aaa", "aa", "b", 1, "ba", 1, id="overlapping-same-line-earlier-wins"),
        pytest.param("x\nk\nx\nk\n", "k", "K", 3, "x\nK\nx\nk\n", 2, id="tie-goes-to-earlier"),
        pytest.param("a\nb\nc\n", "b", "B", 1000, "a\nB\nc\n", 2, id="unique-ignores-hint"),
        pytest.param("a\nb\nc\n", "b", "B", 0, "a\nB\nc\n", 2, id="unique-hint-zero"),
        pytest.param("ab\ncd", "", "X", 2, "ab\nXcd", 2, id="empty-candidate-hint-2"),
        pytest.param("ab\ncd", "", "X", 1, "Xab\ncd", 1, id="empty-candidate-hint-1"),
        pytest.param("é\nü", "", "X", 2, "é\nXü", 2, id="empty-candidate-multibyte"),
        pytest.param("é\nü", "", "X", 99, "é\nXü", 2, id="empty-candidate-far-hint"),
        pytest.param("", "", "x", None, "x", 1, id="empty-candidate-empty-content"),
        pytest.param("", "", "x", 7, "x", 1, id="empty-candidate-empty-content-hint"),
    ],
)
def test_single_mode_placement(content, old, new, hint, expected_content, start):
    r = bs.replace_content(content, old, new, line_hint=hint)
    assert r.content == expected_content
    assert r.start_line == start
    assert r.strategy == "simple"
    check_both(content, old, new, line_hint=hint)


K_LINES = "k\nx\nk\nx\nk\n"  # 'k' on lines 1, 3 and 5


@pytest.mark.parametrize(
    "hint, line",
    [(0, 1), (1, 1), (2, 1), (3, 3), (4, 3), (5, 5), (6, 5), (4294967295, 5)],
)
def test_line_hint_picks_nearest_line(hint, line):
    r = bs.replace_content(K_LINES, "k", "K", line_hint=hint)
    lines = K_LINES.split("\n")
    lines[line - 1] = "K"
    assert r.content == "\n".join(lines)
    assert (r.start_line, r.end_line, r.matched_text, r.strategy) == (line, line, "k", "simple")


@pytest.mark.parametrize(
    "content, old",
    [("k\nx\nk\n", "k"), ("a\nb\nc\n", "b"), ("abc", "zzz"), ("ab", "")],
)
def test_line_hint_none_is_absent(content, old):
    a = bs.try_replace_content(content, old, "Q")
    b = bs.try_replace_content(content, old, "Q", line_hint=None)
    c = bs.try_replace_content(content, old, "Q", False, None)
    assert repr(a) == repr(b) == repr(c)
    assert a.error == b.error == c.error
    assert a.locations == b.locations == c.locations
    if a.success:
        assert fields(a.result) == fields(b.result) == fields(c.result)


def test_ambiguous_without_hint_is_multiple_matches():
    t = check_both("k\nx\nk\n", "k", "K")
    assert t.error_type == "multiple_matches"
    assert t.locations == [1, 3]
    assert t.error == multiple_message("1, 3", "k")


# --- replace_all -----------------------------------------------------------------


@pytest.mark.parametrize(
    "content, old, new, hint, expected",
    [
        pytest.param(
            "a\nfoo\nb\nc\nfoo\n",
            "foo",
            "bar",
            None,
            ("a\nbar\nb\nc\nbar\n", "foo", 2, 2, "simple"),
            id="two-lines",
        ),
        pytest.param(
            "a\nfoo\nb\nc\nfoo\n",
            "foo",
            "bar",
            5,
            ("a\nbar\nb\nc\nbar\n", "foo", 2, 2, "simple"),
            id="hint-ignored",
        ),
        pytest.param(
            "x\nab\ny\nab\n",
            "ab\n",
            "Z",
            None,
            ("x\nZy\nZ", "ab\n", 2, 3, "simple"),
            id="multi-line-candidate",
        ),
        pytest.param("aaaa", "aa", "b", None, ("bb", "aa", 1, 1, "simple"), id="non-overlapping"),
        pytest.param("aaa", "aa", "b", None, ("ba", "aa", 1, 1, "simple"), id="left-to-right"),
        pytest.param("ab", "", "x", None, ("xaxbx", "", 1, 1, "simple"), id="empty-candidate"),
        pytest.param("é\n", "", "x", None, ("xéx\nx", "", 1, 1, "simple"), id="empty-multibyte"),
        pytest.param("", "", "x", None, ("x", "", 1, 1, "simple"), id="empty-everything"),
        pytest.param(
            # Only the first candidate that occurs is applied: '  foo' everywhere,
            # the other candidate 'foo' (line 2) stays.
            "  foo\nfoo\n  foo\n",
            " foo ",
            "X",
            None,
            ("X\nfoo\nX\n", "  foo", 1, 1, "line_trimmed"),
            id="first-candidate-only",
        ),
    ],
)
def test_replace_all(content, old, new, hint, expected):
    r = bs.replace_content(content, old, new, True, hint)
    assert fields(r) == expected
    check_both(content, old, new, True, hint)


def test_replace_all_keyword():
    r = bs.replace_content(content="k\nk\n", old_string="k", new_string="j", replace_all=True)
    assert r.content == "j\nj\n"


# --- no change -----------------------------------------------------------------


@pytest.mark.parametrize(
    "content, old",
    [("abc", "zzz"), ("", ""), ("abc", "abc"), ("abc", ""), ("k\nk\n", "k")],
)
@pytest.mark.parametrize("replace_all", [False, True])
def test_no_change(content, old, replace_all):
    with pytest.raises(ValueError) as info:
        bs.replace_content(content, old, old, replace_all)
    assert info.value.args == (NO_CHANGE,)
    t = bs.try_replace_content(content, old, old, replace_all)
    assert not t
    assert t.success is False
    assert t.error_type == "no_change"
    assert t.error == NO_CHANGE
    assert t.result is None and t.closest_match is None and t.locations is None
    assert repr(t) == 'TryReplaceResult(success=False, error_type=Some("no_change"))'


# --- not found -------------------------------------------------------------------


CLOSE_CONTENT = "one\ntwo\nalpha\nbrXvo\ncXarliYs\nsix\n"
CLOSE_OLD = "alpha\nbravo\ncharlies"  # 20 bytes; the window at lines 3-5 is 3 edits away
CLOSE_DIFF = "--- SEARCH\n+++ CLOSEST MATCH\n alpha\n-bravo\n+brXvo\n-charlies\n+cXarliYs\n"


def test_not_found_with_closest_match():
    t = check_both(CLOSE_CONTENT, CLOSE_OLD, "x")
    assert t.error_type == "not_found"
    assert t.error == (
        "Search text not found in file."
        "\nFirst search line 'alpha' appears at line(s): 3"
        "\nClosest fuzzy match (85.0% similar) at lines 3-5:"
        "\n" + CLOSE_DIFF + TIPS
    )
    info = t.closest_match
    assert type(info) is bs.FuzzyMatchInfo
    assert info.similarity == 1 - 3 / 20
    assert type(info.similarity) is float
    assert (info.start_line, info.end_line) == (3, 5)
    assert info.text == "alpha\nbrXvo\ncXarliYs"
    assert info.diff == CLOSE_DIFF
    assert repr(info) == "FuzzyMatchInfo(similarity=0.85, lines=3-5)"
    assert str(info) == repr(info)
    assert t.locations is None
    assert repr(t) == 'TryReplaceResult(success=False, error_type=Some("not_found"))'
    assert not t


@pytest.mark.parametrize(
    "content, old, message, closest",
    [
        pytest.param(
            "x\n",
            "foo\nbar",
            "Search text not found in file.\nFirst search line 'foo' not found anywhere in file" + TIPS,
            None,
            id="no-window",
        ),
        pytest.param(
            "abcdX",
            "abcde",
            "Search text not found in file.\nFirst search line 'abcde' not found anywhere in file"
            "\nClosest fuzzy match (80.0% similar) at lines 1-1:"
            "\n--- SEARCH\n+++ CLOSEST MATCH\n-abcde\n+abcdX\n" + TIPS,
            ("FuzzyMatchInfo(similarity=0.80, lines=1-1)", "abcdX"),
            id="exactly-80-percent",
        ),
        pytest.param(
            "abcX",
            "abcd",
            "Search text not found in file.\nFirst search line 'abcd' not found anywhere in file" + TIPS,
            None,
            id="75-percent-is-too-far",
        ),
        pytest.param(
            "l1\nx probe\nl3\nl4\nl5\nl6\nprobe y\nl8\nzprobe\nl10\nl11\nprobeprobe\n",
            "probe\nqqqq",
            "Search text not found in file.\nFirst search line 'probe' appears at line(s): 2, 7, 9" + TIPS,
            None,
            id="first-line-report-lists-three",
        ),
        pytest.param(
            # A blank first line: no first-line report; the anchor is the next line.
            "zero\n\nabcdefghij\nend\n",
            "\nabcdefghiJ",
            "Search text not found in file."
            "\nClosest fuzzy match (90.9% similar) at lines 2-3:"
            "\n--- SEARCH\n+++ CLOSEST MATCH\n \n-abcdefghiJ\n+abcdefghij\n" + TIPS,
            ("FuzzyMatchInfo(similarity=0.91, lines=2-3)", "\nabcdefghij"),
            id="blank-first-line",
        ),
    ],
)
def test_not_found_messages(content, old, message, closest):
    t = check_both(content, old, "new")
    assert t.error_type == "not_found"
    assert t.error == message
    if closest is None:
        assert t.closest_match is None
    else:
        assert (repr(t.closest_match), t.closest_match.text) == closest


def test_debugging_tips_length():
    assert len(TIPS.encode()) == 219


def test_not_found_diff_is_truncated():
    search = [f"search line number {i:02} with some padding text" for i in range(30)]
    window = [line.replace("search", "seArch") for line in search]
    content = "head\n" + "\n".join(window) + "\ntail\n"
    old = "\n".join(search)
    t = check_both(content, old, "x")
    assert t.error_type == "not_found"
    full = "--- SEARCH\n+++ CLOSEST MATCH\n" + "".join(f"-{a}\n+{b}\n" for a, b in zip(search, window))
    assert len(full) > 2000
    diff = full[:2000] + "\n...(diff truncated)"
    assert t.closest_match.diff == diff
    assert (t.closest_match.start_line, t.closest_match.end_line) == (2, 31)
    assert t.error.endswith("\n" + diff + TIPS)


# --- multiple matches ----------------------------------------------------------


@pytest.mark.parametrize(
    "content, old, locations, lines_text, preview",
    [
        pytest.param(
            "foo()\nx\n" * 7,
            "foo()",
            [1, 3, 5, 7, 9, 11, 13],
            "1, 3, 5, 7, 9, ... (7 total)",
            "foo()",
            id="seven-locations",
        ),
        pytest.param(
            "foo()\nx\n" * 5,
            "foo()",
            [1, 3, 5, 7, 9],
            "1, 3, 5, 7, 9",
            "foo()",
            id="five-locations",
        ),
        pytest.param(
            # Ambiguity comes from a tolerant strategy; the exact text is nowhere.
            "  foo\n  foo\n",
            "foo ",
            [],
            "",
            "foo ",
            id="no-location",
        ),
        pytest.param(
            # Multi-line candidates are joined with LF and so never occur in CRLF text.
            "a\r\nb\r\nc\r\n",
            "a\nb",
            [1],
            "1",
            "a",
            id="crlf-content",
        ),
        pytest.param("ab", "", [1], "1", "", id="empty-old-string"),
        pytest.param(
            # Blank search text: the trimmed-boundary candidate '' occurs everywhere.
            "abc",
            "   \n  ",
            [],
            "",
            "   ",
            id="blank-old-string",
        ),
        pytest.param(
            ("é" * 60 + "\n") * 2,
            "é" * 60,
            [1, 2],
            "1, 2",
            "é" * 60,
            id="preview-60-chars",
        ),
        pytest.param(
            ("é" * 61 + "\n") * 2,
            "é" * 61,
            [1, 2],
            "1, 2",
            "é" * 60 + "...",
            id="preview-61-chars",
        ),
    ],
)
def test_multiple_matches(content, old, locations, lines_text, preview):
    t = check_both(content, old, "new")
    assert t.error_type == "multiple_matches"
    assert t.locations == locations
    assert t.error == multiple_message(lines_text, preview)
    assert t.closest_match is None
    assert repr(t) == 'TryReplaceResult(success=False, error_type=Some("multiple_matches"))'
    assert not t


# --- docstrings and argument binding ---------------------------------------------

REPLACE_DOC = """\
Replace content using multiple fallback strategies.

Tries various matching strategies in order until one succeeds:
1. Simple - Direct string matching
2. Line-trimmed - Line-by-line matching with trimmed whitespace
3. Block-anchor - Multi-line matching using first/last line anchors
4. Whitespace-normalized - Normalized whitespace matching
5. Indentation-flexible - Matching with flexible indentation
6. Escape-normalized - Handle escape sequence differences
7. Trimmed-boundary - Match with trimmed boundaries
8. Context-aware - Use anchor lines for context matching

Args:
    content: The text content to search within
    old_string: Text to find and replace
    new_string: Replacement text
    replace_all: If True, replace all occurrences (default: False)
    line_hint: Optional line number hint for disambiguation when multiple matches exist

Returns:
    ReplaceResult with the new content and match information

Raises:
    ValueError: If old_string equals new_string, not found, or multiple matches without line_hint"""

TRY_REPLACE_DOC = """\
Try to replace content, returning a result object instead of raising.

This is useful when you want to handle errors programmatically rather than
catching exceptions. The returned object is falsy on failure, truthy on success.

Args:
    content: The text content to search within
    old_string: Text to find and replace
    new_string: Replacement text
    replace_all: If True, replace all occurrences (default: False)
    line_hint: Optional line number hint for disambiguation

Returns:
    TryReplaceResult with:
    - success: bool
    - result: ReplaceResult if success, None otherwise
    - error: Error message if failed, None otherwise
    - error_type: "not_found", "multiple_matches", or "no_change" if failed
    - closest_match: FuzzyMatchInfo if a close match was found
    - locations: List of line numbers if multiple matches found"""


@CPYTHON_ONLY
@pytest.mark.parametrize(
    "func, doc", [(bs.replace_content, REPLACE_DOC), (bs.try_replace_content, TRY_REPLACE_DOC)]
)
def test_docstrings(func, doc):
    assert func.__doc__ == doc
    assert func.__text_signature__ == ("(content, old_string, new_string, replace_all=False, line_hint=None)")


@pytest.mark.parametrize("func", [bs.replace_content, bs.try_replace_content])
@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        ((1, "a", "b"), {}, TypeError, "argument 'content': 'int' object cannot be converted to 'str'"),
        (
            ("a", b"a", "b"),
            {},
            TypeError,
            "argument 'old_string': 'bytes' object cannot be converted to 'str'",
        ),
        (
            ("a", "a", None),
            {},
            TypeError,
            "argument 'new_string': 'NoneType' object cannot be converted to 'str'",
        ),
        (
            ("a", "a", "b", 1),
            {},
            TypeError,
            "argument 'replace_all': 'int' object cannot be converted to 'bool'",
        ),
        (
            ("a", "a", "b", None),
            {},
            TypeError,
            "argument 'replace_all': 'NoneType' object cannot be converted to 'bool'",
        ),
        (
            ("a", "a", "b"),
            {"line_hint": -1},
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            ("a", "a", "b"),
            {"line_hint": 4294967296},
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        (
            ("a", "a", "b"),
            {"line_hint": -(2**40)},
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        # Conversion runs left to right: the first bad argument is reported.
        ((1, 2, 3), {}, TypeError, "argument 'content': 'int' object cannot be converted to 'str'"),
        (
            ("a", "a", "b", 1),
            {"line_hint": -1},
            TypeError,
            "argument 'replace_all': 'int' object cannot be converted to 'bool'",
        ),
    ],
)
def test_argument_conversion_errors(func, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        func(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message


@pytest.mark.parametrize("func", [bs.replace_content, bs.try_replace_content])
@pytest.mark.parametrize("bad", [2**64, -(2**64)], ids=["huge", "huge-negative"])
def test_line_hint_beyond_64_bits(func, bad):
    with pytest.raises(OverflowError):
        func("a", "a", "b", line_hint=bad)


@pytest.mark.parametrize("func", [bs.replace_content, bs.try_replace_content])
def test_line_hint_not_an_integer(func):
    with pytest.raises(TypeError) as info:
        func("a", "a", "b", line_hint="1")
    assert str(info.value).startswith("argument 'line_hint': ")


@pytest.mark.parametrize("name", ["replace_content", "try_replace_content"])
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a",), {}, "{}() missing 2 required positional arguments: 'old_string' and 'new_string'"),
        ((), {}, "{}() missing 3 required positional arguments: 'content', 'old_string', and 'new_string'"),
        (("a", "b"), {}, "{}() missing 1 required positional argument: 'new_string'"),
        (("a", "b", "c", False, None, 1), {}, "{}() takes from 3 to 5 positional arguments but 6 were given"),
        (("a", "b", "c"), {"x": 1}, "{}() got an unexpected keyword argument 'x'"),
        (("a", "b", "c"), {"content": "d"}, "{}() got multiple values for argument 'content'"),
        (
            ("a", "b", "c", False),
            {"replace_all": True},
            "{}() got multiple values for argument 'replace_all'",
        ),
    ],
)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(bs, name)(*args, **kwargs)
    assert str(info.value) == message.format(name)


def test_keywords_and_str_subclasses_accepted():
    class Text(str):
        pass

    r = bs.replace_content(new_string=Text("B"), old_string=Text("b"), content=Text("abc"), line_hint=0)
    assert fields(r) == ("aBc", "b", 1, 1, "simple")
    assert type(r.content) is str and type(r.matched_text) is str


@pytest.mark.parametrize("position", [0, 1, 2])
def test_lone_surrogate_is_an_encoding_error(position):
    args = ["abc", "b", "x"]
    args[position] = "a\ud800"
    with pytest.raises(UnicodeEncodeError):
        bs.try_replace_content(*args)


# --- result classes ----------------------------------------------------------------


def test_result_attribute_order():
    def public(cls):
        return [n for n in vars(cls) if not n.startswith("_")]

    assert public(bs.ReplaceResult) == [
        "content",
        "matched_text",
        "start_line",
        "end_line",
        "strategy",
    ]
    assert public(bs.TryReplaceResult) == [
        "success",
        "result",
        "error",
        "error_type",
        "closest_match",
        "locations",
    ]
    assert public(bs.FuzzyMatchInfo) == ["similarity", "start_line", "end_line", "text", "diff"]


@pytest.mark.parametrize(
    "matched, shown",
    [
        pytest.param("a" * 50, "a" * 50, id="50-bytes-whole"),
        pytest.param("a" * 51, "a" * 50 + "...", id="51-bytes-cut"),
        pytest.param("a" * 49 + "é", "a" * 49 + "...", id="cut-before-two-byte-char"),
        pytest.param("a" * 48 + "é", "a" * 48 + "é", id="two-byte-char-ends-at-50"),
        pytest.param("a" * 48 + "€x", "a" * 48 + "...", id="cut-before-three-byte-char"),
        pytest.param("a" * 47 + "𝄞", "a" * 47 + "...", id="cut-before-four-byte-char"),
        pytest.param("é" * 30, "é" * 25 + "...", id="two-byte-chars"),
        pytest.param("l1\nl2\n", "l1\nl2\n", id="newlines-unescaped"),
        pytest.param("it's", "it's", id="quote-unescaped"),
    ],
)
def test_replace_result_repr(matched, shown):
    content = "<" + matched + ">"
    r = bs.replace_content(content, matched, "X")
    end = 1 + matched.count("\n")
    expected = f"ReplaceResult(start_line=1, end_line={end}, strategy='simple', matched_text='{shown}')"
    assert repr(r) == expected
    assert str(r) == expected
    t = bs.try_replace_content(content, matched, "X")
    assert repr(t) == 'TryReplaceResult(success=True, result=Some("simple"))'
    assert t
    assert t.success is True


@pytest.mark.parametrize("content, old, new, expected", STRATEGY_CASES)
def test_try_repr_names_strategy(content, old, new, expected):
    t = bs.try_replace_content(content, old, new)
    assert repr(t) == f'TryReplaceResult(success=True, result=Some("{expected[4]}"))'


def make_results():
    ok = bs.try_replace_content("a\nb\n", "b", "c")
    missing = bs.try_replace_content(CLOSE_CONTENT, CLOSE_OLD, "x")
    ambiguous = bs.try_replace_content("k\nk\n", "k", "x")
    return ok, missing, ambiguous


def test_reads_give_fresh_objects():
    ok, missing, ambiguous = make_results()
    assert ok.result is not ok.result
    assert fields(ok.result) == fields(ok.result)
    assert missing.closest_match is not missing.closest_match
    assert missing.closest_match.diff == missing.closest_match.diff
    first = ambiguous.locations
    assert first is not ambiguous.locations
    first.append(99)
    assert ambiguous.locations == [1, 2]
    assert ok.locations is None and missing.locations is None
    assert ok.closest_match is None and ambiguous.closest_match is None


def test_nested_results_outlive_their_holder():
    ok, missing, _ = make_results()
    r = ok.result
    info = missing.closest_match
    del ok, missing
    gc.collect()
    assert fields(r) == ("a\nc\n", "b", 2, 2, "simple")
    assert info.text == "alpha\nbrXvo\ncXarliYs"


def test_result_equality_is_identity():
    a = bs.replace_content("ab", "a", "x")
    b = bs.replace_content("ab", "a", "x")
    assert a == a
    assert a != b
    ok, _, _ = make_results()
    assert ok.result != ok.result


@pytest.mark.parametrize("which", ["replace", "try", "info"])
def test_attributes_are_read_only(which):
    ok, missing, _ = make_results()
    obj = {"replace": ok.result, "try": ok, "info": missing.closest_match}[which]
    for name in [n for n in vars(type(obj)) if not n.startswith("_")]:
        before = getattr(obj, name)
        with pytest.raises(AttributeError):
            setattr(obj, name, before)
        with pytest.raises(AttributeError):
            delattr(obj, name)


@pytest.mark.parametrize("cls", [bs.ReplaceResult, bs.TryReplaceResult, bs.FuzzyMatchInfo])
def test_not_instantiable(cls):
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls.__new__(cls)


@CPYTHON_ONLY
@pytest.mark.parametrize("cls", [bs.ReplaceResult, bs.TryReplaceResult, bs.FuzzyMatchInfo])
def test_not_subclassable_and_no_dict(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    ok, missing, _ = make_results()
    obj = {bs.ReplaceResult: ok.result, bs.TryReplaceResult: ok, bs.FuzzyMatchInfo: missing.closest_match}[
        cls
    ]
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1


@pytest.mark.parametrize(
    "cls, doc",
    [
        (bs.ReplaceResult, "Result of a successful replacement operation."),
        (
            bs.TryReplaceResult,
            "Result from try_replace_content - either success with result, or failure with error details.",
        ),
        (bs.FuzzyMatchInfo, "Information about a fuzzy match when replacement fails."),
    ],
)
def test_class_docstrings(cls, doc):
    assert cls.__doc__ == doc


def test_field_types():
    ok, missing, ambiguous = make_results()
    r = ok.result
    assert [
        type(getattr(r, n)) for n in ("content", "matched_text", "start_line", "end_line", "strategy")
    ] == [str, str, int, int, str]
    assert type(ok.success) is bool and type(missing.success) is bool
    assert type(missing.error) is str and type(missing.error_type) is str
    assert type(ambiguous.locations) is list
    assert all(type(n) is int for n in ambiguous.locations)


# --- awkward input ---------------------------------------------------------------

AWKWARD_CONTENTS = [
    "",
    "\r",
    "\r\r\r",
    "a\r\nb\r\nc\r\n",
    "a\nb\r\nc\rd\n",
    "x\ry",
    "\n\n\n",
    "é\n😀\n𝄞x\n",
    "  \t\u3000\u00a0\n",
    "\\n\\t\\\\\n",
]
AWKWARD_OLD = [
    "",
    "\r",
    "\n",
    "\r\n",
    "a\nb",
    "a\r\nb",
    "b",
    "😀",
    "é\n😀",
    "\\n",
    "  ",
    "zzz" * 20,
]


@pytest.mark.parametrize("content", AWKWARD_CONTENTS)
@pytest.mark.parametrize("old", AWKWARD_OLD)
@pytest.mark.parametrize("replace_all, hint", [(False, None), (False, 2), (True, None)])
def test_awkward_input_never_crashes(content, old, replace_all, hint):
    check_both(content, old, "N", replace_all, hint)


def test_old_string_longer_than_content():
    t = check_both("ab", "ab\ncd\nef", "x")
    assert t.error_type == "not_found"
    assert t.closest_match is None


def test_ten_megabyte_content():
    lines = [f"line {i}" for i in range(1_000_000)]
    content = "\n".join(lines) + "\n"
    assert len(content) > 10_000_000
    r = bs.replace_content(content, "line 999998\nline 999999\n", "end\n")
    assert r.start_line == 999_999
    assert r.end_line == 1_000_001
    assert r.content == content[: -len("line 999998\nline 999999\n")] + "end\n"
    t = bs.try_replace_content(content, "line 5\nline 7", "x")
    assert t.error_type == "not_found"
    assert t.error.startswith(
        "Search text not found in file.\nFirst search line 'line 5' appears at line(s): 6, 51, 52"
    )


# --- generated inputs ------------------------------------------------------------

PIECES = st.sampled_from(list("ab x\n\n\t\r\\n\"'(),é😀") + ["\u3000", "\\n", "  "])
ALPHABET = st.lists(PIECES, max_size=30).map("".join)


def perturb(text, how, where, char):
    if how == "same":
        return text
    if how == "strip":
        return text.strip()
    if how == "dedent":
        return "\n".join(line.lstrip() for line in text.split("\n"))
    if how == "indent":
        return "\n".join("  " + line for line in text.split("\n"))
    if how == "escape":
        return text.replace("\\", "\\\\").replace("\n", "\\n").replace('"', '\\"')
    if how == "squeeze":
        return text.replace(" ", "")
    if how == "pad":
        return "\n" + text + "\n\n"
    if how == "crlf":
        return text.replace("\n", "\r\n")
    pos = where % (len(text) + 1)
    if how == "insert":
        return text[:pos] + char + text[pos:]
    return text[:pos] + text[pos + 1 :]  # delete


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    content=ALPHABET,
    data=st.data(),
    new=st.text(st.sampled_from(list("NM\n é")), max_size=4),
    replace_all=st.booleans(),
    hint=st.none() | st.integers(0, 12),
)
def test_outcomes_match_a_plain_splice(content, data, new, replace_all, hint):
    i = data.draw(st.integers(0, len(content)), label="i")
    j = data.draw(st.integers(i, len(content)), label="j")
    how = data.draw(
        st.sampled_from(
            [
                "same",
                "same",
                "strip",
                "dedent",
                "indent",
                "escape",
                "squeeze",
                "pad",
                "crlf",
                "insert",
                "delete",
            ]
        ),
        label="how",
    )
    where = data.draw(st.integers(0, 50), label="where")
    char = data.draw(PIECES, label="char")
    old = perturb(content[i:j], how, where, char)
    check_both(content, old, new, replace_all, hint)


@settings(max_examples=200, deadline=None)
@given(
    content=st.text(st.sampled_from(list("abé\n ")), max_size=20),
    data=st.data(),
    new=st.text(st.sampled_from(list("XY\n")), max_size=3),
    hint=st.none() | st.integers(0, 8),
)
def test_exact_text_uses_simple(content, data, new, hint):
    i = data.draw(st.integers(0, len(content)))
    j = data.draw(st.integers(i, len(content)))
    old = content[i:j]
    if old == new:
        return
    occs = occurrences(content, old)
    t = bs.try_replace_content(content, old, new, False, hint)
    if len(occs) == 1 or hint is not None:
        pos = occs[0] if len(occs) == 1 else min(occs, key=lambda p: (abs(line_of(content, p) - hint), p))
        assert t.success
        assert fields(t.result) == (
            content[:pos] + new + content[pos + len(old) :],
            old,
            line_of(content, pos),
            line_of(content, pos) + old.count("\n"),
            "simple",
        )
    else:
        # Several exact occurrences and no hint: a later strategy or an ambiguity error.
        assert t.error_type != "not_found"
    ta = bs.try_replace_content(content, old, new, True, hint)
    assert fields(ta.result) == (
        content.replace(old, new),
        old,
        line_of(content, occs[0]),
        line_of(content, occs[0]) + old.count("\n"),
        "simple",
    )
