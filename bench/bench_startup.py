"""Start-up cost of the ``brindle-search`` command: the CPU time of a whole short run of each
command, as a ratio to ``python -c pass`` measured in the same run.

  --help             the top-level usage (target <= 2x)
  apply              a one-block SEARCH/REPLACE patch on a ten-line file, written (target <= 2x)
  edit, rank,        one exact edit of the same file, ranking ten lines, locating a two-line
  locate             block in it (for reference)
  argparse floor     a bare argparse parser with five sub-commands printing its --help: what
                     any argparse command line costs (for reference)

Each run is a fresh process; its CPU time (user + system) is read from the resource usage of the
reaped child. The commands are interleaved within each round, so that a change in the machine's
load affects all of them alike, and the median over the rounds is reported. The child runs
without PYTHONDONTWRITEBYTECODE, as an installed package runs with its byte code compiled; a
warm-up round writes any missing byte code first.

Run: python bench/bench_startup.py [--quick] [--rounds N]  (with brindle_search installed; the
console script next to this interpreter is run, or ``python -m brindle_search`` without it)
"""

from __future__ import annotations

import argparse
import os
import resource
import statistics
import subprocess
import sys
import tempfile

from _timing import interpreter, verdict

HELP_TARGET = 2.0
APPLY_TARGET = 2.0

APP = "".join(f"def f{k}():\n    return {k}\n\n" for k in range(3)) + "x = 1\n"
ARGPARSE_HELP = (
    "import argparse\n"
    "parser = argparse.ArgumentParser(prog='p', description='d')\n"
    "sub = parser.add_subparsers(metavar='COMMAND', required=True)\n"
    "for name in ('edit', 'apply', 'rank', 'locate', 'mcp'):\n"
    "    sub.add_parser(name, help='what the command ' + name + ' does')\n"
    "parser.parse_args(['--help'])\n"
)
PATCH = "app.py\n<<<<<<< SEARCH\nx = 1\n=======\nx = 2\n>>>>>>> REPLACE\n"


def command_line() -> list[str]:
    script = os.path.join(os.path.dirname(sys.executable), "brindle-search")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "brindle_search"]


def child_cpu(argv: list[str], cwd: str, env: dict[str, str], stdin: bytes) -> float:
    """CPU seconds (user + system) of one run of argv, which must succeed."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    proc = subprocess.run(argv, cwd=cwd, env=env, input=stdin, capture_output=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode != 0:
        sys.exit(f"{' '.join(argv)} exited with {proc.returncode}:\n{proc.stderr.decode()}")
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="a smoke run of a few rounds")
    ap.add_argument("--rounds", type=int, help="rounds (default 30, 5 with --quick)")
    args = ap.parse_args()
    rounds = args.rounds or (5 if args.quick else 30)

    cli = command_line()
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    print(f"python: {interpreter()}")
    print(f"command: {' '.join(cli)}")

    with tempfile.TemporaryDirectory() as folder:
        app = os.path.join(folder, "app.py")
        with open(os.path.join(folder, "patch.txt"), "w", encoding="utf-8") as f:
            f.write(PATCH)
        with open(os.path.join(folder, "names.txt"), "w", encoding="utf-8") as f:
            f.write("".join(f"src/module_{k}/file_{k}.py\n" for k in range(10)))

        cases = [
            ("python -c pass", [sys.executable, "-c", "pass"], b""),
            ("argparse floor", [sys.executable, "-c", ARGPARSE_HELP], b""),
            ("--help", [*cli, "--help"], b""),
            ("apply (one block)", [*cli, "apply", "patch.txt"], b""),
            ("edit (exact)", [*cli, "edit", "app.py", "--old", "x = 1", "--new", "x = 2"], b""),
            ("rank (10 lines)", [*cli, "rank", "mf5", "--from", "names.txt"], b""),
            ("locate (2 lines)", [*cli, "locate", "app.py"], b"def f1():\n    return 1\n"),
        ]
        times: dict[str, list[float]] = {name: [] for name, _, _ in cases}
        for round_ in range(rounds + 1):  # round 0 is the warm-up
            for name, argv, stdin in cases:
                with open(app, "w", encoding="utf-8") as f:  # apply and edit change it back
                    f.write(APP)
                cpu = child_cpu(argv, folder, env, stdin)
                if round_:
                    times[name].append(cpu)

    base = statistics.median(times["python -c pass"])
    print(f"\nCPU time (user + system), median of {rounds} interleaved runs each\n")
    print(f"{'command':<20} {'CPU ms':>8} {'ratio':>7}  target")
    for name, _, _ in cases:
        median = statistics.median(times[name])
        ratio = median / base
        target = {"--help": HELP_TARGET, "apply (one block)": APPLY_TARGET}.get(name)
        mark = f"<= {target:g}x {verdict(ratio <= target)}" if target else ""
        print(f"{name:<20} {median * 1e3:8.1f} {ratio:6.2f}x  {mark}")


if __name__ == "__main__":
    main()
