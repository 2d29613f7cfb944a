"""The report of an edit built from the changed places (edit_report) against the whole-text report
it replaces, on generated batches of edits over real code."""

from __future__ import annotations

import os
import random
import sysconfig

import pytest

import brindle_search
from brindle_search import _edit, edit_report
from brindle_search.edit_report import SNIPPET_LINES, Changes, OldText
from brindle_search.files import document_from_text

# ---- what a report must be -------------------------------------------------------------------


def apply_diff(diff, old_lines):
    """The lines a unified diff of ours makes of `old_lines`; each hunk's context and removed
    lines must be the old lines at its numbers."""
    lines = diff.split("\n")
    assert lines[0].startswith("--- ") and lines[1].startswith("+++ ") and lines[-1] == ""
    out, at, k = [], 0, 2
    while k < len(lines) - 1:
        header = lines[k]
        assert header.startswith("@@ -") and header.endswith(" @@"), header
        old_range = header[4:-3].split(" +")[0]
        start, _, count = old_range.partition(",")
        start = int(start) - (1 if count != "0" else 0)
        out.extend(old_lines[at:start])
        at = start
        k += 1
        while k < len(lines) - 1 and not lines[k].startswith("@@ "):
            kind, line = lines[k][:1], lines[k][1:]
            if kind == "\\":  # the line before has no line feed: the lists compare without it
                k += 1
                continue
            if kind in (" ", "-"):
                assert old_lines[at] == line
                at += 1
            if kind in (" ", "+"):
                out.append(line)
            k += 1
    return out + old_lines[at:]


def whole_lines(text):
    if not text:
        return []
    lines = text.split("\n")
    if text.endswith("\n"):
        lines.pop()
    return lines


class Recorder:
    """Wraps the report: checks that every diff turns the original into the new text and that the
    snippet shows lines of the new text under their numbers; counts the reports compared group by
    group."""

    def __init__(self, monkeypatch):
        self.reports = 0
        self.ranged = 0
        real_report = edit_report.diff_and_snippet
        real_spans = edit_report._spans

        def spans(old, new):
            found = list(real_spans(old, new))
            self.ranged += len(found) > 1
            return iter(found)

        def report(old, new, label):
            original = old[0 : len(old)]
            assert isinstance(old, OldText)
            diff, snippet = real_report(old, new, label)
            assert apply_diff(diff, whole_lines(original)) == whole_lines(new)
            if original.endswith("\n") != new.endswith("\n"):
                assert "\n\\ No newline at end of file\n" in diff
            check_snippet(snippet, whole_lines(new))
            self.reports += 1
            return diff, snippet

        monkeypatch.setattr(edit_report, "_spans", spans)
        monkeypatch.setattr(_edit, "diff_and_snippet", report)


def check_snippet(snippet, lines):
    """The snippet's numbered lines are lines of the new text under their numbers, at most
    SNIPPET_LINES of them, and a count of those left out ends a cut one."""
    shown = [line for line in snippet.splitlines() if not line.startswith("   ...")]
    assert 0 < len(shown) <= SNIPPET_LINES
    for line in shown:
        number, text = line.split("\t", 1)
        assert lines[int(number) - 1] == text
    last = snippet.splitlines()[-1]
    assert not last.startswith("   ...") or " more " in last


# ---- generated batches ---------------------------------------------------------------------------


def _code_lines():
    root = sysconfig.get_paths()["stdlib"]
    lines = []
    for name in ("argparse.py", "difflib.py", "inspect.py", "typing.py"):
        path = os.path.join(root, name)
        if os.path.exists(path):
            with open(path, encoding="utf-8") as fh:
                lines.extend(fh.read().split("\n"))
    if len(lines) < 3000:
        pytest.skip("the standard library's sources are not installed")
    return lines


CODE = None


def code_lines():
    global CODE
    if CODE is None:
        CODE = _code_lines()
    return CODE


def generated_batch(rng, size):
    """A text of `size` lines of real code and a batch of edits of many kinds at places spread over
    it (or crowded together), each quoting lines that occur once."""
    pool = code_lines()
    start = rng.randrange(0, len(pool) - size)
    lines = pool[start : start + size]
    text = "\n".join(lines) + ("\n" if rng.random() < 0.8 else "")
    lines = text.split("\n")
    count = rng.choice([2, 3, 5, 10, 30, 80])
    crowded = rng.random() < 0.25
    if crowded:
        base = rng.randrange(0, max(1, len(lines) - 60))
        places = sorted(rng.sample(range(base, min(len(lines), base + 60)), min(count, 40)))
    else:
        places = sorted(rng.sample(range(len(lines)), count))
    if rng.random() < 0.3:
        places = sorted(set(places) | {0, len(lines) - 1})
    edits = []
    taken = -1
    for at in places:
        if at <= taken:
            continue
        span = rng.choice([1, 1, 1, 2, 3])
        block = lines[at : at + span]
        old = "\n".join(block)
        if not old.strip() or text.count(old) != 1:
            continue
        taken = at + span
        kind = rng.choice(["modify", "insert", "delete", "blank", "repeat", "borrow", "swap"])
        if kind == "modify":
            new = "\n".join(line + "  # changed" if k == 0 else line for k, line in enumerate(block))
        elif kind == "insert":
            new = (
                old
                + "\n"
                + "\n".join(f"    new_line_{rng.randrange(10**6)} = {k}" for k in range(rng.randint(1, 4)))
            )
        elif kind == "delete":
            if span == 1:
                continue
            new = block[0]
        elif kind == "blank":
            new = old + "\n" if rng.random() < 0.5 else "\n" + old
        elif kind == "repeat":
            new = old + "\n" + block[-1]
        elif kind == "borrow":
            new = "\n".join(rng.choice(pool) for _ in range(rng.randint(1, 3)))
        else:
            new = "\n".join(reversed(block)) + "  # swapped"
        if new == old:
            continue
        edits.append({"old_string": old, "new_string": new})
    return text, edits


@pytest.mark.parametrize("seed", range(40))
def test_the_report_from_the_changed_places_is_the_whole_texts(monkeypatch, seed):
    rng = random.Random(seed)
    recorder = Recorder(monkeypatch)
    for _ in range(6):
        text, edits = generated_batch(rng, rng.choice([300, 2500, 5000]))
        if not edits:
            continue
        if rng.random() < 0.3:
            text = text.replace("\n", "\r\n")
        doc = document_from_text(text)
        result = _edit.place_edits(doc, edits)
        if result.ok and result.text != text:
            assert recorder.reports
    assert recorder.reports


def test_generated_batches_are_compared_group_by_group(monkeypatch):
    """Large batches are compared group by group (each diff checked by the recorder). It is not
    always the unified diff of the whole texts: a line inserted next to its twin, for one, may
    be shown before or after it; both diffs are right."""
    recorder = Recorder(monkeypatch)
    rng = random.Random(7)
    for _ in range(30):
        text, edits = generated_batch(rng, 5000)
        if edits:
            _edit.place_edits(document_from_text(text), edits)
    assert recorder.ranged >= 10, recorder.ranged


def test_a_batch_on_a_file_with_crlf_and_no_final_newline(tmp_path, monkeypatch):
    recorder = Recorder(monkeypatch)
    rng = random.Random(3)
    text, edits = generated_batch(rng, 5000)
    text = text.rstrip("\n").replace("\n", "\r\n")
    path = tmp_path / "big.py"
    path.write_bytes(text.encode())
    result = brindle_search.apply_edits(path, edits)
    assert result.ok and result.written
    assert path.read_bytes() == result.text.encode()
    assert recorder.reports == 1


@pytest.mark.parametrize(
    ("ending", "every"),
    [("\n", 1), ("\r\n", 1), ("mixed", 1), ("mixed", 3)],
)
def test_replace_all_over_a_large_text(monkeypatch, ending, every):
    """Every (or every third) line changes: one window (or many hunks), the whole-text diff."""
    recorder = Recorder(monkeypatch)
    lines = code_lines()[:6000]
    ends = ["\n", "\r\n"] if ending == "mixed" else [ending]
    text = "".join(
        f"{line}{'  # tag-a' if k % every == 0 else ''}{ends[k % len(ends)]}" for k, line in enumerate(lines)
    )
    result = brindle_search.edit_text(text, "# tag-a", "# tag-b", replace_all=True)
    assert result.ok and result.replacements == len(range(0, len(lines), every))
    assert recorder.reports == 1
    assert result.snippet.count("\n") <= SNIPPET_LINES + 1


def test_the_snippet_of_a_long_region_shows_the_changed_places(tmp_path):
    lines = [f"line_{k} = {k}" for k in range(3000)]
    path = tmp_path / "f.py"
    path.write_text("\n".join(lines) + "\n")
    edits = [
        {"old_string": f"line_{k} = {k}\n", "new_string": f"line_{k} = -{k}\n"} for k in (10, 1500, 2990)
    ]
    result = brindle_search.apply_edits(path, edits)
    assert result.ok
    shown = result.snippet.splitlines()
    assert shown == [
        *(f"{n + 1:6d}\tline_{n} = {'-' if n == 10 else ''}{n}" for n in range(7, 14)),
        "   ...",
        *(f"{n + 1:6d}\tline_{n} = {'-' if n == 1500 else ''}{n}" for n in range(1497, 1504)),
        "   ...",
        *(f"{n + 1:6d}\tline_{n} = {'-' if n == 2990 else ''}{n}" for n in range(2987, 2994)),
    ]
    assert result.diff.count("@@ -") == 3


# ---- the changed places and the original read through them -----------------------------------


def test_changes_give_back_the_original_text():
    rng = random.Random(11)
    for _ in range(300):
        original = "".join(rng.choice(["a", "b", "\n", "cd"]) for _ in range(rng.randint(0, 60)))
        text = original
        changes = Changes()
        for _ in range(rng.randint(1, 6)):
            splices = []
            pos = 0
            while pos <= len(text) and rng.random() < 0.7:
                at = rng.randint(pos, len(text))
                length = rng.randint(0, min(4, len(text) - at))
                splices.append((at, length, rng.choice(["", "x", "\n", "yz\n"])))
                pos = at + length + rng.randint(0, 3)
            if not splices:
                continue
            changes.record(text, [(p, n, len(s)) for p, n, s in splices])
            pieces, cursor = [], 0
            for p, n, s in splices:
                pieces += [text[cursor:p], s]
                cursor = p + n
            text = "".join(pieces) + text[cursor:]
        changes.settle(text)
        old = OldText(text, changes)
        assert len(old) == len(original)
        assert old[0 : len(old)] == original
        for _ in range(5):
            a = rng.randint(0, len(original))
            b = rng.randint(a, len(original))
            assert old[a:b] == original[a:b]
        for start, end, was in zip(changes.starts, changes.ends, changes.olds):
            assert text[start:end] != was


def test_the_diff_of_any_small_edit_turns_the_old_text_into_the_new():
    """Deleted, added and replaced whole lines next to lines that repeat, with or without a final
    line feed: each diff applies to the old text and gives the new one."""
    rng = random.Random(1)
    checked = 0
    for _ in range(3000):
        lines = [
            rng.choice(["a", "b", "x = 1", ""]) + str(rng.randrange(3)) for _ in range(rng.randrange(3, 14))
        ]
        text = "\n".join(lines) + ("\n" if rng.random() < 0.8 else "")
        i = rng.randrange(len(lines))
        j = min(len(lines), i + rng.randrange(1, 4))
        old = "\n".join(lines[i:j]) + ("\n" if rng.random() < 0.5 and j < len(lines) else "")
        new = rng.choice(["", "z", "z\n", "z\nw\n", "\n"])
        if text.count(old) != 1 or old == new:
            continue
        result = brindle_search.edit_text(text, old, new)
        if result.ok and result.diff:
            assert apply_diff(result.diff, whole_lines(text)) == whole_lines(result.text), (text, old, new)
            checked += 1
    assert checked > 1000
