"""The README's strategy table against the core's strategy table, and its examples."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

import brindle_search

README = Path(__file__).resolve().parent.parent / "README.md"
ROW = re.compile(r"^\| (\d+) \| `(\w+)` \| .* \| `(.+)` → `(.+)` \|$")


def strategy_rows() -> list[tuple[int, str, str, str]]:
    rows = []
    for line in README.read_text(encoding="utf-8").splitlines():
        m = ROW.match(line)
        if m:
            number, name, old, found = m.groups()
            rows.append((int(number), name, old.replace("\\n", "\n"), found.replace("\\n", "\n")))
    return rows


def test_readme_lists_the_strategies_of_the_core_table_in_order():
    rows = strategy_rows()
    assert [number for number, *_ in rows] == list(range(1, len(rows) + 1))
    assert tuple(name for _, name, _, _ in rows) == brindle_search.STRATEGIES


@pytest.mark.parametrize(("number", "name", "old", "found"), strategy_rows())
def test_each_readme_example_is_placed_by_its_strategy_alone(number, name, old, found):
    content = f"before()\n{found}\nafter()\n"
    result = brindle_search.edit_text(content, old, "NEW", strategies=[name], min_similarity=0)
    assert result.ok, result.message
    assert result.strategy == name
