"""Helpers for tests on real files: running a call as another user, listing stray files."""

import os
import pickle

# Users that own no file of the test run; a test that needs them runs as root.
OTHER_UID = 54321
THIRD_UID = 54322
SHARED_GID = 54330


def leftovers(folder, keep):
    """The names in `folder` beyond `keep` (temporary files a write should not have left)."""
    return sorted(p.name for p in folder.iterdir() if p.name not in keep)


def as_user(uid, gid, groups, call, cwd=None):
    """Run `call()` in a forked child with the given user, group and supplementary groups.

    Returns ("ok", value) or ("error", exception class name, message, error_type).
    """
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # the child: report through the pipe and leave without running pytest's exit
        try:
            os.close(read_end)
            if cwd is not None:
                os.chdir(cwd)
            os.setgroups(groups)
            os.setgid(gid)
            os.setuid(uid)
            try:
                data = pickle.dumps(("ok", call()))
            except BaseException as exc:  # noqa: BLE001 - everything goes back to the parent
                data = pickle.dumps(("error", type(exc).__name__, str(exc), getattr(exc, "error_type", None)))
            view = memoryview(data)
            while view:
                view = view[os.write(write_end, view) :]
        finally:
            os._exit(0)
    os.close(write_end)
    chunks = []
    while True:
        chunk = os.read(read_end, 65536)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_end)
    os.waitpid(pid, 0)
    return pickle.loads(b"".join(chunks))
