"""brindle_search.edit_text: repairs, strictness, the near miss, results and the fault boundary."""

import argparse
import ast
import difflib
import json
import random

import pytest

import _brindle_search as raw
import brindle_search as bs
from brindle_search import _native

CLASS = (
    "class A:\n"
    "    def f(self):\n"
    "        if x:\n"
    "            return 1\n"
    "        return 2\n"
    "\n"
    "    def g(self):\n"
    "        pass\n"
)


# ---- indentation ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "content, old, new, expected, repairs",
    [
        pytest.param(
            CLASS,
            "def f(self):\n    if x:\n        return 1\n",
            "def f(self):\n    if y:\n        return 3\n",
            CLASS.replace("if x:\n            return 1", "if y:\n            return 3"),
            ["reindented +4 spaces"],
            id="dropped-indentation",
        ),
        pytest.param(
            CLASS,
            "            if x:\n                return 1",
            "            if x:\n\n                return 5",
            CLASS.replace("if x:\n            return 1", "if x:\n\n            return 5"),
            ["reindented -4 spaces"],
            id="over-indented-blank-line-stays-empty",
        ),
        pytest.param(
            "def f():\n\tif x:\n\t\treturn 1\n",
            "if x:\n\treturn 1",
            "if x:\n\treturn 2",
            "def f():\n\tif x:\n\t\treturn 2\n",
            ["reindented +1 tab"],
            id="tabs-dropped",
        ),
        pytest.param(
            "def f():\n\tif x:\n\t\treturn 1\n",
            "    if x:\n        return 1",
            "    if x:\n        y = (1,\n             2)\n        return y",
            "def f():\n\tif x:\n\t\ty = (1,\n\t\t\t 2)\n\t\treturn y\n",
            ["indentation converted to tabs"],
            id="spaces-in-tab-file-alignment-kept",
        ),
        pytest.param(
            "def f():\n  if x:\n    return 1\n  return 2\n",
            "    if x:\n        return 1",
            "    if x:\n        return 1\n    elif z:\n        return 3",
            "def f():\n  if x:\n    return 1\n  elif z:\n    return 3\n  return 2\n",
            ["indentation converted to 2 spaces per level"],
            id="four-spaces-in-two-space-file",
        ),
        pytest.param(
            "class B:\n    def h(self):\n        a = 1\n        b = 2\n",
            "        a = 1  \n        b = 2",
            "        a = 1\n  # note\n        b = 3",
            "class B:\n    def h(self):\n        a = 1\n  # note\n        b = 3\n",
            [],
            id="same-indentation-no-repair",
        ),
    ],
)
def test_indentation_repair(content, old, new, expected, repairs):
    result = bs.edit_text(content, old, new)
    assert result.ok, str(result)
    assert result.strategy != "simple"
    assert result.text == expected
    assert result.repairs == repairs


def test_a_line_is_never_moved_left_of_column_zero():
    content = "def f():\n    a = 1\n    b = 2\n"
    result = bs.edit_text(content, "        a = 1\n        b = 2", "        a = 1\n  # kept\n        b = 3")
    assert result.ok and result.repairs == ["reindented -4 spaces"]
    assert result.text == "def f():\n    a = 1\n  # kept\n    b = 3\n"


def test_reindent_off_inserts_new_string_as_written():
    old, new = "def f(self):\n    if x:\n        return 1", "def f(self):\n    if y:\n        return 1"
    result = bs.edit_text(CLASS, old, new, reindent=False)
    assert result.ok and result.repairs == []
    assert result.text == raw.replace_content(CLASS, old, new).content


def test_match_after_the_indentation_of_its_line():
    # "trimmed_boundary" finds the block after the line's own indentation.
    content = "if x:\n    foo()\n"
    result = bs.edit_text(content, "\nfoo()\n", "\nbar()\nbaz()\n")
    assert result.ok and result.strategy == "trimmed_boundary"
    assert result.text == "if x:\n    bar()\n    baz()\n"
    assert result.repairs == ["reindented +4 spaces"]


# ---- escapes and final newline -----------------------------------------------------------------


def test_escapes_are_resolved_only_for_escape_normalized():
    content = 'print("a")\nx = 1\n'
    result = bs.edit_text(content, 'print(\\"a\\")', 'print(\\"b\\")\\nprint(\\"c\\")')
    assert result.strategy == "escape_normalized" and result.repairs == ["unescaped"]
    assert result.text == 'print("b")\nprint("c")\nx = 1\n'
    # A line_trimmed hit keeps a literal backslash sequence in new_string.
    result = bs.edit_text(content, "  x = 1", 'x = "\\n"')
    assert result.strategy == "line_trimmed" and result.text == 'print("a")\nx = "\\n"\n'


def test_escapes_in_the_file_not_in_old_string():
    content = "s = 'it\\'s'\n"
    result = bs.edit_text(content, "s = 'it's'", "s = 'its'")
    assert result.ok and result.strategy == "escape_normalized"
    assert result.repairs == [] and result.text == "s = 'its'\n"


@pytest.mark.parametrize("new_end", ["\n", ""])
def test_final_newline(new_end):
    # A tolerant place is whole lines: a final line feed of old_string and new_string or none
    # makes no difference.
    content = "a = 1\n    b = 2\nc = 3\n"
    result = bs.edit_text(content, "b = 2 \n", "b = 4" + new_end)
    assert result.ok and result.strategy == "line_trimmed"
    assert result.text == "a = 1\n    b = 4\nc = 3\n"
    assert result.repairs == ["reindented +4 spaces"]


# ---- strictness ----------------------------------------------------------------------------------

FUNC = (
    "def handle(request):\n"
    "    user = lookup(request.user_id)\n"
    "    if not user.active:\n"
    "        raise Inactive(user)\n"
    "    record = build_record(user, request.payload)\n"
    "    store.save(record)\n"
    "    return record.id\n"
    "\n"
    "def other():\n"
    "    pass\n"
)
INVENTED = (
    "def handle(request):\n    data = json.loads(request.body)\n    validate(data)\n    return record.id\n"
)


def test_block_anchor_with_invented_inner_lines_is_refused():
    result = bs.edit_text(FUNC, INVENTED, "def handle(request):\n    return None\n")
    assert not result.ok and result.error_type == "refused"
    closest = result.closest_match
    assert closest is not None and (closest.start_line, closest.end_line) == (1, 7)
    assert closest.similarity < bs.DEFAULT_MIN_SIMILARITY
    assert closest.text == FUNC.split("\n\n")[0]
    assert "block_anchor" in result.message and "lines 1-7" in result.message
    assert result.text == FUNC


def test_min_similarity_zero_gives_the_native_behaviour():
    new = "def handle(request):\n    return None\n"
    result = bs.edit_text(FUNC, INVENTED, new, min_similarity=0)
    assert result.ok and result.strategy == "block_anchor"
    assert result.text == raw.replace_content(FUNC, INVENTED, new).content
    assert result.repairs == []


@pytest.mark.parametrize(
    "old",
    [
        pytest.param(
            FUNC.split("\n\n")[0].replace("        raise Inactive(user)", "        raise Gone(user)"),
            id="one-changed",
        ),
        pytest.param(FUNC.split("\n\n")[0].replace("    store.save(record)\n", ""), id="one-missing"),
    ],
)
def test_one_changed_or_missing_inner_line_is_accepted(old):
    new = "def handle(request):\n    return None"
    result = bs.edit_text(FUNC, old, new)
    assert result.ok, str(result)
    assert result.strategy in ("block_anchor", "context_aware")
    assert result.text == "def handle(request):\n    return None\n\ndef other():\n    pass\n"
    strict = bs.edit_text(FUNC, old, new, min_similarity=0.99)
    assert strict.error_type == "refused"


def test_strategies_limit_what_may_place_the_edit():
    content = "def f():\n    x = 1\n"
    assert bs.edit_text(content, "x = 1", "x = 2", strategies=["line_trimmed"]).ok
    assert bs.edit_text(content, "x = 1", "x = 2", strategies="simple").strategy == "simple"
    result = bs.edit_text(content, "x = 1\n", "x = 2\n", strategies=["simple"])
    assert result.ok  # "x = 1\n" occurs exactly
    result = bs.edit_text(content, "x  =  1", "x = 2", strategies=["simple", "line_trimmed"])
    assert not result.ok and result.error_type == "not_found"


@pytest.mark.parametrize("strategies", [["simple", "fuzzy"], ["Simple"], [3]])
def test_unknown_strategy_lists_the_valid_ones(strategies):
    with pytest.raises(ValueError) as info:
        bs.edit_text("a", "a", "b", strategies=strategies)
    assert all(name in str(info.value) for name in bs.STRATEGIES)


def test_strategy_table_comes_from_the_native_driver():
    assert bs.STRATEGIES == (
        "simple",
        "line_trimmed",
        "block_anchor",
        "whitespace_normalized",
        "indentation_flexible",
        "escape_normalized",
        "trimmed_boundary",
        "context_aware",
    )
    assert bs.STRATEGIES == _native.strategy_names()


@pytest.mark.parametrize(
    "kwargs, error",
    [
        ({"min_similarity": 1.5}, ValueError),
        ({"min_similarity": "high"}, TypeError),
        ({"min_similarity": True}, TypeError),
        ({"reindent": 1}, TypeError),
        ({"line_hint": "3"}, TypeError),
        ({"replace_all": None}, TypeError),
        ({"strategies": []}, ValueError),
    ],
)
def test_bad_options(kwargs, error):
    with pytest.raises(error):
        bs.edit_text("a\n", "a", "b", **kwargs)


@pytest.mark.parametrize("args", [(b"a", "a", "b"), ("a", None, "b"), ("a", "a", 1)])
def test_bad_texts(args):
    with pytest.raises(TypeError):
        bs.edit_text(*args)


# ---- near miss -----------------------------------------------------------------------------------


def levenshtein(a, b):
    prev = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        cur = [i]
        for j, cb in enumerate(b, 1):
            cur.append(min(prev[j - 1] + (ca != cb), cur[j - 1] + 1, prev[j] + 1))
        prev = cur
    return prev[-1]


def most_similar_window(content, old, threshold):
    """Plain reference: every window of old's line count, scored like the closest match."""
    lines = content.split("\n")
    if content.endswith("\n"):
        lines.pop()
    m = len(old.split("\n")) - (1 if old.endswith("\n") else 0) if old else 0
    best = None
    for s in range(len(lines) - m + 1):
        window = "\n".join(lines[s : s + m])
        longest = max(len(old.encode()), len(window.encode()))
        if m == 0 or longest == 0:
            continue
        sim = 1 - levenshtein(old, window) / longest
        if sim >= threshold and (best is None or sim > best[0]):
            best = (sim, s + 1, s + m, window)
    return best


def test_near_miss_search_equals_the_plain_reference():
    rng = random.Random(7)
    words = ["alpha", "beta", "gamma", "x", "y = 1", "return z", "  pass", "é", ""]
    found = 0
    for _ in range(300):
        lines = [" ".join(rng.choices(words, k=rng.randint(0, 3))) for _ in range(rng.randint(1, 12))]
        content = "\n".join(lines) + rng.choice(["", "\n"])
        s = rng.randrange(len(lines))
        block = lines[s : s + rng.randint(1, 3)]
        old = list("\n".join(block))
        for _ in range(rng.randint(0, 3)):
            if old:
                old[rng.randrange(len(old))] = rng.choice("abq \n")
        old = "".join(old)
        threshold = rng.choice([0.5, 0.8])
        got = _native.closest_window(content, old, threshold)
        want = most_similar_window(content, old, threshold)
        if want is None:
            assert got is None
        else:
            found += 1
            assert got is not None and got[1:4] == want[1:]
            assert got[0] == pytest.approx(want[0])
    assert found > 100


def test_near_miss_threshold_follows_min_similarity():
    content = "".join(f"line number {k}\n" for k in range(300))
    old = "lime number 250\nline nunber 251\n"
    # The driver only looks at the first windows (its anchor is nowhere): a closer block is found.
    assert raw.try_replace_content(content, old, "x").closest_match.start_line < 100
    default = bs.edit_text(content, old, "x")
    assert default.closest_match is not None and default.closest_match.start_line == 251
    assert default.message.count("Closest fuzzy match") == 1 and "at lines 251-252:" in default.message
    assert default.message.endswith("4. Try reading the file section first to get exact text")
    assert bs.edit_text(content, "qqq number 250\nzzzz\n", "x").closest_match is None
    loose = bs.edit_text(content, "qqq number 250\nzzzz\n", "x", min_similarity=0.3)
    assert loose.closest_match is not None and loose.closest_match.similarity >= 0.3


def _long_line(length):
    """One line of `length` characters and the line with 5% of them changed to Q (not found)."""
    rng = random.Random(length)
    content = "".join(rng.choice("abcdefghij ") for _ in range(length))
    return content, "".join("Q" if rng.random() < 0.05 else c for c in content)


@pytest.mark.parametrize("length", [3_000, 160_000])
def test_closest_block_of_a_long_line(length):
    # The native module measures the closest match exactly however long the line; the package
    # does within its work budget, and past it says so instead of showing a match.
    content, old = _long_line(length)
    exact = _native.similarity(old, content)
    native = raw.try_replace_content(content, old, "NEW")
    assert native.error_type == "not_found" and native.closest_match.similarity == exact
    result = bs.edit_text(content, old, "NEW")
    assert result.error_type == "not_found"
    closest_piece = f"\nClosest fuzzy match ({exact * 100:.1f}% similar) at lines 1-1:\n"
    if length == 3_000:
        assert result.closest_match.similarity == exact
        assert result.message == native.error and closest_piece in result.message
    else:
        assert result.closest_match is None
        head, tail = native.error.split(closest_piece)
        assert result.message.startswith(head + "\n\nDebugging tips:")
        assert result.message.endswith(
            "\nThe search for the closest block stopped at its work budget (a long block, or many "
            "lines that look alike); quote fewer or more distinctive lines."
        )


# ---- results -------------------------------------------------------------------------------------


def test_success_result_fields_and_report():
    content = "".join(f"v{k} = {k}\n" for k in range(1, 21))
    result = bs.edit_text(content, "v10 = 10\n", "v10 = 100\nv10b = 101\n")
    assert result.ok and bool(result) and result.path is None
    assert (result.strategy, result.start_line, result.end_line, result.replacements) == ("simple", 10, 11, 1)
    assert result.snippet.splitlines() == [
        "     7\tv7 = 7",
        "     8\tv8 = 8",
        "     9\tv9 = 9",
        "    10\tv10 = 100",
        "    11\tv10b = 101",
        "    12\tv11 = 11",
        "    13\tv12 = 12",
        "    14\tv13 = 13",
    ]
    assert result.diff.splitlines()[:3] == ["--- text", "+++ text", "@@ -7,7 +7,8 @@"]
    report = str(result)
    assert report.startswith("Edited the text: lines 10-11 (strategy simple).")
    assert "    10\tv10 = 100" in report
    json.dumps(result.to_dict())


def test_replace_all_and_line_hint():
    content = "a = 1\nb = 2\na = 1\nc = 3\na = 1\n"
    result = bs.edit_text(content, "a = 1", "a = 9", replace_all=True)
    assert result.replacements == 3 and (result.start_line, result.end_line) == (1, 5)
    assert result.text == content.replace("a = 1", "a = 9")
    hinted = bs.edit_text(content, "a = 1", "a = 9", line_hint=5)
    assert hinted.ok and hinted.start_line == 5 and hinted.text == "a = 1\nb = 2\na = 1\nc = 3\na = 9\n"
    ambiguous = bs.edit_text(content, "a = 1", "a = 9")
    assert ambiguous.error_type == "multiple_matches" and ambiguous.locations == [1, 3, 5]
    assert "multiple_matches" in str(ambiguous) and "line_hint" in str(ambiguous)


def test_no_change_is_a_result():
    result = bs.edit_text("a\n", "a", "a")
    assert not result.ok and result.error_type == "no_change"
    assert result.message == "old_string and new_string must be different"


def test_crlf_text():
    result = bs.edit_text("a\r\nb\r\nc\r\n", "a\nb\n", "x\ny\nz\n")
    assert result.ok and result.text == "x\r\ny\r\nz\r\nc\r\n"


# ---- faults of the native code -------------------------------------------------------------------


def native_panic():
    source = raw.StreamingFuzzyMatcher("éé")
    other = raw.StreamingFuzzyMatcher("abc")
    other.push("abc\n")
    [rng] = other.finish()
    try:
        source.get_text(rng)
    except BaseException as exc:  # noqa: BLE001 - the panic is what we want
        return exc
    raise AssertionError("no panic")


def test_native_panic_becomes_edit_error(monkeypatch, tmp_path):
    panic = native_panic()
    assert not isinstance(panic, Exception)

    def explode(*args, **kwargs):
        raise panic

    monkeypatch.setattr(_native, "locate", explode)
    # Not found as written, so that the native driver is asked (a block found once is not).
    with pytest.raises(bs.EditError, match="internal error") as info:
        bs.edit_text("a", "A", "b")
    assert info.value.__cause__ is panic
    path = tmp_path / "a.txt"
    path.write_text("a\n")
    with pytest.raises(bs.EditError, match=str(path)):
        bs.edit_file(path, "A", "b")
    assert path.read_text() == "a\n"


def test_keyboard_interrupt_is_not_converted(monkeypatch):
    def interrupt(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(_native, "locate", interrupt)
    with pytest.raises(KeyboardInterrupt):
        bs.edit_text("a", "A", "b")


def test_package_surface():
    for name in raw.__all__:
        assert getattr(bs, name) is getattr(raw, name)
        assert name in bs.__all__
    for name in ("edit_text", "edit_file", "apply_edits", "Edit", "EditResult", "EditError", "__version__"):
        assert name in bs.__all__
    assert issubclass(bs.EditError, Exception)


def _function_blocks(source):
    lines = source.split("\n")
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.FunctionDef) and node.end_lineno:
            block = lines[node.lineno - 1 : node.end_lineno]
            if 4 <= len(block) <= 40 and sum(1 for line in block[1:-1] if line.strip()) >= 2:
                yield block


def test_default_min_similarity_separates_invented_from_slightly_changed_blocks():
    rng = random.Random(3)
    sources = [open(m.__file__, encoding="utf-8").read() for m in (argparse, difflib)]
    cases = [(source, block) for source in sources for block in _function_blocks(source)]
    counts = {"invented": [0, 0], "changed": [0, 0], "missing": [0, 0]}  # [placed loosely, refused]
    for _ in range(60):
        source, block = rng.choice(cases)
        _, other = rng.choice(cases)
        k = rng.randrange(1, len(block) - 1)
        olds = {
            "invented": [block[0], *other[1:-1], block[-1]],
            "changed": block[:k] + ["    value = compute(other, 42)"] + block[k + 1 :],
            "missing": block[:k] + block[k + 1 :],
        }
        for kind, lines in olds.items():
            old = "\n".join(lines)
            loose = bs.edit_text(source, old, "pass", min_similarity=0)
            if not loose.ok or loose.strategy not in ("block_anchor", "context_aware"):
                continue
            counts[kind][0] += 1
            counts[kind][1] += bs.edit_text(source, old, "pass").error_type == "refused"
    assert all(placed >= 20 for placed, _ in counts.values()), counts
    assert counts["invented"][1] >= 0.95 * counts["invented"][0], counts
    assert counts["changed"][1] <= 0.1 * counts["changed"][0], counts
    assert counts["missing"][1] <= 0.1 * counts["missing"][0], counts


def test_generated_edits_agree_with_the_native_module():
    """Without repairs the package places every edit where the native module does, and a CR LF
    copy of the text gets the same edit with CR LF line endings."""
    rng = random.Random(11)
    pieces = ["a = 1", "    b = 2", "\tc()", "é = 'ü'", "", "  ", "x😀", "if x:", "return y"]
    outcomes = {}
    for _ in range(400):
        lines = rng.choices(pieces, k=rng.randint(1, 10))
        text = "\n".join(lines) + rng.choice(["", "\n"])
        start = rng.randrange(len(lines))
        old = "\n".join(lines[start : start + rng.randint(1, 3)])
        if rng.random() < 0.3:
            old = old.strip()
        if rng.random() < 0.2:
            old += "\n"
        if rng.random() < 0.15:
            old = "never " + old
        new = rng.choice(["z = 0", "", "q\nr", "é\n"])
        kwargs = {"replace_all": rng.random() < 0.2, "line_hint": rng.choice([None, 1, 3])}
        native = raw.try_replace_content(text, old, new, **kwargs)
        result = bs.edit_text(text, old, new, reindent=False, min_similarity=0, **kwargs)
        if old == "" and text and new:
            assert result.error_type == "refused"  # an empty old_string only fills an empty text
            continue
        outcomes[result.error_type or (result.strategy if not result.repairs else "repaired")] = 1
        if not native.success:
            assert not result.ok and result.error_type == native.error_type
            continue
        assert result.ok and result.strategy == native.result.strategy
        assert result.start_line == native.result.start_line
        if not result.repairs:
            assert result.text == native.result.content
            assert result.replacements >= 1
        if "\n" in text:  # a text without line breaks gives inserted ones the LF default
            crlf = bs.edit_text(
                text.replace("\n", "\r\n"), old, new, reindent=False, min_similarity=0, **kwargs
            )
            assert crlf.ok and crlf.text == result.text.replace("\n", "\r\n")
    assert {"simple", "line_trimmed", "not_found", "multiple_matches", "repaired"} <= set(outcomes)


@pytest.mark.parametrize("unit", ["    ", "  ", "\t"])
def test_generated_blocks_are_reindented_to_where_they_were_found(unit):
    """A block found at depth d, sent by the model at depth e (in four spaces per level), is
    inserted at depth d in the file's own unit, with its relative indentation kept."""
    rng = random.Random(len(unit))
    checked = 0
    for case in range(150):
        depth = rng.randint(1, 3)
        levels = [0]
        for _ in range(rng.randint(2, 6)):
            levels.append(max(0, min(levels[-1] + rng.choice([-1, 0, 1]), 3)))
        body = [f"stmt_{case}_{k}()" for k in range(len(levels))]

        def render(base, ind, levels=levels, body=body):
            return "\n".join(ind * (base + lv) + text for lv, text in zip(levels, body)) + "\n"

        old_block = render(depth, unit)
        new_levels = levels + [levels[-1]]
        new_body = body + [f"added_{case}()"]
        text = (
            "class C:\n" + unit + "def f(self):\n" + old_block + unit + "def g(self):\n" + unit * 2 + "pass\n"
        )
        sent_depth = rng.choice([d for d in range(4) if d != depth])
        old = render(sent_depth, "    ")
        new = render(sent_depth, "    ", new_levels, new_body)
        result = bs.edit_text(text, old, new)
        assert result.ok, str(result)
        assert result.text == text.replace(old_block, render(depth, unit, new_levels, new_body)), (
            result.repairs
        )
        checked += 1
    assert checked == 150


def test_a_replace_all_without_line_breaks_is_made_on_the_text_as_given():
    """The text as given, replaced at once, is what the places in the LF form give once their
    endings are restored: with CR LF, LF, mixed and CR-only endings and lone CRs."""
    from brindle_search import _edit
    from brindle_search.files import document_from_text

    rng = random.Random(5)
    given = tolerant = refused = 0
    for _ in range(600):
        ending = rng.choice(["\n", "\r\n", "\r", "mixed"])
        parts = []
        for _ in range(rng.randrange(1, 12)):
            parts.append(rng.choice(["ab", "a", "b", "x\r", " ", "ba"]))
            parts.append(rng.choice(["\n", "\r\n"]) if ending == "mixed" else ending)
        text = "".join(parts)
        old, new = rng.choice([("a", "Z"), ("ab", "b"), ("b", ""), ("a b", "c"), ("ab ", "c"), ("q", "r")])
        result = bs.edit_text(text, old, new, replace_all=True)
        opts = _edit._check_options(True, None, None)
        plain = _edit._run(
            document_from_text(text), [bs.Edit(old, new, True)], opts, batch=False, dry_run=True
        )
        fields = ("ok", "text", "diff", "snippet", "strategy", "start_line", "end_line", "error_type")
        assert [getattr(result, f) for f in fields] == [getattr(plain, f) for f in fields], (text, old, new)
        given += result.ok and result.strategy == "simple"
        # Placed otherwise, or not at all: the endings told apart from the text as given.
        tolerant += result.strategy not in (None, "simple")
        refused += not result.ok
    assert given > 200 and tolerant > 20 and refused > 20, (given, tolerant, refused)
