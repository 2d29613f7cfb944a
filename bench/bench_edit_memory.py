"""Memory and cost of large edits of the brindle_search package, against baselines of the same run.

  apply_edits memory   the growth of a fresh process's peak resident memory during one
                       apply_edits(path, edits) call, per byte of the file, for 1, 10, 100 and 400
                       one-line edits spread evenly over a file of real code (about 0.75 MB and
                       2.4 MB); the file is written, so everything from reading to the report counts
                       (target <= 3x the file's size)
  apply_edits per edit the CPU time of apply_edits with 10, 100 and 400 edits (the 0.75 MB file,
                       written each time) per edit, against one edit_text call placing one of the
                       same edits on the same text (target <= 1.5x with 400 edits; smaller batches
                       share the reading and writing of the file among fewer edits)
  replace_all          edit_text(text, old, new, replace_all=True) changing every line of a text of
                       real code with mixed CR LF and LF endings, at 5 sizes, all ASCII and then
                       with one character above U+00FF at every size: CPU time against
                       text.splitlines() of the same text, ns per character, peak memory growth per
                       input character (fresh process), fitted growth exponent (targets: <= 20x
                       splitlines at 100k lines, exponent <= 1.15)

Peak memory is VmHWM after resetting it through /proc/self/clear_refs (Linux 4.0 and later); the
child imports the package and makes a few small calls first (exact, tolerant, failing), so that
imports do not count. Timings
alternate the call and its baseline within each repetition (best CPU time of the repetitions).

Run: python3 bench/bench_edit_memory.py [--quick] [--only memory|per_edit|replace_all]
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import tempfile

from _text import stdlib_code
from _timing import fit_exponent, interleaved, interpreter, proc_status, verdict

MEMORY_TARGET = 3.0
PER_EDIT_TARGET = 1.5
FLOOR_TARGET = 20.0
EXPONENT_TARGET = 1.15

FILE_LINES = (20_000, 64_000)  # about 0.75 MB and 2.4 MB of standard-library code
EDIT_COUNTS = (1, 10, 100, 400)
REPLACE_ALL_LINES = (12_500, 25_000, 50_000, 100_000, 200_000)


# ---- inputs ------------------------------------------------------------------------------------


def file_text(lines):
    return stdlib_code(lines)


def spread_edits(text, count):
    """`count` one-line edits spread evenly over `text`: a line that occurs once in the text gets
    a comment appended. Returns the edits and those that undo them."""
    lines = text.split("\n")
    step = max(1, len(lines) // (count + 1))
    chosen = []
    used = set()
    for k in range(count):
        at = step * (k + 1)
        for j in range(at, min(at + step, len(lines))):
            line = lines[j]
            if len(line.strip()) > 12 and j not in used and text.count(line) == 1:
                chosen.append(line)
                used.add(j)
                break
        else:
            raise SystemExit(f"no unique line near line {at} for edit {k}")
    forward = [{"old_string": line, "new_string": line + "  # edited"} for line in chosen]
    back = [{"old_string": line + "  # edited", "new_string": line} for line in chosen]
    return forward, back


def mixed_text(lines, wide):
    """`lines` lines of real code, each ending in a tag that replace_all changes, every third line
    ending in LF and the others in CR LF. The text is held alike at every size: all ASCII, or
    (`wide`) with one character above U+00FF in its first line, which makes Python hold it at 2
    bytes per character (real code of some sizes has one, of others not: the growth then
    measured would be that of the change of width)."""
    code = stdlib_code(lines).encode("ascii", "replace").decode("ascii").split("\n")[:lines]
    if wide:
        code[0] += "  # \u2500"
    ends = ("\n", "\r\n", "\r\n")
    return "".join(f"{line}  # tag-v1{ends[k % 3]}" for k, line in enumerate(code))


# ---- peak memory in a child process -------------------------------------------------------------


def peak_growth(kind, path, edits_path=""):
    """Growth of a fresh child's peak resident memory during one call, and the size of the text
    the call returns (None off Linux).

    The child reads its inputs from files written here, so that it never held (and freed) the
    memory that made them: a freed heap would be reused by the call without growing the peak.
    """
    if not os.path.exists("/proc/self/clear_refs"):
        return None
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--peak", kind, path, edits_path],
        capture_output=True,
        text=True,
    )
    try:
        growth, returned = out.stdout.split()[-2:]
        return int(growth), int(returned)
    except ValueError:
        print(f"  (child failed: {out.stderr.strip()[-300:]})")
        return None


def _peak_child(kind, path, edits_path):
    import json

    import brindle_search as bs

    warm = os.path.join(os.path.dirname(path), "warm.py")
    with open(warm, "w") as fh:
        fh.write("a = 1\nb = 2\n")
    bs.apply_edits(
        warm, [{"old_string": "a = 1", "new_string": "a = 3"}, {"old_string": "b", "new_string": "c"}]
    )
    bs.edit_text("x\r\ny\nx\r\n", "x", "z", replace_all=True)
    # A tolerant edit and a failing one load what exact edits do not need (the native driver, the
    # line alignment), as any earlier call of a real process would have.
    bs.edit_text("def f():\n    a = 1\n    b = 2\n", "def f():\na = 1\nb = 2", "def f():\na = 3\nb = ...")
    bs.edit_text("a = 1\n", "q = 9", "q = 8")
    if kind == "apply":
        with open(edits_path) as fh:
            edits = json.load(fh)

        def call():
            result = bs.apply_edits(path, edits)
            assert result.ok and result.written, result
            return result

    else:
        with open(path, encoding="utf-8", newline="") as fh:
            text = fh.read()
        lines = text.count("\n")

        def call():
            result = bs.edit_text(text, "# tag-v1", "# tag-v2", replace_all=True)
            assert result.ok and result.replacements == lines, result
            return result

    gc.collect()
    with open("/proc/self/clear_refs", "w") as fh:
        fh.write("5")
    before = proc_status("VmRSS:")
    result = call()
    print(max(0, proc_status("VmHWM:") - before), sys.getsizeof(result.text))


# ---- sections ----------------------------------------------------------------------------------


def section_memory(quick):
    print("\napply_edits: peak memory growth per byte of the file (fresh process)")
    print("  (result: the size of the new text the call returns, which Python holds at 2 bytes per")
    print("  character once one is above U+00FF; the call also holds the text it is made from)")
    print(f"  {'file':>9} {'edits':>6} {'growth':>10} {'x file':>7} {'result':>7}")
    ok = True
    folder = tempfile.mkdtemp(prefix="bench-edit-memory-")
    path = os.path.join(folder, "big.py")
    edits_path = os.path.join(folder, "edits.json")
    for lines in FILE_LINES[:1] if quick else FILE_LINES:
        text = file_text(lines)
        size = len(text.encode())
        for count in EDIT_COUNTS:
            with open(path, "w", encoding="utf-8", newline="") as fh:
                fh.write(text)
            with open(edits_path, "w") as fh:
                json.dump(spread_edits(text, count)[0], fh)
            measured = peak_growth("apply", path, edits_path)
            if measured is None:
                print(f"  {size / 1e6:7.2f}MB {count:>6} {'-':>10}")
                continue
            growth, returned = measured
            ratio = growth / size
            ok = ok and ratio <= MEMORY_TARGET
            print(
                f"  {size / 1e6:7.2f}MB {count:>6} {growth / 1e6:8.2f}MB {ratio:7.2f} {returned / size:7.2f}"
            )
    print(f"  target <= {MEMORY_TARGET}x the file: {verdict(ok)}")
    return ok


def section_per_edit(quick, repeat):
    import brindle_search as bs

    print("\napply_edits: CPU time per edit against one edit_text on the same text")
    text = file_text(FILE_LINES[0])
    folder = tempfile.mkdtemp(prefix="bench-edit-memory-")
    path = os.path.join(folder, "big.py")
    print(f"  {'edits':>6} {'per edit':>10} {'edit_text':>10} {'ratio':>7}")
    ok = True
    for count in EDIT_COUNTS[1:]:
        if quick and count > 100:
            continue
        with open(path, "w", encoding="utf-8", newline="") as fh:
            fh.write(text)
        forward, back = spread_edits(text, count)
        state = {"batch": forward, "next": back}

        def run(state=state):
            result = bs.apply_edits(path, state["batch"])
            assert result.ok and result.written, result
            state["batch"], state["next"] = state["next"], state["batch"]

        one = forward[len(forward) // 2]

        def floor(one=one):
            result = bs.edit_text(text, one["old_string"], one["new_string"])
            assert result.ok

        t, f, _ = interleaved(run, floor, repeat)
        ratio = t / count / f
        if count == EDIT_COUNTS[-1] or (quick and count == 100):
            ok = ok and ratio <= PER_EDIT_TARGET
        print(f"  {count:>6} {t / count * 1e3:8.3f}ms {f * 1e3:8.3f}ms {ratio:7.2f}")
    print(f"  target <= {PER_EDIT_TARGET}x with {100 if quick else EDIT_COUNTS[-1]} edits: {verdict(ok)}")
    return ok


def section_replace_all(quick, repeat):
    ok = True
    for wide in (False, True):
        ok = _replace_all_growth(quick, repeat, wide) and ok
    return ok


def _replace_all_growth(quick, repeat, wide):
    import brindle_search as bs

    held = "one character above U+00FF" if wide else "all ASCII"
    print(f"\nreplace_all changing every line, mixed CR LF / LF endings, {held} (floor: text.splitlines())")
    print(f"  {'lines':>8} {'time':>10} {'floor':>10} {'x floor':>8} {'ns/char':>8} {'peak/in':>8}")
    sizes = REPLACE_ALL_LINES[:4] if quick else REPLACE_ALL_LINES
    path = os.path.join(tempfile.mkdtemp(prefix="bench-edit-memory-"), "mixed.py")
    times, floors, ratios = [], [], {}
    for lines in sizes:
        text = mixed_text(lines, wide)

        def run(text=text, lines=lines):
            result = bs.edit_text(text, "# tag-v1", "# tag-v2", replace_all=True)
            assert result.ok and result.replacements == lines, result

        t, f, _ = interleaved(run, text.splitlines, repeat)
        with open(path, "w", encoding="utf-8", newline="") as fh:
            fh.write(text)
        peak = peak_growth("replace_all", path)
        peak_text = "-" if peak is None else f"{peak[0] / len(text):8.2f}"
        times.append(t)
        floors.append(f)
        ratios[lines] = t / f
        ns = t / len(text) * 1e9
        print(f"  {lines:>8} {t * 1e3:8.2f}ms {f * 1e3:8.3f}ms {t / f:8.2f} {ns:8.2f} {peak_text:>8}")
    exponent = fit_exponent(sizes, times)
    at = ratios[min(ratios, key=lambda n: abs(n - 100_000))]
    ok = exponent <= EXPONENT_TARGET and at <= FLOOR_TARGET
    floor_exponent = fit_exponent(sizes, floors)
    print(
        f"  exponent {exponent:.2f} (<= {EXPONENT_TARGET}; the floor's own {floor_exponent:.2f}), "
        f"x floor at 100k lines {at:.2f} (<= {FLOOR_TARGET}): {verdict(ok)}"
    )
    return ok


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--peak":
        _peak_child(sys.argv[2], sys.argv[3], sys.argv[4])
        return
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="fewer sizes and repetitions")
    ap.add_argument("--only", choices=["memory", "per_edit", "replace_all"])
    args = ap.parse_args()
    import brindle_search

    print(f"package: {os.path.dirname(os.path.abspath(brindle_search.__file__))}")
    print(f"python: {interpreter()}")
    repeat = 2 if args.quick else 3
    ok = True
    if args.only in (None, "memory"):
        ok = section_memory(args.quick) and ok
    if args.only in (None, "per_edit"):
        ok = section_per_edit(args.quick, repeat) and ok
    if args.only in (None, "replace_all"):
        ok = section_replace_all(args.quick, repeat) and ok
    print("\nall targets met" if ok else "\nSOME TARGETS MISSED")


if __name__ == "__main__":
    main()
