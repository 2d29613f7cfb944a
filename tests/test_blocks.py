"""SEARCH/REPLACE blocks: reading them out of model output, checking their paths, applying them.

The parser is checked on the shapes models write (fences, prose, several blocks, a path left
out, CR LF patches) and on every way a block can be malformed, each error with its patch line.
Paths are checked against a real root folder with symbolic links in and out of it; patches are
applied to real files in a temporary folder.
"""

import os
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

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
            patch(
                "a.py",
                S,
                "  ======= not a divider",
                "=====",
                "========",
                "x\f\x0by",
                D,
                "z",
                "<<<<<<< HEAD",
                R,
            ),
            [
                EditBlock(
                    "a.py", "  ======= not a divider\n=====\n========\nx\f\x0by\n", "z\n<<<<<<< HEAD\n", 2
                )
            ],
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


# --- dividers inside the text ---------------------------------------------------------------


@pytest.mark.parametrize("underline", ["=====", "=======", "========="])
def test_heading_underline_in_search(tmp_path, underline):
    readme = tmp_path / "README.md"
    readme.write_text(f"Title\n{underline}\n\nUsage\n{underline}\n\nRun it.\n")
    text = patch(
        "README.md", S, "Usage", underline, "", "Run it.", D, "Usage", underline, "", "Run it fast.", R
    )
    report = apply_blocks(text, tmp_path)
    assert report.ok, report.files[0].report()
    assert readme.read_text() == f"Title\n{underline}\n\nUsage\n{underline}\n\nRun it fast.\n"


def test_resolving_a_merge_conflict(tmp_path):
    (tmp_path / "a.py").write_text("x = 0\n<<<<<<< HEAD\nx = 1\n=======\nx = 2\n>>>>>>> topic\ny = 3\n")
    text = patch("a.py", S, "<<<<<<< HEAD", "x = 1", D, "x = 2", ">>>>>>> topic", D, "x = 2", R)
    report = apply_blocks(text, tmp_path)
    assert report.ok, report.files[0].report()
    assert (tmp_path / "a.py").read_text() == "x = 0\nx = 2\ny = 3\n"


@pytest.mark.parametrize(
    "content, problem",
    [
        ("q\nr\n", "none of them is found"),
        # Both readings are placed only by tolerance (trailing blanks), neither is in the text as is.
        ("a \n======= \nb \n", "2 of them are found"),
    ],
)
def test_ambiguous_block_is_refused(tmp_path, content, problem):
    (tmp_path / "f.txt").write_text(content)
    text = patch("f.txt", S, "a", D, "b", D, "c", R)
    report = apply_blocks(text, tmp_path)
    (outcome,) = report.files
    assert (outcome.error_type, outcome.failed_block) == ("ambiguous", 2)
    assert problem in outcome.message and "patch lines 4, 6" in outcome.message
    assert report.exit_code == 1
    assert (tmp_path / "f.txt").read_text() == content


def test_new_file_with_an_underline_and_a_later_block(tmp_path):
    text = patch(
        "doc.rst", S, D, "Title", "=======", "", "Body.", R, S, "Title", "=======", D, "Name", "=======", R
    )
    report = apply_blocks(text, tmp_path)
    assert report.ok, report.files[0].report()
    assert (tmp_path / "doc.rst").read_text() == "Name\n=======\n\nBody.\n"


def test_parser_reports_every_reading(tmp_path):
    (block,) = parse_blocks(patch("a.md", S, "x", D, "y", D, "z", R)).blocks
    assert block.ambiguous and (block.search, block.replace) == ("x\n", "y\n=======\nz\n")
    assert [(s.search, s.replace, s.divider_line) for s in block.splits] == [
        ("x\n", "y\n=======\nz\n", 4),
        ("x\n=======\ny\n", "z\n", 6),
    ]


# --- the parser on generated patches --------------------------------------------------------

_LINES = st.sampled_from(
    [
        "x = 1",
        "",
        "  y",
        "=====",
        "========",
        " =======",
        "<<<<<<< HEAD",
        ">>>>>>> topic",
        "```",
        "a.py",
        "\f",
    ]
)
_PART = st.lists(_LINES, max_size=5).map(lambda lines: "".join(line + "\n" for line in lines))
_BLOCK = st.tuples(st.sampled_from(["a.py", "src/b.py", "c d.txt"]), _PART, _PART)


@given(st.lists(_BLOCK, min_size=1, max_size=4), st.booleans(), st.booleans())
@settings(max_examples=300, deadline=None)
def test_parse_generated_patches(blocks, fenced, crlf):
    pieces = []
    for path, search, replace in blocks:
        body = f"{S}\n{search}{D}\n{replace}{R}\n"
        pieces.append(f"Prose.\n\n{path}\n" + (f"```python\n{body}```\n" if fenced else body))
    text = "".join(pieces)
    if crlf:
        text = text.replace("\n", "\r\n")
    parsed = parse_blocks(text)
    assert parsed.errors == []
    assert [(b.path, b.search, b.replace, b.splits) for b in parsed.blocks] == [
        (path, search, replace, ()) for path, search, replace in blocks
    ]
    lines = text.split("\n")
    assert all(lines[b.line - 1].rstrip("\r") == S for b in parsed.blocks)


@given(_BLOCK, st.integers(0, 3), st.integers(0, 3))
@settings(max_examples=200, deadline=None)
def test_parse_divider_lines_in_the_text(block, in_search, in_replace):
    path, search, replace = block
    search += "=======\n" * in_search
    replace = "=======\n" * in_replace + replace
    (parsed,) = parse_blocks(f"{path}\n{S}\n{search}{D}\n{replace}{R}\n").blocks
    readings = [(s.search, s.replace) for s in parsed.splits] or [(parsed.search, parsed.replace)]
    assert len(readings) == 1 + in_search + in_replace
    assert readings[in_search] == (search, replace)


# --- paths that models write ----------------------------------------------------------------


@pytest.mark.parametrize("path", ["tool.py", "a:b.txt", "sub/tool.py", "sub\\deep\\tool.py"])
@pytest.mark.parametrize("root", [".", "absolute"])
def test_create_anywhere_under_the_root(tmp_path, monkeypatch, path, root):
    monkeypatch.chdir(tmp_path)
    report = apply_blocks(patch(path, S, D, "x = 1", R), tmp_path if root == "absolute" else root)
    assert report.ok, report.files[0].report()
    rel = path.replace("\\", "/")
    assert report.files[0].result.path == (rel if root == "." else os.path.join(tmp_path, rel))
    assert (tmp_path / rel).read_text() == "x = 1\n"


@pytest.mark.parametrize("path", ["~/x.py", "$HOME/x.py", "file:///tmp/x.py", "d1/"])
def test_shell_paths_are_refused_and_make_nothing(tmp_path, path):
    report = apply_blocks(patch(path, S, D, "x = 1", R), tmp_path)
    assert [f.error_type for f in report.files] == ["path_refused"] and report.exit_code == 2
    assert list(tmp_path.iterdir()) == []


def test_failed_creation_removes_the_folders_it_made(tmp_path, monkeypatch):
    from brindle_search import files as files_module

    (tmp_path / "old").mkdir()

    def fail(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(files_module.os, "fsync", fail)
    report = apply_blocks(patch("old/new/deeper/x.py", S, D, "x = 1", R), tmp_path)
    (outcome,) = report.files
    assert outcome.error_type == "io_error" and "No space left on device" in outcome.message
    assert "nothing of it written" in outcome.report()
    assert [p.name for p in tmp_path.rglob("*")] == ["old"]


# --- version-control folders ----------------------------------------------------------------


@pytest.mark.parametrize(
    "path",
    [".git/config", "sub/.git/hooks/pre-commit", ".GIT/config", ".hg/hgrc", ".svn/entries", "to_git/config"],
)
def test_version_control_folders_are_refused(tmp_path, path):
    for folder in (".git", "sub/.git/hooks", ".hg", ".svn"):
        (tmp_path / folder).mkdir(parents=True, exist_ok=True)
    config = "[core]\n\tbare = false\n"
    (tmp_path / ".git" / "config").write_text(config)
    os.symlink(".git", tmp_path / "to_git")
    block = S, "\tbare = false", D, "\tbare = false", "\tfsmonitor = touch owned", R
    creating = path not in (".git/config", "to_git/config")
    text = patch(path, S, D, "owned", R) if creating else patch(path, *block)
    report = apply_blocks(text, tmp_path)
    (outcome,) = report.files
    assert outcome.error_type == "path_refused" and "--allow-vcs-dirs" in outcome.message
    assert (tmp_path / ".git" / "config").read_text() == config
    assert not (tmp_path / path).exists() or not creating
    allowed = apply_blocks(text, tmp_path, allow_vcs_dirs=True)
    assert allowed.ok, allowed.files[0].report()


def test_root_inside_a_version_control_folder(tmp_path):
    (tmp_path / ".git" / "hooks").mkdir(parents=True)
    report = apply_blocks(patch("pre-commit", S, D, "owned", R), tmp_path / ".git" / "hooks")
    assert [f.error_type for f in report.files] == ["path_refused"]
    assert not (tmp_path / ".git" / "hooks" / "pre-commit").exists()


# --- the root as resolved, and links swapped in while a patch is applied --------------------


def test_root_through_a_link_and_dot_dot_writes_where_it_resolves(tmp_path):
    (tmp_path / "a").mkdir()
    (tmp_path / "b" / "c").mkdir(parents=True)
    os.symlink(tmp_path / "b" / "c", tmp_path / "a" / "link")
    report = apply_blocks(patch("x.py", S, D, "x = 1", R), str(tmp_path / "a" / "link" / ".."))
    assert report.ok
    assert (tmp_path / "b" / "x.py").read_text() == "x = 1\n"
    assert not (tmp_path / "a" / "x.py").exists()


@pytest.fixture
def swap_root(tmp_path):
    """A root with a folder `sub` holding x.py, and an outside folder with an x.py of its own."""
    base = tmp_path / "root"
    (base / "sub").mkdir(parents=True)
    (base / "sub" / "x.py").write_text("x = 1\n")
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "x.py").write_text("x = 1\n")
    return base, outside


def swap(base, outside):
    """Replace the folder `sub` by a link that leads out of the root."""
    os.rename(base / "sub", base / "moved")
    os.symlink(outside, base / "sub")


@pytest.mark.parametrize("action", ["edit", "create"])
def test_link_swapped_in_after_the_check(swap_root, monkeypatch, action):
    from brindle_search import patches as patches_module

    base, outside = swap_root
    name = "load_document" if action == "edit" else "create_file"
    real = getattr(patches_module, name)

    def swapped_first(*args, **kwargs):
        swap(base, outside)
        return real(*args, **kwargs)

    monkeypatch.setattr(patches_module, name, swapped_first)
    if action == "edit":
        text = patch("sub/x.py", S, "x = 1", D, "x = 2", R)
    else:
        text = patch("sub/new.py", S, D, "owned = True", R)
    report = apply_blocks(text, base)
    assert (outside / "x.py").read_text() == "x = 1\n" and not (outside / "new.py").exists()
    if action == "edit":
        # Written to the folder that was checked, which has moved inside the root.
        assert report.ok and (base / "moved" / "x.py").read_text() == "x = 2\n"
    else:
        assert [f.error_type for f in report.files] == ["path_refused"]


def test_link_swapped_in_by_a_racing_process(swap_root):
    base, outside = swap_root
    (base / "real").mkdir()
    (base / "real" / "x.py").write_text("x = 1\n")
    (base / "sub" / "x.py").unlink()
    os.rmdir(base / "sub")
    os.symlink("real", base / "sub")
    pid = os.fork()
    if pid == 0:  # flip sub between a link inside and a link outside the root, for a while
        try:
            deadline = time.monotonic() + 2.0
            while time.monotonic() < deadline:
                for target in (str(outside), "real"):
                    os.symlink(target, base / "next")
                    os.replace(base / "next", base / "sub")
        finally:
            os._exit(0)
    try:
        edit = patch("sub/x.py", S, "x = 1", D, "x = 2", R, "sub/x.py", S, "x = 2", D, "x = 1", R)
        create = patch("sub/new.py", S, D, "owned = True", R)
        deadline = time.monotonic() + 1.5
        tries = 0
        seen = set()
        while time.monotonic() < deadline and tries < 2000:
            tries += 1
            report = apply_blocks(edit if tries % 2 else create, base)
            seen.update(f.error_type for f in report.files)
            if (base / "real" / "new.py").exists():
                os.unlink(base / "real" / "new.py")
    finally:
        os.waitpid(pid, 0)
    # The link pointed in and out of the root while patches were applied.
    assert tries > 20 and None in seen and "path_refused" in seen, (tries, seen)
    assert sorted(p.name for p in outside.iterdir()) == ["x.py"]
    assert (outside / "x.py").read_text() == "x = 1\n"
