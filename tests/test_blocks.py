"""SEARCH/REPLACE blocks: reading them out of model output, checking their paths, applying them.

The parser is checked on the shapes models write (fences, prose, several blocks, a path left
out, CR LF patches) and on every way a block can be malformed, each error with its patch line.
Paths are checked against a real root folder with symbolic links in and out of it; patches are
applied to real files in a temporary folder.
"""

import os

import pytest

from brindle_search.blocks import (
    BlockError,
    EditBlock,
    PathRefused,
    apply_blocks,
    parse_blocks,
)
from brindle_search.paths import Root

S, D, R = "<<<<<<< SEARCH", "=======", ">>>>>>> REPLACE"


def patch(*lines):
    return "\n".join(lines) + "\n"


# --- parsing ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, blocks",
    [
        pytest.param(
            patch("a.py", S, "x = 1", D, "x = 2", R),
            [EditBlock("a.py", "x = 1\n", "x = 2\n", 2)],
            id="plain",
        ),
        pytest.param(
            patch("Some prose.", "", "src/a.py", "```python", S, "x = 1", D, "x = 2", R, "```"),
            [EditBlock("src/a.py", "x = 1\n", "x = 2\n", 5)],
            id="path before the fence",
        ),
        pytest.param(
            patch("```", "src/a.py", S, "x", D, "y", R, "```"),
            [EditBlock("src/a.py", "x\n", "y\n", 3)],
            id="path inside the fence",
        ),
        pytest.param(
            patch("a.py", S, "a", D, "b", R, "", "```", S, "c", D, "d", R, "b.py", S, "e", D, "f", R),
            [
                EditBlock("a.py", "a\n", "b\n", 2),
                EditBlock("a.py", "c\n", "d\n", 9),
                EditBlock("b.py", "e\n", "f\n", 15),
            ],
            id="second block reuses the path",
        ),
        pytest.param(
            patch("new.py", S, D, "print(1)", R),
            [EditBlock("new.py", "", "print(1)\n", 2)],
            id="empty search creates",
        ),
        pytest.param(
            patch("a.py", S, "x", D, R),
            [EditBlock("a.py", "x\n", "", 2)],
            id="empty replace deletes",
        ),
        pytest.param(
            "a.py\r\n" + S + "\r\n" + "x = 1\r\n" + D + "\r\n" + "x = 2\r\n" + R + "\r\n",
            [EditBlock("a.py", "x = 1\n", "x = 2\n", 2)],
            id="CR LF patch",
        ),
        pytest.param(
            patch("`a b.py`", S + "  ", "x", D + "\t", "y", R + " "),
            [EditBlock("a b.py", "x\n", "y\n", 2)],
            id="backticks and trailing blanks after markers",
        ),
        pytest.param(
            patch("a.py", S, "  ======= not a divider", "=====", "========", "x\f\x0by", D, "z", "<<<<<<< HEAD", R),
            [EditBlock("a.py", "  ======= not a divider\n=====\n========\nx\f\x0by\n", "z\n<<<<<<< HEAD\n", 2)],
            id="marker-like content and form feeds stay content",
        ),
        pytest.param(
            "a.py\n" + S + "\nx\n" + D + "\ny\n" + R,
            [EditBlock("a.py", "x\n", "y\n", 2)],
            id="no final newline",
        ),
    ],
)
def test_parse_blocks(text, blocks):
    parsed = parse_blocks(text)
    assert parsed.errors == []
    assert parsed.blocks == blocks


@pytest.mark.parametrize(
    "text, errors, good",
    [
        pytest.param(
            patch(S, "x", D, "y", R),
            [BlockError(1, "no file path before '<<<<<<< SEARCH'")],
            0,
            id="no path",
        ),
        pytest.param(
            patch("a.py", S, "x", D, "y"),
            [BlockError(2, "block is not closed: '>>>>>>> REPLACE' missing before the end", "a.py")],
            0,
            id="unclosed",
        ),
        pytest.param(
            patch("a.py", S, "x", "y"),
            [
                BlockError(
                    2, "block is not closed: '=======' and '>>>>>>> REPLACE' missing before the end", "a.py"
                )
            ],
            0,
            id="no divider, unclosed",
        ),
        pytest.param(
            patch("a.py", S, "x", R),
            [BlockError(4, "'>>>>>>> REPLACE' before the '=======' divider", "a.py")],
            0,
            id="no divider",
        ),
        pytest.param(
            patch("a.py", S, "x", D, "b.py", S, "y", D, "z", R),
            [BlockError(2, "block is not closed: a new '<<<<<<< SEARCH' follows on line 6", "a.py")],
            1,
            id="search inside a block",
        ),
        pytest.param(
            patch("a.py", "x", D, "y", R, "b.py", S, "u", D, "v", R),
            [BlockError(5, "'>>>>>>> REPLACE' without a '<<<<<<< SEARCH' line before it")],
            1,
            id="lost search line",
        ),
    ],
)
def test_malformed_blocks(text, errors, good):
    parsed = parse_blocks(text)
    assert parsed.errors == errors
    assert len(parsed.blocks) == good


# --- paths ------------------------------------------------------------------------------------


@pytest.fixture
def root(tmp_path):
    base = tmp_path / "root"
    (base / "pkg").mkdir(parents=True)
    (base / "pkg" / "a.py").write_text("x = 1\n")
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "secret.py").write_text("secret = 1\n")
    os.symlink(outside, base / "out_dir")
    os.symlink(outside / "secret.py", base / "out_file.py")
    os.symlink(base / "pkg", base / "in_dir")
    os.symlink("pkg", base / "rel_in")
    os.symlink("pkg/..", base / "self")
    os.symlink("pkg/../../outside", base / "up")
    os.symlink("loop", base / "loop")
    return base


@pytest.mark.parametrize(
    "path, reason",
    [
        ("", "empty path"),
        ("/etc/passwd", "absolute path"),
        ("\\server\\share\\x.py", "absolute path"),
        ("C:\\x.py", "absolute path"),
        ("C:/x.py", "absolute path"),
        ("../outside/secret.py", "'..' leaves the root"),
        ("pkg/../../outside/secret.py", "'..' leaves the root"),
        ("pkg/../a.py", "'..' leaves the root"),
        ("pkg\\..\\..\\x.py", "'..' leaves the root"),
        ("~/x.py", "'~' is a home folder"),
        ("~root/x.py", "'~' is a home folder"),
        ("$HOME/x.py", "environment variable"),
        ("${HOME}/x.py", "environment variable"),
        ("%USERPROFILE%\\x.py", "environment variable"),
        ("file:///etc/passwd", "a URL"),
        ("pkg/", "names a folder"),
        ("pkg\\", "names a folder"),
        ("out_dir/secret.py", "symbolic link leads out of the root"),
        ("out_file.py", "symbolic link leads out of the root"),
        ("out_dir/new.py", "symbolic link leads out of the root"),
        ("up/secret.py", "symbolic link leads out of the root"),
        ("loop/x.py", "too many levels of symbolic links"),
        (".", "names the root folder itself"),
        ("self", "names the root folder itself"),
        ("a\0b", "NUL character"),
    ],
)
def test_paths_refused(root, path, reason):
    with Root(root) as handle, pytest.raises((PathRefused, OSError), match=reason.replace("(", r"\(")):
        handle.locate(path)


@pytest.mark.parametrize(
    "path, rel, real",
    [
        ("pkg/a.py", "pkg/a.py", "pkg/a.py"),
        ("./pkg//a.py", "pkg/a.py", "pkg/a.py"),
        ("pkg\\a.py", "pkg/a.py", "pkg/a.py"),
        ("in_dir/a.py", "in_dir/a.py", "pkg/a.py"),
        ("rel_in/a.py", "rel_in/a.py", "pkg/a.py"),
        ("self/pkg/a.py", "self/pkg/a.py", "pkg/a.py"),
        ("new/b.py", "new/b.py", None),
        ("pkg/new.py", "pkg/new.py", None),
        ("a:b.txt", "a:b.txt", None),
    ],
)
def test_paths_inside(root, path, rel, real):
    with Root(root) as handle, handle.locate(path) as location:
        assert location.display == os.path.join(str(root), rel)
        st = location.lstat()
        if real is None:
            assert st is None
        else:
            assert st is not None and st.st_ino == os.stat(root / real).st_ino


# --- applying ---------------------------------------------------------------------------------


def test_apply_all_or_nothing_per_file(root):
    (root / "b.py").write_text("def f():\n    return 1\n")
    text = patch(
        "pkg/a.py", S, "x = 1", D, "x = 2", R,
        "b.py", S, "    return 1", D, "    return 2", R,
        "b.py", S, "missing line", D, "y", R,
    )  # fmt: skip
    report = apply_blocks(text, str(root))
    assert [(f.path, f.ok, f.error_type, f.failed_block) for f in report.files] == [
        ("pkg/a.py", True, None, None),
        ("b.py", False, "not_found", 14),
    ]
    assert report.exit_code == 1
    assert (root / "pkg" / "a.py").read_text() == "x = 2\n"
    assert (root / "b.py").read_text() == "def f():\n    return 1\n"


def test_apply_creates_files_and_edits_them(root):
    text = patch("new/dir/c.py", S, D, "a = 1", "b = 2", R, "new/dir/c.py", S, "b = 2", D, "b = 3", R)
    report = apply_blocks(text, str(root), dry_run=True)
    assert report.ok and not (root / "new").exists()
    report = apply_blocks(text, str(root))
    assert report.ok and report.files[0].created and report.files[0].written
    assert (root / "new" / "dir" / "c.py").read_text() == "a = 1\nb = 3\n"
    assert report.files[0].result.strategy == ["create", "simple"]
    # Again: the file exists now, so the empty SEARCH part is an error and nothing changes.
    again = apply_blocks(text, str(root))
    assert [(f.error_type, f.failed_block) for f in again.files] == [("file_exists", 2)]
    assert again.exit_code == 1
    assert (root / "new" / "dir" / "c.py").read_text() == "a = 1\nb = 3\n"
    assert [p.name for p in (root / "new" / "dir").iterdir()] == ["c.py"]  # no temporary file left


def test_apply_refuses_escapes_and_malformed_files_only(root):
    text = patch(
        "out_dir/secret.py", S, "secret = 1", D, "secret = 2", R,
        "pkg/a.py", S, "x = 1", D, "x = 2", R,
        "b.py", S, D, "new", "c.py", S, D, "c", R,
    )  # fmt: skip
    report = apply_blocks(text, str(root))
    by_path = {f.path: f for f in report.files}
    assert by_path["out_dir/secret.py"].error_type == "path_refused"
    assert by_path["pkg/a.py"].ok
    assert (by_path["b.py"].error_type, by_path["b.py"].failed_block) == ("malformed", 14)
    assert by_path["c.py"].ok
    assert report.exit_code == 2
    assert (root.parent / "outside" / "secret.py").read_text() == "secret = 1\n"
    assert not (root / "b.py").exists()
    assert (root / "c.py").read_text() == "c\n"


def test_block_of_unknown_file_stops_the_patch(root):
    text = patch("pkg/a.py", S, "x = 1", D, "x = 2", R, "lost", D, "y", R)
    report = apply_blocks(text, str(root))
    assert report.errors and report.exit_code == 2
    assert [f.error_type for f in report.files] == ["skipped"]
    assert (root / "pkg" / "a.py").read_text() == "x = 1\n"


def test_apply_keeps_crlf(root):
    (root / "w.py").write_bytes(b"def f():\r\n    a = 1\r\n    return a\r\n")
    report = apply_blocks(patch("w.py", S, "a = 1", "return a", D, "a = 2", "return a", R), str(root))
    assert report.ok, report.files[0].report()
    assert (root / "w.py").read_bytes() == b"def f():\r\n    a = 2\r\n    return a\r\n"
