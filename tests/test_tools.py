"""The file tools without a protocol around them: ``tool_definitions()`` and ``Toolbox`` on real
files in temporary folders (on every interpreter; the MCP server's own tests need Python 3.10+)."""

from __future__ import annotations

import importlib.util
import os
from concurrent.futures import ThreadPoolExecutor

import pytest

import brindle_search as bs
from brindle_search.tools import VIEW_MAX_LINES, PathRefused, resolve_tool_path


@pytest.fixture
def root(tmp_path):
    project = tmp_path / "project"
    (project / "pkg").mkdir(parents=True)
    (project / "pkg" / "mod.py").write_text("def f():\n    return 1\n", encoding="utf-8")
    (project / ".git").mkdir()
    (project / ".git" / "HEAD").write_text("ref: refs/heads/main\n", encoding="utf-8")
    (tmp_path / "secret.txt").write_text("secret\n", encoding="utf-8")
    os.symlink(tmp_path / "secret.txt", project / "out-link")
    os.symlink(project / "pkg", project / "in-link")
    return project


def test_definitions_are_fresh_copies_with_object_schemas():
    first = bs.tool_definitions()
    first[0]["input_schema"]["properties"].clear()
    again = bs.tool_definitions()
    assert again[0]["input_schema"]["properties"]
    for definition in again:
        assert set(definition) == {"name", "description", "input_schema"}
        schema = definition["input_schema"]
        assert schema["type"] == "object" and schema["additionalProperties"] is False
        assert set(schema["required"]) <= set(schema["properties"])
        assert all(p.get("description") for p in schema["properties"].values())


@pytest.mark.skipif(importlib.util.find_spec("jsonschema") is None, reason="jsonschema is not installed")
def test_definitions_are_valid_json_schemas():
    import jsonschema

    for definition in bs.tool_definitions():
        jsonschema.Draft202012Validator.check_schema(definition["input_schema"])


@pytest.mark.parametrize(
    ("path", "relative"),
    [
        ("pkg/mod.py", "pkg/mod.py"),
        ("./pkg//mod.py", "pkg/mod.py"),
        ("pkg\\mod.py", "pkg/mod.py"),
        ("new/file.txt", "new/file.txt"),
        ("in-link/mod.py", "in-link/mod.py"),
        ("{root}/pkg/mod.py", "pkg/mod.py"),
    ],
)
def test_paths_under_the_root_are_accepted(root, path, relative):
    rel, target = resolve_tool_path(str(root), path.format(root=root))
    assert rel == relative and target == os.path.join(str(root), *relative.split("/"))


@pytest.mark.parametrize(
    ("path", "reason"),
    [
        ("../secret.txt", "'..'"),
        ("pkg/../../secret.txt", "'..'"),
        ("{outside}", "outside the root"),
        ("{root}", "outside the root"),
        ("out-link", "symbolic link"),
        ("", "empty"),
        (".git/HEAD", ".git"),
        ("pkg/.git/config", ".git"),
        ("a\0b", "NUL"),
    ],
)
def test_paths_outside_the_root_or_in_git_are_refused(root, path, reason):
    path = path.format(root=root, outside=root.parent / "secret.txt")
    with pytest.raises(PathRefused, match=reason):
        resolve_tool_path(str(root), path)


def test_git_is_allowed_when_asked(root):
    assert resolve_tool_path(str(root), ".git/HEAD", allow_vcs_dirs=True)[0] == ".git/HEAD"
    box = bs.Toolbox(root, allow_vcs_dirs=True)
    assert "refs/heads/main" in box.call("view", {"path": ".git/HEAD"}).text


@pytest.mark.parametrize(
    ("name", "arguments", "message"),
    [
        ("remove", {"path": "x"}, "unknown tool"),
        ("view", {}, "missing required argument"),
        ("view", ["pkg/mod.py"], "must be an object"),
        ("view", {"path": "pkg/mod.py", "line": 1}, "unknown argument"),
        ("view", {"path": 1}, "path must be of type string"),
        ("view", {"path": ""}, "path must not be empty"),
        ("edit", {"path": "p", "old_string": "", "new_string": "b"}, "old_string must not be empty"),
        ("view", {"path": "pkg/mod.py", "start_line": 0}, "at least 1"),
        ("view", {"path": "pkg/mod.py", "start_line": "2"}, "integer or null"),
        ("view", {"path": "pkg/mod.py", "start_line": 3, "end_line": 2}, "before start_line"),
        ("edit", {"path": "p", "old_string": "a", "new_string": "b", "replace_all": 1}, "boolean"),
        ("edit", {"path": "p", "old_string": "a", "new_string": "b", "line_hint": True}, "integer"),
        ("find_files", {"pattern": "x", "limit": 0}, "at least 1"),
        ("find_files", {"pattern": "x", "limit": 5000}, "at most 1000"),
        ("apply", {"patch": None}, "string"),
    ],
)
def test_arguments_the_schema_rejects_raise(root, name, arguments, message):
    with pytest.raises(bs.ToolArgumentError, match=message):
        bs.Toolbox(root).call(name, arguments)


def test_view_shows_a_bounded_window_and_says_how_to_see_more(root):
    (root / "long.txt").write_text(
        "".join(f"line {k}\n" for k in range(1, VIEW_MAX_LINES + 51)), encoding="utf-8"
    )
    box = bs.Toolbox(root)
    first = box.call("view", {"path": "long.txt"})
    lines = first.text.splitlines()
    assert len(lines) == VIEW_MAX_LINES + 1 and lines[-2] == f"{VIEW_MAX_LINES:6d}\tline {VIEW_MAX_LINES}"
    total = VIEW_MAX_LINES + 50
    assert (
        lines[-1]
        == f"[long.txt: lines 1-{VIEW_MAX_LINES} of {total}; more with start_line={VIEW_MAX_LINES + 1}]"
    )
    assert first.data["truncated"]
    rest = box.call("view", {"path": "long.txt", "start_line": VIEW_MAX_LINES + 1})
    assert (
        rest.text.splitlines()[-1]
        == f"[long.txt: lines {VIEW_MAX_LINES + 1}-{VIEW_MAX_LINES + 50} of {VIEW_MAX_LINES + 50}]"
    )
    assert not rest.data["truncated"] and rest.data["content"].startswith(f"line {VIEW_MAX_LINES + 1}\n")
    (root / "empty.txt").write_text("", encoding="utf-8")
    assert box.call("view", {"path": "empty.txt"}).data["total_lines"] == 0
    assert box.call("view", {"path": "pkg"}).is_error


def test_edits_of_one_file_from_many_threads_all_land(root):
    target = root / "counts.txt"
    target.write_text("".join(f"count {k} = 0\n" for k in range(40)), encoding="utf-8")
    box = bs.Toolbox(root)

    def bump(k: int) -> bs.ToolResult:
        return box.call(
            "edit", {"path": "counts.txt", "old_string": f"count {k} = 0", "new_string": f"count {k} = 1"}
        )

    with ThreadPoolExecutor(max_workers=8) as pool:
        results = list(pool.map(bump, range(40)))
    assert all(not r.is_error for r in results)
    assert target.read_text(encoding="utf-8") == "".join(f"count {k} = 1\n" for k in range(40))


def test_failures_are_results_not_exceptions(root):
    (root / "data.bin").write_bytes(b"\x00\x01")
    box = bs.Toolbox(root)
    outcomes = [
        box.call("view", {"path": "data.bin"}),
        box.call("view", {"path": "missing.py"}),
        box.call("edit", {"path": "missing.py", "old_string": "a", "new_string": "b"}),
        box.call("edit", {"path": "pkg/mod.py", "old_string": "return 2", "new_string": "return 3"}),
        box.call("create", {"path": "pkg/mod.py", "content": "x"}),
        box.call("apply", {"patch": "pkg/mod.py\n<<<<<<< SEARCH\nnope\n=======\nx\n>>>>>>> REPLACE\n"}),
    ]
    assert all(o.is_error and o.text for o in outcomes)
    assert (root / "pkg" / "mod.py").read_text(encoding="utf-8") == "def f():\n    return 1\n"


def test_find_files_follows_git_s_ignore_rules(root):
    files = {
        ".gitignore": "*.log\nbuild/\n/top.txt\n",
        "sub/.gitignore": "!keep.log\n/local.txt\n",
        ".git/info/exclude": "secret.*\n",
        "a.log": "",
        "sub/keep.log": "",
        "sub/other.log": "",
        "sub/local.txt": "",
        "sub/deeper/local.txt": "",
        "top.txt": "",
        "sub/top.txt": "",
        "build/out.txt": "",
        "sub/build/out.txt": "",
        "secret.key": "",
        "pkg/.git/objects/x": "",
    }
    for rel, text in files.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_text(text, encoding="utf-8")
    found = bs.Toolbox(root).call("find_files", {"pattern": "", "limit": 1000})
    listed = [m["path"] for m in found.data["matches"]]
    assert listed == sorted(listed) and found.text.splitlines() == listed
    assert set(listed) == {
        ".gitignore",
        "sub/.gitignore",
        "sub/keep.log",
        "sub/deeper/local.txt",
        "sub/top.txt",
        "pkg/mod.py",
    }  # and not the links: one to a folder (not followed), one out of the root


def test_apply_takes_unified_diffs_under_the_same_policy(root):
    box = bs.Toolbox(root)
    diff = (
        "diff --git a/pkg/mod.py b/pkg/mod.py\n--- a/pkg/mod.py\n+++ b/pkg/mod.py\n"
        "@@ -1,2 +1,2 @@\n def f():\n-    return 1\n+    return 2\n"
    )
    result = box.call("apply", {"patch": diff})
    assert not result.is_error, result.text
    assert (root / "pkg" / "mod.py").read_text(encoding="utf-8") == "def f():\n    return 2\n"
    assert result.data["format"] == "diff"
    escape = diff.replace("pkg/mod.py", "../secret.txt")
    refused = box.call("apply", {"patch": escape})
    assert refused.is_error and "'..'" in refused.text
    into_git = "--- a/.git/HEAD\n+++ b/.git/HEAD\n@@ -1 +1 @@\n-ref: refs/heads/main\n+ref: refs/heads/evil\n"
    assert box.call("apply", {"patch": into_git}).is_error
    assert (root / ".git" / "HEAD").read_text(encoding="utf-8") == "ref: refs/heads/main\n"
    assert (root.parent / "secret.txt").read_text(encoding="utf-8") == "secret\n"
