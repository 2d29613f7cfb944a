"""Run every benchmark script of this folder in turn, by default as a quick smoke run.

Run: pip install ".[bench]" && python3 bench/run_all.py [--full]
"""

import argparse
import os
import subprocess
import sys
import time

SCRIPTS = [
    "bench_fuzzy.py",
    "bench_ranking.py",
    "bench_replace.py",
    "bench_edit_distance.py",
    "bench_closest_match.py",
    "bench_streaming.py",
    "bench_package.py",
    "bench_edit_quality.py",
    "bench_edit_cost.py",
    "bench_edit_memory.py",
    "bench_threads.py",
    "bench_worst_cases.py",
    "bench_startup.py",
]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--full", action="store_true", help="full runs instead of --quick smoke runs")
    args = ap.parse_args()
    here = os.path.dirname(os.path.abspath(__file__))
    failed = []
    for script in SCRIPTS:
        cmd = [sys.executable, os.path.join(here, script)] + ([] if args.full else ["--quick"])
        print(f"=== {script}{'' if args.full else ' --quick'}", flush=True)
        t0 = time.perf_counter()
        rc = subprocess.call(cmd)
        print(f"=== {script}: exit {rc}, {time.perf_counter() - t0:.1f} s\n", flush=True)
        if rc != 0:
            failed.append(script)
    if failed:
        sys.exit(f"failed: {', '.join(failed)}")


if __name__ == "__main__":
    main()
