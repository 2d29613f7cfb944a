"""Benchmark of replace_content / try_replace_content on the largest modules of the standard library.

Every case is timed against content.splitlines() on the same content in the same run:
  simple          a unique 10-line block from the middle of the file
  line_trimmed    the same block with every line indented by two more spaces
  not_found       a 10-line block with a few words changed (last line included): the call fails and
                  reports the closest match
  context_aware   a 30-line block with the same first and last lines and line count as a block of
                  the file, half of its inner lines changed (target: under 20x)
  nothing_places  a 30-line block with its last line and a third of its inner lines changed

Run: PYTHONPATH=build/py-bench python3 bench/bench_replace.py [--quick]
"""

import argparse
import os
import re
import sysconfig

from _text import largest_stdlib_files, split_lines, trim
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
    return line[:m.start()] + "renamed_" + m.group()[::-1] + line[m.end():]


def find_block(lines, trimmed, counts, start, size):
    """Index of the first block of `size` lines at or after `start` whose first line is long, not
    blank and unique (trimmed) in the file, whose last line is not blank and is the nearest line
    below the first (two lines or more down) that equals it trimmed, and without backslashes."""
    for i in range(start, len(lines) - size):
        first, last = trimmed[i], trimmed[i + size - 1]
        if len(first) < 12 or counts[first] != 1 or not last:
            continue
        if last in trimmed[i + 2:i + size - 1]:
            continue
        if any("\\" in line for line in lines[i:i + size]):
            continue
        if sum(1 for t in trimmed[i + 1:i + size - 1] if t) < size // 2:
            continue
        return i
    raise RuntimeError("no suitable block found")


def unique_trimmed_windows(trimmed, target):
    m = len(target)
    return sum(1 for i in range(len(trimmed) - m + 1) if trimmed[i:i + m] == target)


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
    t = best_of(fn, repeat) if ok_outcome or expect == "not_found" else best_of(
        lambda: mod.try_replace_content(content, old, new), repeat)
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
    print(f"\n{os.path.relpath(path, sysconfig.get_paths()['stdlib'])}: {n:,} lines, "
          f"{len(content.encode()):,} bytes; content.splitlines() {fmt_time(base)}")
    print(f"    {'case':<16} {'time':>11} {'vs split':>10}  [outcome]")
    results = []

    # Ten-line block from the middle.
    i = find_block(lines, trimmed, counts, n // 2, 10)
    block_lines = lines[i:i + 10]
    block = "\n".join(block_lines)
    assert content.count(block) == 1
    new = block + "\n# edited"
    results.append(run_case(mod, "simple", content, block, new, "simple", base, repeat))

    indented = "\n".join(("  " + line) if line else line for line in block_lines)
    assert indented not in content
    if unique_trimmed_windows(trimmed, trimmed[i:i + 10]) != 1:
        warn("line_trimmed: the trimmed block is not unique in this file")
    results.append(run_case(mod, "line_trimmed", content, indented, new, "line_trimmed", base,
                            repeat))

    changed = list(block_lines)
    changed[9] = mutate_word(changed[9])
    inner = [k for k in range(2, 9) if trimmed[i + k]]
    for k in inner[::3]:
        changed[k] = mutate_word(changed[k], 1)
    results.append(run_case(mod, "not_found", content, "\n".join(changed), new, "not_found", base,
                            repeat))

    # Thirty-line block from the second quarter, half of its inner lines changed.
    j = find_block(lines, trimmed, counts, n // 4, 30)
    b30 = lines[j:j + 30]
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
        warn(f"30-line block in the unmodified file: expected block_anchor, got "
             f"{plain.result.strategy if plain.success else plain.error_type}")
    decoy = list(old30)
    decoy[inner[0]] = decoy[inner[0]] + "  # near copy"
    decoy = "\n".join(decoy)
    content2 = content + ("" if content.endswith("\n") else "\n") + decoy + "\n\n" + decoy + "\n"
    base2 = best_of(content2.splitlines, max(repeat, 5), number=10)
    results.append(run_case(mod, "context_aware", content2, old, new30, "context_aware", base2,
                            repeat, target=CONTEXT_AWARE_TARGET))

    k = find_block(lines, trimmed, counts, (3 * n) // 4, 30)
    bad = lines[k:k + 30]
    bad[29] = mutate_word(bad[29]) + "  # gone"
    inner = [q for q in range(1, 29) if trimmed[k + q]]
    for q in inner[::3]:
        bad[q] = mutate_word(bad[q], 1)
    results.append(run_case(mod, "nothing_places", content, "\n".join(bad), new30, "not_found",
                            base, repeat))
    return results


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smoke run of a few seconds")
    args = ap.parse_args()
    mod = import_module()
    files = largest_stdlib_files(3)
    if args.quick:
        files, repeat = files[-1:], 2
    else:
        repeat = 7
    all_results = []
    for path, content in files:
        all_results.extend(bench_file(mod, path, content, repeat))
    outcomes_ok = all(ok for ok, _ in all_results)
    targets_ok = all(met for _, met in all_results)
    print(f"\nsummary: outcomes {verdict(outcomes_ok)}, context_aware target {verdict(targets_ok)}")
    for w in warnings:
        print(f"WARNING: {w}")
    if warnings:
        raise SystemExit("some cases did not end as expected (see the WARNING lines)")


if __name__ == "__main__":
    main()
