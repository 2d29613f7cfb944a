"""Benchmark of StreamingFuzzyMatcher on real code (the largest standard-library modules).

Targets, each printed as a ratio measured in this run:
  1. time per alignment cell (query lines x source lines), pushing a 200-line block in chunks of 20
     characters against 20,000 source lines, at most that of rapidfuzz `process.cdist` over the same
     pairs (trimmed query lines x trimmed source lines, one worker). Both are measured in CPU time
     of this process (best of several runs), since the machine may be shared; wall times are
     printed too. rapidfuzz runs twice: plain `Levenshtein.distance` and
     `Levenshtein.normalized_similarity` with `score_cutoff=0.8` (which may stop early, as the
     matcher does); the target is the faster of the two.
  2. alignment table memory: at most 0.5 byte per cell for 500 query lines pushed one by one
     against 100,000 source lines. `table_bytes()` is not visible from Python, so a child process
     measures its resident-memory growth during the pushes (the matcher is built first) and divides
     by (500 + 1) x (100,000 + 1) cells; the growth also holds the 500 query lines themselves.
  3. push latency: 500 lines pushed one at a time against 10,000 source lines; the slowest push at
     most 5 times the median push. Measured in CPU time per push (a busy machine preempts pushes
     at random, which wall time would count); the wall-time figures are printed too. Best of 3
     runs.
Also checked: the module's answers equal a plain-Python matcher's on a 300-line stretch, and its
speed per cell against that matcher (at least 50x on CPython).

Run: python bench/bench_streaming.py [--quick]   (pip install .[bench] for rapidfuzz and numpy)
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import sysconfig
import time

from _text import largest_stdlib_files, split_lines, trim
from _timing import fmt_time, gc_paused, import_module, verdict

PER_CELL_PLAIN_TARGET = 50.0  # module at least this many times faster per cell than plain Python
TABLE_BYTES_PER_CELL_TARGET = 0.5
LATENCY_RATIO_TARGET = 5.0


# ---------------------------------------------------------------------------------------------
# Plain-Python streaming line alignment, used as the baseline and as a check of the module.

QUERY_ONLY, SOURCE_ONLY, PAIRED = 0, 1, 2
QUERY_ONLY_COST, SOURCE_ONLY_COST = 10, 3
EQUAL_PAIR_COST, SIMILAR_PAIR_COST, DIFFERENT_PAIR_COST = 0, 1, 13


def levenshtein(a, b):
    """Edit distance in characters, two rows."""
    if not a:
        return len(b)
    if not b:
        return len(a)
    prev = list(range(len(b) + 1))
    for r, ca in enumerate(a, 1):
        cur = [r]
        for c, cb in enumerate(b, 1):
            sub = prev[c - 1] + (ca != cb)
            ins = cur[c - 1] + 1
            dele = prev[c] + 1
            cur.append(min(sub, ins, dele))
        prev = cur
    return prev[-1]


class PlainStreamingMatcher:
    def __init__(self, source_text):
        self.source_lines = split_lines(source_text)
        self.trimmed = [(t, len(t.encode())) for t in (trim(s) for s in self.source_lines)]
        self.line_offsets = []
        off = 0
        for line in self.source_lines:
            self.line_offsets.append(off)
            off += len(line.encode()) + 1
        self.line_offsets.append(off)
        n = len(self.source_lines)
        self.costs = [[0] * (n + 1)]  # row 0: an alignment may start anywhere for free
        self.steps = [[PAIRED] * (n + 1)]
        self.query_lines = []
        self.incomplete = ""
        self.matches = []

    def pair_cost(self, q, lq, s, ls):
        if q == s:
            return EQUAL_PAIR_COST
        if not q or not s:
            return DIFFERENT_PAIR_COST
        longest = lq if lq > ls else ls
        if 1.0 - abs(lq - ls) / longest < 0.8:
            return DIFFERENT_PAIR_COST
        if 1.0 - levenshtein(q, s) / longest < 0.8:
            return DIFFERENT_PAIR_COST
        return SIMILAR_PAIR_COST

    def resolve(self):
        n = len(self.source_lines)
        for i in range(len(self.costs) - 1, len(self.query_lines)):
            r = i + 1
            q = trim(self.query_lines[i])
            lq = len(q.encode())
            prev = self.costs[r - 1]
            row = [QUERY_ONLY_COST * r]
            steps = [QUERY_ONLY]
            for j in range(n):
                s, ls = self.trimmed[j]
                above = prev[j + 1] + QUERY_ONLY_COST
                left = row[j] + SOURCE_ONLY_COST
                diag = prev[j] + self.pair_cost(q, lq, s, ls)
                if left < above:
                    cost, step = left, SOURCE_ONLY
                else:
                    cost, step = above, QUERY_ONLY
                if diag < cost:
                    cost, step = diag, PAIRED
                row.append(cost)
                steps.append(step)
            self.costs.append(row)
            self.steps.append(steps)
        if n == 0:
            return []
        m = len(self.query_lines)
        last = self.costs[m]
        best = min(last[1:])
        ranges = []
        for e in range(1, n + 1):
            if last[e] != best:
                continue
            r, c, paired = m, e, 0
            while r > 0 and c > 0:
                step = self.steps[r][c]
                if step == PAIRED:
                    r, c, paired = r - 1, c - 1, paired + 1
                elif step == QUERY_ONLY:
                    r -= 1
                else:
                    c -= 1
            b = c
            # paired / max(e - b, m) >= 0.8 in single precision; exact as integers at these sizes
            if 5 * paired >= 4 * max(e - b, m):
                end = self.line_offsets[e - 1] + len(self.source_lines[e - 1].encode())
                ranges.append((self.line_offsets[b], end))
        return ranges

    def push(self, chunk):
        self.incomplete += chunk
        cut = self.incomplete.rfind("\n")
        if cut >= 0:
            self.query_lines.extend(split_lines(self.incomplete[: cut + 1]))
            self.incomplete = self.incomplete[cut + 1 :]
            self.matches = self.resolve()
        return self.matches[0] if self.matches else None  # no hint: the first range

    def finish(self):
        if self.incomplete:
            self.query_lines.append(self.incomplete)
            self.incomplete = ""
            self.matches = self.resolve()
        return list(self.matches)


# ---------------------------------------------------------------------------------------------


def make_query(lines, start, count):
    """count lines from start, lightly edited: two lines with a changed word, one dropped, one added."""
    block = list(lines[start : start + count + 1])
    edited = [k for k in range(2, len(block) - 2) if len(block[k].strip()) > 20]
    for k in edited[:2]:
        word = block[k].split()[-1]
        block[k] = block[k][: block[k].rfind(word)] + word[::-1]
    del block[edited[2] if len(edited) > 2 else len(block) // 2]
    block.insert(len(block) // 3, "        # a line the source does not have")
    return "\n".join(block[:count]) + "\n"


def chunks_of(text, size=20):
    return [text[k : k + size] for k in range(0, len(text), size)]


def real_code_lines(count):
    """At least `count` lines of real code: the largest standard-library modules, concatenated."""
    lines, files = [], 0
    for _, text in largest_stdlib_files(200):
        lines += split_lines(text)
        files += 1
        if len(lines) >= count:
            break
    while len(lines) < count:  # a small standard library: repeat what there is
        lines += lines
    return lines[:count], files


def cpu_best_of(fn, repeat):
    """Best (CPU time, wall time) of `repeat` calls of fn(), garbage collector off."""
    best_cpu = best_wall = float("inf")
    with gc_paused():
        for _ in range(repeat):
            c0, w0 = time.process_time(), time.perf_counter()
            fn()
            best_cpu = min(best_cpu, time.process_time() - c0)
            best_wall = min(best_wall, time.perf_counter() - w0)
    return best_cpu, best_wall


def stream_module(mod, source, chunks):
    matcher = mod.StreamingFuzzyMatcher(source)
    answers = [matcher.push(c) for c in chunks]
    return matcher, answers, matcher.finish()


def stream_plain(source, chunks):
    matcher = PlainStreamingMatcher(source)
    answers = [matcher.push(c) for c in chunks]
    return matcher, answers, matcher.finish()


def bench_per_cell(mod, lines, n, m, repeat):
    source_lines = lines[:n]
    source = "\n".join(source_lines) + "\n"
    query = make_query(source_lines, n // 2, m)
    chunks = chunks_of(query)
    cells = m * n
    t_cpu, t_wall = cpu_best_of(lambda: stream_module(mod, source, chunks), repeat)
    print(
        f"\n1. per cell: {m}-line query in {len(chunks)} chunks against {n:,} source lines ({cells:,} cells)"
    )
    print(f"   {'':<44} {'CPU':>11} {'wall':>11} {'CPU/cell':>11}")
    print(f"   {'module (push + finish)':<44} {fmt_time(t_cpu)} {fmt_time(t_wall)} {fmt_time(t_cpu / cells)}")
    try:
        import numpy as np
        from rapidfuzz import process
        from rapidfuzz.distance import Levenshtein
    except ImportError:
        print("   rapidfuzz or numpy missing (pip install .[bench]): no comparison")
        return None
    q = [trim(x) for x in split_lines(query)]
    s = [trim(x) for x in source_lines]
    runs = {
        "rapidfuzz cdist, Levenshtein.distance": lambda: process.cdist(
            q, s, scorer=Levenshtein.distance, dtype=np.int32, workers=1
        ),
        "rapidfuzz cdist, normalized_similarity>=0.8": lambda: process.cdist(
            q, s, scorer=Levenshtein.normalized_similarity, score_cutoff=0.8, workers=1
        ),
    }
    best_rf = float("inf")
    for name, fn in runs.items():
        r_cpu, r_wall = cpu_best_of(fn, repeat)
        best_rf = min(best_rf, r_cpu)
        print(f"   {name:<44} {fmt_time(r_cpu)} {fmt_time(r_wall)} {fmt_time(r_cpu / cells)}")
    ratio = t_cpu / best_rf
    ok = ratio <= 1.0
    print(f"   module / faster rapidfuzz, per cell: {ratio:.2f}x (target <= 1): {verdict(ok)}")
    return ok


_TABLE_CHILD = r"""
import json, sys
import _brindle_search as mod

def rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * __import__("os").sysconf("SC_PAGE_SIZE")

source, lines = sys.stdin.read().split("\0")
lines = lines.splitlines(keepends=True)
matcher = mod.StreamingFuzzyMatcher(source)
before = rss()
for line in lines:
    matcher.push(line)
after = rss()
print(json.dumps({"growth": after - before, "ranges": len(matcher.finish())}))
"""


def bench_table(lines, n, m):
    source_lines = lines[:n]
    source = "\n".join(source_lines) + "\n"
    query = make_query(source_lines, n // 3, m)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    out = subprocess.run(
        [sys.executable, "-c", _TABLE_CHILD],
        input=source + "\0" + query,
        capture_output=True,
        text=True,
        env=env,
        check=True,
    ).stdout
    report = json.loads(out)
    cells = (m + 1) * (n + 1)
    per_cell = report["growth"] / cells
    ok = per_cell <= TABLE_BYTES_PER_CELL_TARGET
    print(f"\n2. table memory: {m} lines pushed one by one against {n:,} source lines, in a child process")
    print(
        f"   RSS growth {report['growth'] / 2**20:,.1f} MiB over {cells:,} cells = "
        f"{per_cell:.3f} byte per cell (target <= {TABLE_BYTES_PER_CELL_TARGET}): {verdict(ok)}"
    )
    return ok


def bench_latency(mod, lines, n, m, runs):
    source_lines = lines[:n]
    source = "\n".join(source_lines) + "\n"
    block = [line + "\n" for line in source_lines[n // 4 : n // 4 + m]]
    results = []
    for _ in range(runs):
        matcher = mod.StreamingFuzzyMatcher(source)
        cpu, wall = [], []
        with gc_paused():
            for line in block:
                c0, w0 = time.process_time(), time.perf_counter()
                matcher.push(line)
                cpu.append(time.process_time() - c0)
                wall.append(time.perf_counter() - w0)
        results.append(
            (
                max(cpu) / statistics.median(cpu),
                max(wall) / statistics.median(wall),
                statistics.median(cpu),
                max(cpu),
                statistics.median(wall),
                max(wall),
            )
        )
    print(f"\n3. push latency: {m} lines pushed one at a time against {n:,} source lines")
    for k, (cpu_ratio, wall_ratio, cmed, cmax, wmed, wmax) in enumerate(results, 1):
        print(
            f"   run {k}: CPU median {fmt_time(cmed)} max {fmt_time(cmax)} ({cpu_ratio:5.1f}x); "
            f"wall median {fmt_time(wmed)} max {fmt_time(wmax)} ({wall_ratio:5.1f}x)"
        )
    best = min(r[0] for r in results)
    ok = best <= LATENCY_RATIO_TARGET
    print(
        f"   slowest / median push, CPU time, best run: {best:.1f}x "
        f"(target <= {LATENCY_RATIO_TARGET:.0f}x): {verdict(ok)}"
    )
    return ok


def check_against_plain(mod, lines, m, small_n, quick):
    start = len(lines) // 2
    query = make_query(lines, start, m)
    chunks = chunks_of(query)
    lo = max(0, start - small_n // 3)
    small = "\n".join(lines[lo : lo + small_n]) + "\n"
    _, mod_answers, mod_final = stream_module(mod, small, chunks)
    _, plain_answers, plain_final = stream_plain(small, chunks)
    mod_final = [(r.start, r.end) for r in mod_final]
    mod_answers = [None if r is None else (r.start, r.end) for r in mod_answers]
    assert plain_final == mod_final, f"final ranges differ: plain {plain_final}, module {mod_final}"
    assert plain_answers == mod_answers, "answers to the pushes differ"
    if not mod_final:
        print("   WARNING: the query was not located in the small source")
    t_mod, _ = cpu_best_of(lambda: stream_module(mod, small, chunks), 3 if quick else 7)
    t_plain, _ = cpu_best_of(lambda: stream_plain(small, chunks), 1)
    ratio = t_plain / t_mod
    ok = ratio >= PER_CELL_PLAIN_TARGET
    print(
        f"\n4. plain-Python matcher on {small_n} source lines, {m}-line query: final ranges "
        f"{mod_final} and {len(chunks)} push answers equal the module's"
    )
    print(
        f"   module {fmt_time(t_mod / (m * small_n))} per cell, plain Python "
        f"{fmt_time(t_plain / (m * small_n))}: {ratio:.0f}x (target >= {PER_CELL_PLAIN_TARGET:.0f}x):"
        f" {verdict(ok)}"
    )
    if sys.implementation.name != "cpython":
        print("   note: that target is set for CPython; here the plain Python runs under a JIT")
    return ok


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="smoke run on smaller inputs")
    args = ap.parse_args()
    mod = import_module()
    q = args.quick
    lines, files = real_code_lines(10_000 if q else 100_000)
    root = sysconfig.get_paths()["stdlib"]
    print(f"source: {len(lines):,} lines of the {files} largest modules under {root}")
    results = {
        "per cell vs rapidfuzz": bench_per_cell(mod, lines, 5_000 if q else 20_000, 200, 2 if q else 5),
        "table bytes per cell": bench_table(lines, 10_000 if q else 100_000, 100 if q else 500),
        "push latency": bench_latency(mod, lines, 2_000 if q else 10_000, 200 if q else 500, 3),
        "vs plain Python": check_against_plain(mod, lines, 40, 120 if q else 300, q),
    }
    print("\nsummary: " + "; ".join(f"{k} {'n/a' if v is None else verdict(v)}" for k, v in results.items()))


if __name__ == "__main__":
    main()
