"""How often an edit lands where and as a careful reviewer would place it: `brindle_search.edit_text`
against the raw module's `replace_content` and an exact `str.replace`, on model-like edits of real
code.

Not a timing. Every case is a real file (standard-library Python, C headers of Python and Linux,
npm's JavaScript, git's shell scripts: a fixed list, see _edit_cases.py), a block of 3 to 15 whole
lines that occurs once in it (also with its lines trimmed), a realistic change of the block (one
line changed, a line inserted or deleted, an identifier renamed in the block), and the
old_string/new_string a model would send for it, spoiled in one way per kind. The expected result
is the whole text a careful reviewer would produce from the model's intent, compared for exact
equality; where the intent is not clear from the edit, only a refusal is correct. The rule for
lines the model repeats unchanged from old_string into new_string: the file keeps its own version of
them (their whitespace, their exact spelling), since the model did not mean to change them.

Kinds that must be applied (expected text: the block replaced by the change, in the file's form):

  exact               old_string is the block as it is (control).
  inline              old_string is a piece of one line, not whole lines (unique in the file).
  indent_dropped      the block's common indentation is left out of old and new.
  indent_shifted      old and new are one indentation level deeper or shallower than the file.
  tabs_spaces         a tab-indented file written with 2/4/8 spaces per tab, or a space-indented
                      file written with a tab per level.
  trailing_ws         the model adds whitespace at the ends of unchanged lines, or the file has
                      whitespace there that the model leaves out; the file's ends of lines stay.
  collapsed_ws        runs of spaces inside lines (alignment) are written as one space; the
                      aligned lines are unchanged by the edit and keep their alignment.
  escaped             old and new are written with \\" and \\' for quotes (blocks without
                      backslashes), or as one JSON-escaped line (\\n, \\t, \\", \\\\); new is
                      unescaped the same way.
  blank_boundaries    blank lines the file does not have there are added before and/or after the
                      block in old and new; no blank line is inserted.
  trailing_newline    old ends in a line break and new does not, or new does and old does not; the
                      lines keep their breaks (no line is joined with the next, no blank line added).
  middle_typo         one inner line of a block of 5+ lines is misremembered by one character, in
                      old and (that line being unchanged) in new; the file keeps its own line.
  middle_missing      one inner line of a block of 5+ lines is left out of old and new (the change
                      does not touch it or its neighbours); the line stays in the file.
  first_line_typo     the first line is misremembered by one character, in old and in new (the
                      change does not touch it); the file keeps its own first line.
  crlf_file           the file has CRLF line breaks, old and new LF; the new lines get CRLF.
  crlf_block          the file has LF, old and new CRLF; the new lines get LF.
  ambiguous_hint      the block occurs twice (a copy inserted 40+ lines away) and line_hint names
                      the first line of one occurrence (exactly, or up to 3 lines off): that one.
  elided              old and new show the first and last lines and stand for 2+ inner lines, which
                      the change does not touch, with a marker line ("# ...", "// ...", "/* ... */",
                      "...", "# ... existing code ..."); the elided lines stay.
  line_numbers        every line of old and new carries a `cat -n` prefix ("%6d\\t" or "%6d→"; new
                      numbered on from the block's first line); the prefixes are not inserted.
  smart_quotes        old and new have typographic quotes (‘’“”) where the file has ' and ";
                      new's quotes are inserted straight.
  truncated_last      old's last line is cut after 40-80 % of it, new has it whole (unchanged):
                      the whole line is replaced, no leftover of it stays.
  html_entities       old and new have &lt; &gt; &amp; for < > & (files without such entities).
  non_ascii           the file is given a non-ASCII name for one of the block's identifiers and a
                      comment with non-ASCII letters and an emoji; old exact, without its common
                      indentation, or in CRLF.
  history             real hunks of real commits (pallets/click, tmux/tmux, expressjs/express;
                      bench/data/edit_history.json): old is the hunk's lines before the commit, new
                      after it, the text the file before the commit around the hunk.
  history_indent_dropped  the same, with old's common indentation left out of old and new.

Kinds that must be refused (any error_type; applying them is silently wrong):

  middle_replaced     one inner line of a block of 5+ lines is, in old and new, a quite different
                      line of the same file: the model's idea of the block is wrong.
  ambiguous           the block occurs twice and there is no line_hint.
  other_file          the block comes from another file of the same language.
  invented_inner      the first and last lines are the block's, the inner ones those of another
                      block of the same file (30+ lines away).

Kinds where refusing or one particular result are both correct:

  stale               the change is already in the file (old is the block before it): refusing, or
                      succeeding without changing the text. Half of them append a line to the block,
                      a quarter prepend one: old then still occurs exactly.
  elided_new_only     old is the whole block, new elides inner lines with a marker line: refusing,
                      or keeping the elided lines (deleting them is silently wrong).

Outcomes: "correct" (applied with the expected text, or refused where refusing is correct),
"wrong" (applied with any other text, silently wrong) and "refused" (refused where the edit should
have been applied). The three methods:

  str.replace      old_string replaced when it occurs exactly once, refused otherwise.
  replace_content  the raw module `_brindle_search.replace_content(text, old, new, False, hint)`;
                   an exception is a refusal.
  edit_text        `brindle_search.edit_text(text, old, new, line_hint=hint)` with its defaults.

Targets, for edit_text: silently wrong <= 0.5 % overall and <= 2 % in every kind; correct >= 95 %
overall.

    python bench/bench_edit_quality.py [--quick] [--seed N] [--per-kind N] [--kinds a,b]
        [--show KIND [--method edit_text] [--examples N]] [--json FILE]
"""

from __future__ import annotations

import argparse
import difflib
import json
import re
import sys
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path

import _brindle_search
import brindle_search

sys.path.insert(0, str(Path(__file__).resolve().parent))
from _edit_cases import KINDS, Case, fingerprint, generate, load_history, load_sources  # noqa: E402

METHODS = ("str.replace", "replace_content", "edit_text")
OUTCOMES = ("correct", "wrong", "refused")

TARGET_WRONG_OVERALL = 0.5
TARGET_WRONG_KIND = 2.0
TARGET_CORRECT_OVERALL = 95.0


@dataclass
class Result:
    ok: bool
    text: str | None = None
    strategy: str | None = None
    repairs: list[str] = field(default_factory=list)
    error: str | None = None  # error_type (or exception class) and message
    raised: bool = False  # edit_text raised instead of returning a failed result

    def outcome(self, case: Case) -> str:
        if self.ok:
            return "correct" if self.text in case.expected else "wrong"
        return "correct" if case.refusal_ok else "refused"


def run_str_replace(case: Case) -> Result:
    count = case.text.count(case.old)
    if count != 1:
        return Result(False, error=f"old_string occurs {count} times")
    return Result(True, case.text.replace(case.old, case.new, 1), "exact")


def run_replace_content(case: Case) -> Result:
    try:
        r = _brindle_search.replace_content(case.text, case.old, case.new, False, case.line_hint)
    except Exception as exc:  # a refusal, whatever its class
        return Result(False, error=f"{type(exc).__name__}: {exc}")
    return Result(True, r.content, r.strategy)


def run_edit_text(case: Case) -> Result:
    try:
        r = brindle_search.edit_text(case.text, case.old, case.new, line_hint=case.line_hint)
    except Exception as exc:  # edit_text must not raise for an edit it cannot place
        return Result(False, error=f"raised {type(exc).__name__}: {exc}", raised=True)
    if r.ok:
        strategy = r.strategy if isinstance(r.strategy, str) else None
        return Result(True, r.text, strategy, list(r.repairs))
    return Result(False, error=f"{r.error_type}: {r.message}")


RUNNERS = {"str.replace": run_str_replace, "replace_content": run_replace_content, "edit_text": run_edit_text}


# ---- reporting -----------------------------------------------------------------------------------


def percent(counter: Counter, outcome: str) -> float:
    total = sum(counter.values())
    return 100.0 * counter[outcome] / total if total else 0.0


def print_table(kinds: list[str], tallies: dict[str, dict[str, Counter]], sizes: dict[str, int]) -> list[str]:
    """The table of outcomes; returns the problems found against the targets (edit_text)."""
    head = f"{'kind':24} {'n':>4}"
    sub = f"{'':24} {'':>4}"
    for method in METHODS:
        head += f" | {method:^20}"
        sub += f" | {'ok%':>6}{'wrong%':>7}{'ref%':>7}"
    print(head)
    print(sub + " | flag")
    print("-" * len(sub + " | flag"))
    problems = []
    overall = {m: Counter() for m in METHODS}
    for kind in kinds:
        row = f"{kind:24} {sizes[kind]:>4}"
        for method in METHODS:
            c = tallies[kind][method]
            overall[method].update(c)
            row += f" | {percent(c, 'correct'):6.1f}{percent(c, 'wrong'):7.1f}{percent(c, 'refused'):7.1f}"
        wrong = percent(tallies[kind]["edit_text"], "wrong")
        flag = ""
        if wrong > TARGET_WRONG_KIND:
            flag = "MISSED"
            problems.append(f"{kind}: edit_text silently wrong {wrong:.1f} % > {TARGET_WRONG_KIND} %")
        print(row + f" | {flag}")
    print("-" * len(sub + " | flag"))
    row = f"{'overall':24} {sum(sizes[k] for k in kinds):>4}"
    for method in METHODS:
        c = overall[method]
        row += f" | {percent(c, 'correct'):6.1f}{percent(c, 'wrong'):7.1f}{percent(c, 'refused'):7.1f}"
    print(row)
    wrong = percent(overall["edit_text"], "wrong")
    correct = percent(overall["edit_text"], "correct")
    if wrong > TARGET_WRONG_OVERALL:
        problems.insert(0, f"overall: edit_text silently wrong {wrong:.2f} % > {TARGET_WRONG_OVERALL} %")
    if correct < TARGET_CORRECT_OVERALL:
        problems.insert(0, f"overall: edit_text correct {correct:.1f} % < {TARGET_CORRECT_OVERALL} %")
    print()
    print(
        f"targets (edit_text): silently wrong <= {TARGET_WRONG_OVERALL} % overall ({wrong:.2f} %) and "
        f"<= {TARGET_WRONG_KIND} % per kind; correct >= {TARGET_CORRECT_OVERALL} % overall ({correct:.1f} %)"
    )
    return problems


_INNER_WS = re.compile(r"(?<=\S)[ \t]+")


def same_but_inner_whitespace(a: str, b: str) -> bool:
    """Whether the texts differ only in whitespace after the first non-blank character of lines."""

    def norm(text: str) -> str:
        return "\n".join(_INNER_WS.sub(" ", line).rstrip() for line in text.split("\n"))

    return norm(a) == norm(b)


def print_whitespace_only(records: list[tuple[Case, dict[str, Result]]]) -> None:
    """How many of edit_text's silently wrong results differ from the expected text only in
    whitespace inside or at the end of lines (not in indentation, line breaks or other text)."""
    wrong: Counter = Counter()
    cosmetic: Counter = Counter()
    for case, results in records:
        result = results["edit_text"]
        if result.outcome(case) == "wrong" and case.expected:
            wrong[case.kind] += 1
            cosmetic[case.kind] += same_but_inner_whitespace(result.text or "", case.expected[0])
    parts = [f"{kind} {cosmetic[kind]}/{wrong[kind]}" for kind in wrong if cosmetic[kind]]
    if parts:
        print("edit_text wrong only in whitespace inside or at the end of lines: " + ", ".join(parts))


def print_languages(records: list[tuple[Case, dict[str, Result]]]) -> None:
    """edit_text's outcomes by the language of the file, over all kinds."""
    by_language: dict[str, Counter] = {}
    for case, results in records:
        by_language.setdefault(case.language, Counter())[results["edit_text"].outcome(case)] += 1
    parts = [
        f"{lang} {percent(c, 'correct'):.1f}/{percent(c, 'wrong'):.1f}/{percent(c, 'refused'):.1f}"
        for lang, c in sorted(by_language.items())
    ]
    print("edit_text by language (ok/wrong/refused %): " + "; ".join(parts))


def visible(s: str) -> str:
    """The text with tabs, CRs and trailing spaces made visible, each line behind a bar."""
    out = []
    for line in s.split("\n"):
        body = line.rstrip(" ")
        shown = body.replace("\t", "→\t").replace("\r", "␍") + "·" * (len(line) - len(body))
        out.append("    | " + shown)
    return "\n".join(out)


def excerpt(case: Case, context: int = 3) -> str:
    if not case.line:
        return "    (no block of this file)"
    lines = case.text.split("\n")
    span = case.old.count("\n") + 1
    lo = max(0, case.line - 1 - context)
    hi = min(len(lines), case.line - 1 + span + context)
    return "\n".join(f"{k + 1:6d} {visible(lines[k])[6:]}" for k in range(lo, hi))


def text_diff(a: str, b: str, a_name: str, b_name: str) -> str:
    diff = difflib.unified_diff(a.splitlines(True), b.splitlines(True), a_name, b_name, n=2)
    return "".join("    " + line if line.endswith("\n") else "    " + line + "\n" for line in diff).rstrip(
        "\n"
    )


def show(kind: str, method: str, records: list[tuple[Case, dict[str, Result]]], limit: int) -> None:
    failing = [
        (case, res[method])
        for case, res in records
        if case.kind == kind and res[method].outcome(case) != "correct"
    ]
    print(f"\n{len(failing)} failing {kind} cases for {method}; the first {min(limit, len(failing))}:")
    for case, result in failing[:limit]:
        outcome = result.outcome(case)
        print("=" * 100)
        print(f"{outcome.upper()}  {case.source}:{case.line}  ({case.note})")
        if case.line_hint is not None:
            print(f"line_hint={case.line_hint}")
        if result.ok:
            print(f"strategy={result.strategy} repairs={result.repairs}")
        print("--- file excerpt")
        print(excerpt(case))
        print("--- old_string")
        print(visible(case.old))
        print("--- new_string")
        print(visible(case.new))
        if result.ok:
            reference = case.expected[0] if case.expected else case.text
            label = "expected" if case.expected else "unchanged (a refusal was expected)"
            print(f"--- {label} vs got")
            print(text_diff(reference, result.text or "", label, "got"))
        else:
            print("--- refusal")
            message = (result.error or "").split("\n")
            print("\n".join("    " + line for line in message[:20]))


def case_record(case: Case, index: int, results: dict[str, Result]) -> dict:
    record = {
        "kind": case.kind,
        "index": index,
        "source": case.source,
        "language": case.language,
        "line": case.line,
        "line_hint": case.line_hint,
        "note": case.note,
        "old": case.old,
        "new": case.new,
        "expect": KINDS[case.kind].expect,
    }
    for method, result in results.items():
        entry: dict = {"outcome": result.outcome(case), "ok": result.ok}
        if result.ok:
            entry["strategy"] = result.strategy
            entry["repairs"] = result.repairs
            if entry["outcome"] == "wrong":
                reference = case.expected[0] if case.expected else case.text
                entry["diff"] = "".join(
                    difflib.unified_diff(
                        reference.splitlines(True),
                        (result.text or "").splitlines(True),
                        "expected",
                        "got",
                        n=2,
                    )
                )
        else:
            entry["error"] = (result.error or "")[:500]
        record[method] = entry
    return record


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument(
        "--per-kind", type=int, default=None, help="cases per kind (default 250, 30 with --quick)"
    )
    ap.add_argument("--quick", action="store_true", help="30 cases per kind")
    ap.add_argument("--kinds", default=None, help="comma-separated kinds to run (default: all)")
    ap.add_argument("--show", default=None, metavar="KIND", help="print failing cases of this kind")
    ap.add_argument("--method", default="edit_text", choices=METHODS, help="whose failures --show prints")
    ap.add_argument("--examples", type=int, default=3, help="how many cases --show prints")
    ap.add_argument("--json", default=None, metavar="FILE", help="write every case's outcomes to FILE")
    args = ap.parse_args()

    per_kind = args.per_kind or (30 if args.quick else 250)
    kinds = list(KINDS) if args.kinds is None else [k.strip() for k in args.kinds.split(",") if k.strip()]
    unknown = [k for k in kinds + ([args.show] if args.show else []) if k not in KINDS]
    if unknown:
        sys.exit(f"unknown kind(s) {', '.join(unknown)}; kinds: {', '.join(KINDS)}")
    if args.show and args.show not in kinds:
        kinds.append(args.show)

    sources = load_sources()
    history = load_history()
    languages = Counter(src.language for src in sources)
    per_language = ", ".join(f"{n} {lang}" for lang, n in sorted(languages.items()))
    print(f"module: {_brindle_search.__file__}")
    print(f"package: {brindle_search.__file__}")
    print(
        f"sources: {len(sources)} files ({per_language}), "
        f"fingerprint {fingerprint(sources)}; real edits: "
        + (
            "none (bench/data/edit_history.json missing)"
            if history is None
            else f"{len(history['cases'])} hunks"
        )
    )
    print(f"seed {args.seed}, {per_kind} cases per kind\n")

    t0 = time.perf_counter()
    cases: list[Case] = []
    sizes: dict[str, int] = {}
    for kind in kinds:
        made = generate(kind, per_kind, args.seed, sources, history)
        sizes[kind] = len(made)
        cases.extend(made)
    t_gen = time.perf_counter() - t0
    kinds = [k for k in kinds if sizes[k]]

    tallies = {kind: {m: Counter() for m in METHODS} for kind in kinds}
    elapsed = Counter()
    records: list[tuple[Case, dict[str, Result]]] = []
    for case in cases:
        results = {}
        for method in METHODS:
            t = time.perf_counter()
            results[method] = RUNNERS[method](case)
            elapsed[method] += time.perf_counter() - t
            tallies[case.kind][method][results[method].outcome(case)] += 1
        records.append((case, results))

    problems = print_table(kinds, tallies, sizes)
    print_languages(records)
    print_whitespace_only(records)
    short = [k for k in kinds if sizes[k] < per_kind]
    if short:
        print("fewer cases than asked: " + ", ".join(f"{k} {sizes[k]}" for k in short))
    raised = [case for case, results in records if results["edit_text"].raised]
    if raised:
        kinds_raised = Counter(case.kind for case in raised)
        problems.insert(0, f"edit_text raised on {len(raised)} cases ({dict(kinds_raised)})")
    print(
        f"time: cases {t_gen:.1f} s; "
        + ", ".join(f"{m} {elapsed[m]:.1f} s" for m in METHODS)
        + " (all cases)"
    )
    if problems:
        print("MISSED:\n  " + "\n  ".join(problems))
    else:
        print("all targets met")

    if args.show:
        show(args.show, args.method, records, args.examples)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as fh:
            json.dump(
                [case_record(c, i, r) for i, (c, r) in enumerate(records)], fh, ensure_ascii=False, indent=1
            )
        print(f"\nwrote {len(records)} cases to {args.json}")
    if problems:
        sys.exit("some targets were missed")


if __name__ == "__main__":
    main()
