"""Benchmark of replace_content / try_replace_content on the largest modules of the standard library.

Every case is timed against content.splitlines() on the same content in the same run:
  simple          a unique 10-line block from the middle of the file
  line_trimmed    the same block with every line indented by two more spaces
  not_found       a 10-line block with a few words changed (last line included): the call fails and
                  reports the closest match
  context_aware   a 30-line block with the same first and last lines and line count as a block of
                  the file, half of its inner lines changed (target: under 20x)
  nothing_places  a 30-line block with its last line and a third of its inner lines changed

Then, on real code (the largest standard-library modules concatenated):
  exact hits        a unique 10-line block in 1k, 10k and 100k lines, against Python's own
                    `i = content.find(old); content.find(old, i + 1); content[:i] + new + ...`
                    (target: at least as fast, ratio <= 1)
  failures          not found / ambiguous on 100k lines, against content.splitlines(): a 1000-line
                    block with changed lines, its first line present or absent (target <= 10x);
                    100- and 300-line blocks whose first line is ')' in 10k lines (<= 20x); a
                    block with nothing near it and an ambiguous block (<= 4x)
  memory            line_trimmed with a 1000-line block in 100k equal lines: the growth of the
                    peak RSS of a child process during the call (Linux: VmHWM after resetting it),
                    against the content's size (target <= 2x)
  interrupt         SIGINT sent to a child process 0.2 s into a replacement of several seconds:
                    how long after the signal KeyboardInterrupt arrives

Run: python3 bench/bench_replace.py [--quick] [--only SECTION] [--no-slow]
"""

import argparse
import json
import os
import random
import re
import signal
import subprocess
import sys
import sysconfig
import textwrap
import time

from _text import largest_stdlib_files, split_lines, stdlib_code, trim
from _timing import best_of, fmt_time, import_module, verdict

CONTEXT_AWARE_TARGET = 20.0  # context_aware placement at most this many splitlines() calls

_WORD = re.compile(r"[A-Za-z_][A-Za-z_0-9]{2,}")

warnings = []


def warn(msg):
    warnings.append(msg)
    print(f"    WARNING: {msg}")


def mutate_word(line, nth=0):
    """The line with one word (the nth from the end, if there are enough) replaced by another."""
    words = list(_WORD.finditer(line))
    if not words:
        return line + "  # changed"
    m = words[max(0, len(words) - 1 - nth)]
    return line[: m.start()] + "renamed_" + m.group()[::-1] + line[m.end() :]


def find_block(lines, trimmed, counts, start, size):
    """Index of the first block of `size` lines at or after `start` whose first line is long, not
    blank and unique (trimmed) in the file, whose last line is not blank and is the nearest line
    below the first (two lines or more down) that equals it trimmed, and without backslashes."""
    for i in range(start, len(lines) - size):
        first, last = trimmed[i], trimmed[i + size - 1]
        if len(first) < 12 or counts[first] != 1 or not last:
            continue
        if last in trimmed[i + 2 : i + size - 1]:
            continue
        if any("\\" in line for line in lines[i : i + size]):
            continue
        if sum(1 for t in trimmed[i + 1 : i + size - 1] if t) < size // 2:
            continue
        return i
    raise RuntimeError("no suitable block found")


def unique_trimmed_windows(trimmed, target):
    m = len(target)
    return sum(1 for i in range(len(trimmed) - m + 1) if trimmed[i : i + m] == target)


def run_case(mod, label, content, old, new, expect, baseline, repeat, target=None):
    """Time one replacement; check its outcome; print the ratio to the splitlines() baseline."""
    res = mod.try_replace_content(content, old, new)
    if expect == "not_found":
        got = res.error_type if not res.success else f"placed by {res.result.strategy}"
        ok_outcome = (not res.success) and res.error_type == "not_found"
        extra = ""
        if ok_outcome and res.closest_match is not None:
            cm = res.closest_match
            extra = f"closest match {cm.similarity * 100:.1f}% at lines {cm.start_line}-{cm.end_line}"
        elif ok_outcome:
            extra = "no closest match reported"
        fn = lambda: mod.try_replace_content(content, old, new)  # noqa: E731
    else:
        got = res.result.strategy if res.success else f"{res.error_type}"
        ok_outcome = res.success and res.result.strategy == expect
        extra = f"lines {res.result.start_line}-{res.result.end_line}" if res.success else ""
        fn = lambda: mod.replace_content(content, old, new)  # noqa: E731
    if not ok_outcome:
        warn(f"{label}: expected {expect!r}, got {got!r}")
    t = (
        best_of(fn, repeat)
        if ok_outcome or expect == "not_found"
        else best_of(lambda: mod.try_replace_content(content, old, new), repeat)
    )
    ratio = t / baseline
    line = f"    {label:<16} {fmt_time(t)} {ratio:9.1f}x  [{got}] {extra}"
    met = True
    if target is not None:
        met = ratio < target
        line += f"  (target < {target:.0f}x: {verdict(met)})"
    print(line)
    return ok_outcome, met


def bench_file(mod, path, content, repeat):
    lines = split_lines(content)
    trimmed = [trim(line) for line in lines]
    counts = {}
    for t in trimmed:
        counts[t] = counts.get(t, 0) + 1
    n = len(lines)
    base = best_of(content.splitlines, max(repeat, 5), number=10)
    print(
        f"\n{os.path.relpath(path, sysconfig.get_paths()['stdlib'])}: {n:,} lines, "
        f"{len(content.encode()):,} bytes; content.splitlines() {fmt_time(base)}"
    )
    print(f"    {'case':<16} {'time':>11} {'vs split':>10}  [outcome]")
    results = []

    # Ten-line block from the middle.
    i = find_block(lines, trimmed, counts, n // 2, 10)
    block_lines = lines[i : i + 10]
    block = "\n".join(block_lines)
    assert content.count(block) == 1
    new = block + "\n# edited"
    results.append(run_case(mod, "simple", content, block, new, "simple", base, repeat))

    indented = "\n".join(("  " + line) if line else line for line in block_lines)
    assert indented not in content
    if unique_trimmed_windows(trimmed, trimmed[i : i + 10]) != 1:
        warn("line_trimmed: the trimmed block is not unique in this file")
    results.append(run_case(mod, "line_trimmed", content, indented, new, "line_trimmed", base, repeat))

    changed = list(block_lines)
    changed[9] = mutate_word(changed[9])
    inner = [k for k in range(2, 9) if trimmed[i + k]]
    for k in inner[::3]:
        changed[k] = mutate_word(changed[k], 1)
    results.append(run_case(mod, "not_found", content, "\n".join(changed), new, "not_found", base, repeat))

    # Thirty-line block from the second quarter, half of its inner lines changed.
    j = find_block(lines, trimmed, counts, n // 4, 30)
    b30 = lines[j : j + 30]
    inner = [k for k in range(1, 29) if trimmed[j + k]]
    old30 = list(b30)
    for k in inner[1::2]:  # every second non-blank inner line: at least half stay unchanged
        old30[k] = mutate_word(old30[k]) + "  # was changed"
    old = "\n".join(old30)
    new30 = "\n".join(b30) + "\n# edited"

    # With the block once in the file, block_anchor takes it first: a single pair of anchor lines is
    # always accepted. context_aware places it when block_anchor's best-scoring block is ambiguous:
    # here two copies of a near-identical block (one inner line differs from old) further down.
    plain = mod.try_replace_content(content, old, new30)
    if not (plain.success and plain.result.strategy == "block_anchor"):
        warn(
            f"30-line block in the unmodified file: expected block_anchor, got "
            f"{plain.result.strategy if plain.success else plain.error_type}"
        )
    decoy = list(old30)
    decoy[inner[0]] = decoy[inner[0]] + "  # near copy"
    decoy = "\n".join(decoy)
    content2 = content + ("" if content.endswith("\n") else "\n") + decoy + "\n\n" + decoy + "\n"
    base2 = best_of(content2.splitlines, max(repeat, 5), number=10)
    results.append(
        run_case(
            mod,
            "context_aware",
            content2,
            old,
            new30,
            "context_aware",
            base2,
            repeat,
            target=CONTEXT_AWARE_TARGET,
        )
    )

    k = find_block(lines, trimmed, counts, (3 * n) // 4, 30)
    bad = lines[k : k + 30]
    bad[29] = mutate_word(bad[29]) + "  # gone"
    inner = [q for q in range(1, 29) if trimmed[k + q]]
    for q in inner[::3]:
        bad[q] = mutate_word(bad[q], 1)
    results.append(run_case(mod, "nothing_places", content, "\n".join(bad), new30, "not_found", base, repeat))
    return results


def ratio_line(label, t, base, target, below=True):
    ratio = t / base
    met = ratio <= target if below else ratio >= target
    print(f"    {label:<34} {fmt_time(t)} {ratio:9.2f}x  (target <= {target:g}x: {verdict(met)})")
    return met


def python_splice(content, old, new):
    i = content.find(old)
    content.find(old, i + 1)
    return content[:i] + new + content[i + len(old) :]


def bench_exact_hits(mod, repeat):
    print("\nexact hits: replace_content against find twice plus slicing in Python")
    met = []
    for count in (1_000, 10_000, 100_000):
        content = stdlib_code(count)
        lines = split_lines(content)
        old = "\n".join(lines[count // 2 : count // 2 + 10])
        if content.count(old) != 1:
            old = "\n".join(lines[count // 2 - 3 : count // 2 + 12])
        new = old + "\n# edited"
        assert mod.replace_content(content, old, new).content == python_splice(content, old, new)
        number = max(1, 200_000 // count)
        base = best_of(lambda c=content, o=old, n=new: python_splice(c, o, n), repeat, number=number)
        t = best_of(lambda c=content, o=old, n=new: mod.replace_content(c, o, n), repeat, number=number)
        met.append(ratio_line(f"{count:>7,} lines", t, base, 1.0))
    return all(met)


def mutated(lines, every, tag):
    """The lines with a word changed in every `every`-th one (from the second on) and in the last,
    so that no anchor pair places the block."""
    out = list(lines)
    for k in [*range(1, len(out), every), len(out) - 1]:
        out[k] = mutate_word(out[k]) + tag
    return out


def failure_case(mod, label, content, old, base, target, expect, repeat):
    res = mod.try_replace_content(content, old, "x")
    got = res.error_type if not res.success else f"placed by {res.result.strategy}"
    if got != expect:
        warn(f"{label}: expected {expect!r}, got {got!r}")
    t = best_of(lambda: mod.try_replace_content(content, old, "x"), repeat)
    return ratio_line(f"{label} [{got}]", t, base, target)


def bench_failures(mod, repeat, slow_repeat, slow=True):
    content = stdlib_code(100_000)
    lines = split_lines(content)
    base = best_of(content.splitlines, max(repeat, 5), number=5)
    print(
        f"\nfailures on {len(lines):,} lines of real code ({len(content.encode()):,} bytes); "
        f"content.splitlines() {fmt_time(base)}"
    )
    met = []
    block = mutated(lines[50_000:51_000], 7, "  # changed")
    if slow:
        met.append(
            failure_case(
                mod,
                "1000 lines, first line present",
                content,
                "\n".join(block),
                base,
                10,
                "not_found",
                slow_repeat,
            )
        )
        absent = ["first_line_that_occurs_nowhere = 1"] + block[1:]
        met.append(
            failure_case(
                mod,
                "1000 lines, first line absent",
                content,
                "\n".join(absent),
                base,
                10,
                "not_found",
                slow_repeat,
            )
        )
    rng = random.Random(7)
    far = "\n".join(f"q{rng.getrandbits(64):x} = z{rng.getrandbits(64):x}" for _ in range(10))
    met.append(failure_case(mod, "10 lines, nothing near", content, far, base, 4, "not_found", repeat))
    twice = "\n".join(lines[60_000:60_010])
    doubled = content + twice + "\n"
    base2 = best_of(doubled.splitlines, max(repeat, 5), number=5)
    met.append(
        failure_case(mod, "10 lines, twice in the file", doubled, twice, base2, 4, "multiple_matches", repeat)
    )

    if not slow:
        print("  (cases dominated by the closest-match search skipped: --no-slow)")
        return all(met)
    small = stdlib_code(10_000)
    small_lines = split_lines(small)
    base_small = best_of(small.splitlines, max(repeat, 5), number=10)
    print(f"  on {len(small_lines):,} lines: content.splitlines() {fmt_time(base_small)}")
    starts = [k for k, line in enumerate(small_lines) if line.strip() == ")"]
    for size in (100, 300):
        start = next(k for k in starts if k + size <= len(small_lines))
        old = "\n".join(mutated(small_lines[start : start + size], 5, "  # changed"))
        met.append(
            failure_case(
                mod, f"{size} lines from ')', 10k lines", small, old, base_small, 20, "not_found", slow_repeat
            )
        )
    return all(met)


MEMORY_CHILD = textwrap.dedent(
    """
    import json, sys
    import _brindle_search as m

    def status_kib(field):
        with open("/proc/self/status") as fh:
            for row in fh:
                if row.startswith(field + ":"):
                    return int(row.split()[1])

    line = sys.argv[1]
    content = (line + "\\n") * 100_000
    old = "\\n".join([line.strip()] * 1000)
    before = status_kib("VmRSS")
    with open("/proc/self/clear_refs", "w") as fh:  # resets the peak (VmHWM) to the current RSS
        fh.write("5")
    res = m.try_replace_content(content, old, "y")
    after = status_kib("VmHWM")
    print(json.dumps({"extra_kib": after - before, "content": len(content),
                      "outcome": res.error_type or res.result.strategy}))
    """
)


def child_env(mod):
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(mod.__file__))
    env["PYTHONPATH"] = here + os.pathsep + env.get("PYTHONPATH", "")
    return env


def bench_memory(mod):
    print("\nline_trimmed memory: 1000-line block in 100k equal lines, peak RSS growth of a child")
    met = []
    for line in ("    x = f(a, b);", "    result = compute_total(first_argument, second_argument, 42);"):
        out = subprocess.run(
            [sys.executable, "-c", MEMORY_CHILD, line],
            env=child_env(mod),
            capture_output=True,
            text=True,
            check=True,
        ).stdout
        report = json.loads(out)
        extra = report["extra_kib"] * 1024
        ratio = extra / report["content"]
        met.append(ratio <= 2.0)
        print(
            f"    {len(line) + 1:>3}-byte lines: content {report['content'] / 2**20:.2f} MiB, "
            f"peak growth {extra / 2**20:.2f} MiB: {ratio:.2f}x  [{report['outcome']}]  "
            f"(target <= 2x: {verdict(met[-1])})"
        )
    return all(met)


INTERRUPT_CHILD = textwrap.dedent(
    """
    import json, random, sys, time
    import _brindle_search as m
    rng = random.Random(5)
    def line():
        return "".join(rng.choice("ab") for _ in range(10000))
    content = ("{\\n" + line() + "\\n" + line() + "\\n}\\n") * 600
    old = "{\\n" + line() + "\\n" + line() + "\\n}"
    t0 = time.perf_counter()
    m.try_replace_content(content, old, "x")
    full = time.perf_counter() - t0
    print("ready", flush=True)
    t0 = time.perf_counter()
    try:
        m.try_replace_content(content, old, "x")
        outcome = "returned"
    except KeyboardInterrupt:
        outcome = "interrupted"
    print(json.dumps({"full": full, "elapsed": time.perf_counter() - t0, "outcome": outcome}))
    """
)


def bench_interrupt(mod, delay=0.2):
    print(f"\nCtrl-C: SIGINT {delay} s into a failing replacement (block_anchor scoring long lines)")
    child = subprocess.Popen(
        [sys.executable, "-c", INTERRUPT_CHILD], env=child_env(mod), stdout=subprocess.PIPE, text=True
    )
    assert child.stdout.readline().strip() == "ready"
    time.sleep(delay)
    sent = time.perf_counter()
    child.send_signal(signal.SIGINT)
    report = json.loads(child.stdout.readline())
    child.wait()
    late = (
        report["elapsed"] - (time.perf_counter() - sent)
        if report["outcome"] != "interrupted"
        else report["elapsed"] - delay
    )
    print(
        f"    uninterrupted call {fmt_time(report['full'])}; {report['outcome']} after "
        f"{fmt_time(report['elapsed'])}, about {fmt_time(max(late, 0.0))} after the signal"
    )
    return report["outcome"] == "interrupted"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smoke run of a few seconds")
    sections = ("files", "exact", "failures", "memory", "interrupt")
    ap.add_argument("--only", choices=sections, action="append", help="run only these sections")
    ap.add_argument(
        "--no-slow",
        action="store_true",
        help="skip the failures whose time is the closest-match search of big blocks",
    )
    args = ap.parse_args()
    chosen = set(args.only or sections)
    mod = import_module()
    files = largest_stdlib_files(3)
    if args.quick:
        files, repeat, slow_repeat = files[-1:], 2, 1
    else:
        repeat, slow_repeat = 7, 2
    all_results = []
    if "files" in chosen:
        for path, content in files:
            all_results.extend(bench_file(mod, path, content, repeat))
    outcomes_ok = all(ok for ok, _ in all_results)
    targets_ok = all(met for _, met in all_results)
    extra = {}
    if "exact" in chosen:
        extra["exact hits"] = bench_exact_hits(mod, repeat)
    if "failures" in chosen:
        extra["failures"] = bench_failures(mod, repeat, slow_repeat, slow=not args.no_slow)
    if "memory" in chosen:
        extra["memory"] = bench_memory(mod)
    if "interrupt" in chosen:
        extra["interrupt"] = bench_interrupt(mod)
    print(
        f"\nsummary: outcomes {verdict(outcomes_ok)}, context_aware target {verdict(targets_ok)}"
        + "".join(f", {name} {verdict(ok)}" for name, ok in extra.items())
    )
    for w in warnings:
        print(f"WARNING: {w}")
    if warnings:
        raise SystemExit("some cases did not end as expected (see the WARNING lines)")


if __name__ == "__main__":
    main()
