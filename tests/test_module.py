"""The module surface: registration, docstrings, argument binding and conversion."""

import ctypes
import importlib
import sys

import pytest
from conftest import cpython_only

import _brindle_search as bs

ALL = [
    "fuzzy_match",
    "get_best_matches",
    "fuzzy_match_simple",
    "replace_content",
    "try_replace_content",
    "StreamingFuzzyMatcher",
    "MatchRange",
    "ReplaceResult",
    "TryReplaceResult",
    "FuzzyMatchInfo",
]


def test_all_lists_the_ten_names_in_registration_order():
    assert bs.__all__ == ALL
    assert bs.__doc__ == ""
    public = [name for name in vars(bs) if not name.startswith("_")]
    assert public == ALL
    assert "PanicException" not in vars(bs)


def test_reimport_shares_the_module_contents():
    first = sys.modules.pop("_brindle_search")
    try:
        again = importlib.import_module("_brindle_search")
        assert again.__all__ == ALL
        assert again.fuzzy_match is first.fuzzy_match
        assert again.MatchRange is first.MatchRange
    finally:
        sys.modules["_brindle_search"] = first


@cpython_only
def test_initialisation_function_returns_the_same_module_object():
    library = ctypes.PyDLL(bs.__file__)
    init = library.PyInit__brindle_search
    init.restype = ctypes.py_object
    assert init() is init()
    assert init().fuzzy_match is init().fuzzy_match


@pytest.mark.parametrize(
    ("name", "signature"),
    [
        (
            "fuzzy_match",
            "(pattern, instring, adj_bonus=5, sep_bonus=10, camel_bonus=10, lead_penalty=..., "
            "max_lead_penalty=..., unmatched_penalty=...)",
        ),
        ("get_best_matches", "(search_string, candidates)"),
        ("fuzzy_match_simple", "(pattern, instring, case_sensitive)"),
        ("replace_content", "(content, old_string, new_string, replace_all=False, line_hint=None)"),
        ("try_replace_content", "(content, old_string, new_string, replace_all=False, line_hint=None)"),
    ],
)
def test_text_signatures(name, signature):
    function = getattr(bs, name)
    assert function.__text_signature__ == signature
    assert function.__name__ == name
    assert function.__module__ == "_brindle_search"


@pytest.mark.parametrize("name", ["fuzzy_match", "get_best_matches", "fuzzy_match_simple"])
def test_scoring_functions_have_no_docstring_body(name):
    assert getattr(bs, name).__doc__ is None


@pytest.mark.parametrize("name", ["MatchRange", "ReplaceResult", "TryReplaceResult", "FuzzyMatchInfo"])
def test_result_classes_cannot_be_instantiated(name):
    cls = getattr(bs, name)
    with pytest.raises(TypeError, match=f"cannot create '_brindle_search.{name}' instances"):
        cls()
    assert cls.__name__ == name
    assert cls.__bases__ == (object,)


@cpython_only
@pytest.mark.parametrize("name", ALL[5:])
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(bs, name),), {})


# ---- binding ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: bs.fuzzy_match("a"), "fuzzy_match() missing 1 required positional argument: 'instring'"),
        (
            lambda: bs.fuzzy_match(),
            "fuzzy_match() missing 2 required positional arguments: 'pattern' and 'instring'",
        ),
        (
            lambda: bs.fuzzy_match_simple(),
            "fuzzy_match_simple() missing 3 required positional arguments: "
            "'pattern', 'instring', and 'case_sensitive'",
        ),
        (
            lambda: bs.fuzzy_match("a", "b", 1, 2, 3, 4, 5, 6, 7),
            "fuzzy_match() takes from 2 to 8 positional arguments but 9 were given",
        ),
        (
            lambda: bs.get_best_matches("a", [], 3),
            "get_best_matches() takes 2 positional arguments but 3 were given",
        ),
        (
            lambda: bs.fuzzy_match_simple("a", "b", True, 4),
            "fuzzy_match_simple() takes 3 positional arguments but 4 were given",
        ),
        (
            lambda: bs.replace_content("a", "b", "c", False, None, 1),
            "replace_content() takes from 3 to 5 positional arguments but 6 were given",
        ),
        (
            lambda: bs.try_replace_content("a", "b", "c", False, None, 1),
            "try_replace_content() takes from 3 to 5 positional arguments but 6 were given",
        ),
        (
            lambda: bs.fuzzy_match("a", "b", bonus=1),
            "fuzzy_match() got an unexpected keyword argument 'bonus'",
        ),
        (
            lambda: bs.fuzzy_match("a", "b", instring="c"),
            "fuzzy_match() got multiple values for argument 'instring'",
        ),
        (
            lambda: bs.replace_content("a", new_string="c"),
            "replace_content() missing 1 required positional argument: 'old_string'",
        ),
        (lambda: bs.fuzzy_match(1), "fuzzy_match() missing 1 required positional argument: 'instring'"),
    ],
)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_every_parameter_can_be_given_by_keyword():
    assert bs.fuzzy_match(pattern="a", instring="abc", adj_bonus=7) == (True, 8)
    assert bs.fuzzy_match(
        instring="abc",
        pattern="abc",
        adj_bonus=1,
        sep_bonus=2,
        camel_bonus=3,
        lead_penalty=4,
        max_lead_penalty=5,
        unmatched_penalty=6,
    ) == (True, 2 + 1 + 1 + 5)
    assert bs.get_best_matches(candidates=["ab"], search_string="a") == [("ab", 9)]
    assert bs.fuzzy_match_simple(case_sensitive=False, instring="AB", pattern="b") is True
    result = bs.replace_content(new_string="y", old_string="x", content="x", replace_all=True, line_hint=1)
    assert result.content == "y"


def test_binding_happens_before_conversion():
    # The missing argument is reported although the first one is of the wrong type.
    with pytest.raises(TypeError, match="missing 1 required positional argument"):
        bs.fuzzy_match(1)


def test_conversion_runs_left_to_right():
    with pytest.raises(TypeError, match="^argument 'pattern': "):
        bs.fuzzy_match(1, 2, adj_bonus=None)
    with pytest.raises(TypeError, match="^argument 'instring': "):
        bs.fuzzy_match("a", 2, adj_bonus=None)


# ---- conversion -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: bs.fuzzy_match(1, "b"), "argument 'pattern': 'int' object cannot be converted to 'str'"),
        (
            lambda: bs.fuzzy_match(b"a", "b"),
            "argument 'pattern': 'bytes' object cannot be converted to 'str'",
        ),
        (
            lambda: bs.fuzzy_match_simple("a", "b", 1),
            "argument 'case_sensitive': 'int' object cannot be converted to 'bool'",
        ),
        (
            lambda: bs.fuzzy_match_simple("a", "b", None),
            "argument 'case_sensitive': 'NoneType' object cannot be converted to 'bool'",
        ),
        (
            lambda: bs.replace_content("a", "b", "c", replace_all=None),
            "argument 'replace_all': 'NoneType' object cannot be converted to 'bool'",
        ),
        (lambda: bs.get_best_matches("a", "abc"), "argument 'candidates': Can't extract `str` to `Vec`"),
        (
            lambda: bs.get_best_matches("a", {"a"}),
            "argument 'candidates': 'set' object cannot be converted to 'Sequence'",
        ),
        (
            lambda: bs.get_best_matches("a", {"a": 1}),
            "argument 'candidates': 'dict' object cannot be converted to 'Sequence'",
        ),
        (
            lambda: bs.get_best_matches("a", 5),
            "argument 'candidates': 'int' object cannot be converted to 'Sequence'",
        ),
        (
            lambda: bs.get_best_matches("a", ["a", 1]),
            "argument 'candidates': 'int' object cannot be converted to 'str'",
        ),
        (
            lambda: bs.get_best_matches(None, "abc"),
            "argument 'search_string': 'NoneType' object cannot be converted to 'str'",
        ),
        (lambda: bs.get_best_matches("", "abc"), "argument 'candidates': Can't extract `str` to `Vec`"),
    ],
)
def test_conversion_errors_name_the_argument(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert info.value.__cause__ is None


@pytest.mark.parametrize("value", [None, "1", 1.0, [1]])
def test_integer_parameters_refuse_non_integers(value):
    with pytest.raises(TypeError, match="^argument 'adj_bonus': .*"):
        bs.fuzzy_match("a", "b", adj_bonus=value)


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**40])
def test_integer_parameters_overflow_unwrapped(value):
    with pytest.raises(OverflowError) as info:
        bs.fuzzy_match("a", "b", value)
    assert str(info.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize("value", [2**63, -(2**70)])
def test_integers_beyond_64_bits_raise_the_interpreters_overflow(value):
    with pytest.raises(OverflowError) as info:
        bs.fuzzy_match("a", "b", sep_bonus=value)
    assert not str(info.value).startswith("argument")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_integer_like_objects_and_bools_are_accepted():
    assert bs.fuzzy_match("a", "a", sep_bonus=Index(7)) == (True, 7)
    assert bs.fuzzy_match("a", "a", sep_bonus=True) == (True, 1)
    assert bs.fuzzy_match("a", "a", sep_bonus=2**31 - 1) == (True, 2**31 - 1)
    # A negative bonus is below the initial held bonus of 0, so the letter is consumed unheld.
    assert bs.fuzzy_match("a", "a", sep_bonus=-(2**31)) == (True, 0)


@pytest.mark.parametrize(("hint", "ok"), [(-1, False), (0, True), (2**32 - 1, True), (2**32, False)])
def test_line_hint_range(hint, ok):
    if ok:
        assert bs.replace_content("a\na\n", "a", "b", line_hint=hint).strategy == "simple"
    else:
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            bs.replace_content("a\na\n", "a", "b", line_hint=hint)


def test_line_hint_none_is_absent():
    with pytest.raises(ValueError, match="multiple locations"):
        bs.replace_content("a\na\n", "a", "b", line_hint=None)
    assert bs.try_replace_content("a\na\n", "a", "b", False, None).error_type == "multiple_matches"


def test_str_subclasses_are_accepted_and_results_are_plain_str():
    class S(str):
        pass

    assert bs.fuzzy_match(S("a"), S("a")) == (True, 10)
    [(text, score)] = bs.get_best_matches("a", [S("ab")])
    assert (text, score) == ("ab", 9) and type(text) is str


def test_lone_surrogates_raise_the_encoding_error_unwrapped():
    with pytest.raises(UnicodeEncodeError):
        bs.fuzzy_match("\ud800", "a")
    with pytest.raises(UnicodeEncodeError):
        bs.get_best_matches("a", ["ok", "\udfff"])
    with pytest.raises(UnicodeEncodeError):
        bs.replace_content("a", "a", "\ud800")


def test_numpy_style_bools_are_accepted_by_type_name():
    # A stand-in class named like numpy's boolean, from a module named numpy.
    numpy_bool = type("bool_", (), {"__bool__": lambda self: self.v, "__module__": "numpy"})
    true, false = numpy_bool(), numpy_bool()
    true.v, false.v = True, False
    assert bs.fuzzy_match_simple("fb", "FooBar", true) is False
    assert bs.fuzzy_match_simple("fb", "FooBar", false) is True
    impostor = type("bool_", (), {"__bool__": lambda self: True})()
    with pytest.raises(TypeError, match="cannot be converted to 'bool'"):
        bs.fuzzy_match_simple("a", "a", impostor)


def test_candidate_sequences():
    assert bs.get_best_matches("a", ("ab", "b")) == [("ab", 9)]
    assert bs.get_best_matches("a", []) == []

    class Seq:
        def __init__(self, items):
            self.items = items

        def __len__(self):
            raise RuntimeError("length is only a hint")

        def __getitem__(self, i):
            return self.items[i]

    assert bs.get_best_matches("a", Seq(["xa", "a"])) == [("a", 10), ("xa", -4)]


def test_candidate_iteration_errors_propagate():
    class Broken:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            if i == 1:
                raise KeyError("boom")
            return "a"

    with pytest.raises(KeyError, match="boom"):
        bs.get_best_matches("a", Broken())


def test_candidate_iteration_type_errors_name_the_argument():
    class Broken:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise TypeError("bad item")

    with pytest.raises(TypeError, match="^argument 'candidates': bad item$"):
        bs.get_best_matches("a", Broken())


def test_wrapped_type_error_keeps_the_original_cause():
    class Broken:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            try:
                raise KeyError("root")
            except KeyError as root:
                raise TypeError("bad item") from root

    with pytest.raises(TypeError) as info:
        bs.get_best_matches("a", Broken())
    assert isinstance(info.value.__cause__, KeyError)


def test_huge_strings_are_handled():
    big = "ab_" * 2_000_000
    matched, _ = bs.fuzzy_match("aaa", big)
    assert matched is True
    assert bs.fuzzy_match_simple("Z", big, False) is False


# ---- PanicException ---------------------------------------------------------------------------


def _panic():
    source = bs.StreamingFuzzyMatcher("éé")
    other = bs.StreamingFuzzyMatcher("abc")
    other.push("abc\n")
    [rng] = other.finish()
    # Byte 3 of "éé" lies inside the second character.
    with pytest.raises(BaseException) as info:
        source.get_text(rng)
    return info.value


def test_panic_exception_derives_from_base_exception():
    error = _panic()
    cls = type(error)
    assert cls.__name__ == "PanicException"
    assert cls.__bases__ == (BaseException,)
    assert not isinstance(error, Exception)
    assert "BaseException" in cls.__doc__ and "SystemExit" in cls.__doc__
    assert cls.__module__ not in ("_brindle_search", "builtins")
    # The class is created once and reused.
    assert type(_panic()) is cls


# ---- robustness of binding and conversion -----------------------------------------------------


def test_keyword_names_without_utf8_form_are_unexpected_keywords():
    with pytest.raises(TypeError) as info:
        bs.fuzzy_match("a", "b", **{"\ud800": 1})
    assert str(info.value) == "fuzzy_match() got an unexpected keyword argument '\ud800'"
    with pytest.raises(TypeError, match="^StreamingFuzzyMatcher.__new__.. got an unexpected keyword"):
        bs.StreamingFuzzyMatcher("a", **{"\udfff": 1})


@pytest.mark.parametrize("length", [2**40, 2**62])
def test_candidate_length_is_only_a_hint_even_when_huge(length):
    class Liar:
        def __len__(self):
            return length

        def __getitem__(self, i):
            if i < 2:
                return ["xa", "a"][i]
            raise IndexError(i)

    assert bs.get_best_matches("a", Liar()) == [("a", 10), ("xa", -4)]


def test_matcher_made_without_its_constructor_is_refused_not_crashed():
    # CPython refuses object.__new__ here; PyPy hands out an instance with an unset matcher.
    try:
        matcher = object.__new__(bs.StreamingFuzzyMatcher)
    except TypeError:
        return
    for use in (
        lambda: matcher.push("abc\n", 3),
        matcher.finish,
        matcher.select_best_match,
        lambda: matcher.query_lines,
        lambda: matcher.source_lines,
    ):
        with pytest.raises(TypeError, match="not initialised"):
            use()
