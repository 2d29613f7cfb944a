"""Runs the same generated calls through two builds of the extensions and compares every answer.

For checking that a change that makes the native code faster leaves its results as they were: the
build under test is the one this interpreter imports (the installed package, or PYTHONPATH), the
other one is imported by a child process from `--before DIR` (a folder holding
`_brindle_search*.so` and a `brindle_search` package with its `_native*.so`, for instance the
site-packages of another virtual environment, or a copy of its modules).

Families of inputs, each made to reach one of the changed paths, and asserted to (the script
prints how often each family reached what it aims at):
  stream_ties        StreamingFuzzyMatcher, blocks the source holds, holds in part or no longer
                     holds, over sources of few distinct lines (many tied end columns)
  stream_long        the same with long near-identical lines (1k-4k characters)
  hint               replace_content with a line hint among many overlapping occurrences
  ambiguous          blocks that occur many times, plain or indented, whitespace varied
  closest_window     brindle_search._native.closest_window on look-alike lines

Run: python tools/compare_builds.py --before DIR [--rounds N] [--seed S] [--only FAMILY]
"""

import argparse
import json
import os
import random
import subprocess
import sys


def _range(r):
    return None if r is None else [r.start, r.end]


def run_case(case):
    """The answers of the imported build to one case, as plain data."""
    import _brindle_search as bs

    kind = case["kind"]
    if kind == "stream":
        m = bs.StreamingFuzzyMatcher(case["source"])
        out = []
        for chunk, hint in case["chunks"]:
            out.append(_range(m.push(chunk, hint)))
            out.append(_range(m.select_best_match()))
        out.append([_range(r) for r in m.finish()])
        out.append(list(m.query_lines))
        return out
    if kind == "replace":
        r = bs.try_replace_content(
            case["content"], case["old"], case["new"], case["replace_all"], case["hint"]
        )
        res = r.result
        cm = r.closest_match
        return {
            "success": r.success,
            "result": None
            if res is None
            else [res.content, res.matched_text, res.start_line, res.end_line, res.strategy],
            "error": r.error,
            "error_type": r.error_type,
            "closest": None if cm is None else [cm.similarity, cm.start_line, cm.end_line, cm.text, cm.diff],
            "locations": r.locations,
        }
    if kind == "closest_window":
        from brindle_search import _native

        return repr(_native.closest_window(case["text"], case["old"], case["threshold"]))
    raise ValueError(kind)


def worker():
    for line in sys.stdin:
        case = json.loads(line)
        try:
            answer = {"ok": run_case(case)}
        except Exception as e:  # the exception is part of the answer
            answer = {"raised": f"{type(e).__name__}: {e}"}
        sys.stdout.write(json.dumps(answer) + "\n")
        sys.stdout.flush()


# ---------------------------------------------------------------------------------------------
# Generators
# ---------------------------------------------------------------------------------------------

WORDS = ["x = 1", "x = 2", "}", "  }", "return x", "", "value = compute(x)", "pass"]


def stream_ties(rng):
    kinds = WORDS[: rng.randint(1, 4)]
    n = rng.randint(5, 400)
    source_lines = [rng.choice(kinds) for _ in range(n)]
    absent = ["gone()", "also gone", "x = 9", "}"]
    share = rng.random()
    q = rng.randint(1, 40)
    query = [rng.choice(absent) if rng.random() < share else rng.choice(source_lines) for _ in range(q)]
    if rng.random() < 0.3:  # a block the source holds
        start = rng.randrange(n)
        query = source_lines[start : start + q]
    chunks = []
    for line in query:
        hint = rng.choice([None, None, rng.randrange(n + 5)])
        if rng.random() < 0.2:
            cut = rng.randint(0, len(line))
            chunks.append([line[:cut], hint])
            chunks.append([line[cut:] + "\n", None])
        else:
            chunks.append([line + "\n", hint])
    return {"kind": "stream", "source": "\n".join(source_lines) + "\n", "chunks": chunks}


def _near(rng, line, edits):
    chars = list(line)
    for _ in range(edits):
        pos = rng.randrange(len(chars))
        op = rng.random()
        if op < 0.4:
            chars[pos] = rng.choice("xyz_é")
        elif op < 0.7:
            chars.insert(pos, rng.choice("abc "))
        else:
            del chars[pos]
    return "".join(chars)


def stream_long(rng):
    bases = []
    for _ in range(3):
        length = rng.randint(900, 4200)
        bases.append("".join(rng.choice("abcdefgh (),.=") for _ in range(length)))
    source_lines = []
    for _ in range(rng.randint(2, 12)):
        base = rng.choice(bases)
        source_lines.append(_near(rng, base, rng.choice([0, 1, 3, len(base) // 6, len(base) // 4])))
    query = []
    for _ in range(rng.randint(1, 5)):
        base = rng.choice(source_lines)
        query.append(_near(rng, base, rng.choice([0, 1, 2, 10, len(base) // 5, len(base) // 4])))
    chunks = [[line + "\n", None] for line in query]
    return {"kind": "stream", "source": "\n".join(source_lines) + "\n", "chunks": chunks}


def hint(rng):
    unit = rng.choice(["ab\n", "x = 1\n", "a", "ab", "\n", "é\n", "  foo()\n  bar()\n"])
    content = "".join(
        rng.choice([unit, unit, unit, "other\n", "é", "\r\n"]) for _ in range(rng.randint(1, 300))
    )
    pieces = [unit, unit * 2, unit * rng.randint(1, 20), unit.strip() or unit, ""]
    old = rng.choice(pieces)
    lines = content.count("\n") + 1
    return {
        "kind": "replace",
        "content": content,
        "old": old,
        "new": "NEW",
        "replace_all": rng.random() < 0.1,
        "hint": rng.choice([rng.randint(0, lines + 3), rng.randint(0, lines + 3), None]),
    }


def ambiguous(rng):
    base = rng.choice(["x = 1", "foo(bar)", "}", "return x", "\tx = 1"])
    indent = rng.choice(["", "    ", "\t", "  "])
    n = rng.randint(10, 500)
    lines = []
    for _ in range(n):
        roll = rng.random()
        if roll < 0.85:
            lines.append(indent + base)
        elif roll < 0.9:
            lines.append(indent + base + " ")
        elif roll < 0.94:
            lines.append("")
        elif roll < 0.97:
            lines.append(indent + "  " + base)
        else:
            lines.append(rng.choice(["other()", indent + "\\n" + base, "  "]))
    m = rng.randint(1, min(n, 60))
    start = rng.randrange(n - m + 1)
    block = lines[start : start + m]
    reindent = rng.choice(["", "  ", "    ", "\t"])
    roll = rng.random()
    if roll < 0.4:
        old = "\n".join(block)
    elif roll < 0.7:
        old = "\n".join(reindent + line.strip() if line.strip() else line for line in block)
    elif roll < 0.85:
        old = "\n".join(block).replace("x", "\\x") if rng.random() < 0.5 else "\n".join(block) + "\n"
    else:
        old = "\n".join(block[:-1] + ["changed"])
    sep = "\r\n" if rng.random() < 0.1 else "\n"
    return {
        "kind": "replace",
        "content": sep.join(lines) + rng.choice(["", "\n"]),
        "old": old,
        "new": "NEW",
        "replace_all": rng.random() < 0.1,
        "hint": rng.choice([None, None, None, rng.randint(0, n + 2)]),
    }


def closest_window(rng):
    n = rng.randint(20, 400)
    wrong = rng.random() < 0.5
    lines = [f"    value_{i} = compute({i}, x) + offset" for i in range(n)]
    m = rng.randint(1, min(n, 40))
    start = rng.randrange(n - m + 1)
    block = lines[start : start + m]
    if wrong:
        block = [line.replace("value", "valeu").replace("compute", "compuet") for line in block]
    else:
        block = [_near(rng, line, rng.randint(0, 3)) for line in block]
    return {
        "kind": "closest_window",
        "text": "\n".join(lines) + "\n",
        "old": "\n".join(block),
        "threshold": rng.choice([0.0, 0.5, 0.8, 0.9]),
    }


FAMILIES = {
    "stream_ties": stream_ties,
    "stream_long": stream_long,
    "hint": hint,
    "ambiguous": ambiguous,
    "closest_window": closest_window,
}


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker()
        return
    parser = argparse.ArgumentParser()
    parser.add_argument("--before", required=True, help="folder with the other build's modules")
    parser.add_argument("--rounds", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--only", choices=sorted(FAMILIES))
    args = parser.parse_args()

    def start(path):
        env = dict(os.environ)
        if path is not None:
            env["PYTHONPATH"] = path
        return subprocess.Popen(
            [sys.executable, __file__, "--worker"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=env,
        )

    before = start(os.path.abspath(args.before))
    after = start(os.environ.get("PYTHONPATH"))
    differences = 0
    for name, make in FAMILIES.items():
        if args.only and name != args.only:
            continue
        rng = random.Random(args.seed)
        outcomes = {}
        for _ in range(args.rounds):
            case = make(rng)
            line = json.dumps(case) + "\n"
            answers = []
            for proc in (before, after):
                proc.stdin.write(line)
                proc.stdin.flush()
                answers.append(json.loads(proc.stdout.readline()))
            if answers[0] != answers[1]:
                differences += 1
                if differences <= 5:
                    print(f"DIFFERENT ({name}): {json.dumps(case)[:400]}")
                    print(f"  before: {json.dumps(answers[0])[:400]}")
                    print(f"  after:  {json.dumps(answers[1])[:400]}")
            key = _outcome_key(case, answers[1])
            outcomes[key] = outcomes.get(key, 0) + 1
        print(f"{name}: {args.rounds} cases, outcomes {dict(sorted(outcomes.items()))}")
    for proc in (before, after):
        proc.stdin.close()
        proc.wait()
    print(f"{differences} differences")
    sys.exit(1 if differences else 0)


def _outcome_key(case, answer):
    if "raised" in answer:
        return "raised"
    ok = answer["ok"]
    if case["kind"] == "stream":
        return "ranges" if ok[-2] else "none"
    if case["kind"] == "replace":
        return ok["result"][4] if ok["success"] else ok["error_type"]
    return "window" if ok != "None" else "none"


if __name__ == "__main__":
    main()
