"""The package's exception: problems with the file itself, never an edit that was not placed.

An edit that cannot be placed is an ordinary result (``EditResult.ok`` is False). ``EditError`` is
raised for what the caller cannot fix by changing the edit: a missing or unreadable file, content
that is binary or not decodable, a failed write, and internal faults of the native code.
"""

from __future__ import annotations

__all__ = ["EditError"]


class EditError(Exception):
    """A file could not be read, decoded or written, or the native code failed.

    ``path`` names the file (None for an edit of a string) and ``offset`` the byte offset of the
    offending byte where one applies (a NUL byte, an undecodable sequence).
    """

    def __init__(self, message: str, *, path: str | None = None, offset: int | None = None):
        super().__init__(message)
        self.path = path
        self.offset = offset


def is_native_panic(exc: BaseException) -> bool:
    """Whether `exc` is the PanicException of a native module (a BaseException by design)."""
    cls = type(exc)
    return cls.__name__ == "PanicException" and cls.__module__ == "brindle_search_runtime"
