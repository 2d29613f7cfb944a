"""StreamingLocator: native byte ranges of the joined lines as str indices and 1-based lines.

A plain reference translates each range by rebuilding the joined source and walking the original
text character by character; it is compared with the locator on generated sources with
non-ASCII text, CR LF and mixed line ends, lone CRs, blank lines and no final newline, and the
test asserts that those cases were reached. ``apply`` is compared with ``edit_text``.
"""

import random

import pytest

from brindle_search import edit_text
from brindle_search.streaming import BlockLocation, StreamingLocator

# --- plain reference --------------------------------------------------------------------------


def reference_location(source, start, end):
    """The BlockLocation of joined-byte range start..end, computed from the definitions."""
    # Source lines with their str start: cut after each LF, drop it and one CR before it.
    lines, starts, pos = [], [], 0
    while pos < len(source):
        lf = source.find("\n", pos)
        if lf < 0:
            lines.append(source[pos:])
            starts.append(pos)
            break
        line = source[pos:lf]
        lines.append(line[:-1] if line.endswith("\r") else line)
        starts.append(pos)
        pos = lf + 1
    joined = "\n".join(lines).encode("utf-8")

    def char_of(offset):
        text_before = joined[:offset].decode("utf-8")
        line = text_before.count("\n")
        column = len(text_before) - (text_before.rfind("\n") + 1)
        return line, starts[line] + column

    first, s = char_of(start)
    last, e = char_of(end)
    return BlockLocation(first + 1, last + 1, s, e)


# --- generated cases --------------------------------------------------------------------------

WORDS = [
    "alpha",
    "beta",
    "gamma",
    "délta",
    "ε = 1",
    "日本語",
    "x\ry",
    "return 42;",
    "",
    "    pass",
    "🙂 emoji",
]
ENDINGS = ["\n", "\r\n"]


def generated_source(rng):
    count = rng.randint(1, 12)
    parts = []
    for _ in range(count):
        parts.append(rng.choice(WORDS) + str(rng.randint(0, 3)))
        parts.append(rng.choice(ENDINGS))
    if rng.random() < 0.3:
        parts.pop()  # no final line end
    return "".join(parts)


def test_locations_match_reference_on_generated_sources():
    rng = random.Random(11)
    reached = {"non_ascii": 0, "crlf": 0, "several": 0, "checked": 0}
    for _ in range(600):
        source = generated_source(rng)
        lines = source.replace("\r\n", "\n").split("\n")
        i = rng.randrange(len(lines))
        j = min(len(lines), i + rng.randint(1, 3))
        query = "\n".join(lines[i:j])
        loc = StreamingLocator(source)
        # Push in random pieces; every answer must equal the reference translation.
        pos = 0
        while pos < len(query):
            step = rng.randint(1, 6)
            answer = loc.push(query[pos : pos + step])
            pos += step
            raw = loc._matcher.select_best_match()
            if answer is not None and raw is not None:
                assert answer == reference_location(source, raw.start, raw.end)
        loc.finish()
        raw_ranges = loc._matcher.finish()
        assert loc.candidates == [reference_location(source, r.start, r.end) for r in raw_ranges]
        for located, r in zip(loc.candidates, raw_ranges):
            text = source[located.start : located.end]
            assert text.replace("\r\n", "\n") == loc._matcher.get_text(r)
            reached["checked"] += 1
            reached["non_ascii"] += not text.isascii()
            reached["crlf"] += "\r\n" in text
        reached["several"] += len(raw_ranges) > 1
    assert all(count >= 20 for count in reached.values()), reached


def test_crlf_and_non_ascii_example():
    source = "é = 1\r\nab\r\nxyz\r\n"
    loc = StreamingLocator(source)
    assert loc.push("ab\n") == BlockLocation(2, 2, 7, 9)
    assert loc.push("xyz") == BlockLocation(2, 2, 7, 9)  # no line feed yet: the same answer
    assert loc.finish() == BlockLocation(2, 3, 7, 14)
    assert loc.text(loc.location) == "ab\r\nxyz"
    assert loc.old_text == "ab\nxyz"


@pytest.mark.parametrize("hint, line", [(None, 1), (1, 1), (3, 3), (5, 5), (4, 3)])
def test_line_hint_is_one_based(hint, line):
    source = "x = 1\ny\nx = 1\nz\nx = 1\n"
    loc = StreamingLocator(source, line_hint=hint)
    found = loc.push("x = 1\n")
    assert found.start_line == line
    assert loc.finish().start_line == line
    assert [c.start_line for c in loc.candidates] == [1, 3, 5]


@pytest.mark.parametrize("hint", [0, -1, 2**32, 2**32 + 1])
def test_line_hint_out_of_range(hint):
    # One check and one message for every line_hint of the package.
    message = f"line_hint must be None or a line number from 1 to 4294967295, got {hint}"
    with pytest.raises(ValueError) as streaming:
        StreamingLocator("a\n", line_hint=hint)
    with pytest.raises(ValueError) as edit:
        edit_text("a\n", "a", "b", line_hint=hint)
    assert str(streaming.value) == str(edit.value) == message


@pytest.mark.parametrize("bad", [b"a", None, 3])
def test_wrong_types(bad):
    with pytest.raises(TypeError):
        StreamingLocator(bad)
    with pytest.raises(TypeError):
        StreamingLocator("a\n").push(bad)


def test_nothing_located():
    loc = StreamingLocator("")
    assert loc.push("anything\n") is None
    assert loc.finish() is None and loc.candidates == []
    loc = StreamingLocator("a\nb\n")
    assert loc.push("completely different\n") is None


# --- applying the streamed edit ---------------------------------------------------------------

TAB_SOURCE = "class A:\n\tdef f(self):\n\t\treturn 1\n\n\tdef g(self):\n\t\treturn 1\n"


@pytest.mark.parametrize(
    "source, old, new, hint, expected",
    [
        pytest.param(
            "def f():\r\n    x = 1\r\n    return x\r\n",
            "x = 1\nreturn x\n",
            "x = 2\nreturn x\n",
            None,
            "def f():\r\n    x = 2\r\n    return x\r\n",
            id="crlf, reindented",
        ),
        pytest.param(
            TAB_SOURCE,
            "def g(self):\n    return 1\n",
            "def g(self):\n    return 2\n",
            None,
            "class A:\n\tdef f(self):\n\t\treturn 1\n\n\tdef g(self):\n\t\treturn 2\n",
            id="tabs",
        ),
        pytest.param(
            TAB_SOURCE,
            "return 1\n",
            "return 3\n",
            6,
            "class A:\n\tdef f(self):\n\t\treturn 1\n\n\tdef g(self):\n\t\treturn 3\n",
            id="repeated block placed where hinted",
        ),
    ],
)
def test_apply_equals_edit_text(source, old, new, hint, expected):
    loc = StreamingLocator(source, line_hint=hint)
    for k in range(0, len(old), 3):
        loc.push(old[k : k + 3])
    result = loc.apply(new)
    assert result.ok, str(result)
    assert result.text == expected
    reference = edit_text(source, old, new, line_hint=loc.location.start_line)
    assert result.text == reference.text and result.repairs == reference.repairs


def test_apply_not_placed_is_a_result():
    loc = StreamingLocator("a = 1\n")
    loc.push("nothing like it\n")
    result = loc.apply("b = 2\n")
    assert not result.ok and result.error_type == "not_found"
