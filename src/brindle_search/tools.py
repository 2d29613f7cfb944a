"""File tools for agent frameworks: view, edit, create, apply and find_files under one root folder.

``tool_definitions()`` describes the tools (name, description, JSON Schema of the input) for
function-calling APIs; the MCP server advertises exactly these. ``Toolbox`` runs them: it checks
the arguments against the same schemas (``ToolArgumentError`` for a call the schema rejects or an
unknown tool: the caller's mistake), keeps every path under the root and out of ``.git`` unless
allowed, and returns a ``ToolResult`` for everything else, failures included: ``text`` is what to
hand back to the model, ``data`` the structured result (the TypedDicts of ``schema``), and
``is_error`` marks a call that did not do what it was asked (an edit not placed, a refused path,
a binary file). A Toolbox may be called from several threads at once; calls that write take a
lock per file, so that two edits of one file do not lose each other's changes.
"""

from __future__ import annotations

import copy
import os
import sys
import threading
import traceback
from collections.abc import Iterator, Mapping
from contextlib import ExitStack, contextmanager
from typing import Any, Callable, TypedDict

from .blocks import EditBlock, ParsedPatch, PathRefused, apply_blocks
from .errors import EditError, is_native_panic
from .patches import apply_patch
from .paths import Location, Root, relative_parts
from .records import record
from .schema import FindFilesDict, ViewDict

__all__ = [
    "ToolArgumentError",
    "ToolDefinition",
    "ToolResult",
    "Toolbox",
    "resolve_tool_path",
    "tool_definitions",
]

#: Lines that one ``view`` call shows at most without an explicit range, and characters at most.
VIEW_MAX_LINES = 2000
VIEW_MAX_CHARS = 200_000

#: Files that ``find_files`` looks at, at most (a huge tree is cut short, not walked to its end).
FIND_MAX_FILES = 200_000


class ToolDefinition(TypedDict):
    """One tool as function-calling APIs take it."""

    name: str
    description: str
    input_schema: dict[str, Any]


class ToolArgumentError(ValueError):
    """A call that names no tool, or whose arguments its input schema rejects."""


@record(frozen=True)
class ToolResult:
    """What a tool call gives back: the text for the model and the structured data."""

    text: str
    data: Mapping[str, Any] | None = None
    is_error: bool = False


# --- the definitions ------------------------------------------------------------------------------

_PATH = {
    "type": "string",
    "minLength": 1,
    "description": "The file's path relative to the project root (an absolute path inside the root "
    "is accepted too).",
}

_DEFINITIONS: list[ToolDefinition] = [
    {
        "name": "view",
        "description": (
            "Show a text file's lines, numbered as `cat -n` numbers them (a line number, a tab, the "
            "line), followed by the range shown and the file's total line count. Without a range it "
            f"shows the first {VIEW_MAX_LINES} lines; ask for more with start_line/end_line. Read a "
            "file before editing it: the edit tool needs its lines exactly as they are (copy them "
            "without the number and the tab). Binary files (NUL bytes) and files that are not UTF-8 "
            "are refused with the reason."
        ),
        "input_schema": {
            "type": "object",
            "properties": {
                "path": _PATH,
                "start_line": {
                    "type": ["integer", "null"],
                    "minimum": 1,
                    "description": "First line to show (1-based); default 1.",
                },
                "end_line": {
                    "type": ["integer", "null"],
                    "minimum": 1,
                    "description": "Last line to show (inclusive); default: as far as the limit allows.",
                },
            },
            "required": ["path"],
            "additionalProperties": False,
        },
    },
    {
        "name": "edit",
        "description": (
            "Replace old_string by new_string in an existing file and write it. old_string must "
            "identify one place in the file: quote whole lines, exactly as the file has them "
            "(indentation included, without view's line numbers), with enough surrounding lines to "
            "be unique. Small differences are tolerated: indentation, whitespace, escapes, a few "
            "changed inner lines of a longer block; new_string is then re-indented to fit. On "
            "success the reply shows the changed lines as they now read. When old_string is not "
            "placed nothing is written and the reply says why: not found (with the closest block of "
            "the file and a diff against old_string: copy the file's text from there and retry), "
            "several matches (with their line numbers: add context or give line_hint), or refused "
            "(a loose match too unlike old_string). To insert, quote the line(s) next to the spot "
            "and repeat them in new_string."
        ),
        "input_schema": {
            "type": "object",
            "properties": {
                "path": _PATH,
                "old_string": {
                    "type": "string",
                    "minLength": 1,
                    "description": "The text to replace: whole lines as in the file (not empty; a "
                    "new file is made with create).",
                },
                "new_string": {
                    "type": "string",
                    "description": "The text to put in its place (must differ from old_string).",
                },
                "replace_all": {
                    "type": "boolean",
                    "default": False,
                    "description": "Replace every occurrence instead of requiring exactly one.",
                },
                "line_hint": {
                    "type": ["integer", "null"],
                    "minimum": 1,
                    "description": "Line number near the intended occurrence, to choose among several.",
                },
            },
            "required": ["path", "old_string", "new_string"],
            "additionalProperties": False,
        },
    },
    {
        "name": "create",
        "description": (
            "Create a new file with the given content (missing folders are created). Refuses a "
            "path that already exists: change an existing file with edit instead."
        ),
        "input_schema": {
            "type": "object",
            "properties": {
                "path": _PATH,
                "content": {"type": "string", "description": "The whole text of the new file."},
            },
            "required": ["path", "content"],
            "additionalProperties": False,
        },
    },
    {
        "name": "apply",
        "description": (
            "Apply SEARCH/REPLACE edit blocks or a unified diff to files under the project root. "
            "Each block is the file's path on its own line, then\n<<<<<<< SEARCH\n(whole lines "
            "exactly as in the file)\n=======\n(the new lines)\n>>>>>>> REPLACE\nMarkers start in "
            "the first column; prose and code fences between blocks are ignored; a block right "
            "after another may leave out the path. An empty SEARCH part creates a new file. A "
            "unified diff (diff -u or git diff, several files, new and deleted files through "
            "/dev/null) is placed by its context and '-' lines, not its line numbers. The changes "
            "of one file are applied in order, all or nothing; each file stands on its own. The "
            "reply lists every file: applied (with its diff), or not applied with the reason (the "
            "closest match for a SEARCH part or hunk that was not found)."
        ),
        "input_schema": {
            "type": "object",
            "properties": {
                "patch": {"type": "string", "description": "The edit blocks or the unified diff."},
            },
            "required": ["patch"],
            "additionalProperties": False,
        },
    },
    {
        "name": "find_files",
        "description": (
            "Find files under the project root whose path fuzzily matches pattern (its letters in "
            "order, e.g. 'tcli' finds 'tests/test_cli.py'), best match first; an empty pattern lists "
            "paths in order. Skips .git and what .gitignore files exclude. Use it to learn a file's "
            "exact path."
        ),
        "input_schema": {
            "type": "object",
            "properties": {
                "pattern": {"type": "string", "description": "Letters of the path, in order."},
                "limit": {
                    "type": "integer",
                    "minimum": 1,
                    "maximum": 1000,
                    "default": 20,
                    "description": "How many paths to return at most.",
                },
            },
            "required": ["pattern"],
            "additionalProperties": False,
        },
    },
]

TOOL_NAMES = tuple(d["name"] for d in _DEFINITIONS)


def tool_definitions() -> list[ToolDefinition]:
    """The tools as name, description and JSON Schema of the input (a fresh copy on every call)."""
    return copy.deepcopy(_DEFINITIONS)


_JSON_TYPES: dict[str, Callable[[object], bool]] = {
    "string": lambda v: isinstance(v, str),
    "integer": lambda v: isinstance(v, int) and not isinstance(v, bool),
    "boolean": lambda v: isinstance(v, bool),
    "null": lambda v: v is None,
}


def _check_arguments(definition: ToolDefinition, arguments: object) -> dict[str, Any]:
    """The arguments, with defaults filled in, when the tool's input schema accepts them."""
    name = definition["name"]
    schema = definition["input_schema"]
    if arguments is None:
        arguments = {}
    if not isinstance(arguments, Mapping):
        raise ToolArgumentError(f"{name}: the arguments must be an object")
    properties: dict[str, Any] = schema["properties"]
    unknown = sorted(str(key) for key in arguments if key not in properties)
    if unknown:
        raise ToolArgumentError(f"{name}: unknown argument(s) {', '.join(unknown)}")
    missing = [key for key in schema["required"] if key not in arguments]
    if missing:
        raise ToolArgumentError(f"{name}: missing required argument(s) {', '.join(missing)}")
    checked: dict[str, Any] = {}
    for key, spec in properties.items():
        if key not in arguments:
            if "default" in spec:
                checked[key] = spec["default"]
            continue
        value = arguments[key]
        types = spec["type"] if isinstance(spec["type"], list) else [spec["type"]]
        if not any(_JSON_TYPES[t](value) for t in types):
            raise ToolArgumentError(f"{name}: {key} must be of type {' or '.join(types)}")
        if isinstance(value, str) and len(value) < spec.get("minLength", 0):
            raise ToolArgumentError(f"{name}: {key} must not be empty")
        if isinstance(value, int) and not isinstance(value, bool):
            if "minimum" in spec and value < spec["minimum"]:
                raise ToolArgumentError(f"{name}: {key} must be at least {spec['minimum']}")
            if "maximum" in spec and value > spec["maximum"]:
                raise ToolArgumentError(f"{name}: {key} must be at most {spec['maximum']}")
        checked[key] = value
    return checked


# --- the path policy ------------------------------------------------------------------------------


def resolve_tool_path(root: str, path: str, *, allow_vcs_dirs: bool = False) -> tuple[str, str]:
    """Check ``path`` against the root and return (normalised relative path, absolute path).

    The one place where the tools ask the path policy, which is the block applier's
    (``paths``): no ``..``, no home folder, variable or URL, no symbolic link out of the root,
    nothing in a version-control folder unless ``allow_vcs_dirs``. An absolute path is taken when
    it lies inside the root. Raises ``PathRefused``.
    """
    if not isinstance(path, str):
        raise PathRefused("path must be a str")
    abs_root = os.path.abspath(root)
    if os.path.isabs(path):
        inside = _inside(abs_root, os.path.abspath(path)) or _inside(
            os.path.realpath(abs_root), os.path.realpath(path)
        )
        if inside is None:
            raise PathRefused(f"{path}: outside the root {abs_root}")
        path = inside
    rel = "/".join(relative_parts(path, allow_vcs_dirs=allow_vcs_dirs))
    with Root(abs_root, allow_vcs_dirs=allow_vcs_dirs) as handle, handle.locate(rel):
        pass  # the walk from the root's descriptor refuses links that lead out of it
    return rel, os.path.join(abs_root, *rel.split("/"))


def _inside(root: str, path: str) -> str | None:
    """``path`` relative to ``root`` when it lies inside it, else None."""
    try:
        if os.path.commonpath([root, path]) != root:
            return None
    except ValueError:  # different drives
        return None
    rel = os.path.relpath(path, root)
    return None if rel == "." else rel


# --- the toolbox ----------------------------------------------------------------------------------


class Toolbox:
    """The tools over the files under ``root`` (which must be an existing folder)."""

    def __init__(self, root: str | os.PathLike[str] = ".", *, allow_vcs_dirs: bool = False) -> None:
        root = os.path.expanduser(os.fspath(root))
        if not os.path.isdir(root):
            raise ValueError(f"root {root}: not a folder")
        self.root = os.path.abspath(root)
        self.allow_vcs_dirs = allow_vcs_dirs
        self._locks: dict[str, threading.Lock] = {}
        self._locks_guard = threading.Lock()
        self._handlers: dict[str, Callable[..., ToolResult]] = {
            "view": self.view,
            "edit": self.edit,
            "create": self.create,
            "apply": self.apply,
            "find_files": self.find_files,
        }
        self._definitions = {d["name"]: d for d in _DEFINITIONS}

    # -- dispatch --

    def call(self, name: str, arguments: Mapping[str, Any] | None = None) -> ToolResult:
        """Run the tool ``name``. Raises ``ToolArgumentError`` for an unknown tool or arguments its
        schema rejects; every other failure is a ``ToolResult`` with ``is_error`` set."""
        definition = self._definitions.get(name)
        if definition is None:
            raise ToolArgumentError(f"unknown tool {name!r}; the tools are {', '.join(TOOL_NAMES)}")
        checked = _check_arguments(definition, arguments)
        try:
            return self._handlers[name](**checked)
        except PathRefused as exc:
            return _error(f"Refused: {exc}")
        except EditError as exc:
            return _error(str(exc))
        except (ToolArgumentError, KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:
            if not isinstance(exc, Exception) and not is_native_panic(exc):
                raise
            traceback.print_exc(file=sys.stderr)
            return _error(f"Internal error in {name}: {type(exc).__name__}: {exc}")

    def _resolve(self, path: str) -> tuple[str, str]:
        return resolve_tool_path(self.root, path, allow_vcs_dirs=self.allow_vcs_dirs)

    @contextmanager
    def _located(self, rel: str) -> Iterator[Location]:
        """The file `rel` reached from the root's descriptor, for reading and writing it."""
        with Root(self.root, allow_vcs_dirs=self.allow_vcs_dirs) as handle, handle.locate(rel) as location:
            yield location

    @contextmanager
    def _writing(self, targets: list[str]) -> Iterator[None]:
        """Hold the write locks of ``targets`` (taken in one order, so that calls cannot deadlock)."""
        keys = sorted({os.path.realpath(t) for t in targets})
        with self._locks_guard:
            locks = [self._locks.setdefault(key, threading.Lock()) for key in keys]
        with ExitStack() as stack:
            for lock in locks:
                stack.enter_context(lock)
            yield

    # -- the tools --

    def view(self, path: str, start_line: int | None = None, end_line: int | None = None) -> ToolResult:
        from .files import read_document

        if start_line is not None and end_line is not None and end_line < start_line:
            raise ToolArgumentError(f"view: end_line {end_line} is before start_line {start_line}")
        rel, target = self._resolve(path)
        if os.path.isdir(target):
            return _error(f"{rel} is a folder, not a file; find_files lists the files under the root.")
        try:
            with self._located(rel) as location:
                text = read_document(location).text
        except EditError as exc:
            return _error(f"Cannot view {rel}: {_reason(exc, target)}")
        lines = text.split("\n")
        if text.endswith("\n") or not text:
            lines.pop()
        total = len(lines)
        first = start_line or 1
        if total == 0:
            data: ViewDict = {
                "path": rel,
                "start_line": 0,
                "end_line": 0,
                "total_lines": 0,
                "content": "",
                "truncated": False,
            }
            return ToolResult(f"{rel} is empty (0 lines).", dict(data))
        if first > total:
            return _error(f"start_line {first} is past the end of {rel}, which has {total} lines.")
        last = min(end_line if end_line is not None else first + VIEW_MAX_LINES - 1, total)
        shown: list[str] = []
        size = 0
        for number in range(first, last + 1):
            line = lines[number - 1]
            size += len(line) + 8
            if shown and size > VIEW_MAX_CHARS:
                last = number - 1
                break
            shown.append(f"{number:6d}\t{line}")
        truncated = last < total
        footer = f"[{rel}: lines {first}-{last} of {total}"
        footer += f"; more with start_line={last + 1}]" if truncated else "]"
        data = {
            "path": rel,
            "start_line": first,
            "end_line": last,
            "total_lines": total,
            "content": "".join(line + "\n" for line in lines[first - 1 : last]),
            "truncated": truncated,
        }
        return ToolResult("\n".join(shown) + "\n" + footer, dict(data))

    def edit(
        self,
        path: str,
        old_string: str,
        new_string: str,
        replace_all: bool = False,
        line_hint: int | None = None,
    ) -> ToolResult:
        from . import edit_file

        rel, target = self._resolve(path)
        with self._writing([target]), self._located(rel) as location:
            result = edit_file(location, old_string, new_string, replace_all=replace_all, line_hint=line_hint)
        return ToolResult(str(result), dict(result.to_dict()), is_error=not result.ok)

    def create(self, path: str, content: str) -> ToolResult:
        rel, target = self._resolve(path)
        with self._writing([target]):
            report = apply_blocks(
                ParsedPatch([EditBlock(rel, "", content, 1)], []),
                self.root,
                allow_vcs_dirs=self.allow_vcs_dirs,
            )
        outcome = report.files[0]
        data = dict(outcome.to_dict())
        if outcome.ok:
            lines = outcome.result.end_line if outcome.result is not None else None
            return ToolResult(f"Created {rel} ({lines or 0} lines).", data)
        if outcome.error_type == "file_exists":
            return _error(f"{rel} exists; create only makes new files (change it with edit).", data)
        return _error(f"{rel} not created [{outcome.error_type}]: {outcome.message}", data)

    def apply(self, patch: str) -> ToolResult:
        # Writers of one file take turns through the files' own locks (``files``), which also
        # hold against the edit tool and other processes.
        report = apply_patch(patch, self.root, allow_vcs_dirs=self.allow_vcs_dirs)
        if not report.files and not report.errors:
            return _error(
                "No edit blocks or diff found. Each block is the file's path on its own line, then "
                "'<<<<<<< SEARCH', the old lines, '=======', the new lines, '>>>>>>> REPLACE'; a "
                "diff has '--- a/path' and '+++ b/path' lines before its '@@' hunks."
            )
        parts = [f"patch line {error}" for error in report.errors]
        for outcome in report.files:
            if outcome.ok and outcome.result is not None:
                diff = outcome.result.diff
                parts.append(outcome.summary(False) + ("\n" + diff.rstrip("\n") if diff else ""))
            else:
                parts.append(outcome.report())
        return ToolResult("\n\n".join(parts), dict(report.to_dict()), is_error=not report.ok)

    def find_files(self, pattern: str, limit: int = 20) -> ToolResult:
        from .ranking import extract

        paths = list(_walk(self.root))
        if pattern:
            ranked = extract(pattern, paths, limit=limit)
        else:  # every path matches an empty pattern equally: the first ones in path order
            ranked = [(path, 0, k) for k, path in enumerate(sorted(paths)[:limit])]
        data: FindFilesDict = {
            "pattern": pattern,
            "matches": [{"path": path, "score": score} for path, score, _ in ranked],
        }
        if not ranked:
            return ToolResult(f"No file under the root matches {pattern!r}.", dict(data))
        return ToolResult("\n".join(path for path, _, _ in ranked), dict(data))


def _error(text: str, data: Mapping[str, Any] | None = None) -> ToolResult:
    return ToolResult(text, data, is_error=True)


def _reason(exc: EditError, target: str) -> str:
    """The error's message without the absolute path it starts with."""
    message = str(exc)
    return message[len(target) + 2 :] if message.startswith(target + ": ") else message


# --- walking the tree -----------------------------------------------------------------------------


def _walk(root: str) -> Iterator[str]:
    """The files under ``root`` as relative POSIX paths, without .git and what .gitignore files
    (and .git/info/exclude) exclude; symbolic links are listed only when they stay in the root."""
    import pathspec

    real_root = os.path.realpath(root)

    def spec_of(path: str) -> Any:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                return pathspec.GitIgnoreSpec.from_lines(f.read().splitlines())
        except OSError:
            return None

    # (folder relative to the root with a final "/", or "" for the root; its patterns), outermost first
    specs: list[tuple[str, Any]] = []
    exclude = spec_of(os.path.join(root, ".git", "info", "exclude"))
    if exclude is not None:
        specs.append(("", exclude))

    def ignored(rel: str, is_dir: bool) -> bool:
        decision = False
        for base, spec in specs:
            if base and not rel.startswith(base):
                continue
            result = spec.check_file(rel[len(base) :] + ("/" if is_dir else "")).include
            if result is not None:
                decision = result
        return decision

    count = 0
    for folder, dirs, files in os.walk(root):
        rel_folder = os.path.relpath(folder, root).replace(os.sep, "/")
        prefix = "" if rel_folder == "." else rel_folder + "/"
        specs[:] = [(base, spec) for base, spec in specs if prefix.startswith(base)]
        if ".gitignore" in files:
            spec = spec_of(os.path.join(folder, ".gitignore"))
            if spec is not None:
                specs.append((prefix, spec))
        dirs[:] = sorted(d for d in dirs if d != ".git" and not ignored(prefix + d, True))
        for name in sorted(files):
            rel = prefix + name
            if ignored(rel, False):
                continue
            full = os.path.join(folder, name)
            if os.path.islink(full):
                real = os.path.realpath(full)
                if os.path.commonpath([real_root, real]) != real_root or not os.path.isfile(real):
                    continue
            yield rel
            count += 1
            if count >= FIND_MAX_FILES:
                return
