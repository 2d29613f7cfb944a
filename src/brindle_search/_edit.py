"""Safe edits: placing edits with the native driver, repairing new_string, reporting the outcome.

An edit is placed on the text in LF form by the native replacement driver (``_native.locate``),
which says which strategy found old_string, where, and as what text. The package then splices a
repaired new_string in itself (``repairs``), restores the text's line endings (``files``) and
builds the result: the changed lines, a unified diff limited to the changed region, and on
failure the driver's message with a better near miss or the reason for a refusal.
"""

from __future__ import annotations

import os

# The abstract classes, without the import of the collections package that collections.abc makes.
from _collections_abc import Iterable, Mapping

from .edit_report import Changes, OldText, diff_and_snippet
from .errors import EditError, is_native_panic
from .files import (
    Document,
    document_from_text,
    edit_document,
    encode_document,
    restore_endings,
    splice_endings,
    write_document,
)
from .paths import Location, refuse_vcs_path
from .pieces import Pieces
from .placement import DEFAULT_INNER_SHARE, STRATEGIES, Failure, Options, Placement, place
from .records import replace
from .results import Edit, EditResult, check_line_hint

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any, Union

    from .schema import BlockStrategy

    PathArg = Union[str, "os.PathLike[str]"]
    EditLike = Union[Edit, Mapping[str, Any]]

__all__ = ["DEFAULT_MIN_SIMILARITY", "STRATEGIES", "apply_edits", "edit_file", "edit_text", "place_edits"]

#: Default of `min_similarity`: the share of the lines between a tolerant place's first and last
#: lines that must pair with old_string's (counted on both sides). Measured by
#: bench/bench_edit_quality.py: it refuses blocks whose inner lines come from elsewhere and places
#: those with one of two inner lines misremembered or missing.
DEFAULT_MIN_SIMILARITY = DEFAULT_INNER_SHARE

#: A file's text of this many characters or more is held in pieces while edits are made on it.
_PIECES_FROM = 1 << 18


# ---- argument checks ---------------------------------------------------------------------------


def _check_options(reindent_flag: object, strategies: object, min_similarity: object) -> Options:
    if not isinstance(reindent_flag, bool):
        raise TypeError("reindent must be a bool")
    names: list[str] | None = None
    if strategies is not None:
        if isinstance(strategies, str):
            strategies = [strategies]
        if not isinstance(strategies, Iterable):
            raise TypeError("strategies must be an iterable of strategy names")
        names = []
        for name in strategies:
            if not isinstance(name, str) or name not in STRATEGIES:
                raise ValueError(f"unknown strategy {name!r}; valid strategies: {', '.join(STRATEGIES)}")
            names.append(name)
        if not names:
            raise ValueError(f"strategies names none; valid strategies: {', '.join(STRATEGIES)}")
    if min_similarity is not None:
        if isinstance(min_similarity, bool) or not isinstance(min_similarity, (int, float)):
            raise TypeError("min_similarity must be a number between 0 and 1")
        if not 0.0 <= float(min_similarity) <= 1.0:
            raise ValueError("min_similarity must be between 0 and 1")
        min_similarity = float(min_similarity)
    return Options(reindent_flag, names, min_similarity)


def _as_edit(item: object, index: int | None = None) -> Edit:
    where = "" if index is None else f"edit {index}: "
    if isinstance(item, Edit):
        edit = item
    elif isinstance(item, Mapping):
        unknown = set(item) - {"old_string", "new_string", "replace_all", "line_hint"}
        if unknown:
            raise ValueError(f"{where}unknown keys {sorted(map(str, unknown))}")
        try:
            edit = Edit(
                item["old_string"],
                item["new_string"],
                item.get("replace_all", False),
                item.get("line_hint"),
            )
        except KeyError as exc:
            raise ValueError(f"{where}missing key {exc.args[0]!r}") from None
    else:
        raise TypeError(f"{where}an edit must be an Edit or a mapping, not {type(item).__name__}")
    if not isinstance(edit.old_string, str) or not isinstance(edit.new_string, str):
        raise TypeError(f"{where}old_string and new_string must be str")
    if not isinstance(edit.replace_all, bool):
        raise TypeError(f"{where}replace_all must be a bool")
    check_line_hint(edit.line_hint, where)
    return edit


# ---- placing one edit ----------------------------------------------------------------------------


def _lf(s: str) -> str:
    return s.replace("\r\n", "\n") if "\r" in s else s


def _place(text: str, edit: Edit, opts: Options) -> Placement | Failure:
    return place(text, _lf(edit.old_string), _lf(edit.new_string), edit.replace_all, edit.line_hint, opts)


# ---- the runs --------------------------------------------------------------------------------------


def _without_breaks(*texts: str) -> bool:
    """Whether none of `texts` holds a CR or an LF."""
    return not any("\r" in text or "\n" in text for text in texts)


def _may_replace_as_given(edit: Edit) -> bool:
    """Whether an edit of a text may be made on the text as given (``_as_given``) if it is placed
    exactly: a replace_all whose two sides hold no CR or LF."""
    return edit.replace_all and _without_breaks(edit.old_string, edit.new_string)


def _as_given(doc: Document, edits: Sequence[Edit], placed: Placement) -> tuple[str, str] | None:
    """(old, new) of an exact replace_all of text without line breaks, which can be made on the
    text as given: its places there are the places in the LF form, so the line endings need no
    restoring. None for any other edit."""
    if len(edits) != 1 or not _may_replace_as_given(edits[0]) or placed.strategy != "simple":
        return None
    pos, length, inserted = placed.splices[0]
    old = doc.text[pos : pos + length]
    return (old, inserted) if _without_breaks(old, inserted) else None


def _held(text: str) -> str | Pieces:
    """A file's text as an edit run holds it: in pieces when it is large."""
    return Pieces.of(text) if len(text) >= _PIECES_FROM else text


def _run(
    doc: Document,
    edits: Sequence[Edit],
    opts: Options,
    *,
    batch: bool,
    dry_run: bool,
    raw: str | None = None,
    flags_later: bool = False,
) -> EditResult:
    """Place `edits` on the document one after another and report the outcome (written when
    `doc` has a path and not `dry_run`). `raw`: the text as the caller gave it, which an edit of
    a text (not a file) may reuse; `flags_later`: its mixed line endings were not told apart
    (``doc.crlf``), which is done from `raw` unless the edit is made on it as given."""
    label = doc.path if doc.path is not None else "text"
    text: str | Pieces = doc.text
    crlf = doc.crlf
    writing = doc.path is not None and not dry_run
    if writing:
        # Only the latest text is held: the original is the latest read through `changes` (the
        # file is read again if the write meets a change). A large one is held in pieces.
        if doc.pieces is not None:
            text = Pieces(doc.pieces)
            doc.pieces = None
        else:
            text = _held(doc.text)
        doc.text = ""
    # What the result needs of each placement, not the placements (a batch may be thousands).
    first: Placement | None = None  # the first edit's, for a single edit's lines
    strategies: list[BlockStrategy] = []
    repairs: list[tuple[int, str]] = []  # (edit, repair)
    replacements = 0
    inserted: list[str] = []  # the first text each edit inserts, checked by a dry run of a file
    given: tuple[str, str] | None = None  # an edit of a text made on the text as given
    changes = Changes()
    if doc.source is not None:
        # A file's text was decoded strictly (no lone surrogate), and no placed edit adds one.
        opts = replace(opts, clean_text=True)
    prefix = len(text)
    suffix = len(text)
    for index, edit in enumerate(edits):
        after: str | Pieces
        found = (
            text.place_once(_lf(edit.old_string), _lf(edit.new_string), opts)
            if isinstance(text, Pieces) and not edit.replace_all
            else None
        )
        if found is not None:
            outcome, after = found
            found = None  # the text before the edit is released with `text` below
        else:
            if isinstance(text, Pieces):
                text = text.join()
            placed = _place(text, edit, opts)
            if isinstance(placed, Failure):
                # A text as given is the original while nothing has changed.
                original = (
                    raw
                    if raw is not None and not changes.starts
                    else restore_endings(doc, OldText(text, changes)[:], doc.crlf)
                )
                return EditResult(
                    ok=False,
                    path=doc.path,
                    text=original,
                    strategy=strategies if batch else None,
                    error_type=placed.error_type,
                    message=placed.message,
                    closest_match=placed.closest,
                    locations=placed.locations,
                    failed_edit=index if batch else None,
                )
            outcome, after = placed, placed.text
        if raw is not None and index == 0:
            given = _as_given(doc, edits, outcome)
            if flags_later and given is None:
                crlf = doc.crlf = document_from_text(raw).crlf
        crlf = splice_endings(doc, crlf, text, outcome.splices)
        first_pos, _, _ = outcome.splices[0]
        last_pos, last_len, _ = outcome.splices[-1]
        prefix = min(prefix, first_pos)
        suffix = min(suffix, len(text) - last_pos - last_len)
        if outcome.replacements > len(outcome.splices):
            # A replace_all that lists its first and last places only: one range between them.
            span = last_pos + last_len - first_pos
            changes.record(text, [(first_pos, span, span + len(after) - len(text))])
        else:
            changes.record(text, [(pos, length, len(new)) for pos, length, new in outcome.splices])
        # Only the latest text is kept.
        outcome.text = ""
        text = after
        del after
        if writing and isinstance(text, str):
            text = _held(text)
        strategies.append(outcome.strategy)
        repairs.extend((index, phrase) for phrase in outcome.repairs)
        replacements += outcome.replacements
        if first is None:
            first = outcome
        if doc.path is not None and not writing:
            inserted.extend(piece for _, _, piece in outcome.splices[:1])

    if isinstance(text, Pieces):
        text = text.join()
    changes.settle(text)
    changed = bool(changes.starts)
    diff = snippet = ""
    if batch:
        start_line: int | None = text.count("\n", 0, prefix) + 1 if strategies else None
        end_line: int | None = start_line
        if start_line is not None and len(text) - suffix > prefix:
            end_line = text.count("\n", 0, len(text) - suffix - 1) + 1
    else:
        assert first is not None
        start_line = first.start_line
        end_line = first.end_line
    if changed and start_line is not None:
        # A run that does not write still has the original (the document's own text).
        kept = None if writing else doc.text
        diff, snippet = diff_and_snippet(OldText(text, changes, kept), text, label)

    new_raw = (
        raw.replace(*given) if raw is not None and given is not None else restore_endings(doc, text, crlf)
    )
    del text
    written = False
    if writing and changed:
        write_document(doc, new_raw)
        written = True
    elif changed and doc.path is not None:
        # A dry run refuses what a real run would: only inserted text can fail to encode.
        for piece in inserted:
            encode_document(doc, piece)

    tagged = batch and len(strategies) > 1
    return EditResult(
        ok=True,
        path=doc.path,
        text=new_raw,
        strategy=strategies if batch or first is None else first.strategy,
        start_line=start_line,
        end_line=end_line,
        replacements=replacements,
        repairs=[f"edit {index}: {phrase}" if tagged else phrase for index, phrase in repairs],
        diff=diff,
        snippet=snippet,
        written=written,
    )


def _check_vcs(path: PathArg, allow_vcs_dirs: bool) -> None:
    """Files inside version-control folders are refused unless allowed; a file reached from a
    root (a Location) was checked by the root's policy already."""
    if not allow_vcs_dirs and not isinstance(path, Location):
        refuse_vcs_path(path)


def _guarded(run: Any, path: str | None) -> EditResult:
    """Runs an edit; a fault of the native code reaches the caller as EditError."""
    try:
        result: EditResult = run()
    except BaseException as exc:
        if is_native_panic(exc):
            where = f"{path}: " if path is not None else ""
            raise EditError(f"{where}internal error in native code: {exc}", path=path) from exc
        raise
    return result


def edit_text(
    text: str,
    old_string: str,
    new_string: str,
    *,
    replace_all: bool = False,
    line_hint: int | None = None,
    reindent: bool = True,
    strategies: Iterable[str] | None = None,
    min_similarity: float | None = None,
) -> EditResult:
    """Replaces old_string by new_string in `text`, repairing new_string after a tolerant match.

    Never raises for an edit that cannot be placed: the result's ``ok`` is False and its
    ``error_type``, ``message`` and ``closest_match`` say why.
    """
    if not isinstance(text, str):
        raise TypeError("text must be a str")
    opts = _check_options(reindent, strategies, min_similarity)
    edit = _as_edit(Edit(old_string, new_string, replace_all, line_hint))
    # The line endings of an edit that may be made on the text as given are told apart only if
    # it is not.
    later = _may_replace_as_given(edit)
    doc = document_from_text(text, flags_wanted=not later)
    return _guarded(
        lambda: _run(doc, [edit], opts, batch=False, dry_run=True, raw=text, flags_later=later), None
    )


def edit_file(
    path: PathArg,
    old_string: str,
    new_string: str,
    *,
    replace_all: bool = False,
    line_hint: int | None = None,
    reindent: bool = True,
    strategies: Iterable[str] | None = None,
    min_similarity: float | None = None,
    dry_run: bool = False,
    encoding: str | None = None,
    allow_vcs_dirs: bool = False,
) -> EditResult:
    """Edits a file in place (atomically), with the repairs of ``edit_text``.

    Raises EditError when the file cannot be read, decoded or written, WriteConflict when it
    changed on disk meanwhile, and PathRefused for a file inside a version-control folder
    (``.git``, ``.hg``, ``.svn``) unless ``allow_vcs_dirs``.
    """
    opts = _check_options(reindent, strategies, min_similarity)
    edit = _as_edit(Edit(old_string, new_string, replace_all, line_hint))
    _check_vcs(path, allow_vcs_dirs)

    def run(doc: Document) -> EditResult:
        return _guarded(lambda: _run(doc, [edit], opts, batch=False, dry_run=dry_run), doc.path)

    return edit_document(path, encoding, run, dry_run=dry_run, in_pieces=not dry_run)


def apply_edits(
    path: PathArg,
    edits: Iterable[EditLike],
    *,
    dry_run: bool = False,
    encoding: str | None = None,
    reindent: bool = True,
    strategies: Iterable[str] | None = None,
    min_similarity: float | None = None,
    allow_vcs_dirs: bool = False,
) -> EditResult:
    """Applies `edits` in order to one file, all or nothing.

    Each edit is an ``Edit`` or a mapping with the keys old_string, new_string and optionally
    replace_all and line_hint. When one is not placed nothing is written and the result's
    ``failed_edit`` is its 0-based index. Raises as ``edit_file`` does.
    """
    opts = _check_options(reindent, strategies, min_similarity)
    if isinstance(edits, (str, bytes, Mapping, Edit)):
        raise TypeError("edits must be an iterable of Edit objects or mappings")
    checked = [_as_edit(item, k) for k, item in enumerate(edits)]
    if not checked:
        raise ValueError("apply_edits needs at least one edit")
    _check_vcs(path, allow_vcs_dirs)

    def run(doc: Document) -> EditResult:
        return _guarded(lambda: _run(doc, checked, opts, batch=True, dry_run=dry_run), doc.path)

    return edit_document(path, encoding, run, dry_run=dry_run, in_pieces=not dry_run)


def place_edits(doc: Document, edits: Iterable[EditLike]) -> EditResult:
    """What ``apply_edits`` makes of `edits` on a document read already (``files.load_document``),
    with nothing written: on success ``text`` is the new text with the document's line endings,
    for the caller to write (patches place every file before writing any)."""
    checked = [_as_edit(item, k) for k, item in enumerate(edits)]
    if not checked:
        raise ValueError("place_edits needs at least one edit")
    opts = _check_options(True, None, None)
    return _guarded(lambda: _run(doc, checked, opts, batch=True, dry_run=True), doc.path)
