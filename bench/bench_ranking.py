"""Benchmark of ranking over real file paths: get_best_matches and brindle_search.extract against
rapidfuzz's process.extract (scorer fuzz.ratio) on the same list, in the same run.

(a) get_best_matches(pattern, paths) against rapidfuzz process.extract(pattern, paths,
    scorer=fuzz.ratio, limit=None), for every pattern; target: at least as fast (ratio >= 1).
    For the all-hit pattern '/' (every path has one) also against the plain-Python scorer of
    bench_fuzzy.py, whose results are asserted equal; target: at least 30x.
(b) brindle_search.extract(pattern, paths, limit=10) against get_best_matches on the same list
    (target >= 3x) and against rapidfuzz process.extract(..., limit=10) (target >= 1x); its result
    is asserted equal to the first ten of get_best_matches. The column "floor" is what any ranking
    of the list must spend: taking the list in and one pass over every candidate's bytes (timed as
    get_best_matches with a pattern that no candidate can match, U+FFFF), and "at most" the ratio
    to get_best_matches that extract could reach if it cost no more than that floor.

rapidfuzz is a benchmark-only extra: pip install ".[bench]".
Run: python bench/bench_ranking.py [--quick]   (with the package installed, or PYTHONPATH set)
"""

import argparse
import sys
import time

from _paths import real_paths
from _timing import best_of, fmt_time, gc_paused, import_module, verdict
from bench_fuzzy import plain_get_best_matches

RAPIDFUZZ_TARGET = 1.0  # at least as fast as rapidfuzz
PLAIN_TARGET = 30.0  # get_best_matches at least this many times the plain scorer, all-hit pattern
LIMIT_TARGET = 3.0  # extract(limit=10) at least this many times get_best_matches

PATTERNS = ["/", "x", "init", "pyutil", "json", "README", "cfgpars", "libpython", "zzq"]
QUICK_PATTERNS = ["/", "init", "zzq"]


def best_interleaved(fns, repeat):
    """Best wall time of each function, called in turn within each repetition, so that a change in
    the machine's load affects all of them alike."""
    best = [float("inf")] * len(fns)
    with gc_paused():
        for _ in range(repeat):
            for k, fn in enumerate(fns):
                t0 = time.perf_counter()
                fn()
                best[k] = min(best[k], time.perf_counter() - t0)
    return best


def import_rapidfuzz():
    try:
        from rapidfuzz import fuzz, process
    except ImportError:
        sys.exit("rapidfuzz is needed for this benchmark: pip install '.[bench]'")
    return fuzz, process


def bench_get_best_matches(mod, paths, patterns, repeat):
    fuzz, process = import_rapidfuzz()
    print(
        f"\n(a) get_best_matches over {len(paths):,} real paths vs rapidfuzz process.extract"
        f"(scorer=fuzz.ratio, limit=None)  (target: ratio >= {RAPIDFUZZ_TARGET:.0f})"
    )
    print(f"    {'pattern':<12} {'hits':>7} {'module':>12} {'rapidfuzz':>12} {'ratio':>8}")
    ok = True
    for pattern in patterns:
        hits = len(mod.get_best_matches(pattern, paths))
        t_mod, t_rf = best_interleaved(
            [
                lambda p=pattern: mod.get_best_matches(p, paths),
                lambda p=pattern: process.extract(p, paths, scorer=fuzz.ratio, limit=None),
            ],
            repeat,
        )
        ratio = t_rf / t_mod
        ok = ok and ratio >= RAPIDFUZZ_TARGET
        print(
            f"    {pattern!r:<12} {hits:>7,} {fmt_time(t_mod)} {fmt_time(t_rf)} {ratio:7.2f}x  "
            f"{verdict(ratio >= RAPIDFUZZ_TARGET)}"
        )
    return ok


def bench_against_plain(mod, paths, pattern, repeat):
    print(f"\n    all-hit pattern {pattern!r} vs the plain-Python scorer (target >= {PLAIN_TARGET:.0f}x)")
    expected = mod.get_best_matches(pattern, paths)
    got = plain_get_best_matches(pattern, paths)
    assert got == expected, "plain ranking differs from the module's"
    t_mod = best_of(lambda: mod.get_best_matches(pattern, paths), repeat)
    t_plain = best_of(lambda: plain_get_best_matches(pattern, paths), 1)
    ratio = t_plain / t_mod
    print(
        f"    {pattern!r:<12} {len(expected):>7,} {fmt_time(t_mod)} {fmt_time(t_plain)} {ratio:7.1f}x  "
        f"{verdict(ratio >= PLAIN_TARGET)}"
    )
    return ratio >= PLAIN_TARGET


def bench_extract(mod, paths, patterns, repeat):
    try:
        import brindle_search
    except ImportError:
        print("\n(b) skipped: the brindle_search package is not importable")
        return True
    fuzz, process = import_rapidfuzz()
    print(
        f"\n(b) brindle_search.extract(limit=10) over {len(paths):,} real paths "
        f"(targets: >= {LIMIT_TARGET:.0f}x get_best_matches, >= {RAPIDFUZZ_TARGET:.0f}x rapidfuzz limit=10)"
    )
    t_floor = best_of(lambda: mod.get_best_matches("\uffff", paths), repeat)
    print(f"    floor (the list taken in, one pass over its bytes): {fmt_time(t_floor)}")
    print(
        f"    {'pattern':<12} {'extract':>12} {'get_best':>12} {'ratio':>8} {'at most':>8} "
        f"{'rapidfuzz':>12} {'ratio':>8}"
    )
    ok = True
    for pattern in patterns:
        top = brindle_search.extract(pattern, paths, limit=10)
        expected = mod.get_best_matches(pattern, paths)[:10]
        assert [(t, s) for t, s, _ in top] == expected, f"extract differs for {pattern!r}"
        assert all(paths[i] == t for t, _, i in top)
        t_ext, t_all, t_rf = best_interleaved(
            [
                lambda p=pattern: brindle_search.extract(p, paths, limit=10),
                lambda p=pattern: mod.get_best_matches(p, paths),
                lambda p=pattern: process.extract(p, paths, scorer=fuzz.ratio, limit=10),
            ],
            repeat,
        )
        r_all = t_all / t_ext
        r_rf = t_rf / t_ext
        good = r_all >= LIMIT_TARGET and r_rf >= RAPIDFUZZ_TARGET
        ok = ok and good
        print(
            f"    {pattern!r:<12} {fmt_time(t_ext)} {fmt_time(t_all)} {r_all:7.2f}x {t_all / t_floor:7.2f}x "
            f"{fmt_time(t_rf)} {r_rf:7.2f}x  {verdict(good)}"
        )
    return ok


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smoke run of a few seconds")
    args = ap.parse_args()
    mod = import_module()
    count = 10_000 if args.quick else 100_000
    paths, real = real_paths(count)
    print(f"candidates: {len(paths):,} paths ({real:,} distinct real ones), e.g. {paths[len(paths) // 2]!r}")
    patterns = QUICK_PATTERNS if args.quick else PATTERNS
    repeat = 3 if args.quick else 9
    ok_a = bench_get_best_matches(mod, paths, patterns, repeat)
    ok_plain = bench_against_plain(mod, paths, "/", 3)
    ok_b = bench_extract(mod, paths, patterns, repeat)
    print(
        f"\nsummary: get_best_matches vs rapidfuzz {verdict(ok_a)}, vs plain {verdict(ok_plain)}, "
        f"extract(limit=10) {verdict(ok_b)}"
    )
    print("note: the machine is shared; figures vary by a few tens of percent between runs")


if __name__ == "__main__":
    main()
