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


@pytest.fixture(scope="module")
def quality():
    sys.path.insert(0, str(BENCH))
    try:
        import _edit_cases as cases_module
        import bench_edit_quality as bench
    finally:
        sys.path.remove(str(BENCH))
    sources = cases_module.load_sources()
    if len(sources) < 20:
        pytest.skip("too few of the benchmark's source files on this machine")
    history = cases_module.load_history()
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
