"""Edit cases of bench_edit_quality.py: real files, real blocks, model-like edits of them.

A case is a text, the old_string and new_string a model sent, an optional line_hint, and what a
careful reviewer would make of it: the acceptable whole texts after the edit (usually one), and
whether refusing the edit is acceptable. The kinds and their expected outcomes are described in
bench_edit_quality.py; each has a generator here, `KINDS[kind].make`, which draws from the fixed
list of source files below (or from the real-edit corpus) with the random state of a `Gen`.

Blocks are whole lines, 3 to 15 long, that occur once in their file, both as they are and with
every line trimmed, so that every tolerant reading of a correct old_string points at one place.
"""

from __future__ import annotations

import difflib
import hashlib
import json
import os
import random
import re
import sysconfig
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path

# ---- source files --------------------------------------------------------------------------------

_STDLIB = sysconfig.get_paths()["stdlib"]
_PY_INCLUDE = sysconfig.get_paths()["include"]
_NPM = "/usr/lib/node_modules/npm"

# A fixed list, so that a seed gives the same cases on the same machine; files that are missing are
# left out (the run prints how many of each language it found and a fingerprint of their text).
SOURCE_FILES: list[tuple[str, str]] = [
    *(
        ("python", os.path.join(_STDLIB, name))
        for name in (
            "argparse.py",
            "ast.py",
            "asyncio/base_events.py",
            "asyncio/tasks.py",
            "calendar.py",
            "configparser.py",
            "dataclasses.py",
            "difflib.py",
            "email/message.py",
            "enum.py",
            "functools.py",
            "http/client.py",
            "http/server.py",
            "inspect.py",
            "json/encoder.py",
            "logging/__init__.py",
            "pathlib.py",
            "pdb.py",
            "shutil.py",
            "subprocess.py",
            "tarfile.py",
            "textwrap.py",
            "threading.py",
            "typing.py",
            "unittest/case.py",
            "urllib/request.py",
            "zipfile.py",
        )
    ),
    *(
        ("c", os.path.join(_PY_INCLUDE, name))
        for name in (
            "object.h",
            "cpython/object.h",
            "cpython/unicodeobject.h",
            "cpython/abstract.h",
            "cpython/listobject.h",
            "cpython/tupleobject.h",
            "internal/pycore_object.h",
            "internal/pycore_code.h",
            "internal/pycore_frame.h",
            "internal/pycore_long.h",
        )
    ),
    *(
        ("c", os.path.join("/usr/include", name))
        for name in (
            "linux/usb/ch9.h",
            "linux/swab.h",
            "linux/bpf.h",
            "linux/ethtool.h",
            "linux/videodev2.h",
            "linux/perf_event.h",
            "linux/if_link.h",
            "linux/netlink.h",
        )
    ),
    *(
        ("js", os.path.join(_NPM, name))
        for name in (
            "lib/npm.js",
            "lib/commands/install.js",
            "lib/commands/publish.js",
            "lib/commands/ls.js",
            "lib/commands/outdated.js",
            "lib/commands/view.js",
            "lib/commands/exec.js",
            "lib/commands/config.js",
            "lib/commands/audit.js",
            "lib/commands/version.js",
            "node_modules/tar/lib/unpack.js",
            "node_modules/tar/lib/parse.js",
            "node_modules/pacote/lib/fetcher.js",
            "node_modules/npm-packlist/lib/index.js",
            "node_modules/ssri/lib/index.js",
            "node_modules/node-gyp/lib/find-visualstudio.js",
            "node_modules/minimatch/dist/commonjs/ast.js",
        )
    ),
    *(
        ("shell", os.path.join("/usr/share/doc/git/contrib", name))
        for name in (
            "subtree/git-subtree.sh",
            "subtree/t/t7900-subtree.sh",
            "diff-highlight/t/t9400-diff-highlight.sh",
        )
    ),
]

HISTORY_PATH = Path(__file__).resolve().parent / "data" / "edit_history.json"

_IDENT = re.compile(r"(?<!\w)[A-Za-z_][A-Za-z0-9_]*(?!\w)")
_NUMBER = re.compile(r"(?<![\w.])\d+(?![\w.])")
_KEYWORDS = frozenset(
    """
    and as assert async await break case catch char class const continue def default del do done
    double elif else enum esac except export extern false fi finally float for from function global
    if import in inline int is lambda let local long new none nonlocal not null or pass raise return
    self short signed sizeof static struct super switch then this throw true try typedef typeof
    undefined union unsigned var void volatile while with yield None True False define include
    endif ifdef ifndef echo require exports module await
    """.split()
)


@dataclass
class Source:
    path: str
    language: str
    text: str
    lines: list[str]  # text.split("\n"): a final "" when the text ends in LF
    trimmed: list[str]
    indent_char: str  # "\t" or " "
    unit: int  # spaces per level (1 for tabs)
    starts: list[int]  # character offset of each line

    @property
    def name(self) -> str:
        return os.path.basename(self.path)


def make_source(path: str, language: str, text: str) -> Source:
    lines = text.split("\n")
    tabbed = sum(1 for line in lines if line.startswith("\t"))
    spaced = [len(line) - len(line.lstrip(" ")) for line in lines if line.startswith("  ") and line.strip()]
    if tabbed > len(spaced):
        indent_char, unit = "\t", 1
    else:
        odd = sum(1 for n in spaced if n % 4 == 2)
        indent_char, unit = " ", 2 if spaced and odd > len(spaced) // 10 else 4
    starts = [0]
    for line in lines[:-1]:
        starts.append(starts[-1] + len(line) + 1)
    return Source(path, language, text, lines, [line.strip() for line in lines], indent_char, unit, starts)


def load_sources() -> list[Source]:
    out = []
    for language, path in SOURCE_FILES:
        try:
            with open(path, encoding="utf-8", newline="") as fh:
                text = fh.read()
        except (OSError, UnicodeDecodeError):
            continue
        if "\r" in text:
            continue
        out.append(make_source(path, language, text))
    if not out:
        raise SystemExit("no source files found")
    return out


def fingerprint(sources: list[Source]) -> str:
    h = hashlib.sha256()
    for src in sources:
        h.update(src.path.encode())
        h.update(src.text.encode())
    return h.hexdigest()[:12]


def load_history() -> dict | None:
    try:
        with open(HISTORY_PATH, encoding="utf-8") as fh:
            return json.load(fh)
    except OSError:
        return None


# ---- cases -----------------------------------------------------------------------------------------


@dataclass
class Case:
    kind: str
    source: str
    language: str
    text: str
    old: str
    new: str
    expected: list[str]  # acceptable texts after the edit
    refusal_ok: bool  # a refusal is a correct outcome
    line_hint: int | None = None
    line: int = 0  # 1-based line of the true block in `text` (0 when there is none)
    note: str = ""


@dataclass
class Block:
    src: Source
    start: int  # 0-based first line
    lines: list[str]

    @property
    def pos(self) -> int:
        return self.src.starts[self.start]

    @property
    def text(self) -> str:
        return "\n".join(self.lines)

    def replaced(self, new_lines: list[str], text: str | None = None, pos: int | None = None) -> str:
        """The text with this block's lines replaced by new_lines (its own text by default)."""
        text = self.src.text if text is None else text
        pos = self.pos if pos is None else pos
        return text[:pos] + "\n".join(new_lines) + text[pos + len(self.text) :]


@dataclass
class Change:
    """new_string's lines and, for each, the index of the old line it repeats (None: written anew)."""

    new: list[str]
    mapping: list[int | None]
    what: str
    touched: set[int] = field(default_factory=set)  # old lines changed or deleted


def indentation(line: str) -> str:
    return line[: len(line) - len(line.lstrip(" \t"))]


def _clean_line(line: str) -> bool:
    """No trailing whitespace, control characters or overlong lines (whitespace-only lines neither)."""
    if not line:
        return True
    return len(line) <= 160 and line == line.rstrip() and not re.search(r"[\r\f\v\x00]", line)


def _trimmed_count(src: Source, trimmed: list[str], limit: int = 2) -> int:
    """How many times the trimmed lines occur as consecutive trimmed lines of the source."""
    n = len(trimmed)
    count = 0
    first = trimmed[0]
    for i, line in enumerate(src.trimmed):
        if line == first and src.trimmed[i : i + n] == trimmed:
            count += 1
            if count >= limit:
                break
    return count


def pick_block(
    rng: random.Random,
    src: Source,
    low: int = 3,
    high: int = 15,
    accept: Callable[[list[str]], bool] | None = None,
    tries: int = 60,
) -> Block | None:
    """A random block of whole lines of `src` that a model could aim at unambiguously."""
    last_line = len(src.lines) - 2  # the last line that has a line after it
    for _ in range(tries):
        n = rng.randint(low, high)
        if last_line - n < 1:
            return None
        start = rng.randint(0, last_line - n)
        lines = src.lines[start : start + n]
        if not (lines[0].strip() and lines[-1].strip() and len(lines[0].strip()) >= 6):
            continue
        if not all(_clean_line(line) for line in lines):
            continue
        nonblank = [line for line in lines if line.strip()]
        if len(nonblank) * 2 < n + 1 or sum(1 for line in nonblank if _IDENT.search(line)) < min(n, 2):
            continue
        if accept is not None and not accept(lines):
            continue
        text = "\n".join(lines)
        if src.text.count(text) != 1 or _trimmed_count(src, [line.strip() for line in lines]) != 1:
            continue
        return Block(src, start, lines)
    return None


def identifiers(line: str) -> list[str]:
    return [m.group() for m in _IDENT.finditer(line) if len(m.group()) >= 3 and m.group() not in _KEYWORDS]


_SUFFIXES = ["_new", "_count", "2", "_value", "_tmp", "_list", "_id", "_size"]

_FRESH = {
    "python": ['log.debug("%s", {name})', "assert {name} is not None", "# TODO: check {name}"],
    "js": ["debug('%s', {name});", "// TODO: check {name}", "assert({name});"],
    "c": ["/* TODO: check {name} */", "assert({name});"],
    "shell": ['echo "$0: {name}" >&2', "# TODO: check {name}"],
}


def fresh_line(rng: random.Random, language: str, indent: str, name: str) -> str:
    return indent + rng.choice(_FRESH[language]).format(name=name)


def _renamed(line: str, name: str, new_name: str, only: int | None = None) -> str:
    """`line` with the word `name` renamed (every occurrence, or only the `only`-th)."""
    k = -1

    def sub(m: re.Match) -> str:
        nonlocal k
        k += 1
        return new_name if only is None or k == only else m.group()

    return re.sub(rf"\b{re.escape(name)}\b", sub, line)


def make_change(
    rng: random.Random,
    lines: list[str],
    language: str,
    protect: frozenset[int] | set[int] = frozenset(),
    no_insert_after: frozenset[int] | set[int] = frozenset(),
    ops: tuple[str, ...] = ("change", "insert", "delete", "rename"),
) -> Change | None:
    """A realistic edit of the block: one line changed, a line inserted or deleted, or an
    identifier renamed in the whole block. Lines in `protect` stay as they are."""
    n = len(lines)
    names = [name for line in lines for name in identifiers(line)] or ["value"]
    for _ in range(30):
        op = rng.choice(ops)
        if op == "change":
            k = rng.randrange(n)
            if k in protect or not lines[k].strip():
                continue
            numbers = list(_NUMBER.finditer(lines[k]))
            words = identifiers(lines[k])
            if numbers and (not words or rng.random() < 0.3):
                m = rng.choice(numbers)
                value = str(int(m.group()) + rng.randint(1, 9))
                changed = lines[k][: m.start()] + value + lines[k][m.end() :]
            elif words:
                name = rng.choice(words)
                nth = rng.randrange(len(re.findall(rf"\b{re.escape(name)}\b", lines[k])))
                changed = _renamed(lines[k], name, name + rng.choice(_SUFFIXES), nth)
            else:
                continue
            if changed == lines[k]:
                continue
            new = lines[:k] + [changed] + lines[k + 1 :]
            mapping = [i if i != k else None for i in range(n)]
            return Change(new, mapping, f"line {k + 1} changed", {k})
        if op == "insert":
            p = rng.randrange(n - 1)  # a new line after old line p
            if p in no_insert_after:
                continue
            below = lines[p + 1] if lines[p + 1].strip() else lines[p]
            line = fresh_line(rng, language, indentation(below), rng.choice(names))
            new = lines[: p + 1] + [line] + lines[p + 1 :]
            mapping = [*range(p + 1), None, *range(p + 1, n)]
            return Change(new, mapping, f"line inserted after line {p + 1}")
        if op == "delete":
            k = rng.randrange(1, n - 1) if n >= 4 else -1
            if k < 0 or k in protect or not lines[k].strip():
                continue
            new = lines[:k] + lines[k + 1 :]
            mapping = [i for i in range(n) if i != k]
            return Change(new, mapping, f"line {k + 1} deleted", {k})
        if op == "rename":
            name = rng.choice(names)
            pattern = re.compile(rf"\b{re.escape(name)}\b")
            hit = {i for i, line in enumerate(lines) if pattern.search(line)}
            if not hit or hit & set(protect):
                continue
            new_name = name + rng.choice(_SUFFIXES)
            new = [_renamed(line, name, new_name) for line in lines]
            mapping = [None if i in hit else i for i in range(n)]
            return Change(new, mapping, f"{name} renamed to {new_name}", hit)
    return None


def model_new(
    change: Change, old_model: list[str | None], fresh: Callable[[str], str] = lambda s: s
) -> list[str]:
    """new_string's lines as the model writes them: the lines it repeats from old_string as it wrote
    them there (dropped where it left them out), the lines it wrote anew through `fresh`."""
    out = []
    for line, m in zip(change.new, change.mapping):
        if m is None:
            out.append(fresh(line))
        elif old_model[m] is not None:
            out.append(old_model[m])
    return out


def typo(rng: random.Random, line: str) -> str | None:
    """`line` with a one-character slip in a word (substitution, deletion, doubling, transposition)."""
    spots = [i for i, ch in enumerate(line) if ch.isalpha()]
    if len(spots) < 4:
        return None
    for _ in range(10):
        i = rng.choice(spots)
        op = rng.randrange(4)
        if op == 0:
            ch = rng.choice("etaoinsrhlcdu".replace(line[i].lower(), ""))
            out = line[:i] + ch + line[i + 1 :]
        elif op == 1:
            out = line[:i] + line[i + 1 :]
        elif op == 2:
            out = line[:i] + line[i] + line[i:]
        else:
            if i + 1 >= len(line) or line[i + 1] == line[i] or not line[i + 1].isalpha():
                continue
            out = line[:i] + line[i + 1] + line[i] + line[i + 2 :]
        if out != line:
            return out
    return None


def similar(a: str, b: str) -> float:
    return difflib.SequenceMatcher(None, a.strip(), b.strip(), autojunk=False).ratio()


# ---- the generators ------------------------------------------------------------------------------


class Gen:
    """Random state and sources shared by the generators of one kind."""

    def __init__(self, rng: random.Random, sources: list[Source], history: dict | None):
        self.rng = rng
        self.sources = sources
        self.history = history
        self.by_language: dict[str, list[Source]] = {}
        for src in sources:
            self.by_language.setdefault(src.language, []).append(src)

    def source(self, where: Callable[[Source], bool] | None = None) -> Source | None:
        languages = sorted(self.by_language)
        for _ in range(20):
            pool = self.by_language[self.rng.choice(languages)]
            src = self.rng.choice(pool)
            if where is None or where(src):
                return src
        return None

    def block(self, where: Callable[[Source], bool] | None = None, **kw) -> Block | None:
        src = self.source(where)
        return None if src is None else pick_block(self.rng, src, **kw)

    def case(self, kind: str, block: Block, old: str, new: str, expected: list[str], **kw) -> Case:
        return Case(
            kind,
            block.src.path,
            block.src.language,
            kw.pop("text", block.src.text),
            old,
            new,
            expected,
            kw.pop("refusal_ok", False),
            line=kw.pop("line", block.start + 1),
            **kw,
        )


def _join(lines: list[str]) -> str:
    return "\n".join(lines)


def gen_exact(g: Gen, kind: str) -> Case | None:
    b = g.block()
    c = b and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    return g.case(kind, b, b.text, _join(c.new), [b.replaced(c.new)], note=c.what)


def gen_inline(g: Gen, kind: str) -> Case | None:
    """A piece of one line (not the whole line), unique in the file."""
    b = g.block(low=1, high=1)
    if not b:
        return None
    line = b.lines[0]
    words = list(_IDENT.finditer(line))
    words = [m for m in words if len(m.group()) >= 3 and m.group() not in _KEYWORDS]
    if not words:
        return None
    m = g.rng.choice(words)
    lo = max(len(indentation(line)), m.start() - g.rng.randint(0, 20))
    hi = min(len(line), m.end() + g.rng.randint(0, 20))
    piece = line[lo:hi]
    if (lo == len(indentation(line)) and hi == len(line)) or len(piece) < 8 or b.src.text.count(piece) != 1:
        return None
    new_piece = piece[: m.start() - lo] + m.group() + g.rng.choice(_SUFFIXES) + piece[m.end() - lo :]
    at = b.pos + lo
    expected = b.src.text[:at] + new_piece + b.src.text[at + len(piece) :]
    return g.case(kind, b, piece, new_piece, [expected], note="part of one line")


def _dedent(lines: list[str], prefix: str) -> list[str] | None:
    out = []
    for line in lines:
        if line.strip() and not line.startswith(prefix):
            return None
        out.append(line[len(prefix) :] if line.strip() else line)
    return out


def _common_indent(lines: list[str]) -> str:
    indents = [indentation(line) for line in lines if line.strip()]
    common = os.path.commonprefix(indents)
    return common


def gen_indent_dropped(g: Gen, kind: str) -> Case | None:
    b = g.block(accept=lambda ls: _common_indent(ls) != "")
    c = b and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    prefix = _common_indent(b.lines)
    old, new = _dedent(b.lines, prefix), _dedent(c.new, prefix)
    if old is None or new is None:
        return None
    return g.case(kind, b, _join(old), _join(new), [b.replaced(c.new)], note=c.what)


def gen_indent_shifted(g: Gen, kind: str) -> Case | None:
    b = g.block()
    c = b and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    level = b.src.indent_char * b.src.unit
    prefix = _common_indent(b.lines)
    if prefix.startswith(level) and g.rng.random() < 0.5:
        old, new = _dedent(b.lines, level), _dedent(c.new, level)
        what = "one level less"
    else:
        old = [level + line if line.strip() else line for line in b.lines]
        new = [level + line if line.strip() else line for line in c.new]
        what = "one level more"
    if old is None or new is None:
        return None
    return g.case(kind, b, _join(old), _join(new), [b.replaced(c.new)], note=f"{c.what}; {what}")


def _retab(line: str, src_char: str, unit: int, width: int) -> str:
    """The line's leading whitespace in the other style: tabs to `width` spaces, or each `unit`
    spaces to a tab."""
    ws = indentation(line)
    if src_char == "\t":
        tabs = len(ws) - len(ws.lstrip("\t"))
        return " " * (width * tabs) + line[tabs:]
    spaces = len(ws) - len(ws.lstrip(" "))
    return "\t" * (spaces // unit) + " " * (spaces % unit) + line[spaces:]


def gen_tabs_spaces(g: Gen, kind: str) -> Case | None:
    tabs_file = g.rng.random() < 0.67
    char = "\t" if tabs_file else " "
    b = g.block(
        where=lambda s: s.indent_char == char,
        accept=lambda ls: any(line.startswith(char if tabs_file else char * 2) for line in ls),
    )
    c = b and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    width = g.rng.choice([4, 4, 8, 2])
    old = [_retab(line, char, b.src.unit, width) for line in b.lines]
    new = [_retab(line, char, b.src.unit, width) for line in c.new]
    if old == b.lines:
        return None
    what = f"tabs written as {width} spaces" if tabs_file else f"{b.src.unit} spaces written as a tab"
    return g.case(kind, b, _join(old), _join(new), [b.replaced(c.new)], note=f"{c.what}; {what}")


def gen_trailing_ws(g: Gen, kind: str) -> Case | None:
    b = g.block()
    if not b:
        return None
    rng = g.rng
    nonblank = [i for i, line in enumerate(b.lines) if line.strip()]
    chosen = set(rng.sample(nonblank, rng.randint(1, min(3, len(nonblank)))))
    c = make_change(rng, b.lines, b.src.language, protect=chosen)
    if not c:
        return None
    pad = [rng.choice([" ", "  ", "\t", "    "]) for _ in b.lines]
    padded = [line + pad[i] if i in chosen else line for i, line in enumerate(b.lines)]
    if rng.random() < 0.5:
        # The model adds whitespace at the ends of lines that have none.
        new = model_new(c, list(padded))
        return g.case(
            kind, b, _join(padded), _join(new), [b.replaced(c.new)], note=f"{c.what}; model adds trailing ws"
        )
    # The file has whitespace at the ends of some lines, the model leaves it out.
    text = b.src.text[: b.pos] + _join(padded) + b.src.text[b.pos + len(b.text) :]
    true_new = [padded[m] if m is not None else line for line, m in zip(c.new, c.mapping)]
    expected = text[: b.pos] + _join(true_new) + text[b.pos + len(_join(padded)) :]
    return g.case(
        kind, b, b.text, _join(c.new), [expected], text=text, note=f"{c.what}; file has trailing ws"
    )


_RUN = re.compile(r"(?<=\S)[ \t]{2,}(?=\S)")


def gen_collapsed_ws(g: Gen, kind: str) -> Case | None:
    b = g.block(accept=lambda ls: any(_RUN.search(line) for line in ls))
    if not b:
        return None
    runs = {i for i, line in enumerate(b.lines) if _RUN.search(line)}
    c = make_change(g.rng, b.lines, b.src.language, protect=runs)
    if not c:
        return None
    old = [_RUN.sub(" ", line) for line in b.lines]
    new = [_RUN.sub(" ", line) for line in c.new]
    return g.case(
        kind,
        b,
        _join(old),
        _join(new),
        [b.replaced(c.new)],
        note=f"{c.what}; inner runs of whitespace collapsed",
    )


def _escape_all(s: str) -> str:
    return s.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n").replace("\t", "\\t")


def gen_escaped(g: Gen, kind: str) -> Case | None:
    whole = g.rng.random() < 0.5
    if whole:
        b = g.block()
    else:
        b = g.block(
            accept=lambda ls: (
                any('"' in line or "'" in line for line in ls) and not any("\\" in line for line in ls)
            )
        )
    c = b and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    if whole:
        old, new, what = _escape_all(b.text), _escape_all(_join(c.new)), "escaped as one JSON string line"
    else:

        def esc(s: str) -> str:
            return s.replace('"', '\\"').replace("'", "\\'")

        old, new, what = esc(b.text), esc(_join(c.new)), "quotes escaped"
    if old == b.text or old in b.src.text:
        return None
    return g.case(kind, b, old, new, [b.replaced(c.new)], note=f"{c.what}; {what}")


def gen_blank_boundaries(g: Gen, kind: str) -> Case | None:
    b = g.block()
    c = b and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    before = b.src.lines[b.start - 1] if b.start > 0 else ""
    after = b.src.lines[b.start + len(b.lines)]
    lead, trail = g.rng.choice(
        [("\n\n", ""), ("", "\n\n"), ("\n\n", "\n\n"), ("\n", "\n\n"), ("\n\n\n", "\n")]
    )
    if (lead.count("\n") >= 2 and not before.strip()) or (trail.count("\n") >= 2 and not after.strip()):
        return None  # the file has the blank line the model adds
    old, new = lead + b.text + trail, lead + _join(c.new) + trail
    return g.case(kind, b, old, new, [b.replaced(c.new)], note=f"{c.what}; {lead!r} before, {trail!r} after")


def gen_trailing_newline(g: Gen, kind: str) -> Case | None:
    b = g.block()
    c = b and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    if g.rng.random() < 0.5:
        old, new, what = b.text + "\n", _join(c.new), "old ends in LF, new does not"
    else:
        old, new, what = b.text, _join(c.new) + "\n", "new ends in LF, old does not"
    return g.case(kind, b, old, new, [b.replaced(c.new)], note=f"{c.what}; {what}")


def _inner_line(g: Gen, b: Block, min_len: int = 8) -> int | None:
    inner = [i for i in range(1, len(b.lines) - 1) if len(b.lines[i].strip()) >= min_len]
    return g.rng.choice(inner) if inner else None


def gen_middle_typo(g: Gen, kind: str) -> Case | None:
    b = g.block(low=5)
    k = b and _inner_line(g, b)
    if k is None:
        return None
    c = make_change(g.rng, b.lines, b.src.language, protect={k})
    bad = typo(g.rng, b.lines[k])
    if not c or bad is None:
        return None
    old = b.lines[:k] + [bad] + b.lines[k + 1 :]
    if _join(old) in b.src.text:
        return None
    new = model_new(c, list(old))
    return g.case(
        kind,
        b,
        _join(old),
        _join(new),
        [b.replaced(c.new)],
        note=f"{c.what}; typo in line {k + 1}: {bad.strip()!r}",
    )


def gen_middle_replaced(g: Gen, kind: str) -> Case | None:
    b = g.block(low=5)
    k = b and _inner_line(g, b)
    if k is None:
        return None
    src = b.src
    for _ in range(20):
        other = g.rng.choice(src.lines)
        if len(other.strip()) >= 10 and _clean_line(other) and similar(other, b.lines[k]) < 0.4:
            break
    else:
        return None
    foreign = indentation(b.lines[k]) + other.strip()
    old = b.lines[:k] + [foreign] + b.lines[k + 1 :]
    c = make_change(g.rng, old, src.language, protect={k})
    if not c:
        return None
    return g.case(
        kind,
        b,
        _join(old),
        _join(c.new),
        [],
        refusal_ok=True,
        note=f"line {k + 1} is {foreign.strip()!r} in old",
    )


def gen_middle_missing(g: Gen, kind: str) -> Case | None:
    b = g.block(low=5)
    k = b and _inner_line(g, b, min_len=3)
    if k is None:
        return None
    c = make_change(g.rng, b.lines, b.src.language, protect={k - 1, k, k + 1}, no_insert_after={k - 1, k})
    if not c:
        return None
    old_model: list[str | None] = list(b.lines)
    old_model[k] = None
    old = [line for line in old_model if line is not None]
    new = model_new(c, old_model)
    return g.case(
        kind,
        b,
        _join(old),
        _join(new),
        [b.replaced(c.new)],
        note=f"{c.what}; line {k + 1} left out of old and new",
    )


def gen_first_line_typo(g: Gen, kind: str) -> Case | None:
    b = g.block(accept=lambda ls: len(ls[0].strip()) >= 10)
    bad = b and typo(g.rng, b.lines[0])
    c = bad and make_change(g.rng, b.lines, b.src.language, protect={0})
    if not c:
        return None
    old = [bad] + b.lines[1:]
    if _join(old) in b.src.text:
        return None
    new = model_new(c, list(old))
    return g.case(
        kind, b, _join(old), _join(new), [b.replaced(c.new)], note=f"{c.what}; first line {bad.strip()!r}"
    )


def gen_crlf_file(g: Gen, kind: str) -> Case | None:
    b = g.block()
    c = b and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    text = b.src.text.replace("\n", "\r\n")
    expected = b.replaced(c.new).replace("\n", "\r\n")
    return g.case(kind, b, b.text, _join(c.new), [expected], text=text, note=f"{c.what}; file in CRLF")


def gen_crlf_block(g: Gen, kind: str) -> Case | None:
    b = g.block()
    c = b and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    old, new = "\r\n".join(b.lines), "\r\n".join(c.new)
    return g.case(kind, b, old, new, [b.replaced(c.new)], note=f"{c.what}; old and new in CRLF")


def _duplicated(g: Gen, b: Block) -> tuple[str, int, int] | None:
    """The text with a copy of the block inserted at least 40 lines away: (text, 0-based line of
    the original, 0-based line of the copy)."""
    src = b.src
    n = len(b.lines)
    spots = [
        q for q in range(1, len(src.lines) - 1) if abs(q - b.start) >= 40 and not (b.start <= q < b.start + n)
    ]
    if not spots:
        return None
    q = g.rng.choice(spots)
    lines = src.lines[:q] + b.lines + src.lines[q:]
    text = "\n".join(lines)
    if text.count(b.text) != 2:
        return None
    original = b.start if q > b.start else b.start + n
    return text, original, q


def _line_offset(text: str, line: int) -> int:
    pos = 0
    for _ in range(line):
        pos = text.index("\n", pos) + 1
    return pos


def gen_ambiguous_hint(g: Gen, kind: str) -> Case | None:
    b = g.block()
    dup = b and _duplicated(g, b)
    c = dup and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    text, original, copy = dup
    target = g.rng.choice([original, copy])
    hint = max(1, target + 1 + (0 if g.rng.random() < 0.5 else g.rng.randint(-3, 3)))
    expected = b.replaced(c.new, text, _line_offset(text, target))
    which = "original" if target == original else "copy"
    return g.case(
        kind,
        b,
        b.text,
        _join(c.new),
        [expected],
        text=text,
        line_hint=hint,
        line=target + 1,
        note=f"{c.what}; the {which} at line {target + 1}, hint {hint}",
    )


def gen_ambiguous(g: Gen, kind: str) -> Case | None:
    b = g.block()
    dup = b and _duplicated(g, b)
    c = dup and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    return g.case(
        kind,
        b,
        b.text,
        _join(c.new),
        [],
        refusal_ok=True,
        text=dup[0],
        note=f"{c.what}; block at lines {dup[1] + 1} and {dup[2] + 1}",
    )


def gen_other_file(g: Gen, kind: str) -> Case | None:
    target = g.source()
    if target is None:
        return None
    others = [s for s in g.by_language[target.language] if s is not target] or [
        s for s in g.sources if s is not target
    ]
    b = pick_block(g.rng, g.rng.choice(others))
    c = b and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    present = set(target.trimmed)
    trimmed = [line.strip() for line in b.lines if line.strip()]
    if trimmed[0] in present or sum(t in present for t in trimmed) * 3 >= len(trimmed):
        return None
    return Case(
        kind,
        target.path,
        target.language,
        target.text,
        b.text,
        _join(c.new),
        [],
        True,
        note=f"block from {b.src.name}:{b.start + 1}",
    )


def gen_invented_inner(g: Gen, kind: str) -> Case | None:
    b = g.block(low=4, accept=lambda ls: len(ls[-1].strip()) >= 3)
    if not b:
        return None
    # The inner lines of another block of the same file (another function, as a model that mixes
    # two of them up writes it), moved to the indentation of the block's own inner lines.
    other = pick_block(g.rng, b.src, low=4)
    if not other or abs(other.start - b.start) < 30:
        return None
    inner = _dedent(other.lines[1:-1], _common_indent(other.lines[1:-1]))
    if inner is None:
        return None
    ind = _common_indent(b.lines[1:-1])
    old = [b.lines[0]] + [ind + line if line.strip() else line for line in inner] + [b.lines[-1]]
    if similar(_join(old[1:-1]), _join(b.lines[1:-1])) > 0.5:
        return None
    c = make_change(g.rng, old, b.src.language, protect={0, len(old) - 1}, ops=("change", "insert", "rename"))
    if not c:
        return None
    return g.case(
        kind,
        b,
        _join(old),
        _join(c.new),
        [],
        refusal_ok=True,
        note=f"inner lines from line {other.start + 2}",
    )


_MARKERS = {
    "python": ["# ...", "# ... existing code ...", "...", "# ... rest unchanged ..."],
    "js": ["// ...", "// ... existing code ...", "/* ... */", "..."],
    "c": ["/* ... */", "// ...", "...", "/* ... existing code ... */"],
    "shell": ["# ...", "# ... existing code ..."],
}


def _elision(g: Gen, b: Block) -> tuple[int, int, str] | None:
    """A run [a, z) of at least two inner lines and the marker line that stands for it. The lines
    shown before and after the marker each occur once in the file (trimmed), so that what the
    marker stands for is clear."""
    n = len(b.lines)
    a = g.rng.randint(1, n - 3)
    z = g.rng.randint(a + 2, n - 1)
    first = next((line for line in b.lines[a:z] if line.strip()), None)
    if first is None:
        return None
    for shown in (b.lines[:a], b.lines[z:]):
        if _trimmed_count(b.src, [line.strip() for line in shown]) != 1:
            return None
    marker = indentation(first) + g.rng.choice(_MARKERS[b.src.language])
    if marker.strip() in b.src.trimmed:
        return None
    return a, z, marker


def _elided_new(c: Change, a: int, z: int, marker: str) -> list[str]:
    out: list[str] = []
    for line, m in zip(c.new, c.mapping):
        if m is not None and a <= m < z:
            if m == a:
                out.append(marker)
        else:
            out.append(line)
    return out


def gen_elided(g: Gen, kind: str) -> Case | None:
    b = g.block(low=6)
    el = b and _elision(g, b)
    if not el:
        return None
    a, z, marker = el
    c = make_change(
        g.rng, b.lines, b.src.language, protect=set(range(a, z)), no_insert_after=set(range(a, z - 1))
    )
    if not c:
        return None
    old = b.lines[:a] + [marker] + b.lines[z:]
    new = _elided_new(c, a, z, marker)
    return g.case(
        kind,
        b,
        _join(old),
        _join(new),
        [b.replaced(c.new)],
        note=f"{c.what}; lines {a + 1}-{z} elided as {marker.strip()!r}",
    )


def gen_elided_new_only(g: Gen, kind: str) -> Case | None:
    b = g.block(low=6)
    el = b and _elision(g, b)
    if not el:
        return None
    a, z, marker = el
    c = make_change(
        g.rng, b.lines, b.src.language, protect=set(range(a, z)), no_insert_after=set(range(a, z - 1))
    )
    if not c:
        return None
    new = _elided_new(c, a, z, marker)
    return g.case(
        kind,
        b,
        b.text,
        _join(new),
        [b.replaced(c.new)],
        refusal_ok=True,
        note=f"{c.what}; lines {a + 1}-{z} elided in new only as {marker.strip()!r}",
    )


def gen_line_numbers(g: Gen, kind: str) -> Case | None:
    b = g.block()
    c = b and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    sep = g.rng.choice(["\t", "\t", "→"])
    first = b.start + 1

    def numbered(lines: list[str]) -> str:
        return "\n".join(f"{first + k:6d}{sep}{line}" for k, line in enumerate(lines))

    return g.case(
        kind,
        b,
        numbered(b.lines),
        numbered(c.new),
        [b.replaced(c.new)],
        note=f"{c.what}; numbered with {sep!r}",
    )


def _curly(line: str) -> str:
    out = []
    open_double = open_single = True
    for i, ch in enumerate(line):
        if ch == '"':
            out.append("\u201c" if open_double else "\u201d")
            open_double = not open_double
        elif ch == "'":
            word = 0 < i < len(line) - 1 and line[i - 1].isalpha() and line[i + 1].isalpha()
            if word:
                out.append("\u2019")
            else:
                out.append("\u2018" if open_single else "\u2019")
                open_single = not open_single
        else:
            out.append(ch)
    return "".join(out)


_CURLY = re.compile("[\u2018\u2019\u201c\u201d]")


def gen_smart_quotes(g: Gen, kind: str) -> Case | None:
    b = g.block(
        accept=lambda ls: (
            any('"' in line or "'" in line for line in ls) and not any(_CURLY.search(line) for line in ls)
        )
    )
    c = b and make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None
    old = [_curly(line) for line in b.lines]
    new = [_curly(line) for line in c.new]
    return g.case(kind, b, _join(old), _join(new), [b.replaced(c.new)], note=f"{c.what}; curly quotes")


def gen_truncated_last(g: Gen, kind: str) -> Case | None:
    b = g.block(accept=lambda ls: len(ls[-1].strip()) >= 12)
    if not b:
        return None
    n = len(b.lines)
    c = make_change(g.rng, b.lines, b.src.language, protect={n - 1}, no_insert_after={n - 2})
    if not c:
        return None
    last = b.lines[-1]
    body = len(indentation(last))
    cut = body + int((len(last) - body) * g.rng.uniform(0.4, 0.8))
    if len(last) - cut < 3:
        return None
    old = b.lines[:-1] + [last[:cut]]
    new = model_new(c, b.lines)  # new_string has the whole last line
    return g.case(
        kind,
        b,
        _join(old),
        _join(new),
        [b.replaced(c.new)],
        note=f"{c.what}; last line of old cut to {last[:cut].strip()!r}",
    )


_NON_ASCII_SUFFIXES = ["_größe", "_значение", "_数据", "_ñ", "Δ", "_café"]
_NON_ASCII_NOTES = ["naïve façade", "Größe ändern 🚀", "значение по умолчанию", "データ 🎉", "€ ≤ ∞"]
_COMMENT = {"python": "  # ", "js": "  // ", "c": "  /* {} */", "shell": "  # "}


def gen_non_ascii(g: Gen, kind: str) -> Case | None:
    """The file is given non-ASCII identifiers (one of the block's names, everywhere) and a comment
    with non-ASCII letters and an emoji on one block line; the edit is exact or lightly changed."""
    b = g.block(accept=lambda ls: any(identifiers(line) for line in ls))
    if not b:
        return None
    rng = g.rng
    src = b.src
    name = rng.choice([w for line in b.lines for w in identifiers(line)])
    new_name = name + rng.choice(_NON_ASCII_SUFFIXES)
    lines = _renamed(src.text, name, new_name).split("\n")
    k = b.start + rng.randrange(len(b.lines))
    note = rng.choice(_NON_ASCII_NOTES)
    tail = _COMMENT[src.language]
    lines[k] += tail.format(note) if "{}" in tail else tail + note
    text = "\n".join(lines)
    src2 = make_source(src.path, src.language, text)
    b2 = Block(src2, b.start, lines[b.start : b.start + len(b.lines)])
    if text.count(b2.text) != 1:
        return None
    c = make_change(rng, b2.lines, src.language)
    if not c:
        return None
    how = rng.choice(["exact", "indentation dropped", "crlf block"])
    old, new = b2.lines, c.new
    if how == "indentation dropped":
        prefix = _common_indent(old)
        old, new = _dedent(old, prefix), _dedent(new, prefix)
        if not prefix or old is None or new is None:
            return None
    sep = "\r\n" if how == "crlf block" else "\n"
    return g.case(
        kind,
        b2,
        sep.join(old),
        sep.join(new),
        [b2.replaced(c.new)],
        text=text,
        note=f"{c.what}; {name} is {new_name}; {how}",
    )


def gen_stale(g: Gen, kind: str) -> Case | None:
    b = g.block()
    if not b:
        return None
    rng = g.rng
    r = rng.random()
    names = [w for line in b.lines for w in identifiers(line)] or ["value"]
    if r < 0.5:
        line = fresh_line(rng, b.src.language, indentation(b.lines[-1]), rng.choice(names))
        c = Change(b.lines + [line], [*range(len(b.lines)), None], "line appended")
    elif r < 0.75:
        line = fresh_line(rng, b.src.language, indentation(b.lines[0]), rng.choice(names))
        c = Change([line] + b.lines, [None, *range(len(b.lines))], "line prepended")
    else:
        c = make_change(rng, b.lines, b.src.language)
        if not c:
            return None
    applied = b.replaced(c.new)
    return g.case(
        kind,
        b,
        b.text,
        _join(c.new),
        [applied],
        refusal_ok=True,
        text=applied,
        note=f"{c.what}; already in the file",
    )


def gen_html_entities(g: Gen, kind: str) -> Case | None:
    b = g.block(accept=lambda ls: any(ch in line for line in ls for ch in "<>&"))
    if not b or re.search(r"&(lt|gt|amp);", b.src.text):
        return None
    c = make_change(g.rng, b.lines, b.src.language)
    if not c:
        return None

    def ent(s: str) -> str:
        return s.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")

    return g.case(
        kind, b, ent(b.text), ent(_join(c.new)), [b.replaced(c.new)], note=f"{c.what}; HTML entities"
    )


def _history_records(g: Gen) -> list[dict]:
    return [] if g.history is None else g.history["cases"]


def _history_case(kind: str, rec: dict, old: str, new: str, note: str) -> Case:
    text = rec["text"]
    expected = text.replace(rec["old"], rec["new"], 1)
    line = rec["line"] - rec["window_first_line"] + 1
    where = f"{rec['repo']}@{rec['commit'][:12]}:{rec['path']}:{rec['line']}"
    return Case(kind, where, rec["language"], text, old, new, [expected], False, line=line, note=note)


def history_exact(g: Gen, kind: str, rec: dict) -> Case | None:
    return _history_case(kind, rec, rec["old"], rec["new"], "real hunk")


def history_indent_dropped(g: Gen, kind: str, rec: dict) -> Case | None:
    old, new = rec["old"].split("\n"), rec["new"].split("\n")
    prefix = _common_indent(old)
    old2, new2 = _dedent(old, prefix), _dedent(new, prefix)
    if not prefix or old2 is None or new2 is None:
        return None
    return _history_case(kind, rec, _join(old2), _join(new2), f"real hunk, {prefix!r} dropped")


@dataclass
class Kind:
    make: Callable[..., Case | None]
    expect: str  # "apply", "refuse" or "either" (refusal or the expected text)
    history: bool = False  # draws from the real-edit corpus, not from the source files


KINDS: dict[str, Kind] = {
    "exact": Kind(gen_exact, "apply"),
    "inline": Kind(gen_inline, "apply"),
    "indent_dropped": Kind(gen_indent_dropped, "apply"),
    "indent_shifted": Kind(gen_indent_shifted, "apply"),
    "tabs_spaces": Kind(gen_tabs_spaces, "apply"),
    "trailing_ws": Kind(gen_trailing_ws, "apply"),
    "collapsed_ws": Kind(gen_collapsed_ws, "apply"),
    "escaped": Kind(gen_escaped, "apply"),
    "blank_boundaries": Kind(gen_blank_boundaries, "apply"),
    "trailing_newline": Kind(gen_trailing_newline, "apply"),
    "middle_typo": Kind(gen_middle_typo, "apply"),
    "middle_missing": Kind(gen_middle_missing, "apply"),
    "first_line_typo": Kind(gen_first_line_typo, "apply"),
    "crlf_file": Kind(gen_crlf_file, "apply"),
    "crlf_block": Kind(gen_crlf_block, "apply"),
    "ambiguous_hint": Kind(gen_ambiguous_hint, "apply"),
    "elided": Kind(gen_elided, "apply"),
    "line_numbers": Kind(gen_line_numbers, "apply"),
    "smart_quotes": Kind(gen_smart_quotes, "apply"),
    "truncated_last": Kind(gen_truncated_last, "apply"),
    "html_entities": Kind(gen_html_entities, "apply"),
    "non_ascii": Kind(gen_non_ascii, "apply"),
    "history": Kind(history_exact, "apply", history=True),
    "history_indent_dropped": Kind(history_indent_dropped, "apply", history=True),
    "middle_replaced": Kind(gen_middle_replaced, "refuse"),
    "ambiguous": Kind(gen_ambiguous, "refuse"),
    "other_file": Kind(gen_other_file, "refuse"),
    "invented_inner": Kind(gen_invented_inner, "refuse"),
    "stale": Kind(gen_stale, "either"),
    "elided_new_only": Kind(gen_elided_new_only, "either"),
}


def generate(kind: str, count: int, seed: int, sources: list[Source], history: dict | None) -> list[Case]:
    """`count` cases of `kind` (fewer for the real-edit kinds when the corpus has fewer)."""
    spec = KINDS[kind]
    rng = random.Random(f"{seed}/{kind}")
    g = Gen(rng, sources, history)
    cases: list[Case] = []
    if spec.history:
        records = _history_records(g)
        order = list(range(len(records)))
        rng.shuffle(order)
        for i in order:
            case = spec.make(g, kind, records[i])
            if case is not None:
                cases.append(case)
                if len(cases) == count:
                    break
        return cases
    attempts = 0
    while len(cases) < count and attempts < 400 * count:
        attempts += 1
        case = spec.make(g, kind)
        if case is not None and case.old != case.new:
            cases.append(case)
    return cases
