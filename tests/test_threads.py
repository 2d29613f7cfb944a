"""Long calls of the package's native helpers let other threads run, and give the same answers.

Progress is measured in counts, not time: a Python thread increments a counter while another
thread is inside one native call; a call that keeps the interpreter lock lets it count nothing.
The native module ``_brindle_search`` keeps the lock by design and serves as the baseline.
"""

from __future__ import annotations

import random
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import _brindle_search as core
import brindle_search as bs
from brindle_search import _native

# Calls on inputs of at least this many bytes run with the lock released (src/native/release.hpp).
RELEASE_BYTES = 32 << 10


class Counter:
    """A Python thread that counts, giving up the lock every few steps.

    While it runs, the interpreter's switch interval is made very long: the counting thread then
    only gets the lock when the thread that holds it gives it up (in a blocking call, or in native
    code that releases it), never because a time slice ran out. So a call that keeps the lock from
    start to end lets it count nothing at all.
    """

    def __init__(self) -> None:
        self.count = 0
        self._stop = False
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        while not self._stop:
            self.count += 1
            if self.count % 64 == 0:
                time.sleep(0)

    def __enter__(self) -> Counter:
        self._interval = sys.getswitchinterval()
        sys.setswitchinterval(100.0)
        self._thread.start()
        while self.count < 100:
            time.sleep(0.001)
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop = True
        self._thread.join()
        sys.setswitchinterval(self._interval)

    def during(self, call):
        """The result of ``call()`` and how far the counter got while it ran."""
        before = self.count
        result = call()
        return result, self.count - before


def ambiguous_blocks(blocks: int, seed: int = 5) -> tuple[str, str]:
    """A text where old_string is placed by no strategy after much work (several anchor matches)."""
    rng = random.Random(seed)

    def line() -> str:
        return "".join(rng.choice("ab") for _ in range(60))

    inner = line() + "\n" + line()
    old = "{\n" + line() + "\n" + line() + "\n}"
    return ("{\n" + inner + "\n}\n") * blocks, old


def test_counter_runs_during_the_package_s_long_calls_and_not_during_the_module_s():
    content, old = ambiguous_blocks(4000)
    assert len(content) > 4 * RELEASE_BYTES
    choices = [f"src/pkg{k % 97}/module_{k}.py" for k in range(100000)]
    with Counter() as counter:
        held_result, held = counter.during(lambda: core.try_replace_content(content, old, "x"))
        located, released = counter.during(lambda: _native.locate(content, old, "x"))
        ranked, ranking = counter.during(lambda: _native.extract("pkgmod", choices))
        edited, editing = counter.during(lambda: bs.edit_text(content, old, "x"))
    assert located[0] == held_result.error_type == edited.error_type == "multiple_matches"
    assert [c for c, _ in core.get_best_matches("pkgmod", choices)] == [c for c, _, _ in ranked]
    # Held, the lock lets the counter take no step at all; released, it counts on for the whole
    # call (a few thousand steps on an idle machine, fewer when other processes share the CPU).
    assert held == 0
    assert released > 200 and ranking > 200 and editing > 200, (released, ranking, editing)


def generated_case(rng: random.Random) -> tuple[str, str, str]:
    """A large text and an edit of it that some strategy places (or that is not found)."""
    words = ["alpha", "beta", "gamma", "delta", "value", "index", "return", "self"]
    lines = []
    for k in range(rng.randrange(1500, 3000)):
        indent = " " * (4 * rng.randrange(0, 4))
        lines.append(indent + " ".join(rng.choice(words) for _ in range(rng.randrange(2, 8))) + f" {k}")
    start = rng.randrange(len(lines) - 6)
    block = lines[start : start + rng.randrange(1, 6)]
    kind = rng.randrange(4)
    if kind == 1:
        block = [line.strip() for line in block]  # indentation lost
    elif kind == 2:
        block = [line.replace(" ", "  ") for line in block]  # whitespace doubled
    elif kind == 3:
        block = block[:-1] + [block[-1] + " changed"]  # misremembered
    return "\n".join(lines) + "\n", "\n".join(block), "NEW LINE"


def test_concurrent_locates_equal_the_module_s_answers_on_generated_inputs():
    rng = random.Random(11)
    cases = [generated_case(rng) for _ in range(40)]
    assert all(len(text) >= RELEASE_BYTES for text, _, _ in cases)

    def expected(case):
        outcome = core.try_replace_content(*case)
        if not outcome:
            return outcome.error_type
        return (outcome.result.strategy, outcome.result.start_line, outcome.result.end_line)

    def located(case):
        outcome = _native.locate(*case)
        return (outcome[1], outcome[4], outcome[5]) if outcome[0] == "ok" else outcome[0]

    with ThreadPoolExecutor(max_workers=4) as pool:
        answers = list(pool.map(located, cases * 2))
    assert answers == [expected(case) for case in cases] * 2
    # The cases reach both outcomes and several strategies.
    kinds = {a if isinstance(a, str) else a[0] for a in answers}
    assert {"not_found", "simple", "line_trimmed", "whitespace_normalized"} <= kinds


def test_a_list_of_choices_changed_by_another_thread_is_ranked_as_one_of_its_states():
    first = [f"first/{k}/file_{k}.py" for k in range(4000)]
    second = [f"second/{k}/other_{k}.txt" for k in range(4000)]
    answers = {tuple(_native.extract("fil", state)) for state in (first, second)}
    shared = list(first)
    stop = False

    def flip() -> None:
        k = 0
        while not stop:
            shared[:] = second if k % 2 else first
            k += 1
            time.sleep(0)  # let the caller in often

    flipper = threading.Thread(target=flip)
    flipper.start()
    try:
        results = [tuple(_native.extract("fil", shared)) for _ in range(10)]
    finally:
        stop = True
        flipper.join()
    assert all(result in answers for result in results)


@pytest.mark.parametrize("threads", [2, 8])
def test_edits_of_separate_files_in_threads_each_land(tmp_path, threads):
    content, _ = ambiguous_blocks(600)
    paths = []
    for k in range(threads):
        path = tmp_path / f"f{k}.txt"
        path.write_text(content + f"marker {k}\n", encoding="utf-8")
        paths.append(path)
    with ThreadPoolExecutor(max_workers=threads) as pool:
        results = list(pool.map(lambda k: bs.edit_file(paths[k], f"marker {k}", f"done {k}"), range(threads)))
    assert all(r.ok for r in results)
    for k, path in enumerate(paths):
        assert path.read_text(encoding="utf-8").endswith(f"done {k}\n")
