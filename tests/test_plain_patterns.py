"""The plain forms that stand in for regular expressions, difflib and dataclasses on the command
line's start-up path, each held equal to what it replaces on generated inputs."""

import dataclasses
import difflib
import random
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brindle_search import (
    block_parser,
    patch_paths,
    patches,
    paths,
    placement,
    records,
    sequence_matcher,
)

# Characters the patterns turn on, with some that only look like them.
PATHISH = st.lists(
    st.sampled_from(
        [*"#-*+.)( \t:/\\$%{_~`\"'<>|?aZz09\x00\x1f\x7f\u00a0\u0663\u2028éſK\n", "C:", "file", "://", "py"]
    ),
    max_size=14,
).map("".join)


@settings(max_examples=3000, deadline=None)
@given(PATHISH)
def test_path_decorations_are_taken_off_as_the_patterns_take_them(text):
    assert patch_paths._after_heading(text) == re.sub(r"^#{1,6}\s+", "", text, count=1)
    assert patch_paths._after_bullet(text) == re.sub(r"^(?:[-*+]|\d{1,3}[.)])\s+", "", text, count=1)
    assert patch_paths._has_extension(text) == bool(re.search(r"\S\.[A-Za-z0-9]{1,8}$", text))
    bad = re.search(r"[<>|`\"*?\x00-\x1f\x7f]", text)
    assert next((ch for ch in text if ch in patch_paths.NOT_IN_PATH), None) == (bad and bad.group(0))
    label = re.match(patch_paths.LABEL, text, re.IGNORECASE)
    if text[:1] not in patch_paths._LABEL_STARTS or ":" not in text:
        assert label is None  # the label is only searched for where it can be


@settings(max_examples=3000, deadline=None)
@given(PATHISH)
def test_path_refusals_read_the_path_as_the_patterns_read_it(text):
    assert paths.is_url(text) == bool(re.match(r"[A-Za-z][A-Za-z0-9+.-]*://", text))
    assert paths.is_drive(text) == bool(re.match(r"[A-Za-z]:[/\\]", text))
    assert paths.is_variable(text) == bool(re.match(r"\$[A-Za-z_{(]|%[A-Za-z_][A-Za-z0-9_]*%", text))
    expected = re.split(r"[/\\]", text, maxsplit=1)
    assert patches._first_component_dropped(text) == (
        expected[1] if len(expected) == 2 and expected[1] else None
    )


@settings(max_examples=2000, deadline=None)
@given(st.lists(st.sampled_from([*"`~ab_+#.-9é \t!", "```", "~~~"]), max_size=10).map("".join))
def test_fences_are_the_lines_the_pattern_takes_for_fences(text):
    bare = text.strip()
    assert block_parser._is_fence(bare) == bool(re.match(r"^(```|~~~)[\w+#.-]*\s*$", bare))


@settings(max_examples=1000, deadline=None)
@given(st.characters())
def test_word_characters_are_the_patterns_word_characters(ch):
    assert placement._is_word(ch) == bool(re.match(r"\w", ch))


def _octal_by_pattern(text):
    out, i = bytearray(), 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            m = re.match(r"[0-3][0-7]{2}", text[i + 1 : i + 4])
            if m:
                out.append(int(m.group(0), 8))
                i += 4
                continue
            if text[i + 1] in patch_paths._C_ESCAPES:
                out.append(patch_paths._C_ESCAPES[text[i + 1]])
                i += 2
                continue
        out.extend(text[i].encode("utf-8", "surrogatepass"))
        i += 1
    return out.decode("utf-8", "replace")


@settings(max_examples=2000, deadline=None)
@given(st.text(alphabet=st.sampled_from(list('\\0123789nta"é')), max_size=12))
def test_quoted_names_are_unquoted_as_before(text):
    assert patch_paths.unquote_c(text) == _octal_by_pattern(text)


# --- difflib's matching ------------------------------------------------------------------------


def _sequences(rng):
    alphabet = rng.choice([2, 3, 5, 20, 200])
    la, lb = rng.choice([(rng.randrange(12), rng.randrange(12)), (rng.randrange(300), rng.randrange(300))])
    a = [rng.randrange(alphabet) for _ in range(la)]
    b = list(a) if rng.random() < 0.5 else [rng.randrange(alphabet) for _ in range(lb)]
    for _ in range(rng.randrange(6)):  # a few edits of a copy: the usual shape of a diff
        if b:
            b[rng.randrange(len(b))] = rng.randrange(alphabet)
    return a, b


@pytest.mark.parametrize("seed", range(6))
def test_the_matcher_gives_difflib_s_opcodes_and_groups(seed):
    rng = random.Random(seed)
    popular = 0
    for _ in range(250):
        a, b = _sequences(rng)
        for autojunk in (True, False):
            expected = difflib.SequenceMatcher(None, a, b, autojunk=autojunk)
            codes = sequence_matcher.get_opcodes(a, b, autojunk)
            assert codes == expected.get_opcodes()
            for n in (0, 1, 3):
                # A fresh matcher for each n: difflib's grouping edits the opcodes it caches.
                fresh = difflib.SequenceMatcher(None, a, b, autojunk=autojunk)
                assert list(sequence_matcher.get_grouped_opcodes(codes, n)) == list(
                    fresh.get_grouped_opcodes(n)
                )
        popular += bool(difflib.SequenceMatcher(None, a, b).bpopular)
    assert popular >= 20  # the generated sequences reach the popular-line rule


# --- records -----------------------------------------------------------------------------------


@records.record(frozen=True)
class _Frozen:
    name: str
    count: int = 0
    tags: list[str] = records.field(default_factory=list)
    hidden: str = records.field(default="", repr=False, compare=False)


@dataclasses.dataclass(frozen=True)
class _Frozen_:
    name: str
    count: int = 0
    tags: list[str] = dataclasses.field(default_factory=list)
    hidden: str = dataclasses.field(default="", repr=False, compare=False)


@records.record
class _Mutable:
    name: str
    count: int = 1


def test_records_behave_as_the_dataclasses_they_replace():
    r, d = _Frozen("a", 2, hidden="x"), _Frozen_("a", 2, hidden="x")
    assert repr(r).replace("_Frozen", "X") == repr(d).replace("_Frozen_", "X")
    assert r == _Frozen("a", 2, hidden="y") and r != _Frozen("a", 3) and r != d
    assert hash(_Frozen("a", 2, ())) == hash(_Frozen("a", 2, (), "z")) != hash(_Frozen("a", 3, ()))
    assert _Frozen("a").tags is not _Frozen("a").tags  # a fresh default each time
    with pytest.raises(AttributeError):
        r.count = 3  # type: ignore[misc]
    with pytest.raises(AttributeError):
        del r.name  # type: ignore[misc]
    assert records.replace(r, count=5) == _Frozen("a", 5) and r.count == 2
    with pytest.raises(TypeError):
        records.replace(r, colour=1)
    with pytest.raises(TypeError):
        _Frozen()  # type: ignore[call-arg]
    assert _Frozen.__match_args__ == ("name", "count", "tags", "hidden")
    m = _Mutable("b")
    m.count += 1
    assert m == _Mutable("b", 2) and _Mutable.__hash__ is None
    assert [f.name for f in records.fields(m)] == ["name", "count"]


# --- an old_string found once, without the native driver ----------------------------------------


def test_the_strategy_table_is_the_native_driver_s():
    from brindle_search import _native

    assert placement.STRATEGIES == tuple(_native.strategy_names())


@settings(max_examples=3000, deadline=None)
@given(
    st.lists(st.sampled_from(["a", "b", "\n", "é", "ab\n", " ", "\udc80", "\r", "\t"]), max_size=16).map(
        "".join
    ),
    st.lists(st.sampled_from(["a", "b", "\n", "é", " ", "\udc80", "\r"]), min_size=1, max_size=4).map(
        "".join
    ),
    st.sampled_from(["NEW", "a", "b\n", ""]),
    st.one_of(st.none(), st.integers(1, 6)),
    st.booleans(),
)
def test_an_old_string_found_once_is_answered_as_the_native_driver_answers(text, old, new, hint, every):
    from brindle_search import _native

    # A caller may vouch for a text without lone surrogates (a file's): it is not checked then.
    found = placement._found_once(text, old, new, every, "\udc80" not in text)
    if found is not None:
        assert found == _native.locate(text, old, new, every, hint)
