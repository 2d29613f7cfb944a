"""The forms in which a model may have written an edit, and how to read them back.

Models copy old_string from what they were shown and write new_string the same way, so whatever
they added to one they added to the other. Before an edit is placed it is read in each form it
could be written in, most literal first:

- as written;
- without line-number prefixes, when every line of old_string carries one and the numbers run in
  sequence (a block copied from a numbered view such as ``cat -n``'s ``    12\\tcode``):
  new_string loses the prefixes its lines carry ("line numbers removed");
- with typographic quotes (‘ ’ “ ”) made straight, when old_string has them and the text has
  none of them: new_string's quotes are straightened too ("quotes straightened").

Escape sequences are handled after placement, where the alignment tells whether the resolved
old_string is what explains the match (``placement``).
"""

from __future__ import annotations

from .records import record

__all__ = ["EditForm", "edit_forms", "split_lines", "join_lines"]

# "   12\tcode" (cat -n), "12→code", "12│code", "12: code", "12 | code".
_NUMBERED = r"^ *(\d{1,7})(\t|→|│| ?\| |: )"
_CURLY = "\u2018\u2019\u201c\u201d"


@record(frozen=True)
class EditForm:
    old: str
    new: str
    repairs: tuple[str, ...] = ()


def split_lines(text: str) -> list[str]:
    """The lines of a block; a final line feed ends the last line rather than starting another."""
    lines = text.split("\n")
    if len(lines) > 1 and lines[-1] == "":
        lines.pop()
    return lines


def join_lines(lines: list[str], final_newline: bool) -> str:
    return "\n".join(lines) + ("\n" if final_newline and lines else "")


def _strip_numbers(old: str, new: str) -> tuple[str, str] | None:
    import re  # old_string is not in the text: the other readings are tried

    old_lines = split_lines(old)
    numbered = [re.match(_NUMBERED, line) for line in old_lines]
    if len(old_lines) < 2 or not all(numbered):
        return None
    numbers = [int(m.group(1)) for m in numbered if m]
    if any(b != a + 1 for a, b in zip(numbers, numbers[1:])):
        return None
    separator = numbered[0].group(2) if numbered[0] else "\t"

    def strip(lines: list[str]) -> list[str]:
        out = []
        for line in lines:
            m = re.match(_NUMBERED, line)
            out.append(line[m.end() :] if m and m.group(2) == separator else line)
        return out

    old_out = join_lines(strip(old_lines), old.endswith("\n"))
    new_out = join_lines(strip(split_lines(new)), new.endswith("\n")) if new else new
    return old_out, new_out


def edit_forms(text: str, old: str, new: str) -> list[EditForm]:
    """The readings of (old, new) worth trying on `text`, the literal one first."""
    forms = [EditForm(old, new)]
    if old in text:
        return forms
    numbers = _strip_numbers(old, new)
    if numbers is not None:
        forms.append(EditForm(numbers[0], numbers[1], ("line numbers removed",)))
    from .alignment import straighten_quotes

    for form in list(forms):
        used = {c for c in _CURLY if c in form.old}
        if used and not any(c in text for c in used):
            forms.append(
                EditForm(
                    straighten_quotes(form.old),
                    straighten_quotes(form.new),
                    (*form.repairs, "quotes straightened"),
                )
            )
    return forms
