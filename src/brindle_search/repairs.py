"""Repairs of new_string after a tolerant strategy placed an edit.

A tolerant strategy finds old_string in the text although it differs from it; new_string has the
same differences and must be brought into the text's form before it is inserted:

- indentation: the matched block sits at another indentation than old_string (the model dropped
  or changed it). Every line of new_string moves by the difference of the first non-blank lines,
  in the text's own unit (tabs in a tab-indented text, its spaces per level otherwise):

      text:        "    def f(self):\\n        return 1\\n"     (4 spaces per level)
      old_string:  "def f(self):\\n    return 1\\n"
      new_string:  "def f(self):\\n    return 2\\n"
      inserted:    "    def f(self):\\n        return 2\\n"     ("reindented +4 spaces")

  When new_string is indented in another style than the text (spaces in a tab-indented file, two
  spaces per level in a four-space file) its indentation is converted level by level, keeping
  the spaces beyond a whole level. Blank lines stay as written, and a line that would move left
  of column 0 keeps its indentation as written.
- escapes: "escape_normalized" placed old_string by resolving its escape sequences; new_string
  holds the same kind of escapes and is resolved by the same rules.
- final newline: old_string ended in a newline but the matched text does not (tolerant matches
  are whole lines without their last LF); new_string then loses one final newline too. The
  other way round, a match that took the line break behind old_string (which did not end in one)
  keeps it: new_string gets a final newline.
"""

from __future__ import annotations

import re
from collections import Counter
from collections.abc import Callable

__all__ = ["IndentStyle", "detect_style", "reindent", "leading_whitespace"]

# (indentation character, columns per level): ("\t", 1) or (" ", n).
IndentStyle = tuple[str, int]

_DEFAULT_SPACES = 4


def leading_whitespace(line: str) -> str:
    return line[: len(line) - len(line.lstrip(" \t"))]


def _first_non_blank(text: str) -> str | None:
    for line in text.split("\n"):
        if line.strip():
            return line
    return None


# The indentation of every non-blank line, in "\n" + text (searching for line feeds is much faster
# than testing every position for a line start).
_INDENT = re.compile(r"\n([ \t]*)(?=\S)")


def detect_style(text: str) -> IndentStyle | None:
    """The indentation style of the lines of `text`, or None when no line is indented.

    Tabs when more lines start with a tab than with a space; otherwise spaces, with the most
    common positive step between the widths of consecutive non-blank lines as the level (the
    smaller on a tie), or 4 when no line steps in.
    """
    indents = _INDENT.findall("\n" + text)
    joined = "\n" + "\n".join(indents)
    tabs = joined.count("\n\t")
    spaces = joined.count("\n ")
    if tabs == 0 and spaces == 0:
        return None
    if tabs > spaces:
        return ("\t", 1)
    widths = [len(ws) for ws in indents if "\t" not in ws]
    steps = Counter(b - a for a, b in zip(widths, widths[1:]) if b > a)
    if steps:
        best = max(steps.values())
        return (" ", min(step for step, count in steps.items() if count == best))
    return (" ", _DEFAULT_SPACES)


def _levels(ws: str, style: IndentStyle) -> tuple[int, int]:
    """Whole levels and the columns beyond them of an indentation read in `style`."""
    char, unit = style
    if char == "\t":
        tabs = len(ws) - len(ws.lstrip("\t"))
        return tabs, len(ws[tabs:].expandtabs(_DEFAULT_SPACES))
    columns = len(ws.expandtabs(unit))
    return divmod(columns, unit)


def _render(levels: int, extra: int, style: IndentStyle) -> str:
    char, unit = style
    if char == "\t":
        return "\t" * levels + " " * extra
    return " " * (levels * unit + extra)


def _unit_name(count: int, style: IndentStyle) -> str:
    if style[0] == "\t":
        return f"{count:+d} tab" + ("" if abs(count) == 1 else "s")
    return f"{count:+d} space" + ("" if abs(count) == 1 else "s")


def _edit_unit(old_string: str, matched: str, file_style: IndentStyle) -> int | None:
    """Spaces per level in old_string, learnt from the matched block's lines beside it.

    old_string's lines pair with the block's lines when both have as many; where two lines of the
    block differ by k levels, the same two lines of old_string differ by k edit levels. The most
    common ratio wins; None when no pair of lines tells.
    """
    old_lines = old_string.rstrip("\n").split("\n")
    block_lines = matched.rstrip("\n").split("\n")
    if len(old_lines) != len(block_lines):
        return None
    pairs = [
        (
            len(leading_whitespace(o).expandtabs(_DEFAULT_SPACES)),
            _levels(leading_whitespace(b), file_style)[0],
        )
        for o, b in zip(old_lines, block_lines)
        if o.strip() and b.strip()
    ]
    ratios: Counter[int] = Counter()
    for (w0, l0), (w1, l1) in zip(pairs, pairs[1:]):
        if l1 != l0 and (w1 - w0) % (l1 - l0) == 0 and (w1 - w0) // (l1 - l0) > 0:
            ratios[(w1 - w0) // (l1 - l0)] += 1
    if not ratios:
        return None
    best = max(ratios.values())
    return min(unit for unit, count in ratios.items() if count == best)


def reindent(
    new_string: str, old_string: str, matched: str, surroundings: Callable[[], str]
) -> tuple[str, list[str]]:
    """new_string moved to the matched block's indentation, with the phrases that describe it.

    `matched` is the matched block from the start of its first line; `surroundings()` gives the
    text around it, read to learn the file's indentation style when the block alone does not tell
    it apart from old_string's. new_string is read in the style old_string was written in: tabs or
    spaces by its lines, spaces per level by comparing old_string with the block (the file's own
    when that tells nothing).
    """
    old_first = _first_non_blank(old_string)
    matched_first = _first_non_blank(matched)
    if old_first is None or matched_first is None or not new_string:
        return new_string, []
    old_indent = leading_whitespace(old_first)
    matched_indent = leading_whitespace(matched_first)
    edit_kind = detect_style(old_string + "\n" + new_string)
    file_style = detect_style(matched)
    if edit_kind is not None and file_style is not None and edit_kind == file_style:
        return _shift(new_string, old_indent, matched_indent, file_style)
    file_style = detect_style(surroundings()) or file_style or edit_kind
    if file_style is None:
        return new_string, []
    if edit_kind is None or edit_kind == file_style or (edit_kind[0] == "\t" and file_style[0] == "\t"):
        return _shift(new_string, old_indent, matched_indent, file_style)
    if edit_kind[0] == "\t":
        edit_style: IndentStyle = ("\t", 1)
    else:
        unit = _edit_unit(old_string, matched, file_style)
        if unit is None:
            unit = file_style[1] if file_style[0] == " " else edit_kind[1]
        edit_style = (" ", unit)
    if edit_style == file_style:
        return _shift(new_string, old_indent, matched_indent, file_style)
    return _convert(new_string, old_indent, matched_indent, edit_style, file_style)


def _shift(
    new_string: str, old_indent: str, matched_indent: str, style: IndentStyle
) -> tuple[str, list[str]]:
    """Same style on both sides: every line moves by the difference in the style's characters."""
    char, unit = style
    if char == "\t":
        delta = (len(matched_indent) - len(matched_indent.lstrip("\t"))) - (
            len(old_indent) - len(old_indent.lstrip("\t"))
        )
    else:
        delta = len(matched_indent.expandtabs(unit)) - len(old_indent.expandtabs(unit))
    if delta == 0:
        return new_string, []
    step = char * abs(delta)
    out = []
    for line in new_string.split("\n"):
        if not line.strip():
            out.append(line)
        elif delta > 0:
            out.append(step + line)
        elif line.startswith(step):
            out.append(line[len(step) :])
        else:
            out.append(line)
    return "\n".join(out), [f"reindented {_unit_name(delta, style)}"]


def _convert(
    new_string: str, old_indent: str, matched_indent: str, edit_style: IndentStyle, file_style: IndentStyle
) -> tuple[str, list[str]]:
    """Different styles: indentation re-rendered level by level in the file's style."""
    old_levels, _ = _levels(old_indent, edit_style)
    matched_levels, _ = _levels(matched_indent, file_style)
    delta = matched_levels - old_levels
    out = []
    for line in new_string.split("\n"):
        if not line.strip():
            out.append(line)
            continue
        ws = leading_whitespace(line)
        levels, extra = _levels(ws, edit_style)
        if levels + delta < 0:
            out.append(line)
            continue
        out.append(_render(levels + delta, extra, file_style) + line[len(ws) :])
    unit = file_style[1]
    converted = "tabs" if file_style[0] == "\t" else f"{unit} space{'' if unit == 1 else 's'} per level"
    phrases = [f"indentation converted to {converted}"]
    if delta:
        phrases.append(f"reindented {delta:+d} level" + ("" if abs(delta) == 1 else "s"))
    return "\n".join(out), phrases
