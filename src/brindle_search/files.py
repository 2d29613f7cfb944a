"""Reading and writing the files that are edited, and the line endings of their text.

Edits are matched on the text in LF form. ``Document`` remembers how the original text ended its
lines so that the edited text can be given back the same way: a file that uses CR LF throughout
is written with CR LF again; in a file with mixed endings every untouched line keeps its own
ending and inserted lines take the file's most common one. A UTF-8 byte-order mark is kept but
is not part of the text. Writing is atomic: a temporary file in the same folder, flushed and
fsynced, then renamed over the original (whose permission bits it takes); a symbolic link edits
its target, and no temporary file survives a failure.
"""

from __future__ import annotations

import codecs
import errno
import os
import stat
import tempfile
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Union

from .errors import EditError

__all__ = ["Document", "document_from_text", "read_document", "write_atomic", "encode_document"]

PathLike = Union[str, "os.PathLike[str]"]

_BOM = codecs.BOM_UTF8


@dataclass
class Document:
    """The LF-form text of an edit plus what is needed to give it back its own line endings.

    ``crlf`` is None when every line ending is the same (``newline``); otherwise it holds, for
    each LF of ``text`` in order, whether that line ended in CR LF.
    """

    text: str
    newline: str = "\n"
    crlf: list[bool] | None = None
    bom: bytes = b""
    encoding: str = "utf-8"
    path: str | None = None
    mode: int = 0
    owner: tuple[int, int] | None = None  # (uid, gid) of the file


def _split_endings(raw: str) -> tuple[str, str, list[bool] | None]:
    """The LF form of `raw`, its most common ending and, when the endings are mixed, per-LF flags."""
    if "\r" not in raw:
        return raw, "\n", None
    crlf_count = raw.count("\r\n")
    if crlf_count == 0:
        return raw, "\n", None
    lf_count = raw.count("\n")
    text = raw.replace("\r\n", "\n")
    if crlf_count == lf_count:
        return text, "\r\n", None
    flags: list[bool] = []
    pos = raw.find("\n")
    while pos >= 0:
        flags.append(pos > 0 and raw[pos - 1] == "\r")
        pos = raw.find("\n", pos + 1)
    newline = "\r\n" if crlf_count > lf_count - crlf_count else "\n"
    return text, newline, flags


def document_from_text(raw: str) -> Document:
    text, newline, flags = _split_endings(raw)
    return Document(text=text, newline=newline, crlf=flags)


def restore_endings(doc: Document, text: str, crlf: list[bool] | None) -> str:
    """`text` (LF form) with the document's line endings; `crlf` is the updated per-LF list."""
    if crlf is None:
        return text if doc.newline == "\n" else text.replace("\n", "\r\n")
    lines = text.split("\n")
    out = []
    for k, flag in enumerate(crlf):
        out.append(lines[k])
        out.append("\r\n" if flag else "\n")
    out.append(lines[-1])
    return "".join(out)


def splice_endings(
    doc: Document, crlf: list[bool] | None, text: str, splices: Sequence[tuple[int, int, str]]
) -> list[bool] | None:
    """The per-LF flags after replacing, in `text`, each (position, length) by the new text.

    LFs before and after a splice keep their flags; the LFs of inserted text take the document's
    most common ending. Splices are given in ascending position and do not overlap.
    """
    if crlf is None:
        return None
    inserted_flag = doc.newline == "\r\n"
    out: list[bool] = []
    k = 0  # index into crlf of the next LF of `text` not yet copied
    prev = 0
    for pos, length, new in splices:
        before = text.count("\n", prev, pos)
        out.extend(crlf[k : k + before])
        k += before
        k += text.count("\n", pos, pos + length)
        out.extend([inserted_flag] * new.count("\n"))
        prev = pos + length
    out.extend(crlf[k:])
    return out


def _codec_name(encoding: str | None) -> str:
    try:
        return codecs.lookup(encoding or "utf-8").name
    except LookupError:
        raise ValueError(f"unknown encoding {encoding!r}") from None


def _os_error(path: str, exc: OSError, action: str) -> EditError:
    if isinstance(exc, FileNotFoundError):
        what = "no such file"
    elif isinstance(exc, PermissionError):
        what = f"permission denied ({action})"
    elif isinstance(exc, IsADirectoryError):
        what = "not a regular file (a directory)"
    else:
        what = f"cannot {action}: {exc.strerror or exc}"
    return EditError(f"{path}: {what}", path=path)


def read_document(path: PathLike, encoding: str | None = None) -> Document:
    """Reads and decodes a file; raises EditError for anything that is not an editable text."""
    name = os.fspath(path)
    if not isinstance(name, str):
        raise TypeError("path must be a str or os.PathLike[str]")
    try:
        st = os.stat(name)
    except OSError as exc:
        raise _os_error(name, exc, "read") from None
    if not stat.S_ISREG(st.st_mode):
        raise EditError(f"{name}: not a regular file", path=name)
    codec = _codec_name(encoding)
    try:
        with open(name, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise _os_error(name, exc, "read") from None
    if not codec.startswith(("utf-16", "utf-32")):
        nul = data.find(b"\0")
        if nul >= 0:
            raise EditError(f"{name}: binary content (NUL byte at byte offset {nul})", path=name, offset=nul)
    bom = b""
    body: bytes | memoryview = data
    if codec in ("utf-8", "utf-8-sig"):
        codec = "utf-8"
        if data.startswith(_BOM):
            bom = _BOM
            body = memoryview(data)[len(_BOM) :]
    try:
        raw = codecs.decode(body, codec) if bom else data.decode(codec)
    except UnicodeDecodeError as exc:
        offset = exc.start + len(bom)
        raise EditError(
            f"{name}: not decodable as {encoding or 'utf-8'} at byte offset {offset} ({exc.reason})",
            path=name,
            offset=offset,
        ) from None
    text, newline, flags = _split_endings(raw)
    return Document(
        text=text,
        newline=newline,
        crlf=flags,
        bom=bom,
        encoding=codec,
        path=name,
        mode=stat.S_IMODE(st.st_mode),
        owner=(st.st_uid, st.st_gid),
    )


def encode_document(doc: Document, raw: str) -> bytes:
    """The bytes of `raw` (the text with its line endings) in the document's encoding."""
    try:
        return doc.bom + raw.encode(doc.encoding)
    except UnicodeEncodeError as exc:
        raise EditError(
            f"{doc.path}: the new text cannot be encoded as {doc.encoding}: "
            f"{exc.object[exc.start : exc.end]!r}",
            path=doc.path,
        ) from None


def write_atomic(path: str, data: bytes, mode: int, owner: tuple[int, int] | None = None) -> None:
    """Replaces the file (or a symbolic link's target) by `data` in one rename.

    The new file gets the permission bits `mode` and, where the process may give it, the `owner`
    (uid, gid) of the file it replaces.
    """
    target = os.path.realpath(path)
    if not os.access(target, os.W_OK):
        raise EditError(f"{path}: permission denied (write)", path=path)
    folder, base = os.path.split(target)
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{base}.", suffix=".tmp", dir=folder)
    except OSError as exc:
        raise _os_error(path, exc, "create a temporary file beside it") from None
    try:
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
                os.chmod(tmp, mode)
                if owner is not None and hasattr(os, "chown"):
                    tmp_stat = os.stat(tmp)
                    if (tmp_stat.st_uid, tmp_stat.st_gid) != owner:
                        try:
                            os.chown(tmp, *owner)
                        except PermissionError:
                            pass  # only the owner's own process or root may keep it
            os.replace(tmp, target)
        except BaseException:
            try:
                os.unlink(tmp)
            except OSError as exc:
                if exc.errno != errno.ENOENT:
                    raise
            raise
    except OSError as exc:
        raise _os_error(path, exc, "write") from None
