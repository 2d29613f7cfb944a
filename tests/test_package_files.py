"""brindle_search on real files in a temporary folder: encodings, BOM, line endings, writing,
errors, apply_edits and dry runs."""

import json
import os
import stat

import pytest
from helpers import OTHER_UID, as_user, leftovers

import _brindle_search as raw
import brindle_search as bs
from brindle_search import files as files_module

CRLF_SOURCE = b"def f():\r\n    x = 1\r\n    return x\r\n\r\ndef g():\r\n    x = 1\r\n    return x + 1\r\n"


def write(path, data):
    path.write_bytes(data)
    return path


# ---- line endings --------------------------------------------------------------------------------


def test_lf_block_in_a_crlf_file(tmp_path):
    path = write(tmp_path / "a.py", CRLF_SOURCE)
    old, new = "def g():\n    x = 1\n", "def g():\n    x = 2\n"
    # The joined LF candidate is not in the CR LF text: a false ambiguity without locations.
    failed = raw.try_replace_content(CRLF_SOURCE.decode(), old, new)
    assert failed.error_type == "multiple_matches" and failed.locations == []

    result = bs.edit_file(path, old, new)
    assert result.ok, str(result)
    assert (result.start_line, result.end_line) == (5, 6)
    assert path.read_bytes() == CRLF_SOURCE.replace(
        b"    x = 1\r\n    return x + 1", b"    x = 2\r\n    return x + 1"
    )


@pytest.mark.parametrize("new", ["y = 1\nz = 2", "y = 1\r\nz = 2"])
def test_inserted_lines_take_crlf(tmp_path, new):
    path = write(tmp_path / "a.py", b"a = 0\r\nx = 1\r\nb = 2\r\n")
    result = bs.edit_file(path, "x = 1", new)
    assert result.ok
    assert path.read_bytes() == b"a = 0\r\ny = 1\r\nz = 2\r\nb = 2\r\n"
    assert result.text == "a = 0\r\ny = 1\r\nz = 2\r\nb = 2\r\n"


@pytest.mark.parametrize(
    "data, old, new, expected",
    [
        # Untouched lines keep their own ending; inserted ones take the most common (CR LF).
        (b"a\r\nb\nc\r\nd\r\n", "c", "c1\nc2", b"a\r\nb\nc1\r\nc2\r\nd\r\n"),
        (b"a\r\nb\nc\r\nd\r\n", "a\nb\n", "A\n", b"A\r\nc\r\nd\r\n"),
        # Most common is LF here.
        (b"a\nb\nc\r\nd\n", "b\nc\n", "B\nC\nE\n", b"a\nB\nC\nE\nd\n"),
        (b"a\nb\nc\r\nd\n", "d", "D\nF", b"a\nb\nc\r\nD\nF\n"),
        # A lone CR is ordinary text and stays.
        (b"a\rb\r\nc\r\n", "c", "C", b"a\rb\r\nC\r\n"),
    ],
)
def test_mixed_line_endings(tmp_path, data, old, new, expected):
    path = write(tmp_path / "m.txt", data)
    result = bs.edit_file(path, old, new)
    assert result.ok, str(result)
    assert path.read_bytes() == expected


@pytest.mark.parametrize("ending", [b"", b"\n", b"\r\n"])
def test_final_newline_is_kept(tmp_path, ending):
    sep = b"\r\n" if ending == b"\r\n" else b"\n"
    path = write(tmp_path / "f.txt", b"one" + sep + b"two" + ending)
    assert bs.edit_file(path, "two", "2").ok
    assert path.read_bytes() == b"one" + sep + b"2" + ending


@pytest.mark.parametrize("block", ["x = 1\nreturn x", "x = 1\r\nreturn x\r\n"])
def test_cr_only_file(tmp_path, block):
    data = b"def f():\r    x = 1\r    return x\r\rdef g():\r    pass\r"
    path = write(tmp_path / "mac.py", data)
    result = bs.edit_file(path, block, "y = 1\nz = 2\nreturn y + z")
    assert result.ok, str(result)
    assert (result.start_line, result.end_line) == (2, 4)
    assert path.read_bytes() == data.replace(b"x = 1\r    return x", b"y = 1\r    z = 2\r    return y + z")


# ---- encodings -----------------------------------------------------------------------------------


def test_bom_is_kept_and_not_matched(tmp_path):
    path = write(tmp_path / "b.py", b"\xef\xbb\xbfimport os\nx = 1\n")
    result = bs.edit_file(path, "import os\n", "import sys\n")
    assert result.ok and result.strategy == "simple"
    assert not result.text.startswith("\ufeff")
    assert path.read_bytes() == b"\xef\xbb\xbfimport sys\nx = 1\n"


BOMS = {
    "utf-8": b"\xef\xbb\xbf",
    "utf-16-le": b"\xff\xfe",
    "utf-16-be": b"\xfe\xff",
    "utf-32-le": b"\xff\xfe\x00\x00",
    "utf-32-be": b"\x00\x00\xfe\xff",
}
TEXT = "h\xe9llo = 1\r\nw\xf6rld = '\U0001f600'\r\n"


@pytest.mark.parametrize("encoding", list(BOMS))
@pytest.mark.parametrize("given", ["detected", "family", "exact"])
def test_byte_order_mark_decides_and_stays(tmp_path, encoding, given):
    path = write(tmp_path / "u.txt", BOMS[encoding] + TEXT.encode(encoding))
    name = {"detected": None, "family": encoding[:6].rstrip("-"), "exact": encoding}[given]
    result = bs.edit_file(path, "w\xf6rld = '\U0001f600'", "w\xf6rld = 2", encoding=name)
    assert result.ok and result.strategy == "simple"
    assert not result.text.startswith("\ufeff")
    # Every byte but those of the edit stays: the mark, the byte order, the line endings.
    assert path.read_bytes() == BOMS[encoding] + TEXT.replace("'\U0001f600'", "2").encode(encoding)


@pytest.mark.parametrize("encoding", ["utf-16-le", "utf-16-be"])
def test_utf16_without_a_mark(tmp_path, encoding):
    path = write(tmp_path / "w.txt", TEXT.encode(encoding))
    with pytest.raises(bs.EditError) as info:
        bs.edit_file(path, "h\xe9llo = 1", "x")
    assert "NUL byte" in str(info.value) and f"pass encoding='{encoding}'" in str(info.value)
    assert bs.edit_file(path, "h\xe9llo = 1", "x = 0", encoding=encoding).ok
    assert path.read_bytes() == TEXT.replace("h\xe9llo = 1", "x = 0").encode(encoding)
    if encoding == "utf-16-le":  # "utf-16" without a mark reads little-endian and adds no mark
        assert bs.edit_file(path, "x = 0", "x = 1", encoding="utf-16").ok
        assert path.read_bytes() == TEXT.replace("h\xe9llo = 1", "x = 1").encode(encoding)


def test_latin1_with_encoding(tmp_path):
    path = write(tmp_path / "l.txt", "caf\xe9 = 1\nna\xefve = 2\n".encode("latin-1"))
    with pytest.raises(bs.EditError) as info:
        bs.edit_file(path, "na\xefve = 2", "na\xefve = 3")
    assert str(path) in str(info.value) and "byte offset 3" in str(info.value)
    assert info.value.offset == 3 and info.value.path == str(path)

    result = bs.edit_file(path, "na\xefve = 2", "na\xefve = 3", encoding="latin-1")
    assert result.ok
    assert path.read_bytes() == "caf\xe9 = 1\nna\xefve = 3\n".encode("latin-1")


@pytest.mark.parametrize("dry_run", [False, True])
def test_text_not_encodable_in_the_file_encoding(tmp_path, dry_run):
    path = write(tmp_path / "l.txt", b"x = 1\n")
    with pytest.raises(bs.EditError, match="cannot be encoded as iso8859-1: '\u20ac'"):
        bs.edit_file(path, "x = 1", "x = '\u20ac'", encoding="latin-1", dry_run=dry_run)
    assert path.read_bytes() == b"x = 1\n"
    assert leftovers(tmp_path, {"l.txt"}) == []


def test_binary_content_is_refused(tmp_path):
    path = write(tmp_path / "bin.dat", b"abc\ndef\x00ghi\n")
    with pytest.raises(bs.EditError) as info:
        bs.edit_file(path, "abc", "x")
    assert "NUL byte at byte offset 7" in str(info.value) and str(path) in str(info.value)
    assert info.value.offset == 7


def test_utf8_error_offset_counts_the_bom(tmp_path):
    path = write(tmp_path / "u.txt", b"\xef\xbb\xbfab\xffc\n")
    with pytest.raises(bs.EditError) as info:
        bs.edit_file(path, "ab", "x")
    assert info.value.offset == 5


# ---- file problems -------------------------------------------------------------------------------


def test_missing_file(tmp_path):
    with pytest.raises(bs.EditError, match="no such file") as info:
        bs.edit_file(tmp_path / "nope.py", "a", "b")
    assert isinstance(info.value, Exception)


@pytest.mark.parametrize("kind", ["directory", "fifo"])
def test_not_a_regular_file(tmp_path, kind):
    path = tmp_path / "thing"
    if kind == "directory":
        path.mkdir()
    else:
        os.mkfifo(path)
    with pytest.raises(bs.EditError, match="not a regular file"):
        bs.edit_file(path, "a", "b")


@pytest.mark.parametrize("mode, action", [(0o200, "read"), (0o444, "write")])
def test_permission_denied(shared_tmp, mode, action):
    path = write(shared_tmp / "p.txt", b"a\n")
    path.chmod(mode)
    if os.geteuid() == 0:
        # Root reads and writes regardless of permissions: the edit runs as another user.
        os.chown(shared_tmp, OTHER_UID, OTHER_UID)
        outcome = as_user(OTHER_UID, OTHER_UID, [], lambda: bs.edit_file(path, "a", "b"))
    else:
        with pytest.raises(bs.EditError) as info:
            bs.edit_file(path, "a", "b")
        outcome = ("error", "EditError", str(info.value), info.value.error_type)
    assert outcome[0] == "error" and f"permission denied ({action})" in outcome[2], outcome
    assert outcome[3] == "io_error"
    assert path.read_bytes() == b"a\n"
    assert leftovers(shared_tmp, {"p.txt"}) == []


# ---- writing -------------------------------------------------------------------------------------


@pytest.mark.parametrize("mode", [0o640, 0o755, 0o600])
def test_permission_bits_are_kept(tmp_path, mode):
    path = write(tmp_path / "x.sh", b"echo a\n")
    path.chmod(mode)
    assert bs.edit_file(path, "echo a", "echo b").ok
    assert stat.S_IMODE(path.stat().st_mode) == mode
    assert path.read_bytes() == b"echo b\n"


@pytest.mark.skipif(os.geteuid() != 0, reason="only root can give a file to another owner")
def test_owner_is_kept(tmp_path):
    path = write(tmp_path / "o.txt", b"a\n")
    os.chown(path, 12345, 23456)
    assert bs.edit_file(path, "a", "b").ok
    st = path.stat()
    assert (st.st_uid, st.st_gid) == (12345, 23456)
    assert path.read_bytes() == b"b\n"


def test_symlink_edits_its_target(tmp_path):
    target = write(tmp_path / "real.py", b"x = 1\n")
    link = tmp_path / "link.py"
    link.symlink_to(target.name)
    result = bs.edit_file(link, "x = 1", "x = 2")
    assert result.ok and result.path == str(link)
    assert link.is_symlink() and os.readlink(link) == "real.py"
    assert target.read_bytes() == b"x = 2\n"
    assert leftovers(tmp_path, {"real.py", "link.py"}) == []


@pytest.mark.parametrize("stage", ["fsync", "rename", "fchmod"])
def test_failure_before_the_rename_leaves_the_original(tmp_path, monkeypatch, stage):
    path = write(tmp_path / "a.py", b"x = 1\n")
    before = path.stat()

    def fail(*args, **kwargs):
        raise OSError(5, "Input/output error")

    monkeypatch.setattr(files_module.os, stage, fail)
    with pytest.raises(bs.EditError, match="Input/output error") as info:
        bs.edit_file(path, "x = 1", "x = 2")
    assert str(path) in str(info.value)
    assert path.read_bytes() == b"x = 1\n"
    assert path.stat().st_ino == before.st_ino
    assert leftovers(tmp_path, {"a.py"}) == []


def test_interrupt_during_write_leaves_no_temporary_file(tmp_path, monkeypatch):
    path = write(tmp_path / "a.py", b"x = 1\n")

    def interrupt(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(files_module.os, "fsync", interrupt)
    with pytest.raises(KeyboardInterrupt):
        bs.edit_file(path, "x = 1", "x = 2")
    assert path.read_bytes() == b"x = 1\n"
    assert leftovers(tmp_path, {"a.py"}) == []


def test_unchanged_text_is_not_written(tmp_path):
    path = write(tmp_path / "a.py", b"x = 1\n")
    before = path.stat()
    # Placed by a tolerant strategy on a line that already reads as new_string: reported as
    # applied already, and nothing is written.
    result = bs.edit_file(path, "x  =  1", "x = 1")
    assert not result.ok and result.error_type == "already_applied" and not result.written
    assert result.text == "x = 1\n"
    assert path.stat().st_ino == before.st_ino


def test_dry_run_writes_nothing_and_reports_the_same(tmp_path):
    path = write(tmp_path / "a.py", b"def f():\n    return 1\n")
    dry = bs.edit_file(path, "return 1", "return 2", dry_run=True)
    assert path.read_bytes() == b"def f():\n    return 1\n" and not dry.written
    real = bs.edit_file(path, "return 1", "return 2")
    assert real.written and path.read_bytes() == b"def f():\n    return 2\n"
    assert {**dry.to_dict(), "written": True} == real.to_dict()


# ---- apply_edits ---------------------------------------------------------------------------------


def test_apply_edits_in_order(tmp_path):
    path = write(tmp_path / "a.py", b"a = 1\nb = 2\nc = 3\nd = 4\n")
    edits = [
        bs.Edit("a = 1", "a = 10"),
        {"old_string": "a = 10\nb = 2", "new_string": "a = 10\nb = 20"},
        {"old_string": "d = 4", "new_string": "d = 40", "replace_all": True},
    ]
    result = bs.apply_edits(path, edits)
    assert result.ok and result.written
    assert result.strategy == ["simple", "simple", "simple"]
    assert result.replacements == 3
    assert (result.start_line, result.end_line) == (1, 4)
    assert path.read_bytes() == b"a = 10\nb = 20\nc = 3\nd = 40\n"
    assert result.diff.startswith(f"--- {path}\n+++ {path}\n")


@pytest.mark.parametrize("failing", [0, 1, 2])
def test_apply_edits_all_or_nothing(tmp_path, failing):
    data = b"a = 1\nb = 2\nc = 3\n"
    path = write(tmp_path / "a.py", data)
    edits = [bs.Edit("a = 1", "a = 10"), bs.Edit("b = 2", "b = 20"), bs.Edit("c = 3", "c = 30")]
    edits[failing] = bs.Edit("zzz = 9", "q")
    result = bs.apply_edits(path, edits)
    assert not result.ok and result.failed_edit == failing
    assert result.error_type == "not_found"
    assert result.strategy == ["simple"] * failing
    assert f"Edit {failing} (0-based)" in str(result) and "nothing was written" in str(result)
    assert path.read_bytes() == data and result.text == data.decode()
    assert leftovers(tmp_path, {"a.py"}) == []


def test_apply_edits_sees_the_earlier_edits(tmp_path):
    path = write(tmp_path / "a.py", b"x = 1\n")
    result = bs.apply_edits(path, [bs.Edit("x = 1", "x = 2"), bs.Edit("x = 1", "x = 3")])
    assert not result.ok and result.failed_edit == 1
    assert path.read_bytes() == b"x = 1\n"


@pytest.mark.parametrize(
    "edits, error",
    [
        ([{"old_string": "a"}], ValueError),
        ([{"old_string": "a", "new_string": "b", "colour": 1}], ValueError),
        (["a"], TypeError),
        (bs.Edit("a", "b"), TypeError),
        ([bs.Edit("a", 3)], TypeError),
        ([bs.Edit("a", "b", line_hint=-1)], ValueError),
        ([], ValueError),
    ],
)
def test_apply_edits_bad_edits(tmp_path, edits, error):
    path = write(tmp_path / "a.py", b"a\n")
    with pytest.raises(error):
        bs.apply_edits(path, edits)
    assert path.read_bytes() == b"a\n"


def test_result_json_form(tmp_path):
    path = write(tmp_path / "a.py", b"class A:\n    def f(self):\n        return 1\n")
    result = bs.edit_file(path, "def f(self):\n    return 1\n", "def f(self):\n    return 2\n")
    data = json.loads(json.dumps(result.to_dict()))
    assert data["ok"] is True and data["path"] == str(path)
    assert data["strategy"] == "line_trimmed"
    assert data["repairs"] == ["reindented +4 spaces"]
    assert (data["start_line"], data["end_line"]) == (2, 3)
    assert data["snippet"] == "     1\tclass A:\n     2\t    def f(self):\n     3\t        return 2\n"
    assert data["diff"] == (
        f"--- {path}\n+++ {path}\n@@ -1,3 +1,3 @@\n class A:\n     def f(self):\n"
        "-        return 1\n+        return 2\n"
    )
    failed = bs.edit_file(path, "    def g(self):\n        return 1", "x")
    data = json.loads(json.dumps(failed.to_dict()))
    assert data["ok"] is False and data["error_type"] == "not_found"
    assert set(data["closest_match"]) == {"similarity", "start_line", "end_line", "text", "diff"}


@pytest.mark.parametrize("folder", [".git", ".hg", ".svn"])
def test_files_in_version_control_folders_are_refused_unless_allowed(tmp_path, folder):
    config = tmp_path / folder / "config"
    config.parent.mkdir()
    config.write_bytes(b"[core]\n\tbare = false\n")
    link = tmp_path / "innocent.cfg"
    link.symlink_to(config)
    for path in (config, link):
        with pytest.raises(bs.EditError, match="version-control") as refused:
            bs.edit_file(path, "bare = false", "bare = false\n\tfsmonitor = evil")
        assert refused.value.error_type == "path_refused"
        with pytest.raises(bs.EditError, match="version-control"):
            bs.apply_edits(path, [{"old_string": "bare = false", "new_string": "bare = true"}])
    assert config.read_bytes() == b"[core]\n\tbare = false\n"
    assert bs.edit_file(config, "bare = false", "bare = true", allow_vcs_dirs=True).written


def test_line_ending_flags_and_their_restoration_equal_the_plain_forms():
    from brindle_search.files import document_from_text, restore_endings

    rng = __import__("random").Random(4)
    checked = 0
    for _ in range(500):
        raw = "".join(rng.choice(["a", "b\r", "\n", "\r\n", " ", "é"]) for _ in range(rng.randint(0, 30)))
        doc = document_from_text(raw)
        assert restore_endings(doc, doc.text, doc.crlf) == raw
        if doc.crlf is not None:
            # Plain form: one flag per LF of the text, whether a CR came before that LF.
            plain = [k > 0 and raw[k - 1] == "\r" for k, c in enumerate(raw) if c == "\n"]
            assert doc.crlf == plain
            checked += 1
    assert checked > 100
