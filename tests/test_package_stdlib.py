"""Model-style edits of copies of standard-library modules that the raw replacement gets wrong.

Each case is first shown broken with `_brindle_search.replace_content` (the file no longer parses,
or parses but means something else), then done with `brindle_search.edit_file`: the file must be
exactly the original with the intended change, and parse.
"""

import ast
import shutil
import textwrap as textwrap_module

import pytest

import _brindle_search as raw
import brindle_search as bs

TEXTWRAP = textwrap_module.__file__

METHOD = (
    "    def _split_chunks(self, text):\n"
    "        text = self._munge_whitespace(text)\n"
    "        return self._split(text)\n"
)
NEW_METHOD = (
    "    def _split_chunks(self, text):\n"
    "        text = self._munge_whitespace(text)\n"
    "        chunks = self._split(text)\n"
    "        return chunks\n"
)


def dedent(block, columns=4):
    return "".join(line[columns:] if line.strip() else line for line in block.splitlines(True))


def to_tabs(source):
    out = []
    for line in source.splitlines(True):
        body = line.lstrip(" ")
        n = len(line) - len(body)
        out.append("\t" * (n // 4) + " " * (n % 4) + body)
    return "".join(out)


@pytest.fixture
def module_copy(tmp_path):
    source = open(TEXTWRAP, encoding="utf-8").read()
    if METHOD not in source or source.count(METHOD) != 1:
        pytest.skip("this interpreter's textwrap differs")
    path = tmp_path / "textwrap_copy.py"
    shutil.copyfile(TEXTWRAP, path)
    return path, source


def same_meaning(text, expected):
    assert ast.dump(ast.parse(text)) == ast.dump(ast.parse(expected))


def test_dropped_indentation_is_restored(module_copy):
    path, source = module_copy
    old, new = dedent(METHOD), dedent(NEW_METHOD)
    expected = source.replace(METHOD, NEW_METHOD)

    broken = raw.replace_content(source, old, new)
    assert broken.strategy == "line_trimmed"
    # Written at column 0 the method ends the class: the file still parses but means another thing.
    assert ast.dump(ast.parse(broken.content)) != ast.dump(ast.parse(expected))

    result = bs.edit_file(path, old, new)
    assert result.ok and result.strategy == "line_trimmed"
    assert "reindented +4 spaces" in result.repairs
    assert path.read_text(encoding="utf-8") == expected
    same_meaning(path.read_text(encoding="utf-8"), expected)


def test_escaped_quotes_are_unescaped(module_copy):
    path, source = module_copy
    line = '                raise ValueError("placeholder too large for max width")\n'
    assert source.count(line) == 1
    new_line = line.replace("too large", "longer than")
    old = line.replace('"', '\\"')
    new = new_line.replace('"', '\\"')
    expected = source.replace(line, new_line)

    broken = raw.replace_content(source, old, new)
    assert broken.strategy == "escape_normalized"
    with pytest.raises(SyntaxError):
        ast.parse(broken.content)

    result = bs.edit_file(path, old, new)
    assert result.ok and result.strategy == "escape_normalized"
    assert "unescaped" in result.repairs
    assert path.read_text(encoding="utf-8") == expected
    same_meaning(path.read_text(encoding="utf-8"), expected)


def test_final_newline_of_a_tolerant_match_is_not_doubled(module_copy):
    path, source = module_copy
    # Trailing blanks on each line: only a tolerant strategy places it, and its match has no
    # final newline.
    old = "".join(line.rstrip("\n") + "  \n" for line in METHOD.splitlines(True))
    expected = source.replace(METHOD, NEW_METHOD)

    broken = raw.replace_content(source, old, NEW_METHOD)
    assert broken.strategy != "simple"
    assert broken.content != expected and broken.content.replace(NEW_METHOD + "\n", NEW_METHOD) == expected

    result = bs.edit_file(path, old, NEW_METHOD)
    assert result.ok
    assert path.read_text(encoding="utf-8") == expected


def test_spaces_in_a_tab_indented_file_become_tabs(tmp_path, module_copy):
    _, source = module_copy
    tabbed = to_tabs(source)
    compile(tabbed, "tabbed", "exec")
    path = tmp_path / "tabbed.py"
    path.write_text(tabbed, encoding="utf-8")
    expected = tabbed.replace(to_tabs(METHOD), to_tabs(NEW_METHOD))
    assert expected != tabbed

    broken = raw.replace_content(tabbed, METHOD, NEW_METHOD)
    assert broken.strategy == "line_trimmed"
    with pytest.raises(IndentationError):  # TabError or, as here, an unindent mismatch
        compile(broken.content, "broken", "exec")

    result = bs.edit_file(path, METHOD, NEW_METHOD)
    assert result.ok
    assert "indentation converted to tabs" in result.repairs
    assert path.read_text(encoding="utf-8") == expected
    compile(path.read_text(encoding="utf-8"), "fixed", "exec")


def test_dropped_indentation_in_a_tab_indented_file(tmp_path, module_copy):
    _, source = module_copy
    tabbed = to_tabs(source)
    path = tmp_path / "tabbed.py"
    path.write_text(tabbed, encoding="utf-8")
    result = bs.edit_file(path, dedent(METHOD), dedent(NEW_METHOD))
    assert result.ok
    assert path.read_text(encoding="utf-8") == tabbed.replace(to_tabs(METHOD), to_tabs(NEW_METHOD))


def test_typo_in_the_first_line_gets_a_closest_match(tmp_path, module_copy):
    path, source = module_copy
    lines = source.split("\n")
    # A block far from the top (beyond the first windows the raw search tries).
    start = next(k for k in range(200, len(lines)) if lines[k].startswith("    def "))
    block = "\n".join(lines[start : start + 12])
    typo = block.replace("def ", "dfe ", 1)
    assert raw.try_replace_content(source, typo, "x").closest_match is None

    # Only the driver's strategies: not found, with the closest block in the report.
    result = bs.edit_file(path, typo, "x", strategies=bs.STRATEGIES)
    assert not result.ok and result.error_type == "not_found"
    closest = result.closest_match
    assert closest is not None and closest.similarity >= 0.99
    assert (closest.start_line, closest.end_line) == (start + 1, start + 12)
    assert closest.text == block
    assert f"at lines {start + 1}-{start + 12}" in result.message
    assert path.read_text(encoding="utf-8") == source
    # By default the closest block is placed: it is the only one near, and one line of it
    # differs by a small edit.
    result = bs.edit_file(path, typo, "x")
    assert result.ok and result.strategy == "closest_block", str(result)
    assert path.read_text(encoding="utf-8") == source.replace(block, "x")
