"""Benchmark of the core edit distance (bounded and unbounded) against rapidfuzz.

The core routine is timed by the small C++ driver bench_core (see bench_core.cpp for how to build
it); rapidfuzz's Levenshtein.distance is timed in this process on the same texts, in the same run.
Texts are stretches of real code (the largest standard-library modules), 1k to 30k characters,
paired with a few-edit copy ("similar") and with an unrelated stretch of the same length
("unrelated"). Printed: our time / rapidfuzz's time (lower is better).

  unbounded   levenshtein_distance(a, b)             vs Levenshtein.distance(a, b)
  limit       levenshtein_distance_within(a, b, k)   vs Levenshtein.distance(a, b, score_cutoff=k)
              with k = 20% of the longer length (the diagnostics' threshold) and, for similar
              pairs, k = the distance itself

Targets: unbounded <= 1.2x; with a limit <= 1.0x.

Run: python3 bench/bench_edit_distance.py [--quick] [--core build/bench_core]
           [--before build/bench_core_before]   (adds a column for another build of the driver)
Needs: pip install rapidfuzz (or pip install .[bench]).
"""

import argparse
import os
import random
import re
import subprocess
import sys
import tempfile

from _text import largest_stdlib_files
from _timing import best_of, ensure_core_driver, fmt_time, verdict

UNBOUNDED_TARGET = 1.2
LIMIT_TARGET = 1.0
_WORD = re.compile(r"[A-Za-z_][A-Za-z_0-9]{2,}")


def mutate(text, rng, edits):
    """`text` with `edits` words renamed and a few lines dropped or duplicated."""
    words = list(_WORD.finditer(text))
    out = text
    for m in sorted(rng.sample(words, min(edits, len(words))), key=lambda m: -m.start()):
        out = out[: m.start()] + m.group()[::-1] + out[m.end() :]
    lines = out.split("\n")
    for _ in range(max(1, edits // 10)):
        i = rng.randrange(len(lines))
        if rng.random() < 0.5:
            del lines[i]
        else:
            lines.insert(i, lines[i])
    return "\n".join(lines)


ROUNDS = 3


def core_time(exe, a_path, b_path, limit, repeat):
    out = subprocess.run(
        [exe, "distance", a_path, b_path, str(limit), str(repeat)], check=True, capture_output=True, text=True
    ).stdout.split()
    return float(out[0]), int(out[1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true")
    ap.add_argument(
        "--core", default=os.path.join("build", "bench_core"), help="the C++ driver (built when missing)"
    )
    ap.add_argument("--before", default=None)
    args = ap.parse_args()
    args.core = ensure_core_driver(args.core)
    try:
        from rapidfuzz.distance import Levenshtein
    except ImportError:
        sys.exit("rapidfuzz is needed: pip install rapidfuzz")
    text = "\n".join(t for _, t in largest_stdlib_files(4))
    rng = random.Random(9)
    sizes = [1000, 30000] if args.quick else [1000, 3000, 10000, 30000]
    repeat = 3 if args.quick else 7
    ok = True
    with tempfile.TemporaryDirectory() as tmp:
        print(
            f"{'size':>6} {'pair':<10} {'limit':<10} {'rapidfuzz':>11} {'ours':>11} {'ratio':>7}"
            + ("  before ratio" if args.before else "")
        )
        for size in sizes:
            start = rng.randrange(len(text) - 3 * size)
            a = text[start : start + size]
            other = text[start + 2 * size : start + 3 * size]
            pairs = [("similar", mutate(a, rng, max(2, size // 200))), ("unrelated", other)]
            for name, b in pairs:
                a_path = os.path.join(tmp, "a.txt")
                b_path = os.path.join(tmp, "b.txt")
                with open(a_path, "w", encoding="utf-8") as fh:
                    fh.write(a)
                with open(b_path, "w", encoding="utf-8") as fh:
                    fh.write(b)
                d = Levenshtein.distance(a, b)
                longest = max(len(a.encode()), len(b.encode()))
                cases = [("none", -1, None), ("20%", longest // 5, longest // 5)]
                if name == "similar":
                    cases.append(("=d", d, d))
                for label, limit, cutoff in cases:
                    if cutoff is None:
                        call = lambda a=a, b=b: Levenshtein.distance(a, b)  # noqa: E731
                    else:
                        call = lambda a=a, b=b, k=cutoff: Levenshtein.distance(a, b, score_cutoff=k)  # noqa: E731
                    # Rounds alternate between the two sides, so that a change in the machine's
                    # load reaches both; small cases, a few microseconds, get more calls.
                    calls = repeat if size > 3000 or args.quick else 6 * repeat
                    rf = ours = float("inf")
                    for _ in range(ROUNDS):
                        rf = min(rf, best_of(call, calls))
                        t, got = core_time(args.core, a_path, b_path, limit, calls)
                        ours = min(ours, t)
                    want = d if limit < 0 or d <= limit else -1
                    if got != want:
                        print(f"    WRONG RESULT: {got} != {want}")
                        ok = False
                    ratio = ours / rf
                    target = UNBOUNDED_TARGET if limit < 0 else LIMIT_TARGET
                    met = ratio <= target
                    ok = ok and met
                    line = f"{size:>6} {name:<10} {label:<10} {fmt_time(rf)} {fmt_time(ours)} {ratio:6.2f}x"
                    if args.before:
                        before, _ = core_time(args.before, a_path, b_path, limit, repeat)
                        line += f"  {before / rf:6.2f}x"
                    print(line + f"  (target <= {target}x: {verdict(met)})")
    print(f"\nsummary: {verdict(ok)}")


if __name__ == "__main__":
    main()
