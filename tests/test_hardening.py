"""Hostile uses of the module: objects made behind the module's back, foreign types and objects
handed to its constructors and slots, pickling, running out of memory, subinterpreters."""

import copy
import gc
import operator
import pickle
import subprocess
import sys
import textwrap

import pytest
from conftest import IS_PYPY, SANITIZED

import _brindle_search as bs

RESULT_FIELDS = {
    bs.MatchRange: ["start", "end"],
    bs.ReplaceResult: ["content", "matched_text", "start_line", "end_line", "strategy"],
    bs.FuzzyMatchInfo: ["similarity", "start_line", "end_line", "text", "diff"],
    bs.TryReplaceResult: ["success", "result", "error", "error_type", "closest_match", "locations"],
}


def _instances():
    matcher = bs.StreamingFuzzyMatcher("a\nb\n")
    failed = bs.try_replace_content("a\nb\nc\n", "a\nb\nq", "z")
    return {
        bs.StreamingFuzzyMatcher: matcher,
        bs.MatchRange: matcher.push("a\n"),
        bs.ReplaceResult: bs.replace_content("a", "a", "b"),
        bs.FuzzyMatchInfo: failed.closest_match,
        bs.TryReplaceResult: failed,
    }


def _type_name(cls):
    # The interpreter's tp_name: PyPy keeps only the last dotted part of a heap type's name.
    if IS_PYPY or cls.__module__ == "builtins":
        return cls.__name__
    return f"{cls.__module__}.{cls.__name__}"


@pytest.mark.parametrize("cls", [*RESULT_FIELDS, int])
def test_matcher_new_refuses_foreign_types(cls):
    own = _type_name(bs.StreamingFuzzyMatcher)
    other = _type_name(cls)
    message = f"{own}.__new__({other}): {other} is not a subtype of {own}"
    with pytest.raises(TypeError) as info:
        bs.StreamingFuzzyMatcher.__new__(cls, "a")
    assert str(info.value) == message


def test_matcher_subclasses_are_refused():
    # CPython refuses the class statement, PyPy (which does not enforce it) the construction.
    with pytest.raises(TypeError, match="is not an acceptable base type"):

        class Sub(bs.StreamingFuzzyMatcher):
            pass

        Sub("a")


@pytest.mark.parametrize("cls", list(RESULT_FIELDS))
def test_result_instances_made_without_the_module_are_refused(cls):
    # CPython refuses object.__new__ here; PyPy hands out a zero-filled instance, which every slot
    # must refuse and whose destruction must not touch the record that was never built.
    try:
        obj = object.__new__(cls)
    except TypeError:
        assert not IS_PYPY
        return
    uses = [repr] + [operator.attrgetter(name) for name in RESULT_FIELDS[cls]]
    if cls is bs.TryReplaceResult:
        uses.append(bool)
    if cls is bs.MatchRange:
        uses += [lambda o: o == o, lambda o: o != o, bs.StreamingFuzzyMatcher("a").get_text]
    for use in uses:
        with pytest.raises(TypeError, match="not initialised"):
            use(obj)
    del obj
    gc.collect()


@pytest.mark.parametrize(
    ("slot", "owner"),
    [
        ("__repr__", bs.MatchRange),
        ("__repr__", bs.ReplaceResult),
        ("__repr__", bs.FuzzyMatchInfo),
        ("__repr__", bs.TryReplaceResult),
        ("__bool__", bs.TryReplaceResult),
        ("__eq__", bs.MatchRange),
        ("__ne__", bs.MatchRange),
    ],
)
def test_slots_refuse_objects_of_other_types(slot, owner):
    # CPython's slot wrappers check the type of self; PyPy's pass anything through.
    instances = _instances()
    for cls, obj in instances.items():
        if cls is owner:
            continue
        args = (instances[bs.MatchRange],) if slot in ("__eq__", "__ne__") else ()
        with pytest.raises(TypeError):
            getattr(owner, slot)(obj, *args)


@pytest.mark.parametrize("cls", list(_instances()))
def test_instances_cannot_be_pickled_or_copied(cls):
    obj = _instances()[cls]
    message = f"cannot pickle '{cls.__name__}' object"
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError) as info:
            pickle.dumps(obj, protocol)
        assert str(info.value) == message
    for duplicate in (copy.copy, copy.deepcopy):
        with pytest.raises(TypeError, match=message):
            duplicate(obj)


class RaisingLength(str):
    def __len__(self):
        raise ZeroDivisionError


@pytest.mark.parametrize("container", [list, tuple])
def test_failing_str_subclass_items_in_lists_and_tuples(container):
    # PyPy asks a str subclass for its length when it makes the object ready for C. Items of a list
    # are copied to exact str first and convert as on CPython, which never calls __len__; a tuple
    # argument is made ready by the interpreter itself as it crosses into C, which raises.
    candidates = container([RaisingLength("ab"), "a"])
    try:
        result = bs.get_best_matches("a", candidates)
    except ZeroDivisionError:
        assert IS_PYPY and container is tuple
    else:
        assert result == [("a", 10), ("ab", 9)]
        assert all(type(name) is str for name, _ in result)
    gc.collect()


def _run(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator aborts instead of failing an allocation")
def test_native_out_of_memory_is_a_memory_error():
    # A replacement whose result needs about 1 GB from inputs of about 1 MB, under an address
    # space limit that the inputs fit in and the result does not: the C++ allocation fails.
    result = _run(
        """
        import resource
        import _brindle_search as bs
        with open("/proc/self/status") as f:
            size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
        content, new = "a" * 1_000_000, "b" * 1000
        limit = size + 256 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            bs.replace_content(content, "a", new, True)
        except MemoryError:
            print("MemoryError")
        except BaseException as e:
            print(type(e).__name__, e)
        """
    )
    assert result.stdout.strip() == "MemoryError", result.stdout + result.stderr


SUBINTERPRETERS = """
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters

    def import_in_subinterpreter(name):
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import " + name)
            print("imported")
        except Exception as e:
            print(e)
        finally:
            interpreters.destroy(interp)

    import_in_subinterpreter("_brindle_search")
    import_in_subinterpreter("brindle_search._native")
    import _brindle_search
    print(_brindle_search.fuzzy_match("fb", "FooBar"), _brindle_search.get_best_matches("a", ("a",)))
    import_in_subinterpreter("_brindle_search")
    import brindle_search._native
    import_in_subinterpreter("brindle_search._native")
"""


@pytest.mark.skipif(IS_PYPY, reason="PyPy has no subinterpreters")
def test_subinterpreters_are_refused_and_leave_the_module_intact():
    pytest.importorskip("_xxsubinterpreters" if sys.version_info < (3, 13) else "_interpreters")
    result = _run(SUBINTERPRETERS)
    lines = result.stdout.splitlines()
    assert result.returncode == 0, result.stdout + result.stderr
    refused = "can only be imported in the main interpreter; subinterpreters are not supported"
    assert len(lines) == 5, lines
    assert all("ImportError" in line and refused in line for line in lines[:2]), lines
    # Once the main interpreter has the module, newer CPythons refuse by themselves.
    assert all("ImportError" in line for line in lines[3:]), lines
    assert lines[2] == "(True, 16) [('a', 10)]"
