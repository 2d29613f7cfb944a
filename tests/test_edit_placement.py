"""Edits placed as a careful reviewer would place them, or refused with a reason.

Each case is a text, old_string and new_string as a model writes them, and what the text must
read afterwards (or that the edit is refused). Then the pieces the decision is made of: the line
alignment, the three-way line merge and the forms an edit is read in.
"""

import colorsys
import inspect
import random

import pytest

import brindle_search as bs
from brindle_search import alignment as al
from brindle_search.edit_forms import edit_forms
from brindle_search.line_merge import merge_line

HSV = inspect.getsource(colorsys.hsv_to_rgb)

PLACED = [
    pytest.param(
        "a = 1\nb = 2\nc = 3\n", "b = 2\n\n", "b = 3\n\n", "a = 1\nb = 3\nc = 3\n", id="blank-line-too-many"
    ),
    pytest.param(
        "def f():\n    x = 1\n    y = 2\n    return x\n",
        "\n    x = 1\n    y = 2\n\n",
        "\n    x = 1\n    y = 3\n\n",
        "def f():\n    x = 1\n    y = 3\n    return x\n",
        id="boundary-trimmed-not-reindented-twice",
    ),
    pytest.param(
        "import os\n\ndef helper():\n    return 1\n\ndef f():\n    x = 1\n    y = 2\n    z = 3\n",
        "\n    x = 1\n    y = 2\n    z = 3\n\n",
        "\n    x = 1\n    y = 5\n    z = 3\n\n",
        "import os\n\ndef helper():\n    return 1\n\ndef f():\n    x = 1\n    y = 5\n    z = 3\n",
        id="blank-line-is-no-anchor",
    ),
    pytest.param(
        'def f():\n    print("a")\n    print("b")\n    return 0\n',
        'def f():\n    print(\\"a\\")\n    print(\\"b\\")\n    return 0\n',
        'def f():\n    print(\\"a\\")\n    print(\\"c\\")\n    print(\\"d\\")\n    return 0\n',
        'def f():\n    print("a")\n    print("c")\n    print("d")\n    return 0\n',
        id="escaped-block-placed-by-another-strategy",
    ),
    pytest.param(
        "def f():\n    return 1\n",
        "return 1",
        "x = 1\nreturn x",
        "def f():\n    x = 1\n    return x\n",
        id="exact-fragment-after-indentation",
    ),
    pytest.param(
        "struct s {\n\tint a;\n\tint b;\n};\n",
        "  int a;\n  int b;",
        "  int a;\n  long b;",
        "struct s {\n\tint a;\n\tlong b;\n};\n",
        id="constant-shift-tabs",
    ),
    pytest.param(
        "x = [\n           'a',\n           'b',\n          ]\n",
        " 'a',\n 'b',\n]",
        " 'a',\n]",
        "x = [\n           'a',\n          ]\n",
        id="constant-shift-alignment-kept",
    ),
    pytest.param(
        "import os\nimport sys\n\n#\n# Helpers\n#\ndef f():\n    pass\n",
        "import os\nimport  sys\n\n#\n# Helpers\n#",
        "import os\nimport sys, re\n\n#\n# Helpers\n#",
        "import os\nimport sys, re\n\n#\n# Helpers\n#\ndef f():\n    pass\n",
        id="match-shorter-than-old",
    ),
    pytest.param(
        "  ALPHA:\n    api_version: v1alpha\n  GA:\n    api_version: v1\n",
        "  LPHA:\n    api_version: v1alpha\n  GA:",
        "  ALPHA:\n    api_version: v1alpha2\n  GA:",
        "  ALPHA:\n    api_version: v1alpha2\n  GA:\n    api_version: v1\n",
        id="no-splice-into-a-word",
    ),
    pytest.param(
        "def configure_application_logging(settings):\n    handler = make_handler(settings)\n"
        "    level = settings.level\n    return install_handler_for_application(handler, level)\n",
        "def configure_application_logging(settings):\n    # ...\n"
        "    return install_handler_for_application(handler, level)\n",
        "def configure_application_logging(settings):\n    # ...\n"
        "    return install_handler_for_application(handler, level, force=True)\n",
        "def configure_application_logging(settings):\n    handler = make_handler(settings)\n"
        "    level = settings.level\n"
        "    return install_handler_for_application(handler, level, force=True)\n",
        id="elision-keeps-lines",
    ),
    pytest.param(
        "def greet():\n    msg = 'hello world'\n    print(msg)\n    return msg\n",
        "def greet():\n    msg = \u2018hello world\u2019\n    print(msg)\n",
        "def greet():\n    msg = \u2018hello there\u2019\n    print(msg)\n    log(\u201cgreeted\u201d)\n",
        "def greet():\n    msg = 'hello there'\n    print(msg)\n    log(\"greeted\")\n    return msg\n",
        id="typographic-quotes",
    ),
    pytest.param(
        "a = 1\nb = 2\nresult = compute(a, b)\n",
        "b = 2\nresult = comp",
        "b = 3\nresult = compute(a, b)",
        "a = 1\nb = 3\nresult = compute(a, b)\n",
        id="truncated-last-line",
    ),
    pytest.param(
        HSV,
        HSV.split("    q = ")[0].split("\n", 1)[1] + "    t = v*(1.0 - s*(1.0-f))\n    i = i%6\n",
        HSV.split("    q = ")[0].split("\n", 1)[1] + "    t = v*(1.0 - s*(1.0 - f))\n    i = i%6\n",
        HSV.replace("(1.0-f)", "(1.0 - f)"),
        id="unquoted-line-kept",
    ),
    pytest.param(
        "def perimeter(w, h):\n    return 2 * (w + h)\n\ndef area(w, h):\n    return w * h\n",
        "def perimetre(w, h):\n    return 2 * (w + h)\n",
        "def perimetre(w, h, unit):\n    return 2 * (w + h)\n",
        "def perimeter(w, h, unit):\n    return 2 * (w + h)\n\ndef area(w, h):\n    return w * h\n",
        id="typo-in-first-line",
    ),
    pytest.param(
        "def f():\n    a = 1\n    b = 2\n    return a\n",
        "     2\t    a = 1\n     3\t    b = 2\n",
        "     2\t    a = 1\n     3\t    b = 3\n",
        "def f():\n    a = 1\n    b = 3\n    return a\n",
        id="line-number-prefixes",
    ),
    pytest.param(
        "#include <a.h>\n#include <b.h>\n#include <c.h>\nint x;\n",
        "#include <a.h>\n#include  <b.h>\n#include <c.h>\n",
        "#include <a.h>\n#include <d.h>\n#include <c.h>\n",
        "#include <a.h>\n#include <d.h>\n#include <c.h>\nint x;\n",
        id="refusal-by-one-strategy-is-not-the-end",
    ),
    pytest.param(
        "def f(x):\n    a = g(x)\n    b = h(a)\n    return b\n\nz = 1\n",
        "def f(x):\n    a = g(x)\n    return b\n",
        "def f(x):\n    a = g(x) + 1\n    return b\n",
        "def f(x):\n    a = g(x) + 1\n    b = h(a)\n    return b\n\nz = 1\n",
        id="middle-line-missing-short-block",
    ),
    pytest.param(
        "x = 1\ny = 2\n", "y = 2\n", "y = 2\nz = 3", "x = 1\ny = 2\nz = 3\n", id="whole-lines-keep-line-break"
    ),
]


@pytest.mark.parametrize("text, old, new, expected", PLACED)
def test_placed_as_a_reviewer_would(text, old, new, expected):
    result = bs.edit_text(text, old, new)
    assert result.ok, str(result)
    assert result.text == expected
    # The same edit on the CR LF form of the text gives the CR LF form of the result.
    crlf = bs.edit_text(text.replace("\n", "\r\n"), old, new)
    assert crlf.ok and crlf.text == expected.replace("\n", "\r\n")


REFUSED = [
    pytest.param(
        "MAX_RETRIES = 3\nTIMEOUT = 30\n", "TIMEOUT = 3\n", "TIMEOUT = 5\n", "", id="whole-line-in-a-line"
    ),
    pytest.param("abc\n", "", "x", "refused", id="empty-old-string"),
    pytest.param(
        "import os  # noqa\nimport sys\n",
        "import os",
        "import os  # noqa",
        "already_applied",
        id="sent-twice",
    ),
    pytest.param(
        "def f():\n    x = 1\n    y = 2\n",
        "def f():\n    x = 1\n",
        "def f():\n    x = 1\n    y = 2\n",
        "already_applied",
        id="added-line-already-there",
    ),
    pytest.param(
        "def f():\n    x = 2\n",
        "def f():\n    x = 1\n",
        "def f():\n    x = 2\n",
        "already_applied",
        id="stale",
    ),
    pytest.param(
        "import codecs\n\nencode = codecs.utf_7_encode\n\ndef decode(input, errors='strict'):\n"
        "    return codecs.utf_7_decode(input, errors, True)\n\nclass C:\n    pass\n",
        "encode = codecs.utf_7_encode\n    if final:\n        self.buffer = ''\n"
        "    return codecs.utf_7_decode(input, errors, True)\n",
        "encode = codecs.utf_7_encode\n    return codecs.utf_7_decode(input, errors, False)\n",
        "",
        id="invented-inner-lines",
    ),
    pytest.param(
        "def f():\n    a = 1\n    b = 2\n    c = 3\n    d = 4\n",
        "def f():\n    a = 1\n    total = compute_everything()\n    c = 3\n    d = 4\n",
        "def f():\n    a = 10\n    total = compute_everything()\n    c = 3\n    d = 4\n",
        "",
        id="misremembered-line-kept-by-new",
    ),
    pytest.param(
        "def f():\n    a = 1\n    b = 2\n    c = 3\n",
        "def f():\n    a = 1\n    b = 2\n    c = 3\n",
        "def f():\n    # ...\n    c = 4\n",
        "",
        id="elision-only-in-new",
    ),
    pytest.param(
        "def f():\n    x = 1\n    y = 1\n\ndef g():\n    x = 1\n    y = 1\n\n"
        "def h():\n    x = 1\n    y = 2\n",
        "    x = 1\n    y = 1\n",
        "    x = 1\n    y = 3\n",
        "multiple_matches",
        id="ambiguous-not-placed-loosely",
    ),
]


@pytest.mark.parametrize("text, old, new, error_type", REFUSED)
def test_refused_with_a_reason(text, old, new, error_type):
    result = bs.edit_text(text, old, new)
    assert not result.ok, result.text
    assert result.text == text
    if error_type:
        assert result.error_type == error_type
    assert result.message


def test_unquoted_lines_are_named():
    old = HSV.split("    q = ")[0].split("\n", 1)[1] + "    t = v*(1.0 - s*(1.0-f))\n"
    result = bs.edit_text(HSV, old, old.replace("(1.0-f)", "(1.0 - f)"))
    assert result.ok and "kept unquoted line 7" in result.repairs


def test_placed_on_the_closest_block_only_when_it_is_unique():
    block = "def perimeter(w, h):\n    return 2 * (w + h)\n"
    typo = block.replace("perimeter", "perimetre")
    result = bs.edit_text(block + "\n" + block.replace("perimeter", "perimeters"), typo, "pass\n")
    assert not result.ok and result.error_type == "not_found"  # two blocks are as near
    placed = bs.edit_text(block + "\nx = 1\n", typo, "pass\n")
    assert placed.ok and placed.strategy == "closest_block"
    assert placed.repairs[0].startswith("placed on the closest block")
    # Naming the strategies gives the driver's own answer.
    assert bs.edit_text(block, typo, "pass\n", strategies=bs.STRATEGIES).error_type == "not_found"


# ---- the pieces ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "line, elision",
    [
        ("...", True),
        ("    # ...", True),
        ("// ... existing code ...", True),
        ("/* ... */", True),
        ("# rest of the function unchanged", True),
        ("<!-- ... -->", True),
        ("x = ...", False),
        ("print('...')", False),
        ("# see the docs", False),
        ("", False),
    ],
)
def test_elision_markers(line, elision):
    assert al.is_elision(line) == elision


def test_alignment_kinds():
    old = ["def area(w, h):", "  x = compute( w )", "  # ...", "  y = comptue(x)", "  log(y)"]
    block = [
        "def area(w, h):",
        "    x = compute(w)",
        "    check(w)",
        "    check(h)",
        "    y = compute(x)",
        "    return y",
    ]
    a = al.align(old, block)
    kinds = [(s.kind, s.old, s.lo, s.hi) for s in a.steps]
    assert kinds == [
        ("equal", 0, 0, 1),
        ("spacing", 1, 1, 2),
        ("elided", 2, 2, 4),
        ("small_edit", 3, 4, 5),
        ("old_only", 4, 5, 5),
        ("file_only", None, 5, 6),
    ]


def _plain_merge(base, ours, theirs):
    """Character-level three-way merge, written from the definition: each base character's fate on
    each side, the changed spans taken from the side that changed them (theirs on a clash)."""
    import difflib

    def spans(other):
        return [
            op
            for op in difflib.SequenceMatcher(None, base, other, autojunk=False).get_opcodes()
            if op[0] != "equal"
        ]

    o, t = spans(ours), spans(theirs)
    if not o:
        return theirs
    if not t:
        return ours
    return None  # both changed: compared only where the sides touch different characters


def test_merge_line_against_its_definition():
    rng = random.Random(5)
    alphabet = "ab c(x)"
    clashes = 0
    for _ in range(3000):
        base = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 12)))

        def mutate(s):
            s = list(s)
            for _ in range(rng.randint(0, 2)):
                k = rng.randint(0, len(s))
                if rng.random() < 0.5 and k < len(s):
                    del s[k]
                else:
                    s.insert(k, rng.choice("XYZ"))
            return "".join(s)

        ours, theirs = mutate(base), mutate(base)
        merged = merge_line(base, ours, theirs)
        plain = _plain_merge(base, ours, theirs)
        if plain is not None:
            assert merged == plain
            continue
        clashes += 1
        # Both sides changed: every character theirs inserted is kept, and one side's text is
        # reproduced where the other kept base as it was.
        assert all(merged.count(c) >= theirs.count(c) - base.count(c) for c in "XYZ")
        if ours == theirs:
            assert merged == theirs
    assert clashes > 1000


@pytest.mark.parametrize(
    "old, new, forms",
    [
        (
            "   12\ta = 1\n   13\tb = 2\n",
            "   12\ta = 1\n   13\tb = 3\n",
            [("a = 1\nb = 2\n", "a = 1\nb = 3\n")],
        ),
        ("12→a = 1\n14→b = 2\n", "x", []),  # numbers not in sequence
        ("   12\ta = 1\n", "   12\ta = 2\n", []),  # one line only
        ("s = \u2018x\u2019\nt = 1", "s = \u2018y\u2019\nt = 1", [("s = 'x'\nt = 1", "s = 'y'\nt = 1")]),
    ],
)
def test_edit_forms(old, new, forms):
    got = [(f.old, f.new) for f in edit_forms("s = 'x'\nt = 1\na = 1\nb = 2\n", old, new)[1:]]
    assert got == forms


def _mutated(rng, lines, changes):
    out = list(lines)
    for _ in range(changes):
        k = rng.randint(0, len(out))
        r = rng.random()
        if r < 0.4 and k < len(out):
            del out[k]
        elif r < 0.7:
            out.insert(k, rng.choice(["x", "y", "new line"]))
        elif k < len(out):
            out[k] = rng.choice(["a", "b", "changed"])
    return out


def test_line_diff_is_difflib_on_small_texts_and_exact_on_large_ones():
    import difflib

    from brindle_search.line_diff import opcodes, unified_diff

    rng = random.Random(8)
    for _ in range(1500):
        a = [rng.choice("abcdefgh") for _ in range(rng.randint(0, 40))]
        b = _mutated(rng, a, rng.randint(0, 5))
        assert list(unified_diff(a, b, "f")) == list(difflib.unified_diff(a, b, "f", "f", lineterm=""))
    large = 0
    for _ in range(20):
        a = [f"line {rng.randint(0, 3000)}" for _ in range(rng.randint(600, 3000))]
        b = _mutated(rng, a, rng.randint(1, 60))
        ops = opcodes(a, b)
        large += len(a) * len(b) > 250_000
        rebuilt = []
        for tag, i1, i2, j1, j2 in ops:
            assert (tag == "equal") == (a[i1:i2] == b[j1:j2] and i2 - i1 == j2 - j1 > 0) or tag != "equal"
            rebuilt.extend(a[i1:i2] if tag == "equal" else b[j1:j2])
        assert rebuilt == b
        assert [op[1] for op in ops] == sorted(op[1] for op in ops)
    assert large >= 15


def test_the_one_run_merge_equals_the_general_merge(monkeypatch):
    """Old lines found as one run take a shorter merge; on generated edits it must give what the
    general merge gives."""
    from brindle_search import line_merge

    rng = random.Random(12)
    pieces = ["x = 1", "y = f(x)", "if y:", "return y", "", "pass", "z = [1, 2]", "# note"]
    fast_taken = 0
    for _ in range(600):
        body = [rng.choice(pieces) for _ in range(rng.randint(2, 8))]
        indent = rng.choice(["", "    ", "\t", "  "])
        text = "def f():\n" + "".join(indent + line + "\n" for line in body) + "end\n"
        k = rng.randint(0, len(body) - 1)
        old_lines = body[k : k + rng.randint(1, 4)]
        old = "\n".join(old_lines)
        new_lines = list(old_lines)
        for _ in range(rng.randint(1, 3)):
            at = rng.randint(0, len(new_lines))
            r = rng.random()
            if r < 0.4 and at < len(new_lines):
                new_lines[at] = new_lines[at] + " + 1"
            elif r < 0.7:
                new_lines.insert(at, rng.choice(pieces))
            elif at < len(new_lines):
                del new_lines[at]
        new = "\n".join(new_lines)
        fast = bs.edit_text(text, old, new)
        calls = []
        real = line_merge._one_run

        def counting(*args, real=real, calls=calls):
            found = real(*args)
            calls.append(found is not None)
            return found

        monkeypatch.setattr(line_merge, "_one_run", counting)
        bs.edit_text(text, old, new)
        monkeypatch.setattr(line_merge, "_one_run", lambda *args: None)
        general = bs.edit_text(text, old, new)
        monkeypatch.setattr(line_merge, "_one_run", real)
        fast_taken += any(calls)
        assert (fast.ok, fast.text, fast.error_type, fast.repairs) == (
            general.ok,
            general.text,
            general.error_type,
            general.repairs,
        )
    assert fast_taken > 100
