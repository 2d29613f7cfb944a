"""Builds bench/data/edit_history.json, the real-edit corpus of bench_edit_quality.py.

Each record is one hunk of a real commit: the hunk's lines before the commit (context and removed
lines) as old_string, the same lines after it (context and added lines) as new_string, and the
lines of the file before the commit around the hunk (WINDOW lines on each side) as the text the
edit is placed in. Only hunks whose old block occurs exactly once in the whole file before the
commit are kept, so the expected result is that one replacement.

The repositories are read from local mirrors (bare git directories); nothing else of them is kept
but each one's license text, stored with its name and the commit the corpus was taken at.
Run it again only to rebuild the corpus (the benchmark itself runs offline from the JSON):

    python bench/extract_edit_history.py --mirror pallets/click=/path/to/click.git \\
        --mirror tmux/tmux=/path/to/tmux.git --mirror expressjs/express=/path/to/express.git
"""

from __future__ import annotations

import argparse
import json
import re
import subprocess
from pathlib import Path

# Which files of each repository give hunks, and under which license the repository is published.
SOURCES = {
    "pallets/click": {
        "pathspec": ["src/click/*.py"],
        "license": "BSD-3-Clause",
        "license_file": "LICENSE.txt",
        "language": "python",
    },
    "tmux/tmux": {"pathspec": ["*.c"], "license": "ISC", "license_file": "COPYING", "language": "c"},
    "expressjs/express": {
        "pathspec": ["lib/*.js"],
        "license": "MIT",
        "license_file": "LICENSE",
        "language": "js",
    },
}

WINDOW = 15  # lines of the file kept on each side of the hunk
MIN_OLD, MAX_OLD = 3, 15  # lines of old_string
MAX_NEW = 20
MAX_LINE = 200  # longest line kept (minified or generated code is left out)

_HUNK = re.compile(r"^@@ -(\d+)(?:,(\d+))? \+(\d+)(?:,(\d+))? @@")


def git(gitdir: str, *args: str) -> str:
    out = subprocess.run(["git", "--git-dir", gitdir, *args], check=True, capture_output=True)
    return out.stdout.decode("utf-8")


def hunks(patch: str):
    """(path, old_start, old_lines, new_lines) for each hunk of a `git show -U3` patch."""
    path = None
    current = None
    for line in patch.split("\n"):
        if line.startswith("diff --git "):
            if current:
                yield current
            current = None
            path = None
        elif line.startswith("+++ "):
            path = line[6:] if line.startswith("+++ b/") else None
        elif line.startswith("@@"):
            if current:
                yield current
            m = _HUNK.match(line)
            current = (path, int(m.group(1)), [], []) if m and path else None
        elif current is not None:
            if line.startswith("\\"):
                current = None  # "\ No newline at end of file": left out
            elif line.startswith(" "):
                current[2].append(line[1:])
                current[3].append(line[1:])
            elif line.startswith("-"):
                current[2].append(line[1:])
            elif line.startswith("+"):
                current[3].append(line[1:])
    if current:
        yield current


def trim_blank_context(old: list[str], new: list[str]) -> tuple[list[str], list[str], int]:
    """Drops blank context lines at both ends (shared by old and new); returns the lines dropped
    at the start."""
    front = 0
    while old and new and old[0] == new[0] and not old[0].strip():
        old, new = old[1:], new[1:]
        front += 1
    while old and new and old[-1] == new[-1] and not old[-1].strip():
        old, new = old[:-1], new[:-1]
    return old, new, front


def records(repo: str, gitdir: str, count: int, per_file: int) -> list[dict]:
    spec = SOURCES[repo]
    commits = git(gitdir, "log", "--no-merges", "--format=%H", "--", *spec["pathspec"]).split()
    out: list[dict] = []
    used_per_path: dict[str, int] = {}
    for commit in commits:
        if len(out) >= count:
            break
        try:
            patch = git(
                gitdir,
                "show",
                "--format=",
                "-U3",
                "--no-color",
                "--no-renames",
                commit,
                "--",
                *spec["pathspec"],
            )
        except (subprocess.CalledProcessError, UnicodeDecodeError):
            continue
        for path, start, old, new in hunks(patch):
            if used_per_path.get(path, 0) >= per_file:
                continue
            old, new, front = trim_blank_context(old, new)
            if not (MIN_OLD <= len(old) <= MAX_OLD and 1 <= len(new) <= MAX_NEW) or old == new:
                continue
            if any(len(line) > MAX_LINE or "\r" in line for line in old + new):
                continue
            if any("$OpenBSD" in line or "$Id" in line for line in old):
                continue  # version-control keyword lines, changed by every commit
            try:
                before = git(gitdir, "show", f"{commit}^:{path}")
            except (subprocess.CalledProcessError, UnicodeDecodeError):
                continue
            old_text, new_text = "\n".join(old), "\n".join(new)
            if before.count(old_text) != 1 or "\r" in before:
                continue
            lines = before.split("\n")
            first = start - 1 + front  # 0-based line of old's first line
            if lines[first : first + len(old)] != old:
                continue
            lo, hi = max(0, first - WINDOW), min(len(lines), first + len(old) + WINDOW)
            window = "\n".join(lines[lo:hi])
            if hi < len(lines):
                window += "\n"
            out.append(
                {
                    "repo": repo,
                    "commit": commit,
                    "path": path,
                    "language": spec["language"],
                    "line": first + 1,
                    "window_first_line": lo + 1,
                    "text": window,
                    "old": old_text,
                    "new": new_text,
                }
            )
            used_per_path[path] = used_per_path.get(path, 0) + 1
            break  # one hunk per commit
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--mirror", action="append", default=[], help="owner/name=path-of-git-dir")
    ap.add_argument("--per-repo", type=int, default=60)
    ap.add_argument("--per-file", type=int, default=6)
    ap.add_argument("--out", default=str(Path(__file__).resolve().parent / "data" / "edit_history.json"))
    args = ap.parse_args()
    corpus: dict = {"sources": {}, "cases": []}
    for item in args.mirror:
        repo, gitdir = item.split("=", 1)
        head = git(gitdir, "rev-parse", "HEAD").strip()
        cases = records(repo, gitdir, args.per_repo, args.per_file)
        corpus["sources"][repo] = {
            "url": f"https://github.com/{repo}",
            "license": SOURCES[repo]["license"],
            "license_text": git(gitdir, "show", f"HEAD:{SOURCES[repo]['license_file']}"),
            "head": head,
            "cases": len(cases),
        }
        corpus["cases"].extend(cases)
        print(f"{repo}: {len(cases)} hunks")
    Path(args.out).parent.mkdir(parents=True, exist_ok=True)
    with open(args.out, "w", encoding="utf-8") as fh:
        json.dump(corpus, fh, ensure_ascii=False, indent=0)
        fh.write("\n")
    print(f"wrote {args.out} ({Path(args.out).stat().st_size // 1024} KiB)")


if __name__ == "__main__":
    main()
