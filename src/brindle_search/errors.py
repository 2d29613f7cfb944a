"""The package's exceptions: problems with the file itself, never an edit that was not placed.

An edit that cannot be placed is an ordinary result (``EditResult.ok`` is False). ``EditError`` is
raised for what the caller cannot fix by changing the edit: a missing or unreadable file, content
that is binary or not decodable, a failed write, a file that changed on disk while it was being
edited (``WriteConflict``), a path that may not be written (``PathRefused``), and internal faults
of the native code. Each carries an ``error_type`` naming the kind of problem in reports.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    from .schema import FileErrorType


__all__ = ["EditError", "PathRefused", "WriteConflict"]


class EditError(Exception):
    """A file could not be read, decoded or written, or the native code failed.

    ``path`` names the file (None for an edit of a string) and ``offset`` the byte offset of the
    offending byte where one applies (a NUL byte, an undecodable sequence). ``error_type`` is
    "io_error" unless a subclass or the raiser says otherwise ("file_exists" when a file to be
    created appeared first).
    """

    error_type: FileErrorType = "io_error"

    def __init__(
        self,
        message: str,
        *,
        path: str | None = None,
        offset: int | None = None,
        error_type: FileErrorType | None = None,
    ):
        super().__init__(message)
        self.path = path
        self.offset = offset
        if error_type is not None:
            self.error_type = error_type


class WriteConflict(EditError):
    """The file changed on disk between reading it and writing the edit; nothing was written."""

    error_type: FileErrorType = "conflict"


class PathRefused(EditError, ValueError):
    """A path that may not be written: not relative to the root, leaving it, or inside a
    version-control folder."""

    error_type: FileErrorType = "path_refused"


def is_native_panic(exc: BaseException) -> bool:
    """Whether `exc` is the PanicException of a native module (a BaseException by design)."""
    cls = type(exc)
    return cls.__name__ == "PanicException" and cls.__module__ == "brindle_search_runtime"
