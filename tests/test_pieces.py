"""A large file's text held in pieces while edits are made on it: the pieces answer as the joined
text would, and a run of edits on pieces gives the result and the file it gives on one text."""

import codecs
import random

import pytest
from test_edit_report import code_lines, generated_batch

import brindle_search
from brindle_search import _edit
from brindle_search import files as files_module
from brindle_search import pieces as pieces_module
from brindle_search.pieces import Pieces, split_pieces

PIECE_SIZES = [1, 7, 60, 400, 5000]


def random_text(rng):
    alphabet = rng.choice(["ab\n", "a\n", "abc \n\n", "xé\u20ac\n"])
    return "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 300)))


@pytest.mark.parametrize("seed", range(30))
def test_pieces_answer_as_the_joined_text(monkeypatch, seed):
    rng = random.Random(seed)
    for _ in range(20):
        monkeypatch.setattr(pieces_module, "PIECE_CHARS", rng.choice(PIECE_SIZES))
        text = random_text(rng)
        parts = split_pieces(text)
        assert "".join(parts) == text
        assert all(part.endswith("\n") for part in parts[:-1])
        held = Pieces(parts)
        assert len(held) == len(text) and held.join() == text
        for _ in range(20):
            lo, hi = sorted(rng.randrange(-5, len(text) + 5) for _ in range(2))
            assert held[lo:hi] == text[lo:hi]
            assert held.count("\n", lo, hi) == text.count("\n", lo, hi)
            assert held.count("a", lo) == text.count("a", lo)
            start = rng.randrange(0, len(text) + 1)
            old = text[start : start + rng.randrange(1, 12)] or "\n"
            once = text.find(old) if text.count(old) == 1 and text.find(old, text.find(old) + 1) < 0 else None
            found = held.find_once(old)
            # None is also allowed where the search across boundaries would cost too much.
            assert found == once or (found is None and 2 * len(old) * len(parts) > len(text))
            at = rng.randrange(0, len(text) + 1)
            length = rng.randrange(0, len(text) - at + 1) if rng.random() < 0.3 else min(len(text) - at, 3)
            inserted = rng.choice(["", "\n", "x", "y\nz", "é\n\n"])
            if length or inserted:
                after = held._spliced(at, length, inserted)
                expected = text[:at] + inserted + text[at + length :]
                assert after.join() == expected and len(after) == len(expected)
                assert all(part.endswith("\n") for part in after.pieces[:-1]) and after.pieces
                assert after.feeds == [part.count("\n") for part in after.pieces]


def extra_edits(rng, text):
    """Edits that make placement read around its place: sent again (within a line, or from the
    line before), lines added that are already there, a word cut in two, a forgotten indentation,
    and an old_string across many lines."""
    lines = text.split("\n")
    out = []
    for _ in range(rng.randint(1, 4)):
        at = rng.randrange(0, max(1, len(lines) - 8))
        line, following = lines[at], lines[at + 1]
        kind = rng.choice(["again", "again_lines", "added", "cut", "dedent", "long", "hint"])
        if kind == "again" and len(line) > 8:
            out.append({"old_string": line[4:], "new_string": line})
        elif kind == "again_lines" and len(following) > 8:
            # Sent again, with the line before: old_string is the end of what new_string says.
            out.append({"old_string": following[4:], "new_string": line + "\n" + following})
        elif kind == "added":
            out.append({"old_string": line, "new_string": line + "\n" + following})
        elif kind == "cut" and len(line) > 6:
            out.append({"old_string": line[3:] + "\n" + following, "new_string": "x\n" + following})
        elif kind == "dedent":
            block = lines[at : at + 3]
            old = "\n".join(part.lstrip() for part in block)
            out.append({"old_string": old, "new_string": old + "\n# after"})
        elif kind == "long":
            old = "\n".join(lines[at : at + rng.randint(4, 8)])
            out.append({"old_string": old, "new_string": old.upper()})
        else:
            out.append({"old_string": line, "new_string": line + " # hinted", "line_hint": at + 1})
    return out


def outcome(tmp_path, name, data, edits):
    """The result and the file of a run, in a folder of its own (the diff names the file)."""
    folder = tmp_path / name
    folder.mkdir()
    path = folder / "edited.py"
    path.write_bytes(data)
    result = brindle_search.apply_edits(path, edits)
    named = {
        key: value.replace(str(folder), "") if isinstance(value, str) else value
        for key, value in result.to_dict().items()
    }
    return named, path.read_bytes()


def both_ways(tmp_path, monkeypatch, rng, name, data, edits):
    monkeypatch.setattr(_edit, "_PIECES_FROM", 1 << 60)
    whole = outcome(tmp_path, name + ".whole", data, edits)
    monkeypatch.setattr(_edit, "_PIECES_FROM", 0)
    monkeypatch.setattr(pieces_module, "PIECE_CHARS", rng.choice(PIECE_SIZES))
    # Half the time the file is decoded into its pieces, a piece's size at a time.
    monkeypatch.setattr(files_module, "_DECODED_WHOLE", 1 << 60 if rng.random() < 0.5 else 0)
    held = outcome(tmp_path, name + ".pieces", data, edits)
    monkeypatch.setattr(files_module, "_DECODED_WHOLE", 1 << 18)
    assert held == whole
    return whole[0]["ok"]


@pytest.mark.parametrize("seed", range(24))
def test_a_run_on_pieces_is_the_run_on_the_text(tmp_path, monkeypatch, seed):
    code_lines()
    rng = random.Random(seed)
    placed = 0
    for round_ in range(3):
        text, edits = generated_batch(rng, rng.choice([300, 2500, 5000]))
        if rng.random() < 0.3:
            edits.append({"old_string": "# changed", "new_string": "# CHANGED", "replace_all": True})
        if rng.random() < 0.3:
            text = text.replace("  ", "  \u00e9\u4e2d", 3)
        ending = rng.choice(["\n", "\r\n", "mixed"])
        if ending == "mixed":
            text = "".join(line + ("\r\n" if k % 3 else "\n") for k, line in enumerate(text.split("\n")))
        elif ending == "\r\n":
            text = text.replace("\n", "\r\n")
        data = text.encode()
        if not edits:
            continue
        placed += both_ways(tmp_path, monkeypatch, rng, f"batch{round_}", data, edits)
        # Each edit that makes placement read around its place, alone and after the batch.
        for k, extra in enumerate(extra_edits(rng, text.replace("\r\n", "\n"))):
            placed += both_ways(tmp_path, monkeypatch, rng, f"extra{round_}-{k}", data, [extra])
            both_ways(tmp_path, monkeypatch, rng, f"after{round_}-{k}", data, [*edits[:5], extra])
    assert placed


def test_most_edits_of_a_batch_are_made_on_pieces(tmp_path, monkeypatch):
    """The window is what placement sees for an old_string found once: it is asked, and answers."""
    calls = {"asked": 0, "placed": 0}
    real = pieces_module.placement.exact_in_window

    def counting(*args):
        calls["asked"] += 1
        placed = real(*args)
        calls["placed"] += placed is not None
        return placed

    monkeypatch.setattr(pieces_module.placement, "exact_in_window", counting)
    text = "\n".join(code_lines()[:5000]) + "\n"
    unique = [line for line in text.split("\n") if len(line.strip()) > 12 and text.count(line) == 1]
    chosen = unique[:: len(unique) // 50][:50]
    edits = [{"old_string": line, "new_string": line + "  # edited"} for line in chosen]
    path = tmp_path / "big.py"
    path.write_text(text)
    monkeypatch.setattr(_edit, "_PIECES_FROM", 0)
    result = brindle_search.apply_edits(path, edits)
    assert result.ok and result.written and result.replacements == 50
    assert calls == {"asked": 50, "placed": 50}


def decoded(monkeypatch, data, encoding, *, whole):
    """The document of `data` read from a file, decoded whole or a few bytes at a time."""
    monkeypatch.setattr(files_module, "_DECODED_WHOLE", 1 << 60 if whole else 0)
    try:
        doc = files_module.decode_document(data, encoding, "f.txt")
    except brindle_search.EditError as exc:
        return str(exc)
    return doc.text, doc.newline, doc.crlf, doc.bom, doc.encoding


@pytest.mark.parametrize("seed", range(20))
def test_a_text_decoded_a_piece_at_a_time_is_the_text_decoded_whole(monkeypatch, seed):
    rng = random.Random(seed)
    monkeypatch.setattr(pieces_module, "PIECE_CHARS", rng.choice(PIECE_SIZES))
    for _ in range(30):
        text = "".join(
            rng.choice(["ab", "\r\n", "\n", "\r", "é", "\u4e2d", "\U0001f600", " "]) for _ in range(80)
        )
        encoding = rng.choice([None, "utf-8", "utf-8-sig", "utf-16", "utf-16-be", "cp1252", "latin-1"])
        try:
            data = text.encode(encoding or "utf-8")
        except UnicodeEncodeError:
            data = text.encode("utf-8")  # not decodable as `encoding`, or decoded otherwise
        if rng.random() < 0.2:
            at = rng.randrange(len(data) + 1)
            data = data[:at] + rng.choice([b"\xff", b"\xc3", b"\xed\xa0\x80"]) + data[at:]
        if rng.random() < 0.2:
            data = codecs.BOM_UTF8 + data
        whole = decoded(monkeypatch, data, encoding, whole=True)
        assert decoded(monkeypatch, data, encoding, whole=False) == whole


@pytest.mark.parametrize("side", ["before", "after"])
def test_lines_already_added_are_seen_as_far_as_the_whole_text_shows_them(tmp_path, monkeypatch, side):
    """An edit that adds a line the text has already, past a stretch of blank lines around the
    window's reach: refused as applied, or placed, exactly as on the whole text."""
    rng = random.Random(3)
    filler = "".join(f"filler_{k} = {k}\n" for k in range(3000))
    outcomes = set()
    for gap in [10, 4000, 8000, 8190, 8192, 8194, 8300, 12000, 12300, 20000]:
        if side == "after":
            text = filler + "target_line = 1\n" + "\n" * gap + "added_line = 2\n" + filler
            edit = {"old_string": "target_line = 1", "new_string": "target_line = 1\nadded_line = 2"}
        else:
            text = filler + "added_line = 2\n" + "\n" * gap + "target_line = 1\n" + filler
            edit = {"old_string": "target_line = 1", "new_string": "added_line = 2\ntarget_line = 1"}
        ok = both_ways(tmp_path, monkeypatch, rng, f"{side}{gap}", text.encode(), [edit])
        outcomes.add(ok)
    assert outcomes == {True, False}
