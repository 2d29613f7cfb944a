"""Calls that let other threads run: the package's edits in two threads, and an event loop beside a
long run of edits in a worker thread.

(a) Throughput of ``edit_text`` in two threads, each on its own large text, against one thread
    doing the same calls, for a near miss (an edit not placed, whose report searches the whole
    text) and for an edit placed by a tolerant strategy; the baseline is the same pair of runs with
    the native module's ``try_replace_content``, which keeps the interpreter lock. Target: >= 1.6x
    on 2 idle cores.
(b) An asyncio event loop whose ticker sleeps 1 ms at a time, while one ``edit_file`` call of about
    a second (a failing edit of a large file) runs through ``asyncio.to_thread``: the longest stall
    of the loop (how late a tick woke up). Baseline: the same call of ``try_replace_content``.
    Target: <= 10 ms.

Run: python3 bench/bench_threads.py [--quick]
"""

from __future__ import annotations

import argparse
import asyncio
import hashlib
import os
import random
import sys
import tempfile
import threading
import time

import _brindle_search as core
import brindle_search as bs


def large_text(seed: int, lines: int) -> str:
    rng = random.Random(seed)
    words = ["value", "index", "result", "items", "count", "total", "self", "return", "item"]
    out = []
    for k in range(lines):
        indent = "    " * rng.randrange(0, 4)
        out.append(f"{indent}{rng.choice(words)}_{k} = {rng.choice(words)}({rng.choice(words)}, {k})")
    return "\n".join(out) + "\n"


def placed_edit(text: str, seed: int) -> tuple[str, str]:
    """An old block near the end with its indentation lost and its spacing changed (placed by a
    tolerant strategy after the exact ones have scanned the whole text)."""
    lines = text.split("\n")
    start = len(lines) - 40 - random.Random(seed).randrange(20)
    block = [" ".join(line.split()).replace(" = ", "  =  ") for line in lines[start : start + 4]]
    return "\n".join(block), "replaced = 1"


def near_miss(text: str, seed: int) -> tuple[str, str]:
    """An old block with four of its six lines misremembered: not placed (the closest block
    differs in too many lines to be taken); the report searches the whole text for it."""
    lines = text.split("\n")
    start = len(lines) // 2 + random.Random(seed).randrange(20)
    block = lines[start : start + 6]
    for k in (0, 2, 4, 5):
        block[k] = block[k].rstrip() + "  # misremembered"
    return "\n".join(block), "replaced = 1"


def anchored_blocks(seed: int, blocks: int, width: int) -> tuple[str, str]:
    """A text of many blocks between the anchor lines '{' and '}' whose long inner lines the anchor
    strategy scores one by one, and an old block that ends ambiguous: a long call that fails."""
    rng = random.Random(seed)

    def line() -> str:
        return "".join(rng.choice("ab") for _ in range(width))

    inner = line() + "\n" + line()
    old = "{\n" + line() + "\n" + line() + "\n}"
    return ("{\n" + inner + "\n}\n") * blocks, old


def run_threads(calls: list, threads: int) -> float:
    """Seconds for `threads` threads each making its calls (thread k runs calls[k])."""
    barrier = threading.Barrier(threads + 1)

    def work(k: int) -> None:
        barrier.wait()
        for call in calls[k]:
            call()

    workers = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    for w in workers:
        w.start()
    barrier.wait()
    t0 = time.perf_counter()
    for w in workers:
        w.join()
    return time.perf_counter() - t0


def two_vs_one(first: list, second: list, repeat: int = 5) -> float:
    """Calls per second of two threads (one making the calls `first`, the other `second`) over one
    thread making the calls `first`; the runs alternate, and each keeps its best time."""
    one = two = float("inf")
    for _ in range(repeat):
        one = min(one, run_threads([first], 1))
        two = min(two, run_threads([first, second], 2))
    return (len(first) + len(second)) / two / (len(first) / one)


def throughput(quick: bool) -> None:
    lines = 20_000 if quick else 60_000
    per_thread = 4 if quick else 10
    texts = [large_text(seed, lines) for seed in (1, 2)]
    print(f"(a) edit_text on {lines}-line texts ({len(texts[0]) // 1024} KiB), {per_thread} calls a thread")
    for label, make_edit in (("near miss (not placed)", near_miss), ("placed, tolerant", placed_edit)):
        edits = [make_edit(text, seed) for seed, text in enumerate(texts)]
        result = bs.edit_text(texts[0], *edits[0])
        print(f"    {label}: {result.strategy or result.error_type}")

        def package(k: int, edits=edits):
            return lambda: bs.edit_text(texts[k], *edits[k])

        def module(k: int, edits=edits):
            return lambda: core.try_replace_content(texts[k], *edits[k])

        for name, make in (
            ("brindle_search.edit_text", package),
            ("_brindle_search (keeps the lock)", module),
        ):
            ratio = two_vs_one([make(0)] * per_thread, [make(1)] * per_thread)
            print(f"      {name:34s} two threads vs one: {ratio:.2f}x the calls per second")
    # What the machine gives two threads at all: hashing releases the lock for large inputs.
    data = b"x" * (32 << 20)

    def digest() -> None:
        hashlib.sha256(data).digest()

    ratio = two_vs_one([digest] * 2, [digest] * 2)
    print(f"    the machine: hashlib.sha256 (no lock) in two threads vs one: {ratio:.2f}x")
    print("    target: >= 1.6x for brindle_search.edit_text (2 idle cores)")


async def stall(call) -> tuple[float, float]:
    """The longest stall of the loop (s) while `call` runs in a worker thread, and the call's time."""
    worst = 0.0
    done = False

    async def ticker() -> None:
        nonlocal worst
        while not done:
            t0 = time.perf_counter()
            await asyncio.sleep(0.001)
            worst = max(worst, time.perf_counter() - t0 - 0.001)

    tick = asyncio.ensure_future(ticker())
    await asyncio.sleep(0.05)
    t0 = time.perf_counter()
    await asyncio.to_thread(call)
    seconds = time.perf_counter() - t0
    done = True
    await tick
    return worst, seconds


def event_loop(quick: bool) -> None:
    target = 0.3 if quick else 1.0
    blocks = 4
    while True:  # grow the text until one failing call takes the target time
        text, old = anchored_blocks(4, blocks, 10000)
        t0 = time.perf_counter()
        core.try_replace_content(text, old, "x")
        if time.perf_counter() - t0 >= target or blocks > 1_000_000:
            break
        blocks *= 2
    folder = tempfile.mkdtemp(prefix="bench_threads_")
    path = os.path.join(folder, "big.txt")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)

    def edit() -> None:
        result = bs.edit_file(path, old, "x")
        assert result.error_type == "multiple_matches", result.error_type

    def held() -> None:
        core.try_replace_content(text, old, "x")

    print(f"(b) event loop beside one long failing call in asyncio.to_thread ({len(text) // 1024} KiB file)")
    for name, call in (("brindle_search.edit_file", edit), ("_brindle_search (keeps the lock)", held)):
        # The best of three runs, as for timings: a stall caused by the machine's other load is
        # not the call's.
        worst, seconds = min(asyncio.run(stall(call)) for _ in range(3))
        print(f"    {name:34s} call {seconds:5.2f} s, longest stall of the loop {worst * 1000:7.1f} ms")
    print("    target: <= 10 ms for brindle_search.edit_file")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="a smoke run of a few seconds")
    args = ap.parse_args()
    print(f"{sys.implementation.name} {sys.version.split()[0]}, {os.cpu_count()} cores")
    throughput(args.quick)
    event_loop(args.quick)


if __name__ == "__main__":
    main()
