"""The installed ``brindle-search`` console script, run in a subprocess on files in a temporary folder.

Every command with its plain and ``--json`` output, every exit code, usage errors, CR LF files,
patches with malformed blocks, paths that leave the root and empty SEARCH parts that create
files; ``locate`` is checked to answer each line before its input has ended, and the colour and
the live status line are checked on a pseudo-terminal.
"""

import json
import os
import pty
import select
import subprocess
import sys
import time

import pytest

SCRIPT = os.path.join(os.path.dirname(sys.executable), "brindle-search")

EDIT_KEYS = [
    "ok", "path", "strategy", "start_line", "end_line", "replacements", "repairs", "diff",
    "error_type", "message", "closest_match", "locations", "written", "dry_run",
]  # fmt: skip
APPLY_FILE_KEYS = [
    "path", "ok", "created", "written", "blocks", "failed_block", "strategy", "start_line", "end_line",
    "replacements", "repairs", "diff", "error_type", "message", "closest_match", "locations",
    "deleted", "renamed_from", "copied_from", "format", "failed_hunk",
]  # fmt: skip
S, D, R = "<<<<<<< SEARCH", "=======", ">>>>>>> REPLACE"

ENV = {k: v for k, v in os.environ.items() if k != "NO_COLOR"}


def run(*args, stdin=b"", cwd=None, env=None):
    assert os.path.exists(SCRIPT), f"console script not installed: {SCRIPT}"
    if isinstance(stdin, str):
        stdin = stdin.encode("utf-8")
    proc = subprocess.run(
        [SCRIPT, *map(str, args)], input=stdin, capture_output=True, cwd=cwd, env=env or ENV, timeout=120
    )
    return proc.returncode, proc.stdout.decode("utf-8"), proc.stderr.decode("utf-8")


def run_json(*args, **kw):
    code, out, err = run(*args, "--json", **kw)
    return code, json.loads(out), err


def run_on_terminal(*args, stdin=b"", env=None):
    """Run with standard output on a pseudo-terminal; returns (exit code, everything written)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen(
        [SCRIPT, *map(str, args)], stdin=subprocess.PIPE, stdout=slave, stderr=subprocess.PIPE, env=env or ENV
    )
    os.close(slave)
    proc.stdin.write(stdin)
    proc.stdin.close()
    chunks = []
    while True:
        ready, _, _ = select.select([master], [], [], 60)
        assert ready, "no output from the terminal"
        try:
            data = os.read(master, 65536)
        except OSError:  # the other side closed
            break
        if not data:
            break
        chunks.append(data)
    os.close(master)
    return proc.wait(timeout=60), b"".join(chunks).decode("utf-8").replace("\r\n", "\n")


def patch(*lines):
    return "\n".join(lines) + "\n"


@pytest.fixture
def work(tmp_path):
    (tmp_path / "app.py").write_text("def f():\n    x = 1\n    return x\n")
    return tmp_path


# --- help and usage ---------------------------------------------------------------------------


@pytest.mark.parametrize("command", [[], ["edit"], ["apply"], ["rank"], ["locate"]])
def test_help_ends_with_an_example(command):
    code, out, _ = run(*command, "--help")
    assert code == 0
    lines = out.rstrip("\n").split("\n")
    assert "example:" in lines[-4:] or "example:" in lines[-3:]
    assert lines[-1].startswith("  ") and "brindle-search " in lines[-1]


def test_python_dash_m():
    proc = subprocess.run(
        [sys.executable, "-m", "brindle_search", "rank", "fb", "--scores"],
        input=b"foobar\nFooBar\n",
        capture_output=True,
        timeout=60,
    )
    assert (proc.returncode, proc.stdout) == (0, b"16\tFooBar\n6\tfoobar\n")


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "required"),
        (["edit", "app.py", "--new", "y"], "--old"),
        (["edit", "app.py", "--old", "x", "--old-file", "f", "--new", "y"], "not allowed with"),
        (["edit", "app.py", "--old", "x", "--new", "y", "--min-similarity", "2"], "between 0 and 1"),
        (["edit", "app.py", "--old", "x", "--new", "y", "--encoding", "no-such-codec"], "unknown encoding"),
        (["edit", "app.py", "--old", "x", "--new", "y", "--strategies", "simple,bogus"], "bogus"),
        (["edit", "app.py", "--old", "x", "--new-file", "missing.txt"], "missing.txt"),
        (["edit", "app.py", "--old-file", "-", "--new-file", "-"], "both read standard input"),
        (["rank", "x", "--limit", "0"], "1 or more"),
        (["rank", "x", "--from", "missing.txt"], "missing.txt"),
        (["locate", "app.py", "--line-hint", "x"], "not an integer"),
        (["edit", "app.py", "--old", "x", "--new", "y", "--line-hint", str(2**32)], "below 2**32"),
        (["apply", "missing.patch"], "missing.patch"),
        (["apply", "--root", "no-such-dir"], "not a folder"),
    ],
)
def test_usage_errors_exit_2(work, args, message):
    code, out, err = run(*args, stdin=patch("app.py", S, "x", D, "y", R), cwd=work)
    assert code == 2
    assert message in err
    assert (work / "app.py").read_text() == "def f():\n    x = 1\n    return x\n"


# --- edit -------------------------------------------------------------------------------------


def test_edit_plain(work):
    code, out, err = run("edit", "app.py", "--old", "x = 1\nreturn x", "--new", "x = 2\nreturn x", cwd=work)
    assert (code, err) == (0, "")
    assert out.startswith("edited app.py: lines 2-3 (strategy line_trimmed)\nrepairs: reindented +4 spaces\n")
    assert "-    x = 1\n+    x = 2\n" in out and "\x1b[" not in out
    assert (work / "app.py").read_text() == "def f():\n    x = 2\n    return x\n"


def test_edit_dry_run_and_json(work):
    code, doc, err = run_json("edit", "app.py", "--old", "x = 1", "--new", "x = 3", "--dry-run", cwd=work)
    assert (code, err) == (0, "")
    assert list(doc) == EDIT_KEYS
    assert doc["ok"] and doc["dry_run"] and not doc["written"]
    assert (doc["strategy"], doc["start_line"], doc["end_line"], doc["replacements"]) == ("simple", 2, 2, 1)
    assert "+    x = 3" in doc["diff"]
    assert (work / "app.py").read_text() == "def f():\n    x = 1\n    return x\n"
    code, out, _ = run("edit", "app.py", "--old", "x = 1", "--new", "x = 3", "--dry-run", cwd=work)
    assert code == 0 and out.startswith("would edit app.py: line 2 (strategy simple)")


def test_edit_not_placed_exit_1(work):
    old = "def f():\n    x = 10\n    return y\n"  # two lines misremembered: not placed
    code, out, err = run("edit", "app.py", "--old", old, "--new", "pass\n", cwd=work)
    assert (code, out) == (1, "")
    assert "not_found" in err and "Search text not found" in err
    code, doc, _ = run_json("edit", "app.py", "--old", old, "--new", "pass\n", cwd=work)
    assert code == 1 and list(doc) == EDIT_KEYS
    assert (doc["ok"], doc["error_type"], doc["written"]) == (False, "not_found", False)
    assert doc["closest_match"]["start_line"] == 1 and doc["closest_match"]["similarity"] > 0.8
    code, doc, _ = run_json("edit", "app.py", "--old", "x = 1", "--new", "x = 1", cwd=work)
    assert (code, doc["error_type"]) == (1, "no_change")
    assert (work / "app.py").read_text() == "def f():\n    x = 1\n    return x\n"


@pytest.mark.parametrize(
    "content, message",
    [(None, "no such file"), (b"a\0b", "NUL byte at byte offset 1"), (b"\xffab", "byte offset 0")],
)
def test_edit_io_errors_exit_2(work, content, message):
    if content is not None:
        (work / "bad.py").write_bytes(content)
    code, out, err = run("edit", "bad.py", "--old", "a", "--new", "b", cwd=work)
    assert (code, out) == (2, "") and message in err
    code, doc, _ = run_json("edit", "bad.py", "--old", "a", "--new", "b", cwd=work)
    assert code == 2 and list(doc) == EDIT_KEYS
    assert (doc["ok"], doc["error_type"]) == (False, "io_error") and message in doc["message"]


def test_edit_crlf_file(work):
    (work / "w.py").write_bytes(b"def f():\r\n    x = 1\r\n    return x\r\n")
    code, _, err = run("edit", "w.py", "--old", "x = 1\nreturn x\n", "--new", "x = 2\nreturn x\n", cwd=work)
    assert code == 0, err
    assert (work / "w.py").read_bytes() == b"def f():\r\n    x = 2\r\n    return x\r\n"


def test_edit_options(work):
    (work / "m.py").write_bytes("a = 'é'\nb = 1\na = 'é'\n".encode("latin-1"))
    (work / "old.txt").write_text("a = 'é'")
    args = ["edit", "m.py", "--old-file", "old.txt", "--new-file", "-", "--encoding", "latin-1"]
    code, _, err = run(*args, "--line-hint", "3", stdin="a = 'ü'", cwd=work)
    assert code == 0, err
    assert (work / "m.py").read_bytes() == "a = 'é'\nb = 1\na = 'ü'\n".encode("latin-1")
    code, doc, _ = run_json(*args[:-2], "--replace-all", stdin="c = 0", cwd=work)
    assert (code, doc["error_type"]) == (2, "io_error")  # not UTF-8 without --encoding
    code, doc, _ = run_json(*args, "--replace-all", stdin="c = 0", cwd=work)
    assert (code, doc["replacements"]) == (0, 1)
    code, doc, _ = run_json("edit", "app.py", "--old", "x = 1", "--new", "  y = 1\n  y = 2", cwd=work)
    assert code == 0
    code, doc, _ = run_json("edit", "app.py", "--old", "return x", "--new", "return y", "--no-reindent",
                            "--strategies", "simple", cwd=work)  # fmt: skip
    assert (code, doc["strategy"]) == (0, "simple")
    code, doc, _ = run_json(
        "edit", "app.py", "--old", "RETURN Y", "--new", "z", "--strategies", "simple", cwd=work
    )
    assert code == 1


def test_edit_colour_only_on_a_terminal(work):
    args = ["edit", str(work / "app.py"), "--old", "x = 1", "--new", "x = 2", "--dry-run"]
    code, out = run_on_terminal(*args)
    assert code == 0
    assert "\x1b[31m-    x = 1\x1b[0m" in out and "\x1b[32m+    x = 2\x1b[0m" in out
    code, out = run_on_terminal(*args, env=dict(ENV, NO_COLOR="1"))
    assert code == 0 and "\x1b[" not in out and "+    x = 2" in out


# --- apply ------------------------------------------------------------------------------------


def test_apply_from_stdin_with_fences(work):
    text = (
        "Sure, here is the change:\n\napp.py\n```python\n"
        + patch(S, "    x = 1", D, "    x = 5", R)
        + "```\n"
    )
    code, out, err = run("apply", stdin=text, cwd=work)
    assert (code, err) == (0, "")
    assert out.startswith("edited app.py: 1 block, line 2 (strategy simple)\n")
    assert (work / "app.py").read_text() == "def f():\n    x = 5\n    return x\n"


def test_apply_json_files_each_on_their_own(work):
    (work / "b.py").write_bytes(b"one\r\ntwo\r\n")
    text = patch(
        "app.py", S, "x = 1", D, "x = 2", R,
        "app.py", S, "no such line", D, "y", R,
        "b.py", S, "two", D, "TWO", R,
        "pkg/new.py", S, D, "print('new')", R,
    )  # fmt: skip
    (work / "p.txt").write_text(text)
    code, doc, err = run_json("apply", "p.txt", "--dry-run", cwd=work)
    assert code == 1 and err == ""
    assert sorted(doc) == ["atomic", "dry_run", "errors", "files", "format", "ok"]
    assert doc["dry_run"] and not doc["ok"] and doc["format"] == "blocks"
    assert all(list(f) == APPLY_FILE_KEYS for f in doc["files"])
    summary = [(f["path"], f["ok"], f["error_type"], f["failed_block"], f["blocks"]) for f in doc["files"]]
    assert summary == [
        ("app.py", False, "not_found", 8, [2, 8]),
        ("b.py", True, None, None, [14]),
        ("pkg/new.py", True, None, None, [20]),
    ]
    assert not (work / "pkg").exists()
    code, out, err = run("apply", "p.txt", cwd=work)
    assert code == 1
    assert "app.py: not applied (block at patch line 8), nothing of it written [not_found]" in err
    assert "edited b.py" in out and "created pkg/new.py" in out
    assert (work / "app.py").read_text() == "def f():\n    x = 1\n    return x\n"
    assert (work / "b.py").read_bytes() == b"one\r\nTWO\r\n"
    assert (work / "pkg" / "new.py").read_text() == "print('new')\n"
    # The empty SEARCH part now names an existing file.
    code, doc, _ = run_json("apply", "p.txt", cwd=work)
    assert code == 1
    assert [(f["path"], f["error_type"]) for f in doc["files"]][2] == ("pkg/new.py", "file_exists")
    assert (work / "pkg" / "new.py").read_text() == "print('new')\n"


def test_apply_malformed_block_reported_by_line(work):
    text = patch("app.py", S, "x = 1", D, "x = 2", R, "", "other.py", S, "a", "b", R)
    code, out, err = run("apply", stdin=text, cwd=work)
    assert code == 2
    assert "other.py: not applied (malformed block), nothing of it written [malformed]" in err
    assert "line 12: '>>>>>>> REPLACE' before the '=======' divider" in err
    assert (work / "app.py").read_text() == "def f():\n    x = 2\n    return x\n"
    assert not (work / "other.py").exists()
    # A block whose file cannot be told: nothing at all is written.
    code, doc, _ = run_json("apply", stdin=patch("app.py", S, "x = 2", D, "x = 3", R, S, "x", D), cwd=work)
    assert code == 2 and doc["files"][0]["error_type"] == "malformed"
    code, doc, err = run_json(
        "apply", stdin=patch("app.py", S, "x = 2", D, "x = 3", R, "x", D, "y", R), cwd=work
    )
    assert code == 2
    assert doc["errors"] == [
        {"line": 10, "message": "'>>>>>>> REPLACE' without a '<<<<<<< SEARCH' line before it"}
    ]
    assert doc["files"][0]["error_type"] == "skipped"
    assert (work / "app.py").read_text() == "def f():\n    x = 2\n    return x\n"


@pytest.mark.parametrize("path", ["../escape.py", "/tmp/escape.py", "link/escape.py", "sub/../../escape.py"])
def test_apply_path_escaping_the_root(tmp_path, path):
    root = tmp_path / "root"
    root.mkdir()
    outside = tmp_path / "outside"
    outside.mkdir()
    os.symlink(outside, root / "link")
    if path.startswith("/"):
        path = str(tmp_path / "escape.py")
    code, out, err = run("apply", "--root", root, stdin=patch(path, S, D, "owned = True", R), cwd=root)
    assert (code, out) == (2, "")
    assert "[path_refused]" in err
    assert not (tmp_path / "escape.py").exists() and not (outside / "escape.py").exists()


def test_apply_version_control_folder_only_when_allowed(work):
    (work / ".git").mkdir()
    (work / ".git" / "config").write_text("[core]\n")
    text = patch(".git/config", S, "[core]", D, "[core]", "\tfsmonitor = touch owned", R)
    code, doc, _ = run_json("apply", stdin=text, cwd=work)
    assert code == 2 and doc["files"][0]["error_type"] == "path_refused"
    assert "--allow-vcs-dirs" in doc["files"][0]["message"]
    assert (work / ".git" / "config").read_text() == "[core]\n"
    code, out, err = run("apply", "--allow-vcs-dirs", stdin=text, cwd=work)
    assert (code, err) == (0, "") and out.startswith("edited .git/config: 1 block, lines 1-2")
    assert (work / ".git" / "config").read_text() == "[core]\n\tfsmonitor = touch owned\n"


def test_apply_nothing_to_do(work):
    code, out, err = run("apply", stdin="just prose, no blocks\n", cwd=work)
    assert (code, out) == (1, "") and "no edit blocks" in err
    code, doc, _ = run_json("apply", stdin="", cwd=work)
    assert (code, doc) == (
        1,
        {"ok": False, "dry_run": False, "files": [], "errors": [], "format": "blocks", "atomic": False},
    )


# --- rank -------------------------------------------------------------------------------------

CANDIDATES = "foobar\r\nFooBar\nfoo_bar\nxyz\nFooBar\n"


def test_rank(work):
    assert run("rank", "fb", stdin=CANDIDATES) == (0, "FooBar\nFooBar\nfoo_bar\nfoobar\n", "")
    assert run("rank", "fb", "--limit", "2", "--scores", stdin=CANDIDATES) == (
        0,
        "16\tFooBar\n16\tFooBar\n",
        "",
    )
    (work / "c.txt").write_text(CANDIDATES)
    code, doc, _ = run_json("rank", "fb", "--from", "c.txt", "--limit", "3", cwd=work)
    assert code == 0
    assert doc == {
        "pattern": "fb",
        "matches": [
            {"candidate": "FooBar", "score": 16, "line": 2},
            {"candidate": "FooBar", "score": 16, "line": 5},
            {"candidate": "foo_bar", "score": 15, "line": 3},
        ],
    }


def test_rank_nothing_and_bad_input():
    assert run("rank", "qq", stdin=CANDIDATES) == (1, "", "")
    code, doc, _ = run_json("rank", "qq", stdin=CANDIDATES)
    assert (code, doc) == (1, {"pattern": "qq", "matches": []})
    assert run("rank", "fb", stdin="")[0] == 1
    code, out, err = run("rank", "fb", stdin=b"\xef\xbb\xbfok\n\xff\n")
    assert code == 2 and "not valid UTF-8 at byte offset 6" in err
    assert run("rank", "ok", stdin=b"\xef\xbb\xbfok\n") == (0, "ok\n", "")


def _rank_plain(pattern, candidates, limit):
    """The ranking by way of ``get_best_matches``: (candidate, score, position), best first."""
    from collections import defaultdict, deque

    from brindle_search import get_best_matches

    positions = defaultdict(deque)
    for i, candidate in enumerate(candidates):
        positions[candidate].append(i)
    ranked = get_best_matches(pattern, list(candidates))
    if limit is not None:
        ranked = ranked[:limit]
    # The sort is stable, so equal candidates (equal scores) come out in input order.
    return [(candidate, score, positions[candidate].popleft()) for candidate, score in ranked]


def test_rank_plain_equals_extract_order():
    from brindle_search.cli import rank_candidates

    names = [f"{a}{b}_{c}" for a in ("foo", "Foo", "bar") for b in ("Bar", "baz", "") for c in range(3)] * 2
    for limit in (None, 1, 5, 100):
        assert rank_candidates("fb", names, limit) == _rank_plain("fb", names, limit)
        ranked = _rank_plain("fb", names, limit)
        assert all(names[k] == c for c, _, k in ranked)
        assert len({k for _, _, k in ranked}) == len(ranked)


# --- locate -----------------------------------------------------------------------------------

SOURCE = "import os\n\ndef f():\n    x = 1\n    return x\n\ndef g():\n    x = 1\n    return x\n"


@pytest.fixture
def src(tmp_path):
    path = tmp_path / "s.py"
    path.write_text(SOURCE)
    return path


def test_locate_plain_and_json(src):
    block = "def g():\n    x = 1\n    return x"
    assert run("locate", src, stdin=block) == (0, "line 7\nlines 7-8\nlines 7-9\n", "")
    code, out, _ = run("locate", src, "--json", stdin=block + "\n")
    assert code == 0
    assert [json.loads(line) for line in out.splitlines()] == [
        {"lines_read": 1, "located": True, "start_line": 7, "end_line": 7, "candidates": []},
        {"lines_read": 2, "located": True, "start_line": 7, "end_line": 8, "candidates": []},
        {"lines_read": 3, "located": True, "start_line": 7, "end_line": 9, "candidates": []},
    ]


@pytest.mark.parametrize("hint, first", [(["--line-hint", "8"], 7), (["--line-hint", "1"], 3)])
def test_locate_line_hint(src, hint, first):
    code, out, _ = run("locate", src, *hint, "--json", stdin="    x = 1\n    return x\n")
    assert code == 0 and json.loads(out.splitlines()[-1])["start_line"] == first + 1


@pytest.mark.parametrize("last_line_feed", ["\n", ""])
def test_locate_lists_every_equal_place_without_a_hint(src, last_line_feed):
    block = "    x = 1\n    return x" + last_line_feed
    code, out, _ = run("locate", src, "--json", stdin=block)
    last = json.loads(out.splitlines()[-1])
    assert code == 1
    assert last == {
        "lines_read": 2,
        "located": False,
        "start_line": None,
        "end_line": None,
        "candidates": [{"start_line": 4, "end_line": 5}, {"start_line": 8, "end_line": 9}],
    }
    code, out, _ = run("locate", src, stdin=block)
    assert (
        code == 1
        and out.splitlines()[-1] == "2 equal places: lines 4-5, lines 8-9 (--line-hint N chooses one)"
    )


def test_locate_crlf_source(tmp_path):
    (tmp_path / "w.py").write_bytes(SOURCE.replace("\n", "\r\n").encode())
    code, out, _ = run("locate", tmp_path / "w.py", stdin="def g():\r\n    x = 1\r\n")
    assert (code, out) == (0, "line 7\nlines 7-8\n")


def test_locate_not_located_and_errors(src, tmp_path):
    code, out, _ = run("locate", src, "--json", stdin="nothing like this\n")
    assert code == 1 and json.loads(out) == {
        "lines_read": 1,
        "located": False,
        "start_line": None,
        "end_line": None,
        "candidates": [],
    }
    assert run("locate", src, stdin="") == (1, "", "")
    code, out, err = run("locate", tmp_path / "missing.py", stdin="x\n")
    assert (code, out) == (2, "") and "missing.py" in err
    code, out, err = run("locate", src, stdin=b"def f():\n\xe2\x82\n")
    assert code == 2 and "not valid UTF-8 at byte offset 9" in err
    assert out == "line 3\n"  # the lines before it were answered


def test_locate_answers_each_line_before_input_ends(src):
    proc = subprocess.Popen(
        [SCRIPT, "locate", str(src), "--json"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=ENV
    )
    try:
        answers = []
        for line in ("def g():\n", "    x = 1\n"):
            proc.stdin.write(line.encode())
            proc.stdin.flush()
            deadline = time.monotonic() + 60
            ready, _, _ = select.select([proc.stdout], [], [], max(0.0, deadline - time.monotonic()))
            assert ready, "no answer while standard input is still open"
            answers.append(json.loads(proc.stdout.readline()))
        assert [(a["start_line"], a["end_line"]) for a in answers] == [(7, 7), (7, 8)]
        proc.stdin.close()
        assert proc.stdout.read() == b""
        assert proc.wait(timeout=60) == 0
    finally:
        proc.kill()
        proc.wait()


def test_locate_live_status_line_on_a_terminal(src):
    code, out = run_on_terminal("locate", src, stdin=b"def g():\n    x = 1\n    return x\n")
    assert code == 0
    assert out.count("\n") == 1 and out.endswith("\n")
    assert out.count("\r\x1b[K") == 3
    assert out.split("\r\x1b[K")[-1] == f"3 lines read: lines 7-9 of {src}\n"


def test_edit_refuses_version_control_folders_unless_allowed(work):
    (work / ".git").mkdir()
    (work / ".git" / "config").write_text("[core]\n\tbare = false\n")
    code, out, err = run("edit", ".git/config", "--old", "bare = false", "--new", "bare = true", cwd=work)
    assert (code, out) == (2, "") and "version-control" in err
    assert (work / ".git" / "config").read_text() == "[core]\n\tbare = false\n"
    code, _, _ = run(
        "edit", ".git/config", "--old", "bare = false", "--new", "bare = true", "--allow-vcs-dirs", cwd=work
    )
    assert code == 0 and (work / ".git" / "config").read_text() == "[core]\n\tbare = true\n"
