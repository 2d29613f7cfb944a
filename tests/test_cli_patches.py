"""The installed ``brindle-search`` command with unified diffs and whole patches, in a subprocess:
``apply`` with a ``git diff`` (plain and ``--json``), ``--atomic``, ``-R``, ``--dry-run``, decorated
and prose path lines, and ``edit --old``/``--new`` values that start with '-'."""

import json
import os
import subprocess
import sys

import pytest

SCRIPT = os.path.join(os.path.dirname(sys.executable), "brindle-search")
ENV = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}
S, D, R = "<<<<<<< SEARCH", "=======", ">>>>>>> REPLACE"

ORIGINAL = {
    "app.py": "def total(items):\n    s = 0\n    for item in items:\n        s += item\n    return s\n",
    "util/text.py": "def shout(text):\n    return text.upper()\n",
}
EDITED = {
    "app.py": ORIGINAL["app.py"].replace("return s", "return float(s)"),
    "util/text.py": ORIGINAL["util/text.py"].replace("upper()", "upper() + '!'"),
}


def run(*args, stdin="", cwd=None):
    assert os.path.exists(SCRIPT), f"console script not installed: {SCRIPT}"
    proc = subprocess.run(
        [SCRIPT, *map(str, args)], input=stdin.encode(), capture_output=True, cwd=cwd, env=ENV, timeout=120
    )
    return proc.returncode, proc.stdout.decode(), proc.stderr.decode()


def git(folder, *args):
    return subprocess.run(
        ["git", "-c", "user.email=t@example.com", "-c", "user.name=t", *args],
        cwd=folder,
        check=True,
        capture_output=True,
        text=True,
    ).stdout


def files(folder):
    return {path: (folder / path).read_text() for path in ORIGINAL}


@pytest.fixture
def repo(tmp_path):
    """A repository at ORIGINAL, and the `git diff` that makes it EDITED."""
    for path, text in ORIGINAL.items():
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(text)
    git(tmp_path, "init", "-q")
    git(tmp_path, "add", "-A")
    git(tmp_path, "commit", "-qm", "original")
    for path, text in EDITED.items():
        (tmp_path / path).write_text(text)
    diff = git(tmp_path, "diff")
    git(tmp_path, "checkout", "-q", ".")
    return tmp_path, diff


def test_apply_a_git_diff_and_reverse_it(repo):
    folder, diff = repo
    code, out, err = run("apply", "--dry-run", stdin=diff, cwd=folder)
    assert (code, err) == (0, "") and "would edit app.py: 1 hunk, line 5 (strategy simple)" in out
    assert files(folder) == ORIGINAL
    code, out, err = run("apply", stdin=diff, cwd=folder)
    assert (code, err) == (0, "")
    assert out.startswith("edited app.py: 1 hunk, line 5 (strategy simple)\n--- app.py\n+++ app.py\n")
    assert "edited util/text.py: 1 hunk, line 2 (strategy simple)" in out
    assert files(folder) == EDITED
    code, out, err = run("apply", "-R", stdin=diff, cwd=folder)
    assert (code, err) == (0, "") and files(folder) == ORIGINAL
    assert git(folder, "status", "--porcelain") == ""


def test_apply_diff_json(repo):
    folder, diff = repo
    broken = diff.replace("-    return text.upper()", "-    return text.lower().strip()")
    code, out, err = run("apply", "--json", stdin=broken, cwd=folder)
    doc = json.loads(out)
    assert code == 1 and err == ""
    assert (doc["format"], doc["atomic"], doc["ok"]) == ("diff", False, False)
    summary = [(f["path"], f["ok"], f["format"], f["error_type"], f["failed_hunk"]) for f in doc["files"]]
    assert summary == [
        ("app.py", True, "diff", None, None),
        ("util/text.py", False, "diff", "not_found", "@@ -1,2 +1,2 @@"),
    ]
    failed = doc["files"][1]
    assert failed["failed_block"] == failed["blocks"][0] and "old_string" not in failed["message"]
    assert files(folder) == dict(ORIGINAL, **{"app.py": EDITED["app.py"]})


def test_apply_atomic_writes_nothing_when_one_hunk_fails(repo):
    folder, diff = repo
    broken = diff.replace("-    return text.upper()", "-    return text.lower().strip()")
    code, out, err = run("apply", "--atomic", stdin=broken, cwd=folder)
    assert (code, out) == (1, "")
    assert "util/text.py: not applied (hunk 1 of 1, '@@ -1,2 +1,2 @@' at patch line " in err
    assert "--atomic: nothing written; placed but held back: app.py" in err
    assert files(folder) == ORIGINAL
    code, out, _ = run("apply", "--atomic", "--json", stdin=broken, cwd=folder)
    assert [f["error_type"] for f in json.loads(out)["files"]] == ["held_back", "not_found"]


def test_apply_decorated_paths_and_prose(tmp_path):
    (tmp_path / "app.py").write_text(ORIGINAL["app.py"])
    patch = f"### app.py\n```python\n{S}\n    return s\n{D}\n    return -s\n{R}\n```\n"
    code, out, err = run("apply", stdin=patch, cwd=tmp_path)
    assert (code, err) == (0, "") and out.startswith("edited app.py: 1 block, line 5")
    assert sorted(os.listdir(tmp_path)) == ["app.py"]
    prose = f"Here is the new helper module:\n```python\n{S}\n{D}\ndef f():\n    pass\n{R}\n```\n"
    code, out, err = run("apply", stdin=prose, cwd=tmp_path)
    assert (code, out) == (2, "")
    assert "patch line 1: 'Here is the new helper module:' is taken as the file path" in err
    assert sorted(os.listdir(tmp_path)) == ["app.py"]


@pytest.mark.parametrize(
    "args",
    [
        ["--old", "-v", "--new", "--verbose"],
        ["--new", "--verbose", "--old", "-v"],
        ["--old=-v", "--new=--verbose"],
    ],
)
def test_edit_values_that_start_with_a_dash(tmp_path, args):
    (tmp_path / "cmd.sh").write_text("run -v\n")
    code, out, err = run("edit", "cmd.sh", *args, cwd=tmp_path)
    assert (code, err) == (0, ""), out
    assert (tmp_path / "cmd.sh").read_text() == "run --verbose\n"
