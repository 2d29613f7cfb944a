"""What a write of brindle_search keeps and refuses, on real files in temporary folders.

Lost updates (a file changed between reading and writing it, by another process or thread of the
package or by anyone else), the metadata a replacement must keep (hard links, extended
attributes, POSIX ACLs, another user's ownership), the umask of new files, the fsync of the
folder, and temporary files left by a process killed mid-write.
"""

import os
import signal
import stat
import struct
import threading

import pytest
from helpers import OTHER_UID, SHARED_GID, THIRD_UID, as_user, leftovers

import brindle_search as bs
from brindle_search import files as files_module


def write(path, data):
    path.write_bytes(data)
    return path


def numbered(count, tag="old"):
    return "".join(f"line {k} {tag}\n" for k in range(count))


# ---- changes between reading and writing -----------------------------------------------------


def changing_encoder(monkeypatch, path, times):
    """Make another writer change the file while the edit is being made, `times` times."""
    real = files_module.encode_document
    calls = []

    def encode(doc, raw):
        calls.append(raw)  # the text being written
        if len(calls) <= times:
            with open(path, "ab") as f:
                f.write(f"appended {len(calls)}\n".encode())
        return real(doc, raw)

    monkeypatch.setattr(files_module, "encode_document", encode)
    return calls


@pytest.mark.parametrize("batch", [False, True])
def test_a_change_while_editing_is_redone_on_the_new_text(tmp_path, monkeypatch, batch):
    path = write(tmp_path / "a.py", b"x = 1\ny = 2\n")
    calls = changing_encoder(monkeypatch, path, times=1)
    if batch:
        result = bs.apply_edits(path, [bs.Edit("x = 1", "x = 10"), bs.Edit("y = 2", "y = 20")])
    else:
        result = bs.edit_file(path, "x = 1", "x = 10")
    assert result.ok and result.written
    assert len(calls) == 2 and calls[1].endswith("appended 1\n")
    expected = b"x = 10\ny = 20\nappended 1\n" if batch else b"x = 10\ny = 2\nappended 1\n"
    assert path.read_bytes() == expected
    assert result.text == expected.decode()
    assert leftovers(tmp_path, {"a.py"}) == []


def test_a_second_change_is_a_conflict_and_nothing_is_written(tmp_path, monkeypatch):
    path = write(tmp_path / "a.py", b"x = 1\n")
    changing_encoder(monkeypatch, path, times=2)
    with pytest.raises(bs.EditError) as info:
        bs.edit_file(path, "x = 1", "x = 10")
    assert info.value.error_type == "conflict" and isinstance(info.value, bs.WriteConflict)
    assert "changed on disk" in str(info.value) and str(path) in str(info.value)
    assert path.read_bytes() == b"x = 1\nappended 1\nappended 2\n"
    assert leftovers(tmp_path, {"a.py"}) == []


@pytest.mark.parametrize("how", ["replaced", "same size in place", "removed"])
def test_every_kind_of_change_is_seen(tmp_path, monkeypatch, how):
    path = write(tmp_path / "a.py", b"x = 1\n#0\n")
    real = files_module.encode_document
    calls = []

    def encode(doc, raw):
        calls.append(raw)
        if how == "replaced":
            write(tmp_path / "other", f"x = 1\n#replaced {len(calls)}\n".encode())
            os.replace(tmp_path / "other", path)
        elif how == "same size in place":
            with open(path, "r+b") as f:
                f.write(f"x = 1\n#{len(calls)}\n".encode())
        else:
            path.unlink()
        return real(doc, raw)

    monkeypatch.setattr(files_module, "encode_document", encode)
    with pytest.raises(bs.EditError) as info:
        bs.edit_file(path, "x = 1", "x = 10")
    if how == "removed":
        assert info.value.error_type == "io_error" and "no such file" in str(info.value)
        assert len(calls) == 1
    else:
        assert info.value.error_type == "conflict"
        assert len(calls) == 2 and path.read_bytes().startswith(b"x = 1\n#")
    assert leftovers(tmp_path, {"a.py"}) == []


def _edit_lines(path, lines):
    """Edit each of `lines` of the file (one edit_file call each); the written results."""
    written = 0
    for k in lines:
        result = bs.edit_file(path, f"line {k} old\n", f"line {k} new\n")
        assert result.ok, str(result)
        written += result.written
    return written


@pytest.mark.parametrize("workers", ["processes", "threads"])
def test_concurrent_writers_lose_no_update(tmp_path, workers):
    count = 60
    path = write(tmp_path / "shared.txt", numbered(2 * count).encode())
    halves = [range(0, 2 * count, 2), range(1, 2 * count, 2)]
    if workers == "threads":
        done = []
        threads = [threading.Thread(target=lambda h=h: done.append(_edit_lines(path, h))) for h in halves]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert done == [count, count]
    else:
        pids = []
        for half in halves:
            pid = os.fork()
            if pid == 0:
                try:
                    status = 0 if _edit_lines(path, half) == count else 3
                except BaseException:  # noqa: BLE001 - reported by the exit status
                    status = 4
                os._exit(status)
            pids.append(pid)
        for pid in pids:
            _, status = os.waitpid(pid, 0)
            assert os.waitstatus_to_exitcode(status) == 0
    assert path.read_text() == numbered(2 * count, "new")
    assert leftovers(tmp_path, {"shared.txt"}) == []


# ---- metadata --------------------------------------------------------------------------------


def test_hard_links_keep_sharing_the_text(tmp_path):
    path = write(tmp_path / "a.py", b"x = 1\n")
    other = tmp_path / "b.py"
    os.link(path, other)
    assert bs.edit_file(path, "x = 1", "x = 2").written
    assert other.read_bytes() == b"x = 2\n"
    assert os.stat(path).st_ino == os.stat(other).st_ino and os.stat(path).st_nlink == 2
    assert bs.edit_file(path, "x = 2", "x = 33333333333\n" * 100).written  # growing in place
    assert other.read_bytes() == path.read_bytes() == b"x = 33333333333\n" * 100
    assert leftovers(tmp_path, {"a.py", "b.py"}) == []


def _xattrs_supported(folder):
    probe = folder / ".probe"
    probe.write_bytes(b"")
    try:
        os.setxattr(probe, "user.probe", b"1")
    except OSError:
        return False
    finally:
        probe.unlink()
    return True


def _acl(*entries):
    """The binary form of a POSIX access ACL (the value of system.posix_acl_access)."""
    undefined = 0xFFFFFFFF
    body = b"".join(
        struct.pack("<HHI", tag, perm, undefined if who is None else who) for tag, perm, who in entries
    )
    return struct.pack("<I", 2) + body


USER_OBJ, USER, GROUP_OBJ, GROUP, MASK, OTHER = 0x01, 0x02, 0x04, 0x08, 0x10, 0x20


@pytest.mark.skipif(not hasattr(os, "setxattr"), reason="no extended attributes on this system")
@pytest.mark.parametrize("kind", ["user attribute", "acl"])
def test_extended_attributes_and_acls_are_kept(tmp_path, kind):
    if not _xattrs_supported(tmp_path):
        pytest.skip("the file system has no extended attributes")
    path = write(tmp_path / "a.py", b"x = 1\n")
    if kind == "user attribute":
        name, value = "user.origin", b"downloaded"
    else:
        # Group members may read only; one other user may write (the mask allows rw, and the
        # group bits of the mode show the mask).
        name = "system.posix_acl_access"
        value = _acl(
            (USER_OBJ, 6, None), (USER, 6, OTHER_UID), (GROUP_OBJ, 4, None), (MASK, 6, None), (OTHER, 4, None)
        )
    try:
        os.setxattr(path, name, value)
    except OSError:
        pytest.skip(f"the file system does not take {name}")
    mode = stat.S_IMODE(path.stat().st_mode)
    assert bs.edit_file(path, "x = 1", "x = 2").written
    assert path.read_bytes() == b"x = 2\n"
    assert os.getxattr(path, name) == value
    assert stat.S_IMODE(path.stat().st_mode) == mode
    assert leftovers(tmp_path, {"a.py"}) == []


@pytest.mark.skipif(os.geteuid() != 0, reason="only root can make files of other users")
def test_another_users_group_writable_file_keeps_its_owner(shared_tmp):
    path = write(shared_tmp / "team.txt", b"x = 1\n")
    os.chown(path, OTHER_UID, SHARED_GID)
    path.chmod(0o664)
    # A third user, a member of the file's group, edits it in a folder anyone may write.
    outcome = as_user(THIRD_UID, THIRD_UID, [SHARED_GID], lambda: bs.edit_file(path, "x = 1", "x = 2"))
    assert outcome[0] == "ok" and outcome[1].written, outcome
    st = path.stat()
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (OTHER_UID, SHARED_GID, 0o664)
    assert path.read_bytes() == b"x = 2\n"
    assert leftovers(shared_tmp, {"team.txt"}) == []


@pytest.mark.skipif(os.geteuid() != 0, reason="only root can make files of other users")
def test_own_file_of_a_group_one_is_not_in_is_written_in_place(shared_tmp):
    path = write(shared_tmp / "mine.txt", b"x = 1\n")
    os.chown(path, OTHER_UID, SHARED_GID)
    path.chmod(0o640)
    outcome = as_user(OTHER_UID, OTHER_UID, [], lambda: bs.edit_file(path, "x = 1", "x = 2"))
    assert outcome[0] == "ok" and outcome[1].written, outcome
    st = path.stat()
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (OTHER_UID, SHARED_GID, 0o640)
    assert path.read_bytes() == b"x = 2\n"


# ---- new files and the folder ----------------------------------------------------------------


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002])
def test_new_files_take_the_umask_without_changing_it(tmp_path, monkeypatch, umask):
    from brindle_search.blocks import apply_blocks

    previous = os.umask(umask)
    try:
        changes = []
        real_umask = os.umask

        def watch(mask):
            changes.append(mask)
            return real_umask(mask)

        monkeypatch.setattr(os, "umask", watch)
        report = apply_blocks("new.py\n<<<<<<< SEARCH\n=======\nx = 1\n>>>>>>> REPLACE\n", tmp_path)
        monkeypatch.undo()
        assert report.ok
        assert changes == []  # the process-wide umask is never changed, not even for a moment
        assert stat.S_IMODE((tmp_path / "new.py").stat().st_mode) == 0o666 & ~umask
    finally:
        os.umask(previous)


@pytest.mark.parametrize("action", ["edit", "create"])
def test_the_folder_is_fsynced(tmp_path, monkeypatch, action):
    from brindle_search.blocks import apply_blocks

    write(tmp_path / "a.py", b"x = 1\n")
    synced = []
    real_fsync = os.fsync

    def fsync(fd):
        synced.append(stat.S_ISDIR(os.fstat(fd).st_mode))
        return real_fsync(fd)

    monkeypatch.setattr(files_module.os, "fsync", fsync)
    if action == "edit":
        assert bs.edit_file(tmp_path / "a.py", "x = 1", "x = 2").written
    else:
        assert apply_blocks("b.py\n<<<<<<< SEARCH\n=======\nx = 1\n>>>>>>> REPLACE\n", tmp_path).ok
    assert synced[:1] == [False] and True in synced[1:]  # the file first, then its folder


# ---- leftovers -------------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["x" * 255, "\u00e9" * 126 + ".py"])
def test_longest_names_can_be_written(tmp_path, name):
    path = write(tmp_path / name, b"x = 1\n")
    assert bs.edit_file(path, "x = 1", "x = 2").written
    assert path.read_bytes() == b"x = 2\n"
    assert leftovers(tmp_path, {name}) == []


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_temporary_file_of_a_killed_writer_is_removed_by_the_next_write(tmp_path):
    path = write(tmp_path / "a.py", b"x = 1\n" * 1000)
    pid = os.fork()
    if pid == 0:
        # The writer dies once the temporary file is complete, before the rename.
        files_module.os.fsync = lambda fd: os.kill(os.getpid(), signal.SIGKILL)
        bs.edit_file(path, "x = 1\n" * 1000, "x = 2\n" * 1000)
        os._exit(0)
    _, status = os.waitpid(pid, 0)
    assert os.WIFSIGNALED(status) and os.WTERMSIG(status) == signal.SIGKILL
    stray = leftovers(tmp_path, {"a.py"})
    assert len(stray) == 1 and stray[0].startswith(f".a.py.brindle-{pid}-") and stray[0].endswith(".tmp")
    assert (tmp_path / stray[0]).stat().st_size == 6000
    assert path.read_bytes() == b"x = 1\n" * 1000

    # A live writer's temporary file and other files that look alike stay.
    keep = {"a.py", f".a.py.brindle-{os.getpid()}-0123abcd.tmp", ".b.py.brindle-999999999-0123abcd.tmp"}
    for name in keep - {"a.py"}:
        (tmp_path / name).write_bytes(b"")
    assert bs.edit_file(path, "x = 1\n" * 1000, "x = 3\n").written
    assert leftovers(tmp_path, keep) == []
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(keep)


# ---- descriptors -----------------------------------------------------------------------------


def test_no_descriptor_is_left_open(tmp_path, monkeypatch):
    from brindle_search.blocks import apply_blocks

    path = write(tmp_path / "a.py", b"x = 1\n")
    (tmp_path / "sub").mkdir()
    os.symlink("/", tmp_path / "out")

    def calls():
        yield lambda: bs.edit_file(path, "x = 1", "x = 2")
        yield lambda: bs.edit_file(path, "x = 2", "x = 1", dry_run=True)
        yield lambda: bs.edit_file(path, "missing", "x")
        yield lambda: bs.apply_edits(path, [bs.Edit("x = 2", "x = 1"), bs.Edit("nope", "x")])
        for text in (
            "sub/n.py\n<<<<<<< SEARCH\n=======\nn\n>>>>>>> REPLACE\n",
            "out/etc/x\n<<<<<<< SEARCH\n=======\n",
        ):
            yield lambda text=text: apply_blocks(text + ">>>>>>> REPLACE\n", tmp_path)

    def count():
        return len(os.listdir("/proc/self/fd"))

    for call in calls():
        call()
    before = count()
    for _ in range(3):
        for call in calls():
            try:
                call()
            except bs.EditError:
                pass
        (tmp_path / "sub" / "n.py").unlink(missing_ok=True)
    changing_encoder(monkeypatch, path, times=10)
    with pytest.raises(bs.WriteConflict):
        bs.edit_file(path, "x = 2", "x = 3")
    for missing in ("nope.py", "sub/nope/x.py"):
        with pytest.raises(bs.EditError):
            bs.edit_file(tmp_path / missing, "a", "b")
    assert count() == before


# ---- large files: written a piece at a time, compared by digest ------------------------------

LARGE = 3 * (1 << 20) // 2  # characters: more than one piece of the writer


@pytest.mark.parametrize(
    ("encoding", "bom", "sample"),
    [
        ("utf-8", b"", "é"),
        ("utf-8", b"\xef\xbb\xbf", "€"),
        ("utf-16-le", b"\xff\xfe", "ω"),
        ("cp1252", b"", "€"),
    ],
)
@pytest.mark.parametrize("linked", [False, True], ids=["renamed", "in place"])
def test_a_large_file_is_written_whole_in_its_encoding(tmp_path, encoding, bom, sample, linked):
    lines = [f"line {k} {sample * (k % 3)}\r\n" if k % 5 else f"line {k}\n" for k in range(LARGE // 12)]
    text = "".join(lines)
    path = write(tmp_path / "big.txt", bom + text.encode(encoding))
    if linked:
        os.link(path, tmp_path / "other.txt")  # written in place, keeping the link
    edits = [bs.Edit("line 7 " + sample, "line 7 changed"), bs.Edit(f"line {len(lines) - 3} ", "last ")]
    result = bs.apply_edits(path, edits, encoding="cp1252" if encoding == "cp1252" else None)
    assert result.ok and result.written
    expected = text.replace("line 7 " + sample, "line 7 changed").replace(f"line {len(lines) - 3} ", "last ")
    assert path.read_bytes() == bom + expected.encode(encoding)
    assert leftovers(tmp_path, {"big.txt", "other.txt"}) == []


@pytest.mark.parametrize("linked", [False, True], ids=["renamed", "in place"])
def test_a_large_text_that_cannot_be_encoded_writes_nothing(tmp_path, linked):
    data = ("x = 1\n" * (LARGE // 6)).encode("latin-1")
    path = write(tmp_path / "big.txt", data)
    if linked:
        os.link(path, tmp_path / "other.txt")
    with pytest.raises(bs.EditError, match="cannot be encoded as iso8859-1: .€"):
        bs.edit_file(path, "x = 1\n" * (LARGE // 6), "x = €\n" * (LARGE // 6), encoding="latin-1")
    assert path.read_bytes() == data and leftovers(tmp_path, {"big.txt", "other.txt"}) == []


def test_a_failed_write_in_place_puts_the_large_file_back(tmp_path, monkeypatch):
    data = numbered(LARGE // 10).encode()
    path = write(tmp_path / "big.txt", data)
    os.link(path, tmp_path / "other.txt")
    real = files_module._write_all
    written = []

    def failing(fd, piece, offset=None):
        written.append(len(piece))
        if len(written) == 2:  # the second piece of the new text: the first one is in the file
            raise OSError(28, "No space left on device")
        real(fd, piece, offset)

    monkeypatch.setattr(files_module, "_write_all", failing)
    with pytest.raises(bs.EditError, match="No space left"):
        bs.edit_file(path, "line 3 old\n", "line 3 new\n")
    assert path.read_bytes() == data


@pytest.mark.parametrize("size", [100, LARGE], ids=["small (bytes kept)", "large (digest kept)"])
def test_the_content_check_sees_a_change_of_the_same_size(tmp_path, size):
    data = b"a" * size
    path = write(tmp_path / "f.txt", data)
    doc = files_module.load_document(files_module._location(path)[0], lock=False)
    source = doc.source
    assert (source.data is not None) == (size <= files_module._KEPT_BYTES)
    assert (source.digest is not None) == (size > files_module._KEPT_BYTES)
    with open(path, "rb") as f:
        assert files_module._same_content(f.fileno(), source)
    write(path, b"a" * (size - 1) + b"b")
    with open(path, "rb") as f:
        assert not files_module._same_content(f.fileno(), source)


def test_a_file_older_than_a_timestamp_tick_keeps_nothing_for_the_check(tmp_path):
    path = write(tmp_path / "f.txt", b"x = 1\n" * 20000)
    os.utime(path, ns=(1_000_000_000, 1_000_000_000))
    doc = files_module.load_document(files_module._location(path)[0], lock=False)
    assert doc.source.data is None and doc.source.digest is None
    assert bs.edit_file(path, "x = 1\n" * 20000, "x = 2\n").written
