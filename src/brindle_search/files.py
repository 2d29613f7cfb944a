"""Documents: the bytes of an edited file, its text, and the one way back to disk.

This module is the only one that touches a file's bytes or line endings.

Reading decodes the file: UTF-8 unless told otherwise, and a byte-order mark of UTF-8, UTF-16 or
UTF-32 (either byte order) chooses the encoding by itself. The mark is kept, not put in the text,
and written back with the same byte order. Edits are matched on the text in LF form; ``Document``
remembers how the file ended its lines so that the edited text gets them back: a file that uses
CR LF (or CR alone) throughout is written with it again, and in a file with mixed CR LF and LF
endings every untouched line keeps its own and inserted lines take the most common one.

Writing (``write_document``) replaces the file atomically: the new bytes go to a temporary file
beside it (named ``.NAME.brindle-PID-XXXXXXXX.tmp``; those of a process that died are removed at
the next write), fsynced, given the file's owner, group, permission bits and extended attributes
(POSIX ACLs included), then renamed over it and the folder fsynced. Just before the rename the
file must still be the one that was read (device, inode, size, change and modification times, and
the bytes themselves when the times are too recent to tell); otherwise nothing is written and
``WriteConflict`` is raised. Where a rename would lose something (the file has other hard links,
belongs to another user, or has attributes the temporary file cannot take) the file is instead
overwritten in place, its space reserved first and its old bytes put back if the write fails.
``edit_document`` runs an edit under an advisory lock on the file (writers of this package in
other threads and processes take turns) and, after a conflict, reads the file again and runs the
edit once more. Everything goes through a ``Location``: a folder held open plus a name in it.
"""

from __future__ import annotations

import codecs
import errno
import io
import os
import stat
import time
from itertools import chain, repeat

from . import pieces as pieces_module
from .errors import EditError, WriteConflict
from .paths import Location, Root
from .records import field, record

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator, Sequence
    from typing import Any, TypeVar, Union

    from .pieces import Pieces

    PathLike = Union[str, "os.PathLike[str]"]
    R = TypeVar("R")

try:
    import fcntl
except ImportError:  # no advisory locks on this system: the conflict check remains
    _flock = None
else:
    _flock = fcntl.flock
    _LOCK_FLAGS = fcntl.LOCK_EX | fcntl.LOCK_NB

__all__ = [
    "Document",
    "create_file",
    "load_document",
    "release_document",
    "remove_document",
    "document_from_text",
    "edit_document",
    "encode_document",
    "read_document",
    "restore_endings",
    "splice_endings",
    "write_document",
]


#: Byte-order marks, longest first (the UTF-32 LE mark begins with the UTF-16 LE one).
_BOMS: tuple[tuple[bytes, str], ...] = (
    (codecs.BOM_UTF32_LE, "utf-32-le"),
    (codecs.BOM_UTF32_BE, "utf-32-be"),
    (codecs.BOM_UTF8, "utf-8"),
    (codecs.BOM_UTF16_LE, "utf-16-le"),
    (codecs.BOM_UTF16_BE, "utf-16-be"),
)
_MARK_OF = {name: bom for bom, name in _BOMS}

#: A file whose modification time is this close to the moment it was read may have been written
#: again within the same timestamp tick: its bytes are compared before it is replaced.
_RACY_NS = 2_000_000_000

#: Up to this many bytes, the content of such a file is kept for that comparison; a larger one
#: keeps a digest of it, so that an edit of a large file holds no second copy of it.
_KEPT_BYTES = 1 << 16

#: Characters of a large text encoded and written at a time.
_PIECE = 1 << 16

#: Content up to this many bytes is decoded whole; larger content a piece at a time.
_DECODED_WHOLE = 1 << 18

#: How long a writer waits for another one holding the file's lock.
_LOCK_TIMEOUT = 30.0

_TEMPORARY = r"\.(.*)\.brindle-(\d+)-[0-9a-f]{8}\.tmp"
_NAME_KEPT = 200  # bytes of the file's name in its temporary file's name (names have 255)


@record
class _Source:
    """Where a document was read from and what it was then: the basis of the conflict check."""

    location: Location
    status: os.stat_result
    data: bytes | None  # the content, when it may have to be compared and is small
    read_ns: int  # time.time_ns() just before reading
    lock_fd: int | None = None
    digest: bytes | None = None  # a digest of the content, when it may have to be compared and is large

    def release(self) -> None:
        if self.lock_fd is not None:
            os.close(self.lock_fd)  # closing the descriptor releases its lock
            self.lock_fd = None


@record
class Document:
    """The LF-form text of an edit plus what is needed to give it back its bytes.

    ``newline`` is the file's line ending ("\\n", "\\r\\n" or "\\r"); ``crlf`` is None when every
    line ends the same way, otherwise it holds, for each LF of ``text`` in order, whether that
    line ended in CR LF. ``bom`` and ``encoding`` give the bytes back (the encoding names the byte
    order). ``path`` names the file in reports.
    """

    text: str
    newline: str = "\n"
    crlf: list[bool] | None = None
    bom: bytes = b""
    encoding: str = "utf-8"
    path: str | None = None
    source: _Source | None = field(default=None, repr=False, compare=False)
    # A large file's LF-form text in pieces of whole lines, when it was asked for so (``text`` is
    # then empty).
    pieces: list[str] | None = field(default=None, repr=False, compare=False)


# ---- line endings --------------------------------------------------------------------------------


def _split_endings(parts: list[str], *, flags_wanted: bool = True) -> tuple[str, list[bool] | None]:
    """Puts each of `parts` (a text in pieces that, but for the last, end in a line feed) in LF
    form, in place; returns the text's most common ending and, when the endings are mixed and
    `flags_wanted`, per-LF flags.

    A text with CRs and no LF at all uses CR alone as its line ending; otherwise a CR that is not
    followed by LF is ordinary text.
    """
    if not any("\r" in part for part in parts):
        return "\n", None
    if not any("\n" in part for part in parts):
        for k, part in enumerate(parts):
            parts[k] = part.replace("\r", "\n")
        return "\r", None
    crlf_count = sum(part.count("\r\n") for part in parts)
    if crlf_count == 0:
        return "\n", None
    lf_count = sum(part.count("\n") for part in parts)
    flags: list[bool] | None = None
    if crlf_count != lf_count and flags_wanted:
        # A line split at LF ends in CR exactly when its LF was a CR LF (mapped in C). A piece
        # ends at a line feed, so no CR LF is cut in two.
        flags = []
        for part in parts:
            lines = part.split("\n")
            lines.pop()
            flags.extend(map(str.endswith, lines, repeat("\r")))
    for k, part in enumerate(parts):
        parts[k] = part.replace("\r\n", "\n")
    if crlf_count == lf_count:
        return "\r\n", None
    return ("\r\n" if crlf_count > lf_count - crlf_count else "\n"), flags


def document_from_text(raw: str, *, flags_wanted: bool = True) -> Document:
    """The document of a text (no file); without `flags_wanted`, mixed endings are not told apart
    (``crlf`` is None), for a caller that has the text as given to restore them from."""
    parts = [raw]
    newline, flags = _split_endings(parts, flags_wanted=flags_wanted)
    return Document(text=parts[0], newline=newline, crlf=flags)


def restore_endings(doc: Document, text: str, crlf: list[bool] | None) -> str:
    """`text` (LF form) with the document's line endings; `crlf` is the updated per-LF list."""
    if crlf is None:
        return text if doc.newline == "\n" else text.replace("\n", doc.newline)
    lines = text.split("\n")
    last = lines.pop()
    # Each line, then its own ending, interleaved in C.
    ends = map(("\n", "\r\n").__getitem__, crlf)
    return "".join(chain.from_iterable(zip(lines, ends))) + last


def splice_endings(
    doc: Document, crlf: list[bool] | None, text: str | Pieces, splices: Sequence[tuple[int, int, str]]
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


# ---- decoding and encoding -----------------------------------------------------------------------


def _codec_name(encoding: str | None) -> str | None:
    if encoding is None:
        return None
    try:
        return codecs.lookup(encoding).name
    except LookupError:
        raise ValueError(f"unknown encoding {encoding!r}") from None


def _mark(data: bytes | bytearray) -> tuple[bytes, str] | None:
    for bom, name in _BOMS:
        if data.startswith(bom):
            return bom, name
    return None


def _choose_codec(data: bytes | bytearray, codec: str | None) -> tuple[bytes, str]:
    """(the byte-order mark to keep, the codec with its byte order) for `data` read as `codec`.

    Without a codec a mark decides, else UTF-8. ``utf-16`` and ``utf-32`` take the byte order of
    their mark, little-endian without one (and then none is written either).
    """
    found = _mark(data)
    if codec is None:
        return found if found is not None else (b"", "utf-8")
    if codec in ("utf-8", "utf-8-sig"):
        return (codecs.BOM_UTF8, "utf-8") if data.startswith(codecs.BOM_UTF8) else (b"", "utf-8")
    if codec in ("utf-16", "utf-32"):
        if found is not None and found[1].startswith(codec + "-"):
            return found
        return b"", codec + "-le"
    bom = _MARK_OF.get(codec)
    if bom is not None and data.startswith(bom):
        return bom, codec
    return b"", codec


def _utf16_hint(data: bytes | bytearray) -> str:
    """Advice for a NUL byte in what may be UTF-16 text written without a byte-order mark."""
    sample = data[:4096]
    pairs = len(sample) // 2
    if pairs < 2:
        return ""
    odd = sample[1::2].count(0)
    even = sample[0::2].count(0)
    if odd >= 0.6 * pairs and even < 0.1 * pairs:
        return "; it looks like UTF-16 text without a byte-order mark: pass encoding='utf-16-le'"
    if even >= 0.6 * pairs and odd < 0.1 * pairs:
        return "; it looks like UTF-16 text without a byte-order mark: pass encoding='utf-16-be'"
    return ""


def decode_document(data: bytes, encoding: str | None, path: str | None) -> Document:
    """The document of the bytes `data`; EditError for binary or undecodable content."""
    return _document(*_decode(data, encoding, path), path)


def _document(
    parts: list[str], bom: bytes, codec: str, path: str | None, *, in_pieces: bool = False
) -> Document:
    """The document of a decoded text in pieces: held in them when asked and there are several
    (its ``text`` is then empty), else as one text."""
    newline, flags = _split_endings(parts)
    doc = Document(text="", newline=newline, crlf=flags, bom=bom, encoding=codec, path=path)
    if in_pieces and len(parts) > 1:
        doc.pieces = parts
    else:
        doc.text = parts[0] if len(parts) == 1 else "".join(parts)
    return doc


def _decode(data: bytes | bytearray, encoding: str | None, path: str | None) -> tuple[list[str], bytes, str]:
    """(the text of `data` as it is, in pieces of whole lines, its byte-order mark, its codec);
    EditError for binary or undecodable content."""
    bom, codec = _choose_codec(data, _codec_name(encoding))
    name = path if path is not None else "text"
    if not codec.startswith(("utf-16", "utf-32")):
        nul = data.find(b"\0")
        if nul >= 0:
            raise EditError(
                f"{name}: binary content (NUL byte at byte offset {nul}){_utf16_hint(data)}",
                path=path,
                offset=nul,
            )
    try:
        if len(data) > _DECODED_WHOLE:
            try:
                return _decode_pieces(data, len(bom), codec), bom, codec
            except UnicodeDecodeError:
                pass  # decoded whole again below, for the error's offset in the whole text
        return [codecs.decode(memoryview(data)[len(bom) :], codec)], bom, codec
    except UnicodeDecodeError as exc:
        offset = exc.start + len(bom)
        what = codec if encoding is None and bom else (encoding or "utf-8")
        raise EditError(
            f"{name}: not decodable as {what} at byte offset {offset} ({exc.reason})",
            path=path,
            offset=offset,
        ) from None


def _decode_pieces(data: bytes | bytearray, start: int, codec: str) -> list[str]:
    """The text of data[start:] as pieces of whole lines, decoded ``PIECE_CHARS`` bytes at a time
    (a piece is what one step decodes, up to its last line feed, after what the steps before left
    over): never held as one text, and each piece only as wide as its own characters need (a
    whole decode that meets a character above U+00FF late copies what it decoded)."""
    decoder = codecs.getincrementaldecoder(codec)()
    step = pieces_module.PIECE_CHARS
    parts: list[str] = []
    pending: list[str] = []  # decoded text after the last line feed
    with memoryview(data) as view:
        for at in range(start, len(data), step):
            with view[at : at + step] as chunk:
                decoded = decoder.decode(chunk, at + step >= len(data))
            cut = decoded.rfind("\n") + 1
            if not cut:
                pending.append(decoded)
                continue
            if pending:
                pending.append(decoded[:cut])
                parts.append("".join(pending))
            else:
                parts.append(decoded if cut == len(decoded) else decoded[:cut])
            pending = [decoded[cut:]] if cut < len(decoded) else []
    rest = "".join(pending) + decoder.decode(b"", True)
    if rest or not parts:
        parts.append(rest)
    return parts


def _unencodable(doc: Document, exc: UnicodeEncodeError) -> EditError:
    return EditError(
        f"{doc.path}: the new text cannot be encoded as {doc.encoding}: {exc.object[exc.start : exc.end]!r}",
        path=doc.path,
    )


def encode_document(doc: Document, raw: str) -> bytes:
    """The bytes of `raw` (the text with its line endings) in the document's encoding."""
    try:
        return doc.bom + raw.encode(doc.encoding)
    except UnicodeEncodeError as exc:
        raise _unencodable(doc, exc) from None


class _Output:
    """The bytes a document's text is written as: a small text encoded whole, a large one a piece
    at a time, so that it is never held encoded whole. A large text that does not encode raises
    EditError from ``pieces`` (a temporary file is then dropped) or from ``size``."""

    def __init__(self, doc: Document, raw: str) -> None:
        self.doc = doc
        self.raw = raw
        self.whole = encode_document(doc, raw) if len(raw) <= _KEPT_BYTES else None

    def size(self) -> int:
        """The length in bytes (a large non-ASCII text is encoded once to measure it)."""
        if self.whole is not None:
            return len(self.whole)
        if self.doc.encoding == "utf-8" and self.raw.isascii():
            return len(self.doc.bom) + len(self.raw)
        return sum(map(len, self.pieces()))

    def pieces(self) -> Iterator[bytes]:
        if self.whole is not None:
            yield self.whole
            return
        if self.doc.bom:
            yield self.doc.bom
        encoder = codecs.getincrementalencoder(self.doc.encoding)()
        raw = self.raw
        for start in range(0, len(raw), _PIECE):
            try:
                yield encoder.encode(raw[start : start + _PIECE], start + _PIECE >= len(raw))
            except UnicodeEncodeError as exc:
                raise _unencodable(self.doc, exc) from None


def _new_digest() -> Any:
    try:
        from _blake2 import blake2b  # without hashlib, whose import loads OpenSSL
    except ImportError:  # pragma: no cover - interpreters without the module
        from hashlib import blake2b
    return blake2b(digest_size=32)


def _remember(source: _Source, whole: bytes | None, digest: bytes | None) -> None:
    """What the conflict check compares the file with, when it may have to: its content if small,
    a digest of it otherwise (and nothing when the file is older than the racy window)."""
    racy = source.status.st_mtime_ns >= source.read_ns - _RACY_NS
    source.data = whole if racy else None
    source.digest = digest if racy and whole is None else None


# ---- reading -------------------------------------------------------------------------------------


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


def _read_all(fd: int, size: int) -> bytearray:
    """Everything from the descriptor's position on, read into one buffer of the expected `size`
    (a read into a bytes object that turns out longer than the file would copy it once more)."""
    buffer = bytearray(size)
    got = 0
    with io.FileIO(fd, closefd=False) as stream:
        with memoryview(buffer) as view:
            while got < size:
                # Each view is released at once: the buffer cannot be resized while one is held.
                with view[got:] as rest:
                    count = stream.readinto(rest)
                if not count:
                    break
                got += count
        if got < size:
            del buffer[got:]
        else:
            buffer += stream.read()  # the file grew since its size was taken
    return buffer


def _lock(location: Location) -> int:
    """A descriptor of the file holding its advisory lock (the file that has the name now)."""
    deadline = time.monotonic() + _LOCK_TIMEOUT
    delay = 0.0005
    while True:
        fd = location.open(os.O_RDONLY | os.O_NONBLOCK)
        try:
            held = os.fstat(fd)
            if not stat.S_ISREG(held.st_mode) or _flock is None:
                return fd  # refused by the reader, or no locks to take
            try:
                _flock(fd, _LOCK_FLAGS)
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise WriteConflict(
                        f"{location.display}: another writer has held the file for {_LOCK_TIMEOUT:.0f} s; "
                        "nothing was written",
                        path=location.display,
                    ) from None
                os.close(fd)
                time.sleep(delay)
                delay = min(delay * 2, 0.02)
                continue
            except OSError as exc:
                if exc.errno in (errno.ENOLCK, errno.EOPNOTSUPP, errno.EINVAL):
                    return fd  # no locks on this file system: the conflict check remains
                raise
            now = location.lstat()
            if now is not None and (now.st_dev, now.st_ino) == (held.st_dev, held.st_ino):
                return fd
            os.close(fd)  # the file was replaced while we waited: lock the one there now
        except BaseException:
            try:
                os.close(fd)
            except OSError:
                pass
            raise


def _load(location: Location, encoding: str | None, *, lock: bool, in_pieces: bool = False) -> Document:
    """The document of the file at `location`, holding its lock when asked; a large file's text
    is left in its pieces when asked (``Document.pieces``)."""
    display = location.display
    try:
        fd = _lock(location) if lock else location.open(os.O_RDONLY | os.O_NONBLOCK)
    except OSError as exc:
        raise _os_error(display, exc, "read") from None
    try:
        status = os.fstat(fd)
        if stat.S_ISDIR(status.st_mode):
            raise EditError(f"{display}: not a regular file (a directory)", path=display)
        if not stat.S_ISREG(status.st_mode):
            raise EditError(f"{display}: not a regular file", path=display)
        read_ns = time.time_ns()
        data: bytes | bytearray = _read_all(fd, status.st_size)
    except OSError as exc:
        os.close(fd)
        raise _os_error(display, exc, "read") from None
    except BaseException:
        os.close(fd)
        raise
    if not lock:
        os.close(fd)
    source = _Source(location, status, None, read_ns, fd if lock else None)
    try:
        if len(data) <= _KEPT_BYTES:
            _remember(source, bytes(data), None)
        elif status.st_mtime_ns >= read_ns - _RACY_NS:
            digest = _new_digest()
            digest.update(data)
            _remember(source, None, digest.digest())
        parts, bom, codec = _decode(data, encoding, display)
        data = b""  # only the text is kept from here on (with a small copy or a digest above)
        doc = _document(parts, bom, codec, display, in_pieces=in_pieces)
    except BaseException:
        source.release()
        raise
    doc.source = source
    return doc


def _location(path: PathLike | Location) -> tuple[Location, bool]:
    """The location of `path` and whether the caller owns it (must close it)."""
    if isinstance(path, Location):
        return path, False
    name = os.fspath(path)
    if not isinstance(name, str):
        raise TypeError("path must be a str or os.PathLike[str]")
    try:
        return Location.for_path(name), True
    except OSError as exc:
        raise _os_error(name, exc, "read") from None


def read_document(path: PathLike | Location, encoding: str | None = None) -> Document:
    """Reads and decodes a file; raises EditError for anything that is not an editable text.

    The document remembers what was read, so ``write_document`` can still check it for changes,
    but holds no lock and no descriptor (``edit_document`` is the way to edit a file).
    """
    _codec_name(encoding)
    location, owned = _location(path)
    try:
        doc = _load(location, encoding, lock=False)
    finally:
        if owned:
            location.close()
    doc.source = None
    return doc


def edit_document(
    path: PathLike | Location,
    encoding: str | None,
    run: Callable[[Document], R],
    *,
    dry_run: bool = False,
    in_pieces: bool = False,
) -> R:
    """``run(doc)`` on the document of the file at `path`, which it may write with
    ``write_document``; returns what `run` returns.

    Unless `dry_run`, the file's advisory lock is held from the read to the end of `run`. When
    ``write_document`` finds that the file changed since it was read, the file is read again and
    `run` called once more; a second change raises ``WriteConflict`` (nothing written).
    `in_pieces`: a large file's text is handed over in ``Document.pieces``.
    """
    _codec_name(encoding)
    location, owned = _location(path)
    try:
        for attempt in (0, 1):
            doc = _load(location, encoding, lock=not dry_run, in_pieces=in_pieces)
            assert doc.source is not None
            try:
                return run(doc)
            except WriteConflict:
                if attempt:
                    raise
            finally:
                doc.source.release()
        raise AssertionError("unreachable")
    finally:
        if owned:
            location.close()


# ---- writing -------------------------------------------------------------------------------------


def _kept_name(name: str) -> str:
    """The file's name as its temporary files carry it: at most _NAME_KEPT bytes of it."""
    kept = name[:_NAME_KEPT]
    while len(os.fsencode(kept)) > _NAME_KEPT:
        kept = kept[:-1]
    return kept


def _temporary_name(name: str) -> str:
    return f".{_kept_name(name)}.brindle-{os.getpid()}-{os.urandom(4).hex()}.tmp"


def _alive(pid: int) -> bool:
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # another user's process
    return True


def _remove_stale_temporaries(location: Location) -> None:
    """Remove the temporary files of the same target left by processes that died mid-write."""
    assert location.dir_fd is not None
    kept = _kept_name(location.name)
    prefix = f".{kept}.brindle-"
    try:
        names = os.listdir(location.dir_fd)
    except OSError:
        return
    for entry in names:
        if not entry.startswith(prefix):
            continue

        import re  # only for the temporaries of this file

        m = re.fullmatch(_TEMPORARY, entry, re.DOTALL)
        if m is None or m.group(1) != kept or _alive(int(m.group(2))):
            continue
        try:
            if stat.S_ISREG(os.stat(entry, dir_fd=location.dir_fd, follow_symlinks=False).st_mode):
                os.unlink(entry, dir_fd=location.dir_fd)
        except OSError:
            pass


def _create_temporary(location: Location, mode: int) -> tuple[str, int]:
    assert location.dir_fd is not None
    while True:
        name = _temporary_name(location.name)
        try:
            flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
            return name, os.open(name, flags, mode, dir_fd=location.dir_fd)
        except FileExistsError:
            continue


def _write_all(fd: int, data: bytes, offset: int | None = None) -> None:
    view = memoryview(data)
    done = 0
    while done < len(view):
        if offset is None:
            done += os.write(fd, view[done:])
        else:
            done += os.pwrite(fd, view[done:], offset + done)


def _identity(st: os.stat_result) -> tuple[int, ...]:
    return (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns, stat.S_IFMT(st.st_mode))


def _same_content(fd: int, source: _Source) -> bool:
    """Whether the file open as `fd` still holds the bytes that were read (and no more)."""
    if source.data is None:
        return source.digest is not None and _digest_of(fd) == (source.digest, source.status.st_size)
    expected = source.data
    offset = 0
    while True:
        chunk = os.pread(fd, max(len(expected) + 1 - offset, 1), offset)
        if not chunk:
            return offset == len(expected)
        if chunk != expected[offset : offset + len(chunk)]:
            return False
        offset += len(chunk)


def _chunks(fd: int) -> Iterator[bytes]:
    """The content of the file open as `fd`, from its start, a piece at a time."""
    offset = 0
    while chunk := os.pread(fd, _PIECE, offset):
        yield chunk
        offset += len(chunk)


def _digest_of(fd: int) -> tuple[bytes, int]:
    """(the digest, the length) of the content of the file open as `fd`."""
    digest = _new_digest()
    length = 0
    for chunk in _chunks(fd):
        digest.update(chunk)
        length += len(chunk)
    return digest.digest(), length


def _write_output(fd: int, output: _Output, offset: int | None = None) -> bytes | None:
    """Write `output` (at `offset`, or where the descriptor is); the digest of a large one."""
    digest = _new_digest() if output.whole is None else None
    done = 0
    for piece in output.pieces():
        _write_all(fd, piece, None if offset is None else offset + done)
        done += len(piece)
        if digest is not None:
            digest.update(piece)
    return None if digest is None else digest.digest()


def _gone(display: str) -> WriteConflict:
    return WriteConflict(
        f"{display}: the file was removed or renamed while the edit was being made; nothing was written",
        path=display,
    )


def _check_unchanged(source: _Source, fd: int) -> None:
    """WriteConflict unless the file at the name is the one read, with the bytes read."""
    location = source.location
    display = location.display
    now = location.lstat()
    if now is None:
        raise _gone(display)
    if _identity(now) != _identity(source.status) or (
        now.st_mtime_ns >= source.read_ns - _RACY_NS and not _same_content(fd, source)
    ):
        raise WriteConflict(
            f"{display}: the file changed on disk while the edit was being made; nothing was written. "
            "Read it again and redo the edit.",
            path=display,
        )


def _xattrs(fd: int) -> list[str]:
    try:
        return list(os.listxattr(fd))
    except OSError as exc:
        if exc.errno in (errno.ENOTSUP, errno.EOPNOTSUPP, errno.ENOSYS):
            return []
        raise


def _carry_metadata(original: int, status: os.stat_result, tmp: int) -> bool:
    """Give the temporary file the original's owner, group, mode and extended attributes.

    False when it cannot take all of them (the caller then writes in place instead).
    """
    mine = os.fstat(tmp)
    if (mine.st_uid, mine.st_gid) != (status.st_uid, status.st_gid):
        if mine.st_uid != status.st_uid and os.geteuid() != 0:
            return False  # only root may give a file away
        try:
            os.fchown(tmp, status.st_uid, status.st_gid)
        except PermissionError:
            return False
    os.fchmod(tmp, stat.S_IMODE(status.st_mode))  # after the chown, which clears set-id bits
    if not hasattr(os, "listxattr"):
        return True
    try:
        wanted = _xattrs(original)
        for name in _xattrs(tmp):
            if name not in wanted:  # inherited from the folder (a default ACL): not the file's
                os.removexattr(tmp, name)
        for name in wanted:
            os.setxattr(tmp, name, os.getxattr(original, name))
    except OSError:
        return False
    return True


def _replace_by_rename(source: _Source, original: int, output: _Output) -> tuple[bool, bytes | None]:
    """Write `output` to a temporary file and rename it over the file: (done, the digest of a
    large output); not done when a rename would lose metadata (nothing done then)."""
    location = source.location
    assert location.dir_fd is not None
    tmp_name: str | None
    tmp_name, tmp = _create_temporary(location, 0o600)
    try:
        digest = _write_output(tmp, output)
        if not _carry_metadata(original, source.status, tmp):
            return False, None
        os.fsync(tmp)
        _check_unchanged(source, original)
        os.rename(tmp_name, location.name, src_dir_fd=location.dir_fd, dst_dir_fd=location.dir_fd)
        tmp_name = None
        os.fsync(location.dir_fd)
        return True, digest
    finally:
        os.close(tmp)
        if tmp_name is not None:
            try:
                os.unlink(tmp_name, dir_fd=location.dir_fd)
            except FileNotFoundError:
                pass


def _replace_in_place(source: _Source, original: int, output: _Output) -> bytes | None:
    """Overwrite the file itself (same inode: links, owner and attributes stay); the digest of a
    large output."""
    location = source.location
    _check_unchanged(source, original)
    before = b"".join(_chunks(original))  # put back if the write fails
    size = output.size()  # before anything is written: a text that does not encode raises here
    fd = location.open(os.O_WRONLY)
    try:
        if os.fstat(fd).st_ino != source.status.st_ino:
            raise WriteConflict(f"{location.display}: the file was replaced meanwhile", path=location.display)
        if size > source.status.st_size and hasattr(os, "posix_fallocate"):
            try:
                os.posix_fallocate(fd, 0, size)  # no ENOSPC half-way through the text
            except OSError as exc:
                if exc.errno not in (errno.EOPNOTSUPP, errno.ENOTSUP, errno.EINVAL, errno.ENOSYS):
                    raise
        try:
            digest = _write_output(fd, output, 0)
            os.ftruncate(fd, size)
            os.fsync(fd)
            return digest
        except BaseException:
            try:
                _write_all(fd, before, 0)
                os.ftruncate(fd, len(before))
                os.fsync(fd)
            except OSError:
                pass
            raise
    finally:
        os.close(fd)


def write_document(doc: Document, raw: str) -> None:
    """Replace the file `doc` was read from by `raw` (the text with its line endings) encoded.

    Raises ``WriteConflict`` when the file changed since it was read, EditError when it cannot be
    written; in both cases the file is as it was.
    """
    source = doc.source
    if source is None:
        raise ValueError("the document was not read by edit_document")
    output = _Output(doc, raw)
    location = source.location
    display = location.display
    try:
        try:
            original = location.open(os.O_RDONLY | os.O_NONBLOCK)
        except FileNotFoundError:
            raise _gone(display) from None
        try:
            held = os.fstat(original)
            if (held.st_dev, held.st_ino) != (source.status.st_dev, source.status.st_ino):
                _check_unchanged(source, original)  # raises: another file has the name now
            if not os.access(location.name, os.W_OK, dir_fd=location.dir_fd):
                raise EditError(f"{display}: permission denied (write)", path=display)
            _remove_stale_temporaries(location)
            done, digest = (
                (False, None) if source.status.st_nlink > 1 else _replace_by_rename(source, original, output)
            )
            if not done:
                digest = _replace_in_place(source, original, output)
        finally:
            os.close(original)
        source.status = os.stat(location.name, dir_fd=location.dir_fd, follow_symlinks=False)
        source.read_ns = time.time_ns()
        _remember(source, output.whole, digest)
    except OSError as exc:
        raise _os_error(display, exc, "write") from None


#: Errors of a file system without hard links.
_NO_LINKS = frozenset({errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EMLINK, errno.ENOSYS})


def _create_directly(location: Location, data: bytes) -> None:
    """Create the file under its own name (where no hard link can put a finished one there)."""
    display = location.display
    try:
        fd = location.open(os.O_WRONLY | os.O_CREAT | os.O_EXCL)
    except FileExistsError:
        raise EditError(
            f"{display}: cannot create: the file exists", path=display, error_type="file_exists"
        ) from None
    try:
        _write_all(fd, data)
        os.fsync(fd)
    except BaseException:
        os.close(fd)
        os.unlink(location.name, dir_fd=location.dir_fd)
        raise
    os.close(fd)


def create_file(root: Root, path: str, text: str, *, like: Document | None = None) -> None:
    """Create the file `path` under `root` holding `text` in UTF-8, making its folders.

    The file appears complete or not at all, with the permission bits the umask leaves of 0o666;
    an existing file is never replaced (EditError with error_type "file_exists"). When creation
    fails, the folders it made are removed again. With `like` (a document read from another file,
    which a patch renames or copies), `text` is written in that document's encoding and
    byte-order mark and the new file takes that file's permission bits.
    """
    display = root.display_path(path)
    template = Document(text="", path=display)
    mode = 0o666
    if like is not None:
        template = Document(text="", bom=like.bom, encoding=like.encoding, path=display)
        if like.source is not None:
            mode = stat.S_IMODE(like.source.status.st_mode)
    data = encode_document(template, text)
    try:
        location = root.locate(path, create_folders=True)
    except OSError as exc:
        raise _os_error(root.display_path(path), exc, "create") from None
    display = location.display
    try:
        try:
            assert location.dir_fd is not None
            _remove_stale_temporaries(location)
            tmp_name, tmp = _create_temporary(location, mode)
            try:
                if like is not None:
                    os.fchmod(tmp, mode)  # the bits of the file it comes from, whatever the umask
                _write_all(tmp, data)
                os.fsync(tmp)
                try:
                    # A link, unlike a rename, fails when the name is taken.
                    os.link(tmp_name, location.name, src_dir_fd=location.dir_fd, dst_dir_fd=location.dir_fd)
                except FileExistsError:
                    raise EditError(
                        f"{display}: cannot create: the file exists", path=display, error_type="file_exists"
                    ) from None
                except OSError as exc:
                    if exc.errno not in _NO_LINKS:
                        raise
                    _create_directly(location, data)
            finally:
                os.close(tmp)
                os.unlink(tmp_name, dir_fd=location.dir_fd)
            os.fsync(location.dir_fd)
            for parent, _ in location.created:
                os.fsync(parent)
        except OSError as exc:
            raise _os_error(display, exc, "create") from None
    except BaseException:
        location.remove_created_folders()
        raise
    finally:
        location.close()


# ---- documents held across files: a patch placed everywhere before anything is written --------


def load_document(location: Location, encoding: str | None = None, *, lock: bool = True) -> Document:
    """Read the file at `location` for a change made later with ``write_document`` or
    ``remove_document``; with `lock`, its advisory lock is held until ``release_document``.

    Raises EditError for anything that is not an editable text (as ``read_document``).
    """
    _codec_name(encoding)
    return _load(location, encoding, lock=lock)


def release_document(doc: Document) -> None:
    """Give up the lock of a document read by ``load_document`` (nothing happens twice)."""
    if doc.source is not None:
        doc.source.release()


def remove_document(doc: Document) -> None:
    """Remove the file `doc` was read from, when it is still the one that was read.

    Raises ``WriteConflict`` when the file changed or went away since it was read (it is then
    left as it is), EditError when it cannot be removed.
    """
    source = doc.source
    if source is None:
        raise ValueError("the document was not read by load_document")
    location = source.location
    display = location.display
    try:
        try:
            fd = location.open(os.O_RDONLY | os.O_NONBLOCK)
        except FileNotFoundError:
            raise _gone(display) from None
        try:
            _check_unchanged(source, fd)
            os.unlink(location.name, dir_fd=location.dir_fd)
        finally:
            os.close(fd)
        assert location.dir_fd is not None
        os.fsync(location.dir_fd)
    except OSError as exc:
        raise _os_error(display, exc, "remove") from None
