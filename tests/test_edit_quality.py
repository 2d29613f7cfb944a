"""The edit-quality benchmark's cases as a test: model-style edits of real files, each kind of
perturbation at a fixed seed, placed as a careful reviewer would place them or refused.

The benchmark (bench/bench_edit_quality.py) prints the full table; this test holds edit_text to
its targets on a smaller sample, so that a change that makes edits silently wrong fails here.
"""

import sys
from collections import Counter
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench"


def _bench_modules():
    """The benchmark's case generator and runners, and its sources (the test is skipped without
    enough of them)."""
    sys.path.insert(0, str(BENCH))
    try:
        import _edit_cases as cases_module
        import bench_edit_quality as bench
    finally:
        sys.path.remove(str(BENCH))
    sources = cases_module.load_sources()
    if len(sources) < 20:
        pytest.skip("too few of the benchmark's source files on this machine")
    return cases_module, bench, sources, cases_module.load_history()


@pytest.fixture(scope="module")
def quality():
    cases_module, bench, sources, history = _bench_modules()
    tallies = {}
    for kind in cases_module.KINDS:
        for case in cases_module.generate(kind, 20, 7, sources, history):
            outcome = bench.run_edit_text(case).outcome(case)
            tallies.setdefault(kind, Counter())[outcome] += 1
    return tallies


def test_no_kind_is_silently_wrong_more_than_once(quality):
    wrong = {kind: t["wrong"] for kind, t in quality.items() if t["wrong"] > 1}
    assert wrong == {}


def test_overall_targets(quality):
    total = sum(sum(t.values()) for t in quality.values())
    wrong = sum(t["wrong"] for t in quality.values())
    correct = sum(t["correct"] for t in quality.values())
    assert total >= 400
    assert wrong <= 0.005 * total
    assert correct >= 0.95 * total


def test_a_file_edited_in_pieces_gives_what_edit_text_gives(tmp_path, monkeypatch):
    """The same cases as files, held in small pieces however small the file: the result (text,
    strategy, lines, repairs, report, or the refusal) is edit_text's."""
    import brindle_search
    from brindle_search import _edit, files, pieces

    cases_module, _, sources, history = _bench_modules()
    monkeypatch.setattr(_edit, "_PIECES_FROM", 0)
    monkeypatch.setattr(files, "_DECODED_WHOLE", 0)
    monkeypatch.setattr(pieces, "PIECE_CHARS", 300)
    path = tmp_path / "edited.txt"
    compared = 0
    for kind in cases_module.KINDS:
        for case in cases_module.generate(kind, 8, 11, sources, history):
            path.write_bytes(case.text.encode("utf-8", "surrogatepass"))
            try:
                held = brindle_search.edit_file(path, case.old, case.new, line_hint=case.line_hint)
            except brindle_search.EditError:
                continue  # not a text file (a NUL, a lone surrogate)
            given = brindle_search.edit_text(case.text, case.old, case.new, line_hint=case.line_hint)
            fields = ("ok", "text", "strategy", "start_line", "end_line", "repairs", "snippet", "error_type")
            assert [getattr(held, name) for name in fields] == [getattr(given, name) for name in fields]
            assert held.diff.split("\n")[2:] == given.diff.split("\n")[2:]
            compared += 1
    assert compared >= 200
