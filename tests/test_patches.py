"""Unified diffs and whole patches: real diffs of real edits, damaged the way models damage them.

The diffs are made by ``git diff`` and ``diff -u`` on temporary repositories, then damaged one
kind of damage at a time (line numbers, counts, context lines missing, invented or without their
leading space, hunks out of order, prefixes, fences, CR LF) and applied; the files must come out
as the edit made them. Also: ``atomic`` leaves every file untouched when one hunk fails (and
restores the files written when a later write fails), ``reverse`` restores the original, a file
is deleted only when it holds what the diff says, decorated paths of blocks, the reports, and the
parser on generated diffs (hypothesis).
"""

import difflib
import os
import re
import shutil
import subprocess
import tempfile

import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st

from brindle_search import apply_patch
from brindle_search.blocks import apply_blocks
from brindle_search.diff_parser import parse_diff
from brindle_search.errors import EditError
from brindle_search.patch_paths import clean_path, path_problem
from brindle_search.patches import detect_format, for_format

S, D, R = "<<<<<<< SEARCH", "=======", ">>>>>>> REPLACE"

HELPERS = "".join(f"def f{i}(x):\n    y = x + {i}\n    return y\n\n\n" for i in range(12))
ORIGINAL = {
    "pkg/helpers.py": HELPERS,
    "pkg/other.py": "import os\n\nVALUE = 1\n\n\ndef main():\n    print(VALUE)\n",
    "docs/notes.txt": "first\nsecond\nthird\n",
}
EDITED = {
    "pkg/helpers.py": HELPERS.replace("    y = x + 2\n", "    y = x * 2\n").replace(
        "def f9(x):\n    y = x + 9\n", "def f9(x):\n    # nine\n    y = x + 9\n"
    ),
    "pkg/other.py": ORIGINAL["pkg/other.py"].replace("VALUE = 1", "VALUE = 2"),
    "docs/notes.txt": "first\nsecond\nthird\n",
}


def git(folder, *args, **kw):
    return subprocess.run(
        ["git", "-c", "user.email=t@example.com", "-c", "user.name=t", "-c", "core.autocrlf=false", *args],
        cwd=folder,
        check=True,
        capture_output=True,
        text=True,
        **kw,
    ).stdout


def write_tree(folder, files):
    for path, text in files.items():
        target = folder / path
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(text.encode("utf-8"))


def read_tree(folder):
    out = {}
    for dirpath, dirnames, filenames in os.walk(folder):
        dirnames[:] = [d for d in dirnames if d != ".git"]
        for name in filenames:
            path = os.path.join(dirpath, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, folder).replace(os.sep, "/")] = f.read().decode("utf-8")
    return out


def make_repo(folder, files):
    """A git repository holding `files`, committed."""
    folder.mkdir(parents=True, exist_ok=True)
    write_tree(folder, files)
    git(folder, "init", "-q")
    git(folder, "add", "-A")
    git(folder, "commit", "-qm", "original")
    return folder


def git_diff(folder, edited, *options):
    """The `git diff` of the edit that turns the committed files into `edited` (the working tree
    is put back afterwards)."""
    for path in read_tree(folder):
        if path not in edited:
            os.unlink(folder / path)
    write_tree(folder, edited)
    git(folder, "add", "-A")
    diff = git(folder, "diff", "--cached", *options)
    git(folder, "reset", "-q", "--hard")
    git(folder, "clean", "-qfd")
    return diff


@pytest.fixture
def repo(tmp_path):
    return make_repo(tmp_path / "repo", ORIGINAL)


# --- damage a model does to a diff --------------------------------------------------------------

_HEADER = re.compile(r"^@@ -(\d+)(?:,(\d+))? \+(\d+)(?:,(\d+))? @@(.*)$", re.M)


def shift_numbers(diff):
    return _HEADER.sub(lambda m: f"@@ -{int(m[1]) + 7},{m[2]} +{int(m[3]) + 5},{m[4]} @@{m[5]}", diff)


def wrong_counts(diff):
    return _HEADER.sub(lambda m: f"@@ -{m[1]},{int(m[2] or 1) + 3} +{m[3]},1 @@{m[5]}", diff)


def no_numbers(diff):
    return _HEADER.sub("@@ ... @@", diff)


def bare_headers(diff):
    return _HEADER.sub("@@", diff)


def context_without_space(diff):
    return "\n".join(line[1:] if line.startswith(" ") else line for line in diff.split("\n"))


def blank_context_emptied(diff):
    return "\n".join("" if line == " " else line for line in diff.split("\n"))


def missing_context(diff):
    out, drop = [], False
    for line in diff.split("\n"):
        if line.startswith("@@"):
            drop = True
        elif drop and line.startswith(" ") and line.strip():
            drop = False
            continue
        out.append(line)
    return "\n".join(out)


def invented_context(diff):
    out = []
    for line in diff.split("\n"):
        out.append(line)
        if line.startswith("@@"):
            out.append(" # a line the model made up")
    return "\n".join(out)


def invented_inner_context(diff):
    out = []
    for line in diff.split("\n"):
        if line.startswith(("-", "+")) and not line.startswith(("---", "+++")) and out[-1].startswith(" "):
            out.append(" # a line the model made up")
        out.append(line)
    return "\n".join(out)


def hunks_out_of_order(diff):
    files = re.split(r"(?m)^(?=diff --git )", diff)
    out = []
    for part in files:
        pieces = re.split(r"(?m)^(?=@@)", part)
        out.append(pieces[0] + "".join(reversed(pieces[1:])))
    return "".join(out)


def no_prefixes(diff):
    return re.sub(r"(?m)^(---|\+\+\+) [ab]/", r"\1 ", re.sub(r"(?m)^diff --git .*\n", "", diff))


def only_file_headers(diff):
    return "".join(
        line for line in diff.splitlines(keepends=True) if not line.startswith(("diff --git", "index "))
    )


def fenced_in_prose(diff):
    return f"Here is the change:\n\n```diff\n{diff}```\n\nIt renames nothing.\n"


def crlf_patch(diff):
    return diff.replace("\n", "\r\n")


def headerless_hunks(diff):
    """Each file as its path on a line, then a fence holding only its hunks."""
    out = []
    for part in re.split(r"(?m)^(?=diff --git )", diff):
        if not part:
            continue
        path = re.search(r"(?m)^\+\+\+ b/(.*)$", part).group(1)
        hunks = part[part.index("\n@@") + 1 :]
        out.append(f"**{path}**\n```diff\n{hunks}```\n\n")
    return "".join(out)


def tabs_for_timestamps(diff):
    return re.sub(r"(?m)^(---|\+\+\+) (\S+)$", r"\1 \2\t2024-01-01 10:00:00.000000000 +0100", diff)


DAMAGE = [
    shift_numbers,
    wrong_counts,
    no_numbers,
    bare_headers,
    context_without_space,
    blank_context_emptied,
    missing_context,
    invented_context,
    invented_inner_context,
    hunks_out_of_order,
    no_prefixes,
    only_file_headers,
    fenced_in_prose,
    crlf_patch,
    headerless_hunks,
    tabs_for_timestamps,
]


def test_git_diff_applies(repo):
    diff = git_diff(repo, EDITED)
    assert detect_format(diff) == "diff"
    report = apply_patch(diff, repo)
    assert report.ok, [f.report() for f in report.files]
    assert [(f.path, f.format, len(f.blocks)) for f in report.files] == [
        ("pkg/helpers.py", "diff", 2),
        ("pkg/other.py", "diff", 1),
    ]
    assert read_tree(repo) == EDITED
    assert git(repo, "status", "--porcelain") == " M pkg/helpers.py\n M pkg/other.py\n"


@pytest.mark.parametrize("damage", DAMAGE, ids=lambda f: f.__name__)
def test_damaged_git_diff_applies(repo, damage):
    diff = git_diff(repo, EDITED)
    damaged = damage(diff)
    assert damaged != diff
    report = apply_patch(damaged, repo)
    assert report.ok, [f.report() for f in report.files] + [str(e) for e in report.errors]
    assert read_tree(repo) == EDITED


def test_invented_context_is_named_in_repairs(repo):
    report = apply_patch(invented_context(git_diff(repo, EDITED)), repo)
    repairs = [r for f in report.files for r in f.result.repairs]
    assert any("left out 1 context line that the file does not have" in r for r in repairs), repairs


@pytest.mark.parametrize("damage", [None, context_without_space, shift_numbers], ids=str)
def test_diff_u_of_two_trees(tmp_path, damage):
    """`diff -ru old new`: each path has its tree's folder in front; the project is the root."""
    write_tree(tmp_path / "old", ORIGINAL)
    write_tree(tmp_path / "new", EDITED)
    proc = subprocess.run(["diff", "-ru", "old", "new"], cwd=tmp_path, capture_output=True, text=True)
    diff = proc.stdout if damage is None else damage(proc.stdout)
    assert "--- old/pkg/helpers.py\t" in proc.stdout
    report = apply_patch(diff, tmp_path / "old")
    assert report.ok, [f.report() for f in report.files]
    assert read_tree(tmp_path / "old") == EDITED


def test_diff_u_of_one_file_under_another_name(tmp_path):
    (tmp_path / "a.py.orig").write_text(ORIGINAL["pkg/other.py"])
    (tmp_path / "a.py").write_text(EDITED["pkg/other.py"])
    diff = subprocess.run(["diff", "-u", "a.py.orig", "a.py"], cwd=tmp_path, capture_output=True, text=True)
    (tmp_path / "a.py").write_text(ORIGINAL["pkg/other.py"])
    os.unlink(tmp_path / "a.py.orig")
    report = apply_patch(diff.stdout, tmp_path)
    assert report.ok and report.files[0].path == "a.py"
    assert (tmp_path / "a.py").read_text() == EDITED["pkg/other.py"]


def test_zero_context_hunks(repo):
    diff = git_diff(repo, EDITED, "-U0")
    assert "@@ -46,0 +47 @@ def f9(x):" in diff  # an insertion: nothing but its line number places it
    report = apply_patch(diff, repo)
    assert report.ok, [f.report() for f in report.files]
    assert read_tree(repo) == EDITED


def test_a_hunk_among_equal_places_goes_where_its_header_says(tmp_path):
    same = "def handler(event):\n    log(event)\n    return None\n\n"
    original = {"h.py": same * 6}
    edited = {"h.py": same * 3 + same.replace("None", "event") + same * 2}
    folder = make_repo(tmp_path / "r", original)
    diff = git_diff(folder, edited, "-U1")
    for damaged in (diff, _HEADER.sub(lambda m: f"@@ -{int(m[1]) + 1},{m[2]} +{m[3]},{m[4]} @@", diff)):
        assert apply_patch(damaged, folder).ok
        assert read_tree(folder) == edited
        write_tree(folder, original)


def test_no_newline_at_end_of_file(tmp_path):
    original = {"a.txt": "one\ntwo\nthree", "b.txt": "keep\nlast\n"}
    edited = {"a.txt": "one\ntwo\nTHREE", "b.txt": "keep\nlast"}
    folder = make_repo(tmp_path / "r", original)
    diff = git_diff(folder, edited)
    assert diff.count("\\ No newline at end of file") == 3
    assert apply_patch(diff, folder).ok
    assert read_tree(folder) == edited
    assert apply_patch(diff, folder, reverse=True).ok
    assert read_tree(folder) == original


def test_crlf_files_keep_their_line_ends(tmp_path):
    original = {"w.txt": "a\r\nb\r\nc\r\n"}
    folder = make_repo(tmp_path / "r", original)
    patch = "--- a/w.txt\n+++ b/w.txt\n@@ -1,3 +1,3 @@\n a\n-b\n+B\n c\n"
    assert apply_patch(patch, folder).ok
    assert (folder / "w.txt").read_bytes() == b"a\r\nB\r\nc\r\n"


# --- new, deleted and renamed files; reverse -----------------------------------------------------

CHANGED = {
    "pkg/helpers.py": EDITED["pkg/helpers.py"],
    "pkg/other.py": EDITED["pkg/other.py"],
    "pkg/new_module.py": "def fresh():\n    return True\n",
    "docs/renamed.txt": "first\nsecond\nthird\nfourth\n",  # docs/notes.txt renamed and edited
}


def test_new_deleted_and_renamed_files_and_back(tmp_path):
    original = dict(ORIGINAL, **{"old.cfg": "[x]\na = 1\n"})
    folder = make_repo(tmp_path / "r", original)
    os.chmod(folder / "docs" / "notes.txt", 0o755)
    git(folder, "add", "-A")
    git(folder, "commit", "-qm", "mode")
    diff = git_diff(folder, CHANGED, "-M")
    assert "rename from docs/notes.txt" in diff and "+++ /dev/null" in diff and "--- /dev/null" in diff
    report = apply_patch(diff, folder)
    assert report.ok, [f.report() for f in report.files]
    by_path = {f.path: f for f in report.files}
    assert by_path["pkg/new_module.py"].created
    assert by_path["old.cfg"].deleted
    assert by_path["docs/renamed.txt"].renamed_from == "docs/notes.txt"
    assert read_tree(folder) == CHANGED
    assert os.stat(folder / "docs" / "renamed.txt").st_mode & 0o777 == 0o755
    assert not (folder / "docs" / "notes.txt").exists()

    back = apply_patch(diff, folder, reverse=True)
    assert back.ok, [f.report() for f in back.files]
    assert read_tree(folder) == original
    assert git(folder, "status", "--porcelain") == ""


def test_reverse_of_a_diff_on_the_original_is_already_applied(repo):
    report = apply_patch(git_diff(repo, EDITED), repo, reverse=True)
    assert [f.error_type for f in report.files] == ["already_applied", "already_applied"]
    assert read_tree(repo) == ORIGINAL


@pytest.mark.parametrize(
    "content, deleted",
    [
        pytest.param("[x]\na = 1\n", True, id="as the diff says"),
        pytest.param("[x]  \na = 1", True, id="but for trailing blanks and the last line feed"),
        pytest.param("[x]\na = 1\nb = 2\n", False, id="a line the diff does not show"),
        pytest.param("[y]\nz = 3\n", False, id="other content"),
    ],
)
def test_a_file_is_deleted_only_when_it_holds_what_the_diff_says(tmp_path, content, deleted):
    (tmp_path / "old.cfg").write_text(content)
    patch = "--- a/old.cfg\n+++ /dev/null\n@@ -1,2 +0,0 @@\n-[x]\n-a = 1\n"
    report = apply_patch(patch, tmp_path)
    assert report.ok == deleted
    assert (tmp_path / "old.cfg").exists() != deleted
    if not deleted:
        assert report.files[0].error_type == "refused"
        assert "it was not deleted" in report.files[0].message


@pytest.mark.parametrize(
    "patch, error",
    [
        pytest.param("--- /dev/null\n+++ b/a.py\n@@ -0,0 +1 @@\n+x = 1\n", "file_exists", id="create over"),
        pytest.param("--- /dev/null\n+++ b/a.py\n@@ -0,0 +1 @@\n+a = 0\n", "already_applied", id="created"),
        pytest.param("--- a/gone.py\n+++ /dev/null\n@@ -1 +0,0 @@\n-x\n", "io_error", id="delete missing"),
        pytest.param("--- a/gone.py\n+++ b/gone.py\n@@ -1 +1 @@\n-x\n+y\n", "io_error", id="edit missing"),
    ],
)
def test_files_that_are_not_as_the_diff_expects(tmp_path, patch, error):
    (tmp_path / "a.py").write_text("a = 0\n")
    report = apply_patch(patch, tmp_path)
    assert [f.error_type for f in report.files] == [error]
    assert read_tree(tmp_path) == {"a.py": "a = 0\n"}


def test_new_file_written_as_a_diff_of_an_empty_one(tmp_path):
    patch = "--- a/pkg/fresh.py\n+++ b/pkg/fresh.py\n@@ -0,0 +1,2 @@\n+def f():\n+    pass\n"
    report = apply_patch(patch, tmp_path)
    assert report.ok and report.files[0].created
    assert (tmp_path / "pkg" / "fresh.py").read_text() == "def f():\n    pass\n"


def test_binary_change_is_refused(tmp_path):
    patch = "diff --git a/x.png b/x.png\nindex 1..2 100644\nBinary files a/x.png and b/x.png differ\n"
    report = apply_patch(patch, tmp_path)
    assert [f.error_type for f in report.files] == ["malformed"] and report.exit_code == 2


def test_reverse_blocks_undo_them_and_delete_what_they_created(tmp_path):
    (tmp_path / "a.py").write_text("x = 1\ny = 2\n")
    text = "\n".join(
        ["a.py", S, "x = 1", D, "x = 10", R, "new.py", S, D, "n = 1", R, "new.py", S, "n = 1", D, "n = 2", R]
    )
    assert apply_blocks(text, tmp_path).ok
    assert read_tree(tmp_path) == {"a.py": "x = 10\ny = 2\n", "new.py": "n = 2\n"}
    back = apply_blocks(text, tmp_path, reverse=True)
    assert back.ok, [f.report() for f in back.files]
    assert read_tree(tmp_path) == {"a.py": "x = 1\ny = 2\n"}


# --- all or nothing -------------------------------------------------------------------------------


def break_other_py(diff):
    """The hunk of pkg/other.py removes a line the file does not have."""
    return diff.replace("-VALUE = 1\n", "-VALUE = 'one' if DEBUG else 1\n")


@pytest.mark.parametrize("atomic", [False, True])
def test_atomic_leaves_every_file_untouched_when_one_hunk_fails(repo, atomic):
    diff = break_other_py(git_diff(repo, CHANGED, "-M"))
    report = apply_patch(diff, repo, atomic=atomic)
    errors = {f.path: f.error_type for f in report.files}
    assert errors["pkg/other.py"] in ("not_found", "refused")
    assert report.exit_code == 1
    if atomic:
        assert read_tree(repo) == ORIGINAL
        assert {e for p, e in errors.items() if p != "pkg/other.py"} == {"held_back"}
        assert not any(f.written for f in report.files)
    else:
        assert read_tree(repo) == dict(CHANGED, **{"pkg/other.py": ORIGINAL["pkg/other.py"]})


def test_atomic_dry_run_writes_nothing_and_says_what_would_fail(repo):
    report = apply_patch(break_other_py(git_diff(repo, EDITED)), repo, atomic=True, dry_run=True)
    assert [f.error_type for f in report.files] == ["held_back", "refused"]
    assert read_tree(repo) == ORIGINAL


def test_atomic_restores_the_files_written_when_a_later_write_fails(repo, monkeypatch):
    from brindle_search import patches

    def failing_create(root, path, text, **kw):
        raise EditError(f"{path}: cannot create: disk full", path=path)

    monkeypatch.setattr(patches, "create_file", failing_create)
    before = {p: os.stat(repo / p).st_ino for p in ORIGINAL}
    report = apply_patch(git_diff(repo, CHANGED, "-M"), repo, atomic=True)
    assert not report.ok and report.exit_code == 2
    failed = [f for f in report.files if f.error_type not in ("held_back",)]
    assert [(f.error_type, "disk full" in f.message) for f in failed] == [("io_error", True)]
    assert read_tree(repo) == ORIGINAL  # the edits written first are written back
    assert all(os.stat(repo / p).st_ino != before[p] for p in ("pkg/helpers.py", "pkg/other.py"))


def test_without_atomic_a_rename_is_undone_when_removing_the_old_file_fails(repo, monkeypatch):
    from brindle_search import patches

    def failing_remove(doc):
        raise EditError(f"{doc.path}: cannot remove: busy", path=doc.path)

    monkeypatch.setattr(patches, "remove_document", failing_remove)
    moved = {p: t for p, t in ORIGINAL.items() if p != "docs/notes.txt"}
    moved["docs/moved.txt"] = ORIGINAL["docs/notes.txt"]
    diff = git_diff(repo, moved, "-M")
    assert "rename from docs/notes.txt" in diff
    report = apply_patch(diff, repo)
    assert [(f.path, f.error_type) for f in report.files] == [("docs/moved.txt", "io_error")]
    assert read_tree(repo) == ORIGINAL  # the new file made for the rename is removed again


# --- reports --------------------------------------------------------------------------------------


def test_a_hunk_not_placed_is_reported_with_its_header(repo):
    diff = git_diff(repo, EDITED)
    diff = diff.replace(
        " def f9(x):\n+", " def f9(x):\n-    assert isinstance(x, int), 'x must be an int'\n+"
    )
    report = apply_patch(diff, repo)
    failed = [f for f in report.files if not f.ok]
    assert len(failed) == 1
    text = failed[0].report()
    assert text.startswith(
        "pkg/helpers.py: not applied (hunk 2 of 2, '@@ -44,6 +44,7 @@ def f8(x):' at patch line "
    )
    assert failed[0].failed_hunk == "@@ -44,6 +44,7 @@ def f8(x):"
    assert "old_string" not in text and "new_string" not in text
    assert read_tree(repo)["pkg/helpers.py"] == ORIGINAL["pkg/helpers.py"]


def test_block_reports_give_advice_for_blocks(tmp_path):
    (tmp_path / "a.py").write_text("x = 1\ny = 2\nx = 1\n")
    report = apply_blocks("\n".join(["a.py", S, "x = 1", D, "x = 3", R]), tmp_path)
    message = report.files[0].message
    assert report.files[0].error_type == "multiple_matches"
    assert "replace_all" not in message and "line_hint" not in message and "old_string" not in message
    assert "SEARCH part" in message


@pytest.mark.parametrize(
    "message, fmt, expected",
    [
        ("matched lines 20-20, but", "blocks", "matched line 20, but"),
        ("lines 20-21 and lines 3-3", "diff", "lines 20-21 and line 3"),
        ("only 1 of the 1 lines; 11 lines", "blocks", "only 1 of the 1 line; 11 lines"),
        ("old_string and new_string must be different", "blocks",
         "the SEARCH and REPLACE parts are the same"),
        ("old_string is not in the text, but new_string is", "diff",
         "the hunk's old side (its context and '-' lines) is not in the text, but the hunk's new side "
         "(its context and '+' lines) is"),
    ],
)  # fmt: skip
def test_messages_in_the_terms_of_the_format(message, fmt, expected):
    assert for_format(message, fmt) == expected


# --- paths ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "line",
    [
        "pkg/helpers.py",
        "### pkg/helpers.py",
        "`pkg/helpers.py`",
        "**pkg/helpers.py**",
        "**`pkg/helpers.py`**:",
        "File: pkg/helpers.py",
        "pkg/helpers.py:",
        '"pkg/helpers.py"',
        "- `pkg/helpers.py`",
    ],
)
def test_decorated_block_paths(tmp_path, line):
    write_tree(tmp_path, ORIGINAL)
    text = f"{line}\n```python\n{S}\n    y = x + 2\n{D}\n    y = x * 2\n{R}\n```\n"
    report = apply_blocks(text, tmp_path)
    assert report.ok and [f.path for f in report.files] == ["pkg/helpers.py"]
    assert read_tree(tmp_path)["pkg/helpers.py"] == HELPERS.replace("x + 2", "x * 2")
    assert sorted(os.listdir(tmp_path)) == ["docs", "pkg"]


@pytest.mark.parametrize(
    "line",
    [
        "Here is the fix for the helper:",
        "Now the second change.",
        "### Changes to pkg/helpers.py",
        "Edit pkg/x.py",
    ],
)
def test_prose_before_a_block_is_an_error_naming_the_line(tmp_path, line):
    text = f"Intro.\n\n{line}\n```python\n{S}\n{D}\nx = 1\n{R}\n```\n"
    report = apply_blocks(text, tmp_path)
    assert report.exit_code == 2 and not report.files
    (error,) = report.errors
    assert error.line == 3 and repr(line.strip()) in error.message
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(
    "line, path, problem",
    [
        ("notes 2.txt", "notes 2.txt", None),
        ("`My Folder/a b.txt`", "My Folder/a b.txt", None),
        ('"a/caf\\303\\251.py"', "a/café.py", None),
        ("file:///etc/passwd", "file:///etc/passwd", None),  # refused later as a URL
        ("Some words here", "Some words here", "blanks"),
        ("pkg/x.py.", "pkg/x.py.", "ends in"),
        ("> quoted", "> quoted", "blanks"),
    ],
)
def test_clean_path(line, path, problem):
    found = clean_path(line)
    assert found.path == path
    reason = path_problem(found)
    assert (reason is None) if problem is None else (problem in reason)


# --- the parser ------------------------------------------------------------------------------------


def test_parse_git_headers():
    text = (
        "diff --git a/a b.txt b/a b.txt\nnew file mode 100644\nindex 0000000..1111111\n"
        "--- /dev/null\n+++ b/a b.txt\t\n@@ -0,0 +1 @@\n+x\n"
        "diff --git a/old.py b/new.py\nsimilarity index 100%\nrename from old.py\nrename to new.py\n"
        "diff --git a/c.txt b/c.txt\ndeleted file mode 100644\n"
    )
    files = parse_diff(text).files
    assert [(f.old_path, f.new_path, f.rename, len(f.hunks)) for f in files] == [
        (None, "a b.txt", False, 1),
        ("old.py", "new.py", True, 0),
        ("c.txt", None, False, 0),
    ]


def test_parse_stops_hunks_where_they_end():
    text = "\n".join(
        [
            "--- a/x.sql",
            "+++ b/x.sql",
            "@@ -1,3 +1,3 @@",
            " select 1;",
            "--- a comment, removed",
            "+-- a comment",
            " select 2;",
            "",
            "Prose after a complete hunk.",
            "- a bullet of prose",
        ]
    )
    (f,) = parse_diff(text).files
    (hunk,) = f.hunks
    assert hunk.old == "select 1;\n-- a comment, removed\nselect 2;\n"
    assert hunk.new == "select 1;\n-- a comment\nselect 2;\n"


def test_hunk_without_a_file_is_an_error_that_stops_the_patch(tmp_path):
    report = apply_patch("Some prose here.\n@@ -1 +1 @@\n-a\n+b\n", tmp_path)
    assert report.exit_code == 2 and "has no file" in report.errors[0].message


_LINE = st.sampled_from(["a", "b", "x = 1", "", "def f():", "    return 2", "}", "# c"])


def _unified(a, b, n):
    return "".join(difflib.unified_diff(a, b, "a/f.txt", "b/f.txt", n=n))


def _apply_by_numbers(a, hunks):
    """The new lines from the old ones and the parsed hunks, trusting their numbers."""
    out, pos = [], 0
    for h in hunks:
        start = h.old_start - 1 if h.old_count else h.old_start
        out.extend(a[pos:start])
        out.extend(d.text for d in h.lines if d.kind != "-")
        pos = start + h.old_count
    return out + a[pos:]


@given(st.lists(_LINE, max_size=30), st.lists(_LINE, max_size=30), st.integers(0, 3))
@settings(max_examples=300, deadline=None)
def test_parse_generated_diffs(a_lines, b_lines, n):
    a = [line + "\n" for line in a_lines]
    b = [line + "\n" for line in b_lines]
    diff = _unified(a, b, n)
    assume(diff)
    parsed = parse_diff(diff)
    assert parsed.errors == []
    (f,) = parsed.files
    for h in f.hunks:
        first = h.old_start - 1 if h.old_count else h.old_start
        assert h.old == "".join(a[first : first + h.old_count])
        first = h.new_start - 1 if h.new_count else h.new_start
        assert h.new == "".join(b[first : first + h.new_count])
    assert _apply_by_numbers(a, f.hunks) == b
    assert _apply_by_numbers(b, f.reversed().hunks) == a
    # Empty context lines written without their space ("trailing blanks removed") read the same,
    # and so do hunks whose headers count their lines wrong.
    stripped = parse_diff("\n".join(line.rstrip(" ") for line in diff.split("\n")))
    assert [(h.old, h.new) for h in stripped.files[0].hunks] == [(h.old, h.new) for h in f.hunks]
    miscounted = parse_diff(_HEADER.sub(lambda m: f"@@ -{m[1]},{n} +{m[3]},{n + 2} @@", diff))
    assert [(h.old, h.new) for h in miscounted.files[0].hunks] == [(h.old, h.new) for h in f.hunks]


_UNIQUE = st.lists(st.integers(0, 60), unique=True, max_size=25).map(lambda ns: [f"line {k}\n" for k in ns])


@given(_UNIQUE, _UNIQUE, st.integers(0, 3), st.integers(-3, 3), st.booleans())
@settings(max_examples=60, deadline=None)
def test_generated_diffs_apply_with_damaged_numbers_and_context(a, b, n, shift, drop_spaces):
    diff = _unified(a, b, n)
    assume(diff and a)
    if n:  # (a hunk without context lines has nothing but its numbers to be placed by)
        diff = _HEADER.sub(lambda m: f"@@ -{max(0, int(m[1]) + shift)},{m[2] or 1} +{m[3]} @@", diff)
    if drop_spaces:
        diff = context_without_space(diff)
    folder = tempfile.mkdtemp()
    try:
        with open(os.path.join(folder, "f.txt"), "w") as f:
            f.write("".join(a))
        report = apply_patch(diff, folder)
        assert report.ok, [x.report() for x in report.files]
        with open(os.path.join(folder, "f.txt")) as f:
            assert f.read() == "".join(b)
    finally:
        shutil.rmtree(folder)


@pytest.mark.parametrize(
    "text, fmt",
    [
        ("a.py\n<<<<<<< SEARCH\n=======\nx\n>>>>>>> REPLACE\n", "blocks"),
        ("--- a/x\n+++ b/x\n@@ -1 +1 @@\n-a\n+b\n", "diff"),
        ("diff --git a/x b/x\ndeleted file mode 100644\n", "diff"),
        ("just prose\n", "blocks"),
        # A block whose text holds a diff is a block.
        ("a.py\n<<<<<<< SEARCH\n--- a/x\n+++ b/x\n=======\n@@ -1 +1 @@\n>>>>>>> REPLACE\n", "blocks"),
    ],
)
def test_detect_format(text, fmt):
    assert detect_format(text) == fmt


def test_no_descriptor_stays_open(tmp_path, monkeypatch):
    from brindle_search import patches

    folder = make_repo(tmp_path / "r", dict(ORIGINAL, **{"old.cfg": "[x]\na = 1\n"}))
    diff = git_diff(folder, CHANGED, "-M")
    broken = break_other_py(diff)

    def count():
        return len(os.listdir("/proc/self/fd"))

    def rounds():
        for atomic in (False, True):
            for dry_run in (False, True):
                apply_patch(diff, folder, atomic=atomic, dry_run=dry_run)
                apply_patch(diff, folder, atomic=atomic, dry_run=dry_run, reverse=True)
                apply_patch(broken, folder, atomic=atomic, dry_run=dry_run)
        apply_patch("--- a/nope.py\n+++ b/nope.py\n@@ -1 +1 @@\n-a\n+b\n", folder)

    rounds()
    before = count()
    rounds()

    def failing_create(root, path, text, **kw):
        raise EditError(f"{path}: cannot create", path=path)

    monkeypatch.setattr(patches, "create_file", failing_create)
    for atomic in (False, True):
        apply_patch(diff, folder, atomic=atomic)
    assert count() == before


_DIFFISH = st.sampled_from(
    [
        "--- a/x.py",
        "+++ b/x.py",
        "--- /dev/null",
        "+++ /dev/null",
        "diff --git a/x.py b/y.py",
        'diff --git "a/\\303\\251" "b/\\303\\251"',
        "rename from x.py",
        "rename to y.py",
        "new file mode 100644",
        "deleted file mode 100644",
        "GIT binary patch",
        "@@ -1,2 +1,3 @@",
        "@@ -0,0 +1 @@",
        "@@",
        " ctx",
        "-old",
        "+new",
        "\\ No newline at end of file",
        "",
        "```diff",
        "```",
        "prose",
        "### pkg/x.py",
    ]
)


@given(st.lists(_DIFFISH, max_size=25))
@settings(max_examples=80, deadline=None)  # each example writes and fsyncs files
def test_any_diffish_text_is_read_or_reported(lines):
    text = "\n".join(lines)
    parsed = parse_diff(text)
    for f in parsed.files:
        assert f.old_path is not None or f.new_path is not None
        assert all(h.line >= 1 for h in f.hunks)
    assert all(e.line >= 1 for e in parsed.errors)
    folder = tempfile.mkdtemp()
    try:
        with open(os.path.join(folder, "x.py"), "w") as f:
            f.write("ctx\nold\n")
        for atomic in (False, True):
            report = apply_patch(text, folder, atomic=atomic, reverse=atomic)
            assert report.exit_code in (0, 1, 2)
            report.to_dict()
    finally:
        shutil.rmtree(folder)
