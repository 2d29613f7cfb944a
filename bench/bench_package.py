"""Benchmark of the brindle_search package's edits, each against a baseline of the same run.

  edit_file, exact hit   edit_file placing a unique line ("simple") in a copy of each of the three
                         largest standard-library modules and in a 100,000-line file, against
                         Python's own open/read and open/write of the same file (target <= 1.5x)
  repairs, tolerant hit  edit_text placing a method whose indentation was dropped ("line_trimmed",
                         reindented and final newline dropped) against the same call with
                         reindent=False (target <= 1.2x); the raw try_replace_content for reference
  near miss              edit_text failing on a 1000-line block with a typo in its first line in a
                         100,000-line text (the closest block is searched in the whole text)
                         against text.splitlines() (target <= 10x); a probe on a smaller text
                         decides whether the full size is run (the plain search is quadratic)

Run: python bench/bench_package.py [--quick]  (with brindle_search installed)
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
import time

from _text import largest_stdlib_files
from _timing import best_of, fmt_time, interpreter, verdict

import _brindle_search as raw
import brindle_search as bs

EXACT_TARGET = 1.5
REPAIR_TARGET = 1.2
NEAR_MISS_TARGET = 10.0


def big_text(lines_wanted: int, files: list[tuple[str, str]]) -> str:
    lines: list[str] = []
    while len(lines) < lines_wanted:
        for _, text in files:
            lines.extend(text.split("\n"))
    lines = lines[:lines_wanted]
    # The copies repeat: one line that occurs once, for the exact hit.
    lines[len(lines) // 2] = "UNIQUE_MARKER_FOR_THE_BENCHMARK = 'the middle of the big text'"
    return "\n".join(lines) + "\n"


def unique_line(text: str) -> str:
    """A long line from the middle of the text that occurs in it once."""
    lines = text.split("\n")
    for line in lines[len(lines) // 2 :] + lines:
        if len(line.strip()) > 30 and text.count(line) == 1 and "\\" not in line:
            return line
    raise SystemExit("no unique line")


def bench_exact(folder: str, name: str, text: str, repeat: int) -> bool:
    path = os.path.join(folder, name)
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    line = unique_line(text)
    other = line + "  # edited"
    state = [line, other]

    def edit() -> None:
        result = bs.edit_file(path, state[0], state[1])
        assert result.ok and result.strategy == "simple", str(result)
        state.reverse()

    def baseline() -> None:
        with open(path, encoding="utf-8", newline="") as f:
            content = f.read()
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(content)

    def durable_baseline() -> None:
        with open(path, encoding="utf-8", newline="") as f:
            content = f.read()
        with open(path, "w", encoding="utf-8", newline="") as f:
            f.write(content)
            f.flush()
            os.fsync(f.fileno())

    def dry_edit() -> None:
        result = bs.edit_file(path, state[0], state[1], dry_run=True)
        assert result.ok

    t_base = best_of(baseline, repeat)
    t_durable = best_of(durable_baseline, repeat)
    t_edit = best_of(edit, repeat)
    t_dry = best_of(dry_edit, repeat)
    ratio = t_edit / t_base
    ratio_durable = t_edit / t_durable
    lines = text.count("\n")
    print(
        f"  {name:20s} {lines:6d} lines  open/read/write {fmt_time(t_base)}  (+fsync {fmt_time(t_durable)})"
        f"  edit_file {fmt_time(t_edit)} (dry run {fmt_time(t_dry)})  {ratio:5.2f}x  "
        f"{verdict(ratio <= EXACT_TARGET)}  {ratio_durable:5.2f}x of the fsynced write"
    )
    return ratio <= EXACT_TARGET


def method_case(text: str) -> tuple[str, str, str] | None:
    """An indented method of the text, as a model that dropped its indentation writes it."""
    lines = text.split("\n")
    for k, line in enumerate(lines):
        if line.startswith("    def ") and line.endswith(":"):
            end = k + 1
            while end < len(lines) and (not lines[end].strip() or lines[end].startswith("        ")):
                end += 1
            block = lines[k:end]
            while block and not block[-1].strip():
                block.pop()
            if not 4 <= len(block) <= 30 or text.count("\n".join(block)) != 1:
                continue
            old = "\n".join(b[4:] for b in block) + "\n"
            new = old.replace("\n", "\n    # edited\n", 1)
            return old, new, "\n".join(block)
    return None


def bench_repairs(name: str, text: str, repeat: int) -> bool:
    case = method_case(text)
    if case is None:
        print(f"  {name}: no method found")
        return True
    old, new, _ = case

    def with_repairs() -> None:
        r = bs.edit_text(text, old, new)
        assert r.ok and "reindented +4 spaces" in r.repairs, str(r)

    def without() -> None:
        r = bs.edit_text(text, old, new, reindent=False)
        assert r.ok and r.strategy == "line_trimmed"

    def native() -> None:
        raw.try_replace_content(text, old, new)

    t_plain = best_of(without, repeat)
    t_rep = best_of(with_repairs, repeat)
    t_raw = best_of(native, repeat)
    ratio = t_rep / t_plain
    print(
        f"  {name:28s} reindent=False {fmt_time(t_plain)}  with repairs {fmt_time(t_rep)}  {ratio:5.2f}x  "
        f"{verdict(ratio <= REPAIR_TARGET)}   (try_replace_content {fmt_time(t_raw)}, "
        f"edit_text {t_rep / t_raw:4.2f}x of it)"
    )
    return ratio <= REPAIR_TARGET


def near_miss_case(text: str, block_lines: int) -> str:
    lines = text.split("\n")
    start = len(lines) * 2 // 3
    while not lines[start].strip() or len(lines[start]) < 20:
        start += 1
    block = lines[start : start + block_lines]
    block[0] = block[0].replace(block[0].strip()[:6], block[0].strip()[:6][::-1], 1) + "  # typo"
    return "\n".join(block)


def bench_near_miss(text: str, block_lines: int, repeat: int) -> tuple[bool, float]:
    old = near_miss_case(text, block_lines)

    def miss() -> None:
        r = bs.edit_text(text, old, "x")
        assert not r.ok and r.error_type == "not_found"
        assert r.closest_match is not None and r.closest_match.similarity > 0.95, r.closest_match

    t_base = best_of(text.splitlines, max(repeat, 3))
    t0 = time.perf_counter()
    miss()
    first = time.perf_counter() - t0
    t_miss = min(first, best_of(miss, repeat - 1)) if repeat > 1 and first < 2 else first
    ratio = t_miss / t_base
    lines = text.count("\n")
    print(
        f"  {block_lines:4d}-line block in {lines:6d} lines  splitlines {fmt_time(t_base)}  "
        f"edit_text {fmt_time(t_miss)}  {ratio:7.1f}x  {verdict(ratio <= NEAR_MISS_TARGET)}"
    )
    return ratio <= NEAR_MISS_TARGET, t_miss


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="few repetitions, smaller near-miss sizes")
    args = ap.parse_args()
    repeat = 3 if args.quick else 15
    print(f"python: {interpreter()}")
    print(f"package: {os.path.dirname(os.path.abspath(bs.__file__))}")
    files = largest_stdlib_files(3)
    all_ok = True
    folder = tempfile.mkdtemp(prefix="bench_package_")
    try:
        print(f"edit_file, exact hit (files in {folder}; each edit is written and fsynced)")
        for path, text in files:
            all_ok &= bench_exact(folder, os.path.basename(path), text, repeat)
        all_ok &= bench_exact(folder, "big_100k_lines.py", big_text(100_000, files), max(3, repeat // 3))
    finally:
        shutil.rmtree(folder)

    print("repairs on a tolerant hit (edit_text)")
    for path, text in files:
        all_ok &= bench_repairs(os.path.basename(path), text, repeat)

    print("near miss, no block of the text matches (edit_text)")
    if args.quick:
        probe_ok, probe_time = bench_near_miss(big_text(2_000, files), 20, 2)
    else:
        probe_ok, probe_time = bench_near_miss(big_text(10_000, files), 100, 2)
    if args.quick:
        print("  (--quick: the 1000-line block in 100,000 lines is skipped)")
    elif probe_time > 5.0:
        print(
            f"  the probe took {probe_time:.1f} s: the near-miss search is the plain quadratic one; "
            "the 1000-line block in 100,000 lines is skipped (it would take hours)"
        )
        all_ok = False
    else:
        ok, _ = bench_near_miss(big_text(100_000, files), 1000, 3)
        all_ok &= ok
    all_ok &= probe_ok
    if not all_ok:
        sys.exit("some targets were missed")


if __name__ == "__main__":
    main()
