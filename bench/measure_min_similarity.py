"""How alike old_string and the block that "block_anchor" or "context_aware" would replace are.

These strategies place a block by its first and last lines; the package refuses the placement
when the block is less than `min_similarity` alike old_string (both compared with every line
trimmed, as brindle_search does). This script measures that similarity on generated cases built
from the functions of standard-library modules (blocks of 4 to 40 lines):

- invented: old_string keeps the block's first and last line, its inner lines are those of
  another function (what a model that remembers only the signature and the end produces);
- changed: one inner line of old_string is replaced by a line taken from elsewhere;
- missing: one inner line of old_string is left out.

It prints the distribution of each kind and the share each candidate threshold accepts. The
default must refuse the invented blocks and accept the changed and missing ones.

    python bench/measure_min_similarity.py [--seed N] [--cases N]
"""

from __future__ import annotations

import argparse
import ast
import random
import statistics
import sys
from pathlib import Path

from brindle_search import _native

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _text import largest_stdlib_files  # noqa: E402


def trimmed(text: str) -> str:
    return "\n".join(line.strip() for line in text.split("\n"))


def blocks(files: list[tuple[str, str]], low: int, high: int) -> list[list[str]]:
    out = []
    for _, source in files:
        lines = source.split("\n")
        try:
            tree = ast.parse(source)
        except SyntaxError:
            continue
        for node in ast.walk(tree):
            if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)) and node.end_lineno:
                block = lines[node.lineno - 1 : node.end_lineno]
                inner = [line for line in block[1:-1] if line.strip()]
                if low <= len(block) <= high and len(inner) >= 2 and block[-1].strip():
                    out.append(block)
    return out


def similarity(old: list[str], block: list[str]) -> float:
    return _native.similarity(trimmed("\n".join(old)), trimmed("\n".join(block)))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--cases", type=int, default=3000)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    files = largest_stdlib_files(40)
    pool = blocks(files, 4, 40)
    all_lines = [line for block in pool for line in block[1:-1] if line.strip()]
    kinds: dict[str, list[float]] = {"invented": [], "changed": [], "missing": []}
    for _ in range(args.cases):
        block = rng.choice(pool)
        other = rng.choice(pool)
        while other is block:
            other = rng.choice(pool)
        kinds["invented"].append(similarity([block[0], *other[1:-1], block[-1]], block))
        k = rng.randrange(1, len(block) - 1)
        while not block[k].strip():
            k = rng.randrange(1, len(block) - 1)
        replacement = rng.choice(all_lines)
        kinds["changed"].append(similarity(block[:k] + [replacement] + block[k + 1 :], block))
        kinds["missing"].append(similarity(block[:k] + block[k + 1 :], block))
    print(f"{len(pool)} blocks of 4-40 lines from the {len(files)} largest modules, {args.cases} cases each")
    for kind, values in kinds.items():
        values.sort()
        q = statistics.quantiles(values, n=100)
        print(
            f"{kind:9s} min {values[0]:.3f}  p1 {q[0]:.3f}  p5 {q[4]:.3f}  median {q[49]:.3f}  "
            f"p95 {q[94]:.3f}  p99 {q[98]:.3f}  max {values[-1]:.3f}"
        )
    print("threshold  refuses invented  accepts changed  accepts missing")
    for t in (0.5, 0.55, 0.6, 0.65, 0.7, 0.75, 0.8):
        share = {kind: sum(v >= t for v in values) / len(values) for kind, values in kinds.items()}
        print(
            f"   {t:.2f}        {1 - share['invented']:7.2%}          {share['changed']:7.2%}"
            f"          {share['missing']:7.2%}"
        )


if __name__ == "__main__":
    main()
