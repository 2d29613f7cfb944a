"""Where a file is, held by descriptor, and which paths a patch may name under a root folder.

A ``Location`` is a folder held open plus a name in it. The file is read, locked, checked and
replaced through that descriptor, so a folder that is renamed or replaced by a symbolic link after
the path was resolved cannot redirect the write. ``Location.for_path`` makes one from an ordinary
path (a symbolic link edits its target).

``Root`` resolves the paths of SEARCH/REPLACE blocks under a root folder, one component at a time
from the root's own descriptor, and never lets the kernel follow a symbolic link: every folder is
opened with ``O_NOFOLLOW``, a link is read and its target resolved here, and a target that leads
out of the root is refused. ``relative_parts`` is the policy for the text of such a path: relative,
no ``..``, not a URL, a home folder or a variable, not a folder, not inside ``.git``, ``.hg`` or
``.svn`` unless allowed.
"""

from __future__ import annotations

import errno
import os
import stat
from types import TracebackType

from .errors import PathRefused

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable

__all__ = ["VCS_DIRS", "Location", "Root", "relative_parts", "refuse_vcs_path"]

#: Folders of version-control systems: writing there can run code (hooks, ``core.fsmonitor``).
VCS_DIRS = frozenset({".git", ".hg", ".svn"})

_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_DIR_FLAGS = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | _CLOEXEC

#: Symbolic links followed while resolving one path, as the kernel's own limit.
_MAX_LINKS = 40

_LETTERS = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ")
_NAME_CHARS = _LETTERS | frozenset("0123456789_")
_SCHEME_CHARS = _NAME_CHARS - {"_"} | frozenset("+.-")


def is_url(path: str) -> bool:
    """``path`` begins with a URL scheme and ``://`` (``file:///x``)."""
    scheme = path.partition("://")[0]
    return len(scheme) < len(path) and scheme[:1] in _LETTERS and all(ch in _SCHEME_CHARS for ch in scheme)


def is_drive(path: str) -> bool:
    """``path`` begins with a drive letter, a colon and a separator (``C:\\x``)."""
    return len(path) >= 3 and path[0] in _LETTERS and path[1] == ":" and path[2] in "/\\"


def is_variable(path: str) -> bool:
    """``path`` begins with a variable a shell would expand: ``$NAME``, ``${``, ``$(``, ``%NAME%``."""
    if path.startswith("$"):
        return path[1:2] in _LETTERS or path[1:2] in ("_", "{", "(")
    if path.startswith("%"):
        name, percent, _ = path[1:].partition("%")
        return bool(percent) and name[:1] in _LETTERS | {"_"} and all(ch in _NAME_CHARS for ch in name)
    return False


def relative_parts(path: str, *, allow_vcs_dirs: bool = False) -> list[str]:
    """The components of `path`, a path relative to a root as a patch names it.

    A backslash counts as a folder separator (models write Windows paths). Refused with
    ``PathRefused``: empty, a NUL character, absolute (``/x``, ``\\x``, ``C:\\x``), a URL
    (``file:///x``), a home folder (``~/x``) or an environment variable (``$HOME/x``,
    ``%USERPROFILE%``) that a shell would expand, a trailing separator (a folder, not a file),
    ``..`` anywhere, the root itself, and a component naming a version-control folder unless
    `allow_vcs_dirs`. ``a:b.txt`` is an ordinary name.
    """
    if not path:
        raise PathRefused("empty path")
    if "\0" in path:
        raise PathRefused(f"{path!r}: NUL character in path", path=path)
    if is_url(path):
        raise PathRefused(f"{path}: a URL, not a path relative to the root", path=path)
    if path.startswith(("/", "\\")) or is_drive(path):
        raise PathRefused(f"{path}: absolute path (paths are relative to the root)", path=path)
    if path.startswith("~"):
        raise PathRefused(f"{path}: '~' is a home folder, not a path relative to the root", path=path)
    if is_variable(path):
        raise PathRefused(
            f"{path}: names an environment variable, not a path relative to the root", path=path
        )
    if path.endswith(("/", "\\")):
        raise PathRefused(f"{path}: names a folder (ends in a separator), not a file", path=path)
    parts = [part for part in path.replace("\\", "/").split("/") if part not in ("", ".")]
    if ".." in parts:
        raise PathRefused(f"{path}: '..' leaves the root", path=path)
    if not parts:
        raise PathRefused(f"{path}: names the root folder itself", path=path)
    if not allow_vcs_dirs:
        for part in parts:
            _check_vcs(path, part)
    return parts


def refuse_vcs_path(path: str | os.PathLike[str]) -> None:
    """PathRefused when the file at an ordinary path lies inside a version-control folder, as
    its name or the path its links resolve to shows."""
    name = os.fspath(path)
    for candidate in (os.path.abspath(name), os.path.realpath(name)):
        for part in candidate.split(os.sep)[:-1]:
            _check_vcs(name, part)


def _check_vcs(path: str, name: str) -> None:
    if name.lower() in VCS_DIRS:
        raise PathRefused(
            f"{path}: inside a version-control folder ({name}); writing there is refused unless "
            "allowed (allow_vcs_dirs=True, --allow-vcs-dirs)",
            path=path,
        )


class Location(os.PathLike[str]):
    """The file `name` in the folder open as `dir_fd`; `display` names it in reports and diffs.

    `dir_fd` is None when the folder does not exist (yet). `resolve` finds the file again (a new
    folder descriptor and name) when a symbolic link has taken its name since it was resolved.
    Folders made on the way to it (``Root.locate`` with ``create_folders``) are recorded so that
    a failed creation can remove them again.
    """

    def __init__(
        self,
        display: str,
        dir_fd: int | None,
        name: str,
        resolve: Callable[[], tuple[int | None, str]],
    ) -> None:
        self.display = display
        self.dir_fd = dir_fd
        self.name = name
        self._resolve = resolve
        self.created: list[tuple[int, str]] = []  # (parent folder descriptor, name), in order

    @classmethod
    def for_path(cls, path: str | os.PathLike[str]) -> Location:
        """The file at an ordinary path; a symbolic link stands for its target."""
        name = os.fspath(path)
        if not isinstance(name, str):
            raise TypeError("path must be a str or os.PathLike[str]")

        def resolve() -> tuple[int | None, str]:
            folder, base = os.path.split(os.path.realpath(name))
            return os.open(folder or os.sep, _DIR_FLAGS), base

        dir_fd, base = resolve()
        return cls(name, dir_fd, base, resolve)

    def __fspath__(self) -> str:
        return self.display

    def __repr__(self) -> str:
        return f"Location({self.display!r})"

    def __enter__(self) -> Location:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def close(self) -> None:
        if self.dir_fd is not None:
            os.close(self.dir_fd)
            self.dir_fd = None
        for parent, _ in self.created:
            os.close(parent)
        self.created = []

    def reresolve(self) -> None:
        """Resolve the path again: the name was taken by a symbolic link or its folder replaced."""
        dir_fd, name = self._resolve()
        if self.dir_fd is not None:
            os.close(self.dir_fd)
        self.dir_fd, self.name = dir_fd, name

    def lstat(self) -> os.stat_result | None:
        """The status of the name itself (a link is not followed), or None when it is missing."""
        if self.dir_fd is None:
            return None
        try:
            return os.stat(self.name, dir_fd=self.dir_fd, follow_symlinks=False)
        except FileNotFoundError:
            return None

    def open(self, flags: int, mode: int = 0o666) -> int:
        """Open the file through its folder, never following a link at its name.

        When a symbolic link has taken the name, the path is resolved again (so a link that leads
        out of a root is refused as it would have been at first).
        """
        for _ in range(_MAX_LINKS):
            if self.dir_fd is None:
                raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), self.display)
            try:
                return os.open(self.name, flags | _NOFOLLOW | _CLOEXEC, mode, dir_fd=self.dir_fd)
            except OSError as exc:
                if exc.errno != errno.ELOOP:
                    raise
            self.reresolve()
        raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), self.display)

    def remove_created_folders(self) -> None:
        """Remove the folders made on the way to the file, newest first, where still empty."""
        _remove_folders(self.created)


class Root:
    """A root folder held open; the paths of a patch are resolved and opened from it.

    The root itself is opened once, as the caller named it (``a/link/..`` is the folder the kernel
    finds there), and every file is reached from that descriptor.
    """

    def __init__(self, path: str | os.PathLike[str], *, allow_vcs_dirs: bool = False) -> None:
        self.display = os.fspath(path)
        self.allow_vcs_dirs = allow_vcs_dirs
        self.fd = os.open(self.display, _DIR_FLAGS)
        try:
            self.real = _descriptor_path(self.fd, self.display)
        except BaseException:
            os.close(self.fd)
            raise

    def __enter__(self) -> Root:
        return self

    def __exit__(
        self, kind: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1

    def display_path(self, rel: str) -> str:
        """How reports name the file `rel`: the root as given joined with it."""
        return rel if os.path.normpath(self.display) == "." else os.path.join(self.display, rel)

    def locate(self, path: str, *, create_folders: bool = False) -> Location:
        """The file at `path` (checked by ``relative_parts``) under the root.

        Symbolic links met on the way are followed here while they stay inside the root; one that
        leads out of it is ``PathRefused``, and so is a version-control folder reached through a
        link. A missing folder gives a Location without a folder (``dir_fd`` None) unless
        `create_folders`, which makes it (recorded in ``Location.created``). Other problems
        (a file where a folder should be, permissions) are OSError.
        """
        parts = relative_parts(path, allow_vcs_dirs=self.allow_vcs_dirs)
        rel = "/".join(parts)
        display = self.display_path(rel)
        if not self.allow_vcs_dirs:
            for part in self.real.split(os.sep):
                _check_vcs(display, part)
        created: list[tuple[int, str]] = []
        try:
            dir_fd, name = self._walk(parts, display, created if create_folders else None)
        except BaseException:
            _remove_folders(created)
            raise

        def resolve() -> tuple[int | None, str]:
            return self._walk(parts, display, None)

        location = Location(display, dir_fd, name, resolve)
        location.created = created
        return location

    def _walk(
        self, parts: list[str], display: str, created: list[tuple[int, str]] | None
    ) -> tuple[int | None, str]:
        """(descriptor of the folder holding the file, the file's name in it).

        `todo` is what remains to resolve, `done` the real folders (no links) from the root to the
        current one. A link's target is put in front of `todo` and the walk starts again from the
        root, so that ``..`` only ever steps back over a folder of `done`.
        """
        todo = list(parts)
        done: list[str] = []
        cur = self.fd
        links = 0

        def restart(new_todo: list[str], link: bool = True) -> None:
            nonlocal cur, done, todo, links
            if link:
                links += 1
                if links > _MAX_LINKS:
                    raise OSError(errno.ELOOP, "too many levels of symbolic links", display)
            if cur != self.fd:
                os.close(cur)
            cur, done, todo = self.fd, [], [part for part in new_todo if part not in ("", ".")]

        try:
            while True:
                if not todo:
                    # A link to "." or ending in ".." named a folder: that folder is the file.
                    if not done:
                        raise PathRefused(f"{display}: names the root folder itself", path=display)
                    restart(done)
                    continue
                name = todo.pop(0)
                if name == "..":
                    if not done:
                        raise PathRefused(f"{display}: a symbolic link leads out of the root", path=display)
                    restart(done[:-1] + todo, link=False)
                    continue
                if not self.allow_vcs_dirs:
                    _check_vcs(display, name)
                if not todo:
                    try:
                        st = os.stat(name, dir_fd=cur, follow_symlinks=False)
                    except FileNotFoundError:
                        st = None
                    if st is not None and stat.S_ISLNK(st.st_mode):
                        restart(self._link_target(os.readlink(name, dir_fd=cur), done, [], display))
                        continue
                    folder = os.dup(cur) if cur == self.fd else cur
                    cur = self.fd  # handed over to the caller
                    return folder, name
                try:
                    fd = os.open(name, _DIR_FLAGS | _NOFOLLOW, dir_fd=cur)
                except FileNotFoundError:
                    if created is None:
                        return None, todo[-1] if todo else name
                    try:
                        os.mkdir(name, 0o777, dir_fd=cur)
                    except FileExistsError:
                        pass
                    else:
                        created.append((os.dup(cur), name))
                    todo.insert(0, name)
                    continue
                except OSError as exc:
                    if exc.errno not in (errno.ENOTDIR, errno.ELOOP):
                        raise
                    st = os.stat(name, dir_fd=cur, follow_symlinks=False)
                    if not stat.S_ISLNK(st.st_mode):
                        raise
                    restart(self._link_target(os.readlink(name, dir_fd=cur), done, todo, display))
                    continue
                if cur != self.fd:
                    os.close(cur)
                cur = fd
                done.append(name)
        finally:
            if cur != self.fd:
                os.close(cur)

    def _link_target(self, target: str, done: list[str], todo: list[str], display: str) -> list[str]:
        """The components from the root that a link in the folder `done` stands for, then `todo`."""
        if not target.startswith(os.sep):
            return done + target.split(os.sep) + todo
        inside = self._inside(target.split(os.sep))
        if inside is None:
            # Outside components may be links the root's own path goes through.
            inside = self._inside(os.path.realpath(target).split(os.sep))
        if inside is None:
            raise PathRefused(f"{display}: a symbolic link leads out of the root", path=display)
        return inside + todo

    def _inside(self, parts: list[str]) -> list[str] | None:
        root = [part for part in self.real.split(os.sep) if part]
        parts = [part for part in parts if part not in ("", ".")]
        if parts[: len(root)] != root:
            return None
        return parts[len(root) :]


def _descriptor_path(fd: int, fallback: str) -> str:
    """The absolute path of an open folder as the kernel knows it."""
    try:
        return os.readlink(f"/proc/self/fd/{fd}")
    except OSError:
        return os.path.realpath(fallback)


def _remove_folders(created: list[tuple[int, str]]) -> None:
    for parent, name in reversed(created):
        try:
            os.rmdir(name, dir_fd=parent)
        except OSError:
            pass
        os.close(parent)
    created.clear()
