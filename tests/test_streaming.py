"""StreamingFuzzyMatcher seen from Python.

Covers line buffering, the line alignment and its tie-breaks, hint selection,
get_text (including ranges from another matcher), binding and conversion
errors, re-entrant use during argument conversion, the class surface, and
awkward input. A plain, non-incremental Python matcher is compared with the
module on generated sources, queries and chunkings.
"""

import platform
import re
import sys
import weakref

import pytest
from conftest import SANITIZED
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _brindle_search as bs

SFM = bs.StreamingFuzzyMatcher

CPYTHON_ONLY = pytest.mark.skipif(
    platform.python_implementation() == "PyPy",
    reason="PyPy's C-API emulation does not enforce this",
)


def pair(r):
    return None if r is None else (r.start, r.end)


def pairs(ranges):
    return [pair(r) for r in ranges]


# --- plain reference -------------------------------------------------------------

WHITE_SPACE = (
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    + "".join(chr(c) for c in range(0x2000, 0x200B))
    + "\u2028\u2029\u202f\u205f\u3000"
)


def split_lines(text):
    lines, start = [], 0
    while True:
        i = text.find("\n", start)
        if i < 0:
            break
        line = text[start:i]
        lines.append(line[:-1] if line.endswith("\r") else line)
        start = i + 1
    if start < len(text):
        lines.append(text[start:])
    return lines


def levenshtein(a, b):
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j - 1] + (ca != cb), cur[j - 1] + 1, prev[j] + 1))
        prev = cur
    return prev[-1]


def pair_cost(q, s):
    q, s = q.strip(WHITE_SPACE), s.strip(WHITE_SPACE)
    if q == s:
        return 0
    if not q or not s:
        return 13
    lq, ls = len(q.encode()), len(s.encode())
    longest = max(lq, ls)
    if 5 * abs(lq - ls) > longest:
        return 13
    return 1 if 5 * levenshtein(q, s) <= longest else 13


QUERY_ONLY, SOURCE_ONLY, PAIRED = 0, 1, 2


def resolve(source, query):
    """Align all query lines from scratch and return the surviving ranges."""
    n, m = len(source), len(query)
    if n == 0:
        return []
    cost = [[0] * (n + 1)]
    step = [[PAIRED] * (n + 1)]
    for r in range(1, m + 1):
        crow, srow = [10 * r], [QUERY_ONLY]
        for c in range(1, n + 1):
            above = cost[r - 1][c] + 10
            left = crow[c - 1] + 3
            diagonal = cost[r - 1][c - 1] + pair_cost(query[r - 1], source[c - 1])
            best, how = (left, SOURCE_ONLY) if left < above else (above, QUERY_ONLY)
            if diagonal < best:
                best, how = diagonal, PAIRED
            crow.append(best)
            srow.append(how)
        cost.append(crow)
        step.append(srow)
    offsets = [0]
    for line in source:
        offsets.append(offsets[-1] + len(line.encode()) + 1)
    least = min(cost[m][1:])
    ranges = []
    for e in range(1, n + 1):
        if cost[m][e] != least:
            continue
        r, c, count = m, e, 0
        while r > 0 and c > 0:
            how = step[r][c]
            if how == PAIRED:
                r, c, count = r - 1, c - 1, count + 1
            elif how == QUERY_ONLY:
                r -= 1
            else:
                c -= 1
        if 5 * count >= 4 * max(e - c, m):
            ranges.append((offsets[c], offsets[e - 1] + len(source[e - 1].encode())))
    return ranges


class PlainMatcher:
    def __init__(self, source_text):
        self.source = split_lines(source_text)
        self.offsets = [0]
        for line in self.source:
            self.offsets.append(self.offsets[-1] + len(line.encode()) + 1)
        self.query, self.pending, self.matches, self.hint = [], "", [], None

    def select(self):
        if not self.matches:
            return None
        if len(self.matches) == 1:
            return self.matches[0]
        if self.hint is None:
            return None
        chosen, best = None, None
        for rng in self.matches:
            k = max(i for i, off in enumerate(self.offsets) if off <= rng[0])
            distance = abs(k - self.hint)
            if distance <= 200 and (best is None or distance < best):
                chosen, best = rng, distance
        return chosen

    def push(self, chunk, hint=None):
        if hint is not None:
            self.hint = hint
        self.pending += chunk
        cut = self.pending.rfind("\n")
        if cut >= 0:
            self.query += split_lines(self.pending[: cut + 1])
            self.pending = self.pending[cut + 1 :]
            self.matches = resolve(self.source, self.query)
        chosen = self.select()
        if chosen is None and self.matches:
            chosen = self.matches[0]
        return chosen

    def finish(self):
        if self.pending:
            self.query.append(self.pending)
            self.pending = ""
            self.matches = resolve(self.source, self.query)
        return list(self.matches)


# --- construction and buffering ----------------------------------------------------


@pytest.mark.parametrize(
    "source, lines",
    [
        ("", []),
        ("\n", [""]),
        ("a\r\nb\n", ["a", "b"]),
        ("a\nb", ["a", "b"]),
        ("a\r", ["a\r"]),
        ("a\r\r\n", ["a\r"]),
        ("x\ry\n", ["x\ry"]),
        ("\n\n", ["", ""]),
        ("é\n😀", ["é", "😀"]),
    ],
)
def test_source_lines(source, lines):
    m = SFM(source)
    assert m.source_lines == lines
    assert m.query_lines == []
    assert m.select_best_match() is None
    assert m.finish() == []


@pytest.mark.parametrize(
    "chunks, lines, after_finish",
    [
        (["abc"], [], ["abc"]),
        (["ab\ncd"], ["ab"], ["ab", "cd"]),
        (["x\r", "\n"], ["x"], ["x"]),
        (["\n\n"], ["", ""], ["", ""]),
        (["y\r"], [], ["y\r"]),
        (["a", "b", "c\nd", "e\n"], ["abc", "de"], ["abc", "de"]),
        (["\r\r\r"], [], ["\r\r\r"]),
        (["a\r\r\nb"], ["a\r"], ["a\r", "b"]),
        (["", "", ""], [], []),
    ],
)
def test_query_line_buffering(chunks, lines, after_finish):
    m = SFM("a\nb\n")
    for chunk in chunks:
        m.push(chunk)
    assert m.query_lines == lines
    m.finish()
    assert m.query_lines == after_finish
    # A second finish adds nothing.
    before = pairs(m.finish())
    assert m.query_lines == after_finish
    assert pairs(m.finish()) == before


def test_push_after_finish_starts_a_new_line():
    m = SFM("ab\ncd\n")
    m.push("a")
    assert pairs(m.finish()) == []
    assert m.query_lines == ["a"]
    m.push("b\n")
    assert m.query_lines == ["a", "b"]


def test_documented_example():
    m = SFM("function foo() {\n    return 42;\n}")
    assert pair(m.push("function foo() {\n", None)) == (0, 16)
    assert pair(m.select_best_match()) == (0, 16)
    assert pair(m.push("    return 42;\n")) == (0, 31)
    # No line feed: nothing is resolved, the previous answer stands.
    assert pair(m.push("}")) == (0, 31)
    assert m.query_lines == ["function foo() {", "    return 42;"]
    final = m.finish()
    assert pairs(final) == [(0, 33)]
    assert m.get_text(final[0]) == "function foo() {\n    return 42;\n}"


# --- alignment ---------------------------------------------------------------------

FIVE = "alpha\nbeta\ngamma\ndelta\nepsilon\n"


@pytest.mark.parametrize(
    "source, query, ranges",
    [
        pytest.param("function foo() {\n    return 42;\n}", "function foo() {\n", [(0, 16)], id="first-line"),
        pytest.param("a\nb\na\n", "a\n", [(0, 1), (4, 5)], id="two-end-columns"),
        pytest.param("x\n" * 5, "x\n", [(0, 1), (2, 3), (4, 5), (6, 7), (8, 9)], id="five-x"),
        pytest.param("x\ny\nz\n", "q\n", [], id="nothing-alike"),
        pytest.param(
            "def f():\n    return 42;\n", "  def f():\n return 43;\n", [(0, 23)], id="trimmed-and-similar"
        ),
        pytest.param("alpha\nbeta\ngamma\ndelta\n", "alpha\ngamma\n", [], id="two-of-three"),
        pytest.param(FIVE, "alpha\nbeta\nX\ndelta\n", [], id="query-only-wins-tie"),
        pytest.param(FIVE, "alpha\nbeta\nX\ndelta\nepsilon\n", [(0, 30)], id="ratio-exactly-0.8"),
        pytest.param(FIVE, "alpha\nbeta\nXgamma\nepsilon\n", [(0, 30)], id="passed-over-line"),
        pytest.param("aaaa\nbbbb\n", "aaab\n", [], id="0.75-is-different"),
        pytest.param("aaaaa\nbbbbb\n", "aaaab\n", [(0, 5)], id="0.8-is-similar"),
        # 'éééé' (8 bytes) against 'ééée' (7 bytes): one edit over 8 bytes is similar,
        # while one edit over 4 characters would not be.
        pytest.param("ééée\nzzzz\n", "éééé\n", [(0, 7)], id="length-in-bytes"),
        pytest.param("\u3000abc\u2003\nzzz\n", "abc\n", [(0, 9)], id="unicode-white-space-trimmed"),
        pytest.param("a\r\nb\r\n", "b\n", [(2, 3)], id="crlf-source"),
        pytest.param("", "a\n", [], id="empty-source"),
        pytest.param("a\n\nb\n", "\n", [(2, 2)], id="empty-line"),
    ],
)
def test_alignment(source, query, ranges):
    m = SFM(source)
    first = m.push(query)
    assert pairs(m.finish()) == ranges
    assert pair(first) == (ranges[0] if ranges else None)
    reference = PlainMatcher(source)
    reference.push(query)
    assert reference.finish() == ranges


def test_line_by_line_ranges_can_disappear():
    m = SFM("l1\nl2\nl3\nl4\nl5\n")
    answers = [pair(m.push(line + "\n")) for line in ["l1", "l2", "NEW", "l3", "l4", "l5"]]
    assert answers == [(0, 2), (0, 5), None, None, (0, 11), (0, 14)]
    assert pairs(m.finish()) == [(0, 14)]


def test_get_text_of_every_range():
    source = "def f():\n    x = 1\n    return x\n\ndef g():\n    x = 1\n    return x\n"
    m = SFM(source)
    m.push("    x = 1\n    return x\n")
    ranges = m.finish()
    assert pairs(ranges) == [(9, 31), (42, 64)]
    assert [m.get_text(r) for r in ranges] == ["    x = 1\n    return x"] * 2


# --- hint selection ------------------------------------------------------------------


@pytest.mark.parametrize(
    "hint, pushed, selected",
    [
        (None, (0, 1), None),
        (2, (4, 5), (4, 5)),
        (1, (0, 1), (0, 1)),
        (0, (0, 1), (0, 1)),
        (3, (4, 5), (4, 5)),
        (202, (4, 5), (4, 5)),
        (203, (0, 1), None),
        (500, (0, 1), None),
        (4294967295, (0, 1), None),
    ],
)
def test_hint_selection(hint, pushed, selected):
    m = SFM("a\nb\na\n")
    assert pair(m.push("a\n", hint)) == pushed
    assert pair(m.select_best_match()) == selected


@pytest.mark.parametrize("hint", [None, 0, 1000, 4294967295])
def test_single_range_ignores_hint(hint):
    m = SFM("a\nb\nc\n")
    assert pair(m.push("b\n", hint)) == (2, 3)
    assert pair(m.select_best_match()) == (2, 3)


@pytest.mark.parametrize(
    "hint, selected", [(0, (0, 1)), (1, (2, 3)), (200, (2, 3)), (201, (2, 3)), (202, None)]
)
def test_hint_distance_limit(hint, selected):
    m = SFM("x\nx\n" + "filler line\n" * 300)
    pushed = m.push("x\n", hint)
    assert pair(m.select_best_match()) == selected
    assert pair(pushed) == (selected or (0, 1))


def test_hint_stays_in_force():
    m = SFM("a\nb\na\n")
    assert m.push("a", 2) is None  # no line yet
    assert pair(m.push("\n")) == (4, 5)  # the hint given earlier applies
    assert pair(m.push("x")) == (4, 5)  # no line feed: previous ranges, same hint
    assert pair(m.push("", 0)) == (0, 1)  # a new hint takes effect at once
    assert pair(m.select_best_match()) == (0, 1)
    assert pair(m.push("", None)) == (0, 1)  # None keeps the hint
    # finish() neither applies the hint nor picks a range.
    assert pairs(m.finish()) == []


# --- get_text ------------------------------------------------------------------------


def range_from(source, query):
    m = SFM(source)
    m.push(query)
    (r,) = m.finish()
    return r


@pytest.mark.parametrize(
    "source, query, target, text",
    [
        ("0123456789\nab\n", "ab\n", "0123456789", ""),  # wholly beyond the end
        ("xy\n0123456789\n", "0123456789\n", "abcdefghij", "defghij"),  # end clamped
        ("xy\n0123456789\n", "0123456789\n", "ab\ncdefghijklmn", "cdefghijkl"),
        ("a\nb\n", "b\n", "", ""),
        ("ab\nxy\n", "xy\n", "abc\u00e9d", "é"),
    ],
)
def test_get_text_of_a_foreign_range(source, query, target, text):
    r = range_from(source, query)
    m = SFM(target)
    assert m.get_text(r) == text
    assert m.get_text(match_range=r) == text


@pytest.mark.parametrize(
    "source, query, target",
    [
        pytest.param("x", "x\n", "é", id="end-inside-char"),  # 0..1
        pytest.param("\nab", "ab\n", "éz", id="start-inside-char"),  # 1..3
        pytest.param("x\ny", "y\n", "a€", id="both-inside-char"),  # 2..3
        pytest.param("xyz\n", "xyz\n", "😀", id="inside-astral-char"),  # 0..3
    ],
)
def test_get_text_inside_a_character_panics(source, query, target):
    r = range_from(source, query)
    m = SFM(target)
    own = m.push(target + "\n", 3)
    assert pair(own) == (0, len(target.encode()))
    with pytest.raises(BaseException) as info:
        m.get_text(r)
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    assert re.findall(r"\d+", str(exc))[:2] == [str(r.start), str(r.end)]
    assert not hasattr(bs, "PanicException")
    assert type(exc).__name__ not in bs.__all__
    # The matcher is unchanged and still usable.
    assert m.query_lines == [target]
    assert m.source_lines == [target]
    assert pair(m.select_best_match()) == pair(own)
    assert m.get_text(own) == target
    assert pairs(m.finish()) == [pair(own)]


# --- binding, conversion and messages ----------------------------------------------


@pytest.fixture
def matcher():
    return SFM("a\nb\na\n")


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda m: SFM(),
            "StreamingFuzzyMatcher.__new__() missing 1 required positional argument: 'source_text'",
        ),
        (
            lambda m: SFM("a", "b"),
            "StreamingFuzzyMatcher.__new__() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda m: SFM(text="a"),
            "StreamingFuzzyMatcher.__new__() got an unexpected keyword argument 'text'",
        ),
        (lambda m: SFM(b"x"), "argument 'source_text': 'bytes' object cannot be converted to 'str'"),
        (lambda m: m.push(), "StreamingFuzzyMatcher.push() missing 1 required positional argument: 'chunk'"),
        (
            lambda m: m.push("a", 1, 2),
            "StreamingFuzzyMatcher.push() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (
            lambda m: m.push("a", chunk="b"),
            "StreamingFuzzyMatcher.push() got multiple values for argument 'chunk'",
        ),
        (
            lambda m: m.push("a", hint=1),
            "StreamingFuzzyMatcher.push() got an unexpected keyword argument 'hint'",
        ),
        (lambda m: m.push(42), "argument 'chunk': 'int' object cannot be converted to 'str'"),
        (lambda m: m.push(None), "argument 'chunk': 'NoneType' object cannot be converted to 'str'"),
        (
            lambda m: m.get_text(),
            "StreamingFuzzyMatcher.get_text() missing 1 required positional argument: 'match_range'",
        ),
        (
            lambda m: m.get_text(1, 2),
            "StreamingFuzzyMatcher.get_text() takes 1 positional arguments but 2 were given",
        ),
        (
            lambda m: m.get_text((0, 1)),
            "argument 'match_range': 'tuple' object cannot be converted to 'MatchRange'",
        ),
        (
            lambda m: m.get_text(m),
            "argument 'match_range': 'StreamingFuzzyMatcher' object cannot be converted to 'MatchRange'",
        ),
    ],
)
def test_binding_messages(matcher, call, message):
    with pytest.raises(TypeError) as info:
        call(matcher)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert matcher.query_lines == []


@pytest.mark.parametrize("method", ["finish", "select_best_match"])
@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None,), {})])
def test_no_argument_methods_refuse_arguments(matcher, method, args, kwargs):
    matcher.push("a")
    with pytest.raises(TypeError):
        getattr(matcher, method)(*args, **kwargs)
    assert matcher.query_lines == []
    assert matcher.finish() is not None
    assert matcher.query_lines == ["a"]


def test_keyword_arguments(matcher):
    assert pair(matcher.push(chunk="a\n", line_hint=2)) == (4, 5)
    assert pair(matcher.push(line_hint=0, chunk="")) == (0, 1)
    assert pair(SFM(source_text="q\n").push("q\n")) == (0, 1)


@pytest.mark.parametrize(
    "hint, exc, message",
    [
        (-1, OverflowError, "out of range integral type conversion attempted"),
        (4294967296, OverflowError, "out of range integral type conversion attempted"),
        (-(2**63), OverflowError, "out of range integral type conversion attempted"),
        (2**63 - 1, OverflowError, "out of range integral type conversion attempted"),
        (2**64, OverflowError, None),
        (-(2**80), OverflowError, None),
        ("3", TypeError, None),
        (1.0, TypeError, None),
    ],
)
def test_bad_line_hint_leaves_matcher_unchanged(matcher, hint, exc, message):
    assert pair(matcher.push("a\n", 2)) == (4, 5)
    matcher.push("b")
    with pytest.raises(exc) as info:
        matcher.push("\nc\n", hint)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    if exc is TypeError:
        assert str(info.value).startswith("argument 'line_hint': ")
    # Neither the chunk nor the hint was taken.
    assert matcher.query_lines == ["a"]
    assert pair(matcher.select_best_match()) == (4, 5)
    matcher.finish()
    assert matcher.query_lines == ["a", "b"]


def test_largest_hint_accepted(matcher):
    assert pair(matcher.push("a\n", 4294967295)) == (0, 1)
    assert matcher.select_best_match() is None


def test_integer_like_hints(matcher):
    class Hint:
        def __index__(self):
            return 2

    class Int(int):
        pass

    assert pair(matcher.push("a\n", Hint())) == (4, 5)
    assert pair(matcher.push("", Int(0))) == (0, 1)
    assert pair(matcher.push("", True)) == (0, 1)


def test_str_subclass_chunk(matcher):
    class Text(str):
        pass

    assert pair(matcher.push(Text("a\n"), 2)) == (4, 5)
    assert matcher.query_lines == ["a"]
    assert all(type(line) is str for line in matcher.query_lines)


@pytest.mark.parametrize("call", [lambda m: m.push("a\ud800\n"), lambda m: SFM("\udfff")])
def test_lone_surrogates(matcher, call):
    with pytest.raises(UnicodeEncodeError):
        call(matcher)
    assert matcher.query_lines == []


# --- re-entrant use during argument conversion ---------------------------------------


def shared_calls(m, r):
    return [
        ("query_lines", lambda: m.query_lines),
        ("source_lines", lambda: m.source_lines),
        ("select_best_match", lambda: m.select_best_match()),
        ("get_text", lambda: m.get_text(r)),
    ]


def exclusive_calls(m):
    return [("push", lambda: m.push("x")), ("finish", lambda: m.finish())]


INNER = ["query_lines", "source_lines", "select_best_match", "get_text", "push", "finish"]


@pytest.mark.parametrize("inner", INNER)
def test_reentrant_call_from_line_hint_fails_cleanly(inner):
    m = SFM("a\nb\na\n")
    r = m.push("a\n", 2)
    m.push("b")
    calls = dict(shared_calls(m, r) + exclusive_calls(m))
    expected = "Already borrowed" if inner in ("push", "finish") else "Already mutably borrowed"

    class Hint:
        def __index__(self):
            calls[inner]()
            return 0

    with pytest.raises(RuntimeError) as info:
        m.push("\nz\n", Hint())
    assert type(info.value) is RuntimeError
    assert str(info.value) == expected
    # The outer push took nothing, the inner call changed nothing.
    assert m.query_lines == ["a"]
    assert pair(m.select_best_match()) == (4, 5)
    assert pair(m.push("\n")) == (0, 3)
    assert m.query_lines == ["a", "b"]


@pytest.mark.parametrize("inner", INNER)
def test_reentrant_error_caught_inside_conversion(inner):
    m = SFM("a\nb\na\n")
    r = m.push("a\n", 2)
    calls = dict(shared_calls(m, r) + exclusive_calls(m))
    seen = []

    class Hint:
        def __index__(self):
            try:
                calls[inner]()
            except RuntimeError as exc:
                seen.append(str(exc))
            return 0

    assert pair(m.push("", Hint())) == (0, 1)
    expected = "Already borrowed" if inner in ("push", "finish") else "Already mutably borrowed"
    assert seen == [expected]
    assert m.query_lines == ["a"]
    assert pair(m.select_best_match()) == (0, 1)


def test_other_matcher_usable_during_conversion():
    m = SFM("a\nb\na\n")
    other = SFM("x\ny\n")

    class Hint:
        def __index__(self):
            other.push("y\n")
            return 2

    assert pair(m.push("a\n", Hint())) == (4, 5)
    assert pairs(other.finish()) == [(2, 3)]


def test_nested_reentry_releases_access():
    m = SFM("a\nb\na\n")
    m.push("a\n")

    class Hint:
        def __index__(self):
            with pytest.raises(RuntimeError):
                m.push("", Hint())
            return 2

    assert pair(m.push("", Hint())) == (4, 5)
    assert pair(m.push("", 0)) == (0, 1)


# --- class surface --------------------------------------------------------------------

CLASS_DOC = (
    "A streaming fuzzy matcher that processes text chunks incrementally.\n\n"
    "This matcher is designed for real-time matching scenarios like code editing\n"
    "where text arrives in chunks (e.g., from an LLM streaming response).\n\n"
    "Example:\n"
    '    >>> matcher = StreamingFuzzyMatcher("function foo() {\\n    return 42;\\n}")\n'
    '    >>> result = matcher.push("function foo() {\\n", None)\n'
    "    >>> print(result)  # MatchRange with the match location"
)

METHOD_DOCS = {
    "push": (
        "($self, chunk, line_hint=None)",
        "Push a new chunk of text and get the best match found so far.\n\n"
        "This method accumulates text chunks and processes complete lines.\n"
        "Partial lines are buffered internally until a newline is received.\n\n"
        "Args:\n"
        "    chunk: Text chunk to add to the query\n"
        "    line_hint: Optional line number hint for match selection\n\n"
        "Returns:\n"
        "    MatchRange if a match has been found, None otherwise",
    ),
    "finish": (
        "($self)",
        "Finish processing and return all final matches.\n\n"
        "This processes any remaining incomplete line before returning\n"
        "the final match results.\n\n"
        "Returns:\n"
        "    List of all found MatchRange objects",
    ),
    "select_best_match": (
        "($self)",
        "Return the best match considering line hints.\n\n"
        "Returns:\n"
        "    Best MatchRange, or None if no suitable match found",
    ),
    "get_text": (
        "($self, match_range)",
        "Get the text for a given range from the source.\n\n"
        "Args:\n"
        "    match_range: The MatchRange to extract text for\n\n"
        "Returns:\n"
        "    The matched text as a string",
    ),
}


def test_class_docstring():
    assert SFM.__doc__ == CLASS_DOC


@CPYTHON_ONLY
def test_text_signatures_and_method_docs():
    # Interpreters before 3.10 do not read a class signature out of a heap type's docstring.
    expected = "(source_text)" if sys.version_info >= (3, 10) else None
    assert SFM.__text_signature__ == expected
    for name, (signature, doc) in METHOD_DOCS.items():
        method = getattr(SFM, name)
        assert method.__doc__ == doc
        assert method.__text_signature__ == signature
    assert SFM.query_lines.__doc__ == "Returns the accumulated query lines."
    assert SFM.source_lines.__doc__ == "Returns the source lines."


def test_public_members():
    assert sorted(n for n in vars(SFM) if not n.startswith("_")) == [
        "finish",
        "get_text",
        "push",
        "query_lines",
        "select_best_match",
        "source_lines",
    ]
    assert SFM.__name__ == "StreamingFuzzyMatcher"
    assert SFM.__bases__ == (object,)


@CPYTHON_ONLY
def test_not_subclassable_no_weakref_no_dict():
    with pytest.raises(TypeError):
        type("Sub", (SFM,), {})
    m = SFM("a")
    with pytest.raises(TypeError):
        weakref.ref(m)
    assert not hasattr(m, "__dict__")
    with pytest.raises(AttributeError):
        m.extra = 1


def test_properties_are_read_only(matcher):
    for name in ("query_lines", "source_lines"):
        with pytest.raises(AttributeError):
            setattr(matcher, name, [])
        with pytest.raises(AttributeError):
            delattr(matcher, name)
    assert matcher.source_lines == ["a", "b", "a"]


def test_fresh_lists_and_ranges(matcher):
    matcher.push("a\n")
    q1, q2 = matcher.query_lines, matcher.query_lines
    assert q1 == q2 == ["a"] and q1 is not q2
    q1.append("zzz")
    q1[0] = "changed"
    s1 = matcher.source_lines
    assert s1 is not matcher.source_lines
    s1.clear()
    f1, f2 = matcher.finish(), matcher.finish()
    assert f1 is not f2 and pairs(f1) == pairs(f2) == [(0, 1), (4, 5)]
    assert f1[0] is not f2[0]
    f1.clear()
    assert matcher.query_lines == ["a"]
    assert matcher.source_lines == ["a", "b", "a"]
    assert pairs(matcher.finish()) == [(0, 1), (4, 5)]
    a, b = matcher.push("", 2), matcher.select_best_match()
    assert a == b and a is not b
    assert type(a) is bs.MatchRange


def test_matcher_default_object_behaviour(matcher):
    other = SFM("a\nb\na\n")
    assert matcher == matcher
    assert matcher != other
    assert hash(matcher) == hash(matcher)
    assert repr(matcher).startswith("<")
    assert "StreamingFuzzyMatcher" in repr(matcher)


# --- awkward input --------------------------------------------------------------------


def test_empty_chunks(matcher):
    for _ in range(100):
        assert matcher.push("") is None
    assert matcher.query_lines == []
    assert matcher.finish() == []
    assert matcher.query_lines == []


def test_only_carriage_returns(matcher):
    matcher.push("\r")
    matcher.push("\r\r")
    assert matcher.query_lines == []
    assert matcher.finish() == []
    assert matcher.query_lines == ["\r\r\r"]


def test_megabyte_chunk_without_line_feed(matcher):
    chunk = "é" * 500_000 + "x"
    assert len(chunk.encode()) > 1_000_000
    assert matcher.push(chunk) is None
    assert matcher.query_lines == []
    assert matcher.finish() == []
    assert matcher.query_lines == [chunk]


def test_thousands_of_line_feeds_at_once(matcher):
    assert matcher.push("\n" * 5000) is None
    assert matcher.query_lines == [""] * 5000
    assert pair(matcher.push("a\n", 0)) is None
    assert len(matcher.query_lines) == 5001


def test_source_without_lines():
    m = SFM("")
    for chunk in ("a\n", "\n", "", "b"):
        assert m.push(chunk, 0) is None
    assert m.finish() == []
    assert m.query_lines == ["a", "", "b"]


def test_source_of_a_hundred_thousand_lines():
    source = "".join(f"line {i}\n" for i in range(100_000))
    m = SFM(source)
    assert len(m.source_lines) == 100_000
    r = m.push("line 50000\nline 50001\n")
    start = source.index("line 50000")
    assert pair(r) == (start, start + len("line 50000\nline 50001"))
    assert m.get_text(r) == "line 50000\nline 50001"
    # 'line 1234' is similar to many lines; the hint picks the nearest.
    r = SFM(source).push("line 12340\n", 12000)
    assert r.start == source.index("line 12340\n")


# --- generated inputs ------------------------------------------------------------------

VOCABULARY = [
    "alpha",
    "alphx",
    "  alpha",
    "beta",
    "gamma",
    "delta",
    "",
    "  ",
    "ééée",
    "éééé",
    "x\r",
    "return 42;",
    "return 43;",
    "\u3000beta",
]
LINES = st.sampled_from(VOCABULARY) | st.text(st.sampled_from("abé \t"), max_size=6)


@st.composite
def texts(draw, max_lines):
    lines = draw(st.lists(LINES, max_size=max_lines))
    end = draw(st.sampled_from(["\n", "\r\n"]))
    text = end.join(lines)
    if lines and draw(st.booleans()):
        text += end
    return text


@st.composite
def chunkings(draw, text):
    cuts = sorted(draw(st.lists(st.integers(0, len(text)), max_size=6)))
    bounds = [0] + cuts + [len(text)]
    return [text[a:b] for a, b in zip(bounds, bounds[1:])]


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(source=texts(8), query=texts(6), data=st.data())
def test_matches_plain_matcher(source, query, data):
    chunks = data.draw(chunkings(query), label="chunks")
    hints = data.draw(
        st.lists(st.none() | st.integers(0, 10), min_size=len(chunks), max_size=len(chunks)),
        label="hints",
    )
    m, ref = SFM(source), PlainMatcher(source)
    assert m.source_lines == ref.source
    for chunk, hint in zip(chunks, hints):
        assert pair(m.push(chunk, hint)) == ref.push(chunk, hint)
        assert m.query_lines == ref.query
        assert pair(m.select_best_match()) == ref.select()
    assert pairs(m.finish()) == ref.finish()
    assert m.query_lines == ref.query
    joined = "\n".join(ref.source).encode()
    for r in m.finish():
        assert m.get_text(r) == joined[r.start : r.end].decode()


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(source=texts(8), query=texts(6), data=st.data(), hint=st.none() | st.integers(0, 10))
def test_chunking_does_not_change_the_result(source, query, data, hint):
    whole = SFM(source)
    last_whole = whole.push(query, hint)
    chunks = data.draw(chunkings(query), label="chunks")
    pieces = SFM(source)
    last = None
    for i, chunk in enumerate(chunks):
        last = pieces.push(chunk, hint if i == 0 else None)
    if query:
        assert pair(last) == pair(last_whole)
    assert pieces.query_lines == whole.query_lines
    assert pair(pieces.select_best_match()) == pair(whole.select_best_match())
    assert pairs(pieces.finish()) == pairs(whole.finish())
    assert pieces.query_lines == whole.query_lines


# --- Ctrl-C during a long push -----------------------------------------------------

# Runs in a child process: builds a push that takes tens of seconds (long lines that are all
# similar, so every cell runs an edit distance), starts it, and reports when KeyboardInterrupt
# arrived, how long the whole push would have taken (estimated from a 4-line push), and whether
# the interrupted matcher still equals one that never saw the push.
_INTERRUPT_CHILD = r"""
import json, random, signal, sys, time
import _brindle_search as bs

# Started from a background job, the interpreter inherits SIGINT ignored: take Python's own handler.
signal.signal(signal.SIGINT, signal.default_int_handler)

rng = random.Random(5)
base = "".join(rng.choice("abcdefghij klmnop(),=") for _ in range(1000))

def variant():
    s = list(base)
    for _ in range(40):
        s[rng.randrange(len(s))] = rng.choice("xyz")
    return "".join(s)

# Fewer query lines than source lines, so that every row costs about the same (a row's cells left
# of its own index never reach the edit distance) and four rows predict the whole push.
source = "\n".join(variant() for _ in range(2000)) + "\n"
lines = [variant() + "\n" for _ in range(400)]
extra = variant() + "\n"

calibration = bs.StreamingFuzzyMatcher(source)
t0 = time.perf_counter()
calibration.push("".join(lines[:4]))
estimate = (time.perf_counter() - t0) / 4 * (len(lines) - 2)

matcher = bs.StreamingFuzzyMatcher(source)
first = matcher.push("".join(lines[:2]), 3)
print("ready", flush=True)
t0 = time.perf_counter()
try:
    matcher.push("".join(lines[2:]) + "partial", 7)
    interrupted_after = None
except KeyboardInterrupt:
    interrupted_after = time.perf_counter() - t0

fresh = bs.StreamingFuzzyMatcher(source)
fresh_first = fresh.push("".join(lines[:2]), 3)

def state(m):
    return [m.query_lines, [(r.start, r.end) for r in m.finish()], m.select_best_match()]

same = (
    matcher.query_lines == fresh.query_lines
    and matcher.select_best_match() == fresh.select_best_match()
    and matcher.push(extra) == fresh.push(extra)
    and matcher.push("tail") == fresh.push("tail")
    and state(matcher) == state(fresh)
)
print(json.dumps({"interrupted_after": interrupted_after, "estimate": estimate, "same": same,
                  "found": first is not None}), flush=True)
"""


def test_ctrl_c_interrupts_a_long_push_and_leaves_the_matcher_unchanged(tmp_path):
    import json
    import os
    import signal
    import subprocess
    import time

    script = tmp_path / "child.py"
    script.write_text(_INTERRUPT_CHILD)
    child = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.3)
        os.kill(child.pid, signal.SIGINT)
        out, _ = child.communicate(timeout=600)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert child.returncode == 0
    report = json.loads(out.strip().splitlines()[-1])
    assert report["found"]  # the lines are similar: the push does real work on every cell
    assert report["interrupted_after"] is not None, "the push ran to its end"
    # Well before the end: the whole push would take many seconds.
    assert report["interrupted_after"] < report["estimate"] / 2, report
    assert report["same"]


# --- out of memory inside push -------------------------------------------------------

_OUT_OF_MEMORY_CHILD = r"""
import json, resource
import _brindle_search as bs

source = "".join(f"line {k}\n" for k in range(20000))
matcher = bs.StreamingFuzzyMatcher(source)
first = matcher.push("line 7\n", 3)
hostile = "\n" * 50_000_000  # 50 million query lines: their slots are far beyond the limit below
with open("/proc/self/statm") as fh:
    size = int(fh.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.RLIM_INFINITY))
try:
    matcher.push(hostile)
    error = None
except BaseException as exc:  # MemoryError (or the module's panic for native out of memory)
    error = type(exc).__name__
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))

fresh = bs.StreamingFuzzyMatcher(source)
fresh.push("line 7\n", 3)
pairs = lambda ranges: [(r.start, r.end) for r in ranges]
print(json.dumps({
    "error": error,
    "query_lines": matcher.query_lines,
    "push": [matcher.push(c) == fresh.push(c) for c in ("line 8\n", "lin", "e 9\n")],
    "finish": [pairs(matcher.finish()), pairs(fresh.finish())],
}))
"""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator aborts instead of failing an allocation")
def test_push_that_runs_out_of_memory_leaves_the_matcher_unchanged(tmp_path):
    import json
    import subprocess

    script = tmp_path / "child.py"
    script.write_text(_OUT_OF_MEMORY_CHILD)
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    report = json.loads(out.stdout.strip().splitlines()[-1])
    assert report["error"] == "MemoryError"
    assert report["query_lines"] == ["line 7"]  # the hostile lines were not counted
    assert report["push"] == [True, True, True]
    mine, fresh = report["finish"]
    assert mine == fresh == [[49, 69]]
