"""Worst-case suite: families of inputs that once made the native code super-linear, each at 4-5
sizes, timed against a linear floor measured in the same run.

For every size the script prints the call's CPU time, its ratio to the floor, ns per input byte
and the growth of the process's peak memory during the call per input byte; for every family the
growth exponent fitted over the sizes (least squares of log time on log size). Workload and floor
alternate within each repetition (CPU time, best of the repetitions).

Families (floor in brackets):
  stream_stale_q   StreamingFuzzyMatcher over 10k lines of real code, q lines that pair with
                   nothing pushed one by one [pairing each query line with each source line once
                   by hash: q x list.count over the source lines' hashes]
  stream_stale_n   the same, 200 query lines, n source lines
  stream_braces    q `}` lines pushed one by one against 10k `}` lines [as above]
  stream_long      near-identical lines of L characters (one edit apart) [the same pairing]
  hint_placed      a 1000-line block in n equal lines, line_hint in the middle (placed)
                   [content.splitlines()]
  ambiguous        1000 equal lines in n equal lines (multiple matches) [splitlines]
  ambiguous_indent the same indented by four spaces, searched with two [splitlines]
  ambiguous_block  1000 lines of a 7-line block of code repeated over n lines [splitlines]
  hint_dense       a two-byte needle on every line, hinted at the middle [splitlines]
  near_miss        brindle_search.edit_text: a 300-line block of look-alike lines with two
                   words misspelt and numbers the file lacks, against n lines [splitlines]
  near_miss_budget the package's near-miss search alone (_native.closest_window) on the same
                   input with a work budget of 2 units per content byte plus 2^20 (it answers
                   "over_budget" when that does not suffice) [splitlines]
  huge_line        one line of L characters, old_string the line with 5% changed (not found)
                   [splitlines]
  huge_line_edit   brindle_search.edit_text on the same input: the package's whole failing call,
                   whose closest-block searches run with the work budget [splitlines]
Then:
  push latency     median and slowest push over the first 100 lines of a stale block and of a
                   present one, 10k source lines (target: median <= 1 ms for the stale block)
  long lines       the streaming matcher's bounded distance of two 1k-4k-character lines, one
                   and ten edits apart (bench_core line_pair) against rapidfuzz
                   Levenshtein.distance(score_cutoff=a fifth of the longer length) (<= 1.2x)
  mutation search  a short random search over mutations of the ambiguous and near-miss inputs
                   (lines duplicated, reindented, misspelt, blank lines added, the search text cut)
                   for the worst time / floor

Targets: growth exponent <= 1.15 for every family; at 100k lines (or the largest size) <= 20x the
floor. huge_line computes an exact edit distance whose size grows with the line's length (the
similarity _brindle_search reports is exact), so its figures are printed but not held to the
targets; huge_line_edit, where the package gives that search its work budget and reports that
the budget did not suffice rather than a similarity, is held. For stream_long only the exponent
is held (its floor does not compute the distances, which "long lines" compares with rapidfuzz).
near_miss is the package's whole failing call, whose near-miss search is bounded only when the
package passes a work budget (near_miss_budget).

Run: python3 bench/bench_worst_cases.py [--quick] [--only FAMILY] [--core build/bench_core]
"""

import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

from _text import stdlib_code
from _timing import ensure_core_driver, fit_exponent, import_module, interleaved, proc_status, verdict

EXPONENT_TARGET = 1.15
FLOOR_TARGET = 20.0
PUSH_TARGET = 1e-3
PAIR_TARGET = 1.2


def cpu_time(fn):
    t0 = time.process_time()
    result = fn()
    return time.process_time() - t0, result


def peak_growth(name, size):
    """Growth of the peak resident memory of a fresh child process during one call of family
    `name` at `size`, in bytes (Linux: VmHWM; None elsewhere)."""
    if not os.path.exists("/proc/self/status"):
        return None
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--peak", name, str(size)],
        capture_output=True,
        text=True,
    )
    try:
        return int(out.stdout.split()[-1])
    except (IndexError, ValueError):
        return None


def _peak_child(name, size):
    import _brindle_search as bs

    run, _, _, _ = FAMILIES[name][0](bs, size)

    # Resets the peak to the current resident size (Linux 4.0 and later), so that building the
    # inputs does not count.
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")
    before = proc_status("VmRSS:")
    run()
    print(max(0, proc_status("VmHWM:") - before))


def _code_lines(n):
    lines = stdlib_code(min(n, 150_000)).splitlines()
    while len(lines) < n:
        lines.extend(lines[: n - len(lines)])
    return lines[:n]


def _stream_family(bs, source_lines, query_lines, hash_lines=False):
    source = "\n".join(source_lines) + "\n"
    hashes = [hash(line.strip()) for line in source_lines]

    def run():
        m = bs.StreamingFuzzyMatcher(source)
        last = None
        for line in query_lines:
            last = m.push(line + "\n")
        return last

    def floor():
        total = 0
        if hash_lines:  # long lines: computing each line's hash is part of the pairing
            for line in source_lines:
                total += hash(line.encode()) & 1
        for line in query_lines:
            key = hash(line.strip().encode()) if hash_lines else hash(line.strip())
            total += hashes.count(key)
        return total

    return run, floor, len(source) + sum(len(q) + 1 for q in query_lines), lambda r: None


def stream_stale_q(bs, q):
    return _stream_family(bs, _code_lines(10_000), [f"    gone_{k}(value, {k})" for k in range(q)])


def stream_stale_n(bs, n):
    return _stream_family(bs, _code_lines(n), [f"    gone_{k}(value, {k})" for k in range(200)])


def stream_braces(bs, q):
    return _stream_family(bs, ["}"] * 10_000, ["}"] * q)


def stream_long(bs, length):
    rng = random.Random(length)
    base = "".join(rng.choice("abcdefgh (),.=_") for _ in range(length))
    source = []
    for _ in range(20):
        pos = rng.randrange(length)
        source.append(base[:pos] + "Z" + base[pos + 1 :])
    query = [base[: length // 2] + "Y" + base[length // 2 + 1 :] for _ in range(5)]
    return _stream_family(bs, source, query, hash_lines=True)


def _replace_family(bs, content, old, hint, expect):
    def run():
        return bs.try_replace_content(content, old, "NEW\n", False, hint)

    def check(result):
        got = result.result.strategy if result.success else result.error_type
        return None if got == expect else f"expected {expect}, got {got}"

    return run, content.splitlines, len(content) + len(old), check


def hint_placed(bs, n):
    return _replace_family(bs, "x = 1\n" * n, "x = 1\n" * 1000, n // 2, "simple")


def ambiguous(bs, n):
    return _replace_family(bs, "x = 1\n" * n, "x = 1\n" * 1000, None, "multiple_matches")


def ambiguous_indent(bs, n):
    return _replace_family(bs, "    x = 1\n" * n, "  x = 1\n" * 1000, None, "multiple_matches")


def ambiguous_block(bs, n):
    block = _code_lines(7)
    lines = (block * (n // 7 + 1))[:n]
    return _replace_family(bs, "\n".join(lines) + "\n", "\n".join(lines[:1000]), None, "multiple_matches")


def hint_dense(bs, n):
    return _replace_family(bs, "ab ab ab\n" * n, "ab", n // 2, "simple")


def _look_alike(n, block=300, first=10**6):
    content = "".join(f"    value_{i} = compute({i}, x) + offset\n" for i in range(n))
    old = "\n".join(f"    valeu_{i} = compuet({i}, y) - offset" for i in range(first, first + block))
    return content, old


def near_miss(bs, n):
    import brindle_search

    content, old = _look_alike(n)

    def run():
        return brindle_search.edit_text(content, old, "NEW")

    def check(result):
        return None if not result.ok else "placed"

    return run, content.splitlines, len(content) + len(old), check


def near_miss_budget(bs, n):
    from brindle_search import _native

    content, old = _look_alike(n)

    def run():
        return _native.closest_window(content, old, 0.8, work_budget=2 * len(content) + (1 << 20))

    return run, content.splitlines, len(content) + len(old), lambda r: None


def _huge_line(length):
    rng = random.Random(length)
    content = "".join(rng.choice("abcdefghij ") for _ in range(length))
    chars = list(content)
    for pos in rng.sample(range(length), length // 20):
        chars[pos] = "Q"
    return content, "".join(chars)


def huge_line(bs, length):
    content, old = _huge_line(length)
    return _replace_family(bs, content, old, None, "not_found")


def huge_line_edit(bs, length):
    import brindle_search

    content, old = _huge_line(length)

    def run():
        return brindle_search.edit_text(content, old, "NEW")

    def check(result):
        return None if result.error_type == "not_found" else f"expected not_found, got {result.error_type}"

    return run, content.splitlines, len(content) + len(old), check


LINES = [12_500, 25_000, 50_000, 100_000, 200_000]
FAMILIES = {
    "stream_stale_q": (stream_stale_q, "q", [100, 200, 400, 800, 1600]),
    "stream_stale_n": (stream_stale_n, "n", [2_500, 5_000, 10_000, 20_000, 40_000]),
    "stream_braces": (stream_braces, "q", [100, 200, 400, 800, 1600]),
    "stream_long": (stream_long, "L", [500, 1000, 2000, 4000, 8000]),
    "hint_placed": (hint_placed, "n", LINES),
    "ambiguous": (ambiguous, "n", LINES),
    "ambiguous_indent": (ambiguous_indent, "n", LINES),
    "ambiguous_block": (ambiguous_block, "n", LINES),
    "hint_dense": (hint_dense, "n", LINES),
    "near_miss": (near_miss, "n", [7_500, 15_000, 30_000, 60_000]),
    "near_miss_budget": (near_miss_budget, "n", [15_000, 30_000, 60_000, 120_000]),
    "huge_line": (huge_line, "L", [10_000, 20_000, 40_000, 80_000, 160_000]),
    "huge_line_edit": (huge_line_edit, "L", [10_000, 20_000, 40_000, 80_000, 160_000]),
}
# Targets not held: huge_line computes an exact edit distance whose size grows with the line; for
# stream_long the floor (hashing each line once) does not do the work of a bounded distance per
# pair, which "long lines" below compares with rapidfuzz instead, so only its exponent is held.
NOT_HELD = {"huge_line": "exponent and floor", "stream_long": "floor"}


def run_family(bs, name, quick, repeat):
    build, param, sizes = FAMILIES[name]
    if quick:
        sizes = sizes[:4] if len(sizes) > 4 else sizes
    print(f"\n{name}  (size: {param})")
    print(f"  {param:>8} {'time':>10} {'floor':>10} {'x floor':>8} {'ns/byte':>8} {'peak/in':>8}")
    print("  (peak/in: growth of the peak memory of a fresh process during the call, per input byte)")
    times, ratios, problems = [], [], []
    for size in sizes:
        run, floor, nbytes, check = build(bs, size)
        t, f, result = interleaved(run, floor, repeat)
        problem = check(result)
        if problem:
            problems.append(f"{size}: {problem}")
        peak = peak_growth(name, size) if size == sizes[-1] else None
        peak_text = "-" if peak is None else f"{peak / nbytes:8.2f}"
        times.append(t)
        ratios.append((size, t / f))
        print(
            f"  {size:>8} {t * 1e3:8.3f}ms {f * 1e3:8.3f}ms {t / f:8.2f} {t / nbytes * 1e9:8.2f}"
            f" {peak_text:>8}"
        )
    exponent = fit_exponent(sizes, times)
    at = min(ratios, key=lambda sr: abs(sr[0] - 100_000))[1] if param == "n" else ratios[-1][1]
    exempt = NOT_HELD.get(name, "")
    ok = (exponent <= EXPONENT_TARGET or "exponent" in exempt) and (at <= FLOOR_TARGET or "floor" in exempt)
    status = verdict(ok) + (f" (not held: {exempt})" if exempt else "")
    print(f"  exponent {exponent:.2f} (<= {EXPONENT_TARGET}), x floor {at:.2f} (<= {FLOOR_TARGET}): {status}")
    for p in problems:
        print(f"  WARNING: the input did not reach its path: {p}")
    return ok


def push_latency(bs):
    lines = _code_lines(10_000)
    source = "\n".join(lines) + "\n"
    results = {}
    for label, block in (
        ("stale", [f"    gone_{k}(value, {k})" for k in range(100)]),
        ("present", lines[5000:5100]),
    ):
        m = bs.StreamingFuzzyMatcher(source)
        pushes = []
        for line in block:
            t, _ = cpu_time(lambda m=m, line=line: m.push(line + "\n"))
            pushes.append(t)
        results[label] = (statistics.median(pushes), max(pushes))
        print(
            f"  {label:8} median {results[label][0] * 1e3:7.3f} ms, slowest {results[label][1] * 1e3:7.3f} ms"
        )
    ok = results["stale"][0] <= PUSH_TARGET
    print(f"  stale median <= {PUSH_TARGET * 1e3:.0f} ms: {verdict(ok)}")
    return ok


def long_lines(core):
    try:
        from rapidfuzz.distance import Levenshtein
    except ImportError:
        print("  rapidfuzz is not installed: skipped (pip install rapidfuzz)")
        return True
    rng = random.Random(4)
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        for length in (1000, 2000, 4000):
            base = "".join(rng.choice("abcdefgh (),.=_") for _ in range(length))
            for edits in (1, 10):
                other = list(base)
                for pos in rng.sample(range(length), edits):
                    other[pos] = "Z"
                other = "".join(other)
                a, b = os.path.join(tmp, "a"), os.path.join(tmp, "b")
                with open(a, "w") as fh:
                    fh.write(base)
                with open(b, "w") as fh:
                    fh.write(other)
                limit = max(len(base), len(other)) // 5
                number = 2000
                ours = theirs = float("inf")
                for _ in range(3):
                    out = subprocess.run(
                        [core, "line_pair", a, b, str(number)], capture_output=True, text=True
                    )
                    seconds, result = out.stdout.split()
                    ours = min(ours, float(seconds))
                    t0 = time.process_time()
                    for _ in range(number):
                        expected = Levenshtein.distance(base, other, score_cutoff=limit)
                    theirs = min(theirs, (time.process_time() - t0) / number)
                if int(result) != (expected if expected <= limit else -1):
                    print(f"  WARNING: distance {result} against rapidfuzz {expected}")
                ratio = ours / theirs
                ok = ok and ratio <= PAIR_TARGET
                print(
                    f"  {length:5} chars, {edits:2} edits: {ours * 1e6:8.3f} us vs rapidfuzz "
                    f"{theirs * 1e6:8.3f} us  {ratio:5.2f}x  {verdict(ratio <= PAIR_TARGET)}"
                )
    return ok


def _mutate(rng, lines, old_lines):
    kind = rng.choice(["duplicate", "reindent", "misspell", "blank", "cut"])
    lines = list(lines)
    old_lines = list(old_lines)
    if kind == "duplicate" and lines:
        a = rng.randrange(len(lines))
        b = min(len(lines), a + rng.randint(1, 50))
        lines[a:a] = lines[a:b]
    elif kind == "reindent":
        k = rng.randrange(len(lines))
        lines[k] = "  " + lines[k]
    elif kind == "misspell" and old_lines:
        k = rng.randrange(len(old_lines))
        old_lines[k] = old_lines[k][::-1]
    elif kind == "blank":
        lines.insert(rng.randrange(len(lines) + 1), "")
    elif kind == "cut" and len(old_lines) > 2:
        del old_lines[rng.randrange(len(old_lines))]
    return kind, lines, old_lines


def mutation_search(bs, rounds):
    """Hill climb on time / floor over mutations; prints the worst found against the start's."""
    rng = random.Random(2024)
    ok = True
    starts = {
        "ambiguous": (["x = 1"] * 20_000, ["x = 1"] * 300),
        "near_miss": tuple(s.split("\n") for s in _look_alike(10_000, 100)),
    }
    for label, (lines, old_lines) in starts.items():

        def ratio_of(lines, old_lines):
            content = "\n".join(lines) + "\n"
            old = "\n".join(old_lines)
            t, f, _ = interleaved(lambda: bs.try_replace_content(content, old, "NEW"), content.splitlines, 1)
            return t / f

        start = ratio_of(lines, old_lines)
        worst, history, current = start, [], start
        for _ in range(rounds):
            kind, new_lines, new_old = _mutate(rng, lines, old_lines)
            ratio = ratio_of(new_lines, new_old)
            if ratio >= 0.9 * current:  # keep what made it slower, or nearly as slow
                lines, old_lines, current = new_lines, new_old, ratio
                history.append(kind)
                worst = max(worst, ratio)
        ok = ok and worst <= max(FLOOR_TARGET, 2 * start)
        print(
            f"  {label}: start {start:.2f}x the floor, worst {worst:.2f}x after "
            f"{len(history)} kept mutations ({', '.join(history[-8:])})"
        )
    return ok


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--peak":
        _peak_child(sys.argv[2], int(sys.argv[3]))
        return
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smaller sizes, fewer repetitions")
    ap.add_argument("--only", choices=sorted(FAMILIES) + ["push", "long_lines", "mutation"])
    ap.add_argument("--core", default=os.path.join("build", "bench_core"), help="bench_core driver")
    args = ap.parse_args()
    bs = import_module()
    repeat = 2 if args.quick else 3
    ok = True
    for name in FAMILIES:
        if args.only in (None, name):
            ok = run_family(bs, name, args.quick, repeat) and ok
    if args.only in (None, "push"):
        print("\npush latency (10k source lines, first 100 pushes)")
        ok = push_latency(bs) and ok
    if args.only in (None, "long_lines"):
        print("\nlong lines: the streaming matcher's bounded distance against rapidfuzz")
        ok = long_lines(ensure_core_driver(args.core)) and ok
    if args.only in (None, "mutation"):
        print("\nmutation search")
        ok = mutation_search(bs, 6 if args.quick else 20) and ok
    print("\nall targets met" if ok else "\nSOME TARGETS MISSED")


if __name__ == "__main__":
    main()
