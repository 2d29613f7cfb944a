"""Ctrl-C during a long replacement: KeyboardInterrupt arrives while the native call is still
working, not when it would have returned. Both the native module (which keeps the interpreter lock)
and the package's native helpers (which release it during long calls) are checked.

The call runs in a child process, which first times it uninterrupted and then starts it again and
tells the parent; the parent sends SIGINT shortly after. The child reports how the second call
ended and after how long, and how often a SIGINT handler of its own ran (when it installed one, or
ignores SIGINT, the call is not interrupted: the handler runs as it would have anyway). Timings are
only compared loosely (the interrupted call must end well before the uninterrupted one did), since
the machine may be busy.
"""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

# A failing call that takes seconds: many blocks between the anchors '{' and '}' whose long inner
# lines are all scored by edit distance against the search text's inner lines (block_anchor), and
# end ambiguous, so that the strategies do the work. The child prints "ready" just before the
# second call.
CHILD = textwrap.dedent(
    """
    import json, random, signal, sys, time
    import _brindle_search as m

    width, blocks, handler, kind = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
    if kind == "package":
        from brindle_search import _native
        def replace(content, old, new):
            return _native.locate(content, old, new)[0]
    else:
        def replace(content, old, new):
            return m.try_replace_content(content, old, new).error_type
    handled = []
    if handler == "own":
        signal.signal(signal.SIGINT, lambda *args: handled.append(time.perf_counter()))
    elif handler == "ignore":
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    else:
        # Started from a background job, the interpreter inherits SIGINT ignored.
        signal.signal(signal.SIGINT, signal.default_int_handler)
    rng = random.Random(5)
    def line():
        return "".join(rng.choice("ab") for _ in range(width))
    inner = line() + "\\n" + line()
    old = "{\\n" + line() + "\\n" + line() + "\\n}"
    # More blocks until the uninterrupted call takes a second, however fast the machine.
    while True:
        content = ("{\\n" + inner + "\\n}\\n") * blocks
        t0 = time.perf_counter()
        first = replace(content, old, "x")
        full = time.perf_counter() - t0
        if full > 1.0 or blocks > 1_000_000:
            break
        blocks *= 2
    print("ready", flush=True)
    t0 = time.perf_counter()
    try:
        replace(content, old, "x")
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "interrupted"
    elapsed = time.perf_counter() - t0
    for _ in range(100):  # a pending handler runs between bytecodes
        pass
    # Still usable afterwards.
    after = m.replace_content("a\\nb\\n", "b", "c").content
    print(json.dumps({"full": full, "elapsed": elapsed, "outcome": outcome,
                      "first": first, "after": after, "handled": len(handled)}), flush=True)
    """
)


def run_interrupted(delay, handler="default", kind="module", width=10000, blocks=600):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, str(width), str(blocks), handler, kind],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(delay)
        child.send_signal(signal.SIGINT)
        report = json.loads(child.stdout.readline())
    finally:
        child.wait(timeout=300)
    return report


@pytest.mark.skipif(os.name != "posix", reason="POSIX signals")
@pytest.mark.parametrize("kind", ["module", "package"])
def test_keyboard_interrupt_ends_a_long_replacement_early(kind):
    report = run_interrupted(delay=0.2, kind=kind)
    assert report["first"] == "multiple_matches"
    assert report["outcome"] == "interrupted"
    # The uninterrupted call took seconds; the interrupted one ended soon after the signal.
    assert report["full"] > 0.5, report
    assert report["elapsed"] < 0.6 * report["full"], report
    assert report["after"] == "a\nc\n"


@pytest.mark.skipif(os.name != "posix", reason="POSIX signals")
@pytest.mark.parametrize("handler, runs", [("own", 1), ("ignore", 0)])
@pytest.mark.parametrize("kind", ["module", "package"])
def test_a_program_s_own_sigint_handling_is_kept(handler, runs, kind):
    report = run_interrupted(delay=0.2, handler=handler, kind=kind)
    assert report["outcome"] == "returned", report
    assert report["handled"] == runs, report
    assert report["after"] == "a\nc\n"
