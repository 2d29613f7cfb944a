"""Benchmark of failing replacements and of the closest-match searches on real code.

Content: the largest standard-library modules joined until the wanted line count (100k lines, and
a 10k-line file). Every figure is a ratio against content.splitlines() of the same content,
measured in the same run.

  whole call   try_replace_content(content, old, new) ending "not_found" (strategies + diagnostics)
  closest      the core's find_closest_match alone (C++ driver bench_core, see bench_core.cpp)
  most_similar the core's find_most_similar_window(min_similarity=0.8) alone (bench_core)

Cases:
  block1000_first_present  1000 lines from the middle, words changed on a tenth of the lines and
                           in the last line; the first line is unchanged (target <= 10x)
  block1000_first_absent   the same with its first line changed too: the anchor occurs nowhere,
                           so the first 100 windows are candidates (target <= 10x)
  paren100 / paren300      100 and 300 lines starting at a line ')' in a 10k-line file, changed
                           the same way: ')' occurs on many lines (target <= 20x)
  unrelated30              30 lines of prose that resemble nothing in the file, first line absent:
                           the search finds nothing in bounds (target <= 4x for the whole call; it
                           also pays for the strategies)

Run: PYTHONPATH=build/py-after python3 bench/bench_closest_match.py [--quick]
         [--core build/bench_core] [--before-module build/before] [--before-core build/bench_core_before]
The --before options time another build once per case (slow: the unbounded search took seconds).
"""

import argparse
import importlib.util
import os
import re
import subprocess
import tempfile

from _text import largest_stdlib_files, split_lines
from _timing import best_of, ensure_core_driver, fmt_time, import_module, verdict

_WORD = re.compile(r"[A-Za-z_][A-Za-z_0-9]{2,}")


def mutate_word(line):
    words = list(_WORD.finditer(line))
    if not words:
        return line + "  # changed"
    m = words[-1]
    return line[: m.start()] + "renamed_" + m.group()[::-1] + line[m.end() :]


def changed_block(lines, start, size, change_first):
    block = list(lines[start : start + size])
    for k in range(1, size, 10):
        block[k] = mutate_word(block[k])
    block[-1] = mutate_word(block[-1]) + "  # gone"
    if change_first:
        block[0] = mutate_word(block[0]) + "  # first line changed"
    return "\n".join(block)


def content_of(line_count):
    text = "\n".join(t for _, t in largest_stdlib_files(60))
    lines = split_lines(text)
    while len(lines) < line_count:
        lines = lines + lines
    return lines[:line_count]


def load_module_from(folder):
    for name in os.listdir(folder):
        if name.startswith("_brindle_search") and name.endswith(".so"):
            spec = importlib.util.spec_from_file_location("_brindle_search", os.path.join(folder, name))
            mod = importlib.util.module_from_spec(spec)
            spec.loader.exec_module(mod)
            return mod
    raise SystemExit(f"no _brindle_search module in {folder}")


def core(exe, *args):
    out = subprocess.run([exe, *map(str, args)], check=True, capture_output=True, text=True).stdout
    parts = out.split()
    return float(parts[0]), parts[1:]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument(
        "--core", default=os.path.join("build", "bench_core"), help="the C++ driver (built when missing)"
    )
    ap.add_argument("--before-module", default=None)
    ap.add_argument("--before-core", default=None)
    ap.add_argument("--no-most-similar", action="store_true")
    args = ap.parse_args()
    args.core = ensure_core_driver(args.core)
    mod = import_module()
    before = load_module_from(args.before_module) if args.before_module else None
    repeat = 2 if args.quick else 5
    big = content_of(100_000)
    small = content_of(10_000)
    cases = []
    mid = len(big) // 2
    cases.append(("block1000_first_present", big, changed_block(big, mid, 1000, False), 10.0))
    cases.append(("block1000_first_absent", big, changed_block(big, mid, 1000, True), 10.0))
    parens = [i for i, line in enumerate(small) if line.strip() == ")" and i + 300 < len(small)]
    p = parens[len(parens) // 2]
    cases.append(("paren100", small, changed_block(small, p, 100, False), 20.0))
    cases.append(("paren300", small, changed_block(small, p, 300, False), 20.0))
    prose = [f"Line {k} of a note about gardening, tomatoes and the weather in spring." for k in range(30)]
    cases.append(("unrelated30", big, "\n".join(prose), 4.0))
    if args.quick:
        cases = cases[2:4]
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        for label, lines, old, target in cases:
            content = "\n".join(lines) + "\n"
            c_path = os.path.join(tmp, "content.txt")
            o_path = os.path.join(tmp, "old.txt")
            with open(c_path, "w", encoding="utf-8") as fh:
                fh.write(content)
            with open(o_path, "w", encoding="utf-8") as fh:
                fh.write(old)
            base = best_of(content.splitlines, repeat, number=3)
            res = mod.try_replace_content(content, old, "x")
            if res.success or res.error_type != "not_found":
                print(f"WARNING {label}: expected not_found")
                ok = False
            cm = res.closest_match
            found = f"closest {cm.similarity * 100:.1f}% at {cm.start_line}" if cm else "no closest match"
            whole = best_of(lambda c=content, o=old: mod.try_replace_content(c, o, "x"), repeat)
            closest, _ = core(args.core, "closest", c_path, o_path, repeat)
            met = closest / base <= target
            ok = ok and met
            print(f"\n{label}: {len(lines):,} lines, splitlines {fmt_time(base)}; {found}")
            print(f"    whole call   {fmt_time(whole)} {whole / base:8.1f}x")
            print(
                f"    closest      {fmt_time(closest)} {closest / base:8.1f}x  "
                f"(target <= {target:.0f}x: {verdict(met)})"
            )
            if not args.no_most_similar:
                most, result = core(args.core, "most_similar", c_path, o_path, 0.8, 1 if args.quick else 2)
                print(f"    most_similar {fmt_time(most)} {most / base:8.1f}x  [{' '.join(result)}]")
            if before is not None:
                t = best_of(lambda c=content, o=old: before.try_replace_content(c, o, "x"), 1)
                print(f"    before: whole call {fmt_time(t)} {t / base:8.1f}x")
            if args.before_core:
                t, _ = core(args.before_core, "closest", c_path, o_path, 1)
                print(f"    before: closest    {fmt_time(t)} {t / base:8.1f}x")
    print(f"\nsummary: {verdict(ok)}")


if __name__ == "__main__":
    main()
