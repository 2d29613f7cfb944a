"""The MCP server: the installed ``brindle-search mcp`` command, driven by the SDK's own stdio client
in temporary project folders.

Needs the ``mcp`` SDK (Python 3.10+); without it only the command's own refusal is checked.
"""

from __future__ import annotations

import asyncio
import os
import subprocess
import sys
from contextlib import asynccontextmanager
from typing import Any

import pytest

import brindle_search as bs
from brindle_search import schema

SCRIPT = os.path.join(os.path.dirname(sys.executable), "brindle-search")

try:
    from mcp import ClientSession, StdioServerParameters
    from mcp.client.stdio import stdio_client

    HAVE_MCP = True
except ImportError:
    HAVE_MCP = False

needs_mcp = pytest.mark.skipif(not HAVE_MCP, reason="the mcp SDK is not installed (Python 3.10+)")
INVALID_PARAMS = -32602


# --- a client session against the installed command ------------------------------------------


class Client:
    """Calls tools and reads results the same way under both major versions of the SDK."""

    def __init__(self, session: Any) -> None:
        self.session = session

    async def call(self, name: str, **arguments: Any) -> tuple[str, Any, bool]:
        result = await self.session.call_tool(name, arguments)
        text = "\n".join(block.text for block in result.content)
        structured = getattr(result, "structured_content", getattr(result, "structuredContent", None))
        is_error = getattr(result, "is_error", getattr(result, "isError", None))
        return text, structured, bool(is_error)

    async def protocol_error(self, name: str, arguments: Any) -> Any:
        with pytest.raises(Exception) as info:
            await self.session.call_tool(name, arguments)
        return info.value.error


@asynccontextmanager
async def connect(root, *extra: str):
    params = StdioServerParameters(
        command=SCRIPT, args=["mcp", "--root", str(root), *extra], env=dict(os.environ)
    )
    with open(os.devnull, "w") as quiet:
        async with stdio_client(params, errlog=quiet) as (read, write):
            async with ClientSession(read, write) as session:
                await session.initialize()
                yield Client(session)


def run(root, body, *extra: str) -> Any:
    async def main() -> Any:
        async with connect(root, *extra) as client:
            return await body(client)

    return asyncio.run(main())


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "project"
    (root / "src").mkdir(parents=True)
    (root / "src" / "cart.py").write_text(
        "class Cart:\n    def total(self):\n        result = 0\n        for item in self.items:\n"
        "            result += item.price\n        return result\n",
        encoding="utf-8",
    )
    (root / ".git").mkdir()
    (root / ".git" / "config").write_text("[core]\n", encoding="utf-8")
    (tmp_path / "outside.txt").write_text("secret\n", encoding="utf-8")
    return root


# --- the tools ---------------------------------------------------------------------------------


@needs_mcp
def test_the_server_advertises_exactly_the_tool_definitions(project):
    async def body(client):
        return (await client.session.list_tools()).tools

    tools = run(project, body)
    advertised = [
        {
            "name": t.name,
            "description": t.description,
            "input_schema": getattr(t, "input_schema", getattr(t, "inputSchema", None)),
        }
        for t in tools
    ]
    assert advertised == bs.tool_definitions()
    assert [t["name"] for t in advertised] == ["view", "edit", "create", "apply", "find_files"]


@needs_mcp
def test_view_numbers_lines_like_cat_n_and_refuses_binary_files(project):
    (project / "blob.bin").write_bytes(b"abc\0def")
    (project / "latin.txt").write_bytes("caf\xe9\n".encode("latin-1"))

    async def body(client):
        return [
            await client.call("view", path="src/cart.py"),
            await client.call("view", path="src/cart.py", start_line=2, end_line=3),
            await client.call("view", path="blob.bin"),
            await client.call("view", path="latin.txt"),
            await client.call("view", path="src/cart.py", start_line=40),
        ]

    whole, part, binary, latin, past = run(project, body)
    plain = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}  # no sanitizer runtime in cat
    cat_n = subprocess.run(
        ["cat", "-n", str(project / "src/cart.py")], capture_output=True, text=True, env=plain
    )
    assert whole[0] == cat_n.stdout + "[src/cart.py: lines 1-6 of 6]"
    assert whole[1]["total_lines"] == 6 and not whole[2]
    assert part[0].splitlines() == [
        "     2\t    def total(self):",
        "     3\t        result = 0",
        part[0].splitlines()[-1],
    ]
    assert "lines 2-3 of 6" in part[0]
    assert binary[2] and "binary" in binary[0] and "NUL byte at byte offset 3" in binary[0]
    assert latin[2] and "not decodable" in latin[0]
    assert past[2] and "6 lines" in past[0]


@needs_mcp
def test_edit_placed_not_placed_and_refused(project):
    cart = project / "src" / "cart.py"
    original = cart.read_text(encoding="utf-8")

    async def body(client):
        placed = await client.call(
            "edit",
            path="src/cart.py",
            old_string="for item in self.items:\n    result += item.price",
            new_string="for item in self.items:\n    result += item.price * item.quantity",
        )
        after_placed = cart.read_text(encoding="utf-8")
        missed = await client.call(
            "edit",
            path="src/cart.py",
            # Both lines misremembered: not placed.
            old_string="            result += item.price * item.quantty\n        return reslt",
            new_string="x",
        )
        refused = await client.call(
            "edit",
            path="src/cart.py",
            old_string="def total(self):\n    a = b\n    c = d\n    e = f\n    return result",
            new_string="def total(self):\n    return 0",
        )
        return placed, after_placed, missed, refused

    placed, after_placed, missed, refused = run(project, body)
    expected = bs.edit_text(
        original,
        "for item in self.items:\n    result += item.price",
        "for item in self.items:\n    result += item.price * item.quantity",
    )
    assert after_placed == expected.text
    text, data, is_error = placed
    assert not is_error and data["ok"] and data["written"]
    assert set(data) == set(schema.EditResultDict.__annotations__)
    assert data["strategy"] == expected.strategy == "line_trimmed"
    assert text.startswith("Edited ") and "item.price * item.quantity" in text
    text, data, is_error = missed
    assert is_error and data["error_type"] == "not_found" and "Closest fuzzy match" in text
    text, data, is_error = refused
    assert is_error and data["error_type"] == "refused" and text.startswith("Edit not applied")
    assert cart.read_text(encoding="utf-8") == after_placed


@needs_mcp
def test_bad_arguments_are_protocol_errors_and_the_server_keeps_serving(project):
    async def body(client):
        errors = [
            await client.protocol_error("edit", {"path": "src/cart.py", "old_string": "x"}),
            await client.protocol_error("view", {"path": 3}),
            await client.protocol_error("view", {"path": "src/cart.py", "start_line": 0}),
            await client.protocol_error("view", {"path": "src/cart.py", "start_line": 5, "end_line": 2}),
            await client.protocol_error("edit", {"path": "a", "old_string": "x", "new_string": "y", "x": 1}),
            await client.protocol_error("delete", {"path": "src/cart.py"}),
            await client.protocol_error("find_files", {"pattern": "c", "limit": True}),
        ]
        return errors, await client.call("view", path="src/cart.py", end_line=1)

    errors, after = run(project, body)
    assert [e.code for e in errors] == [INVALID_PARAMS] * len(errors)
    assert "new_string" in errors[0].message and "delete" in errors[5].message
    assert after[0].startswith("     1\tclass Cart:")


@needs_mcp
def test_paths_outside_the_root_and_in_git_are_refused(project, tmp_path):
    os.symlink(tmp_path / "outside.txt", project / "link.txt")
    os.symlink(project / ".git", project / "git-link")
    outside = str(tmp_path / "outside.txt")

    async def body(client):
        return [
            await client.call("view", path="../outside.txt"),
            await client.call("view", path=outside),
            await client.call("view", path="link.txt"),
            await client.call("edit", path=outside, old_string="secret", new_string="x"),
            await client.call("create", path="../new.txt", content="x\n"),
            await client.call("view", path=".git/config"),
            await client.call("view", path="git-link/config"),
            await client.call("create", path=".git/hooks/pre-commit", content="x\n"),
            await client.call("view", path=str(project / "src" / "cart.py")),  # absolute, inside
        ]

    *refusals, inside = run(project, body)
    assert all(is_error and text.startswith("Refused:") for text, _, is_error in refusals), refusals
    assert (tmp_path / "outside.txt").read_text(encoding="utf-8") == "secret\n"
    assert not (tmp_path / "new.txt").exists() and not (project / ".git" / "hooks").exists()
    assert not inside[2] and "class Cart" in inside[0]

    async def allowed(client):
        return await client.call("view", path=".git/config")

    text, _, is_error = run(project, allowed, "--allow-vcs-dirs")
    assert not is_error and "[core]" in text


@needs_mcp
def test_create_makes_new_files_only(project):
    async def body(client):
        return [
            await client.call("create", path="pkg/sub/new.py", content="x = 1\ny = 2\n"),
            await client.call("create", path="src/cart.py", content="overwritten\n"),
        ]

    made, exists = run(project, body)
    assert not made[2] and made[0] == "Created pkg/sub/new.py (2 lines)." and made[1]["created"]
    assert (project / "pkg" / "sub" / "new.py").read_text(encoding="utf-8") == "x = 1\ny = 2\n"
    assert exists[2] and "exists" in exists[0] and exists[1]["error_type"] == "file_exists"
    assert "overwritten" not in (project / "src" / "cart.py").read_text(encoding="utf-8")


@needs_mcp
def test_apply_edits_each_file_on_its_own(project):
    (project / "notes.txt").write_text("alpha\nbeta\n", encoding="utf-8")
    patch = (
        "src/cart.py\n<<<<<<< SEARCH\n        return result\n=======\n        return round(result, 2)\n"
        ">>>>>>> REPLACE\n\nnotes.txt\n<<<<<<< SEARCH\ngamma\n=======\ndelta\n>>>>>>> REPLACE\n\n"
        ".git/config\n<<<<<<< SEARCH\n[core]\n=======\n[evil]\n>>>>>>> REPLACE\n\n"
        "new/file.txt\n<<<<<<< SEARCH\n=======\nhello\n>>>>>>> REPLACE\n"
    )

    async def body(client):
        return await client.call("apply", patch=patch), await client.call("apply", patch="no blocks")

    (text, data, is_error), empty = run(project, body)
    assert is_error and not data["ok"]
    assert set(data) == set(schema.PatchReportDict.__annotations__)
    by_path = {f["path"]: f for f in data["files"]}
    assert list(by_path) == ["src/cart.py", "notes.txt", ".git/config", "new/file.txt"]
    assert by_path["src/cart.py"]["ok"] and by_path["new/file.txt"]["created"]
    assert by_path["notes.txt"]["error_type"] == "not_found"
    assert by_path[".git/config"]["error_type"] == "path_refused"
    assert "return round(result, 2)" in (project / "src" / "cart.py").read_text(encoding="utf-8")
    assert (project / "new" / "file.txt").read_text(encoding="utf-8") == "hello\n"
    assert (project / ".git" / "config").read_text(encoding="utf-8") == "[core]\n"
    assert "notes.txt: not applied" in text and "+        return round(result, 2)" in text
    assert empty[2] and "No edit blocks or diff found" in empty[0]


@needs_mcp
def test_find_files_ranks_paths_and_skips_git_and_ignored_files(project):
    (project / ".gitignore").write_text("build/\n*.log\n!keep.log\n", encoding="utf-8")
    for rel in ["build/cart_copy.py", "debug.log", "keep.log", "docs/cart.md", "docs/.gitignore"]:
        (project / rel).parent.mkdir(parents=True, exist_ok=True)
        (project / rel).write_text("x\n", encoding="utf-8")
    (project / "docs" / ".gitignore").write_text("*.md\n", encoding="utf-8")
    (project / "docs" / "cart.rst").write_text("x\n", encoding="utf-8")

    async def body(client):
        return [
            await client.call("find_files", pattern="cart"),
            await client.call("find_files", pattern="log"),
            await client.call("find_files", pattern="config"),
            await client.call("find_files", pattern="c", limit=2),
        ]

    cart, log, config, limited = run(project, body)
    assert cart[0].splitlines() == ["src/cart.py", "docs/cart.rst"]
    assert [m["path"] for m in cart[1]["matches"]] == ["src/cart.py", "docs/cart.rst"]
    assert log[0].splitlines() == ["keep.log"]
    assert not config[2] and "No file" in config[0]
    assert len(limited[0].splitlines()) == 2


@needs_mcp
def test_a_burst_of_concurrent_calls_is_answered_and_edits_of_one_file_all_land(project):
    for k in range(8):
        (project / f"f{k}.txt").write_text("".join(f"line {j}\n" for j in range(50)), encoding="utf-8")
    shared = project / "shared.txt"
    shared.write_text("".join(f"entry {j} = 0\n" for j in range(20)), encoding="utf-8")

    async def body(client):
        calls = []
        for k in range(8):
            calls.append(
                client.call("edit", path=f"f{k}.txt", old_string="line 25", new_string=f"edited {k}")
            )
            calls.append(client.call("view", path=f"f{k}.txt", start_line=1, end_line=2))
            calls.append(client.call("find_files", pattern=f"f{k}"))
            calls.append(client.call("view", path="missing.txt"))
        for j in range(20):
            calls.append(
                client.call(
                    "edit", path="shared.txt", old_string=f"entry {j} = 0", new_string=f"entry {j} = 1"
                )
            )
        results = await asyncio.gather(*calls)
        return results, await client.call("view", path="shared.txt")

    results, final = run(project, body)
    assert all(not r[2] for r in results[:32:4]) and all(r[2] for r in results[3:32:4])
    assert all(not r[2] for r in results[32:])
    for k in range(8):
        assert f"edited {k}\n" in (project / f"f{k}.txt").read_text(encoding="utf-8")
    assert shared.read_text(encoding="utf-8") == "".join(f"entry {j} = 1\n" for j in range(20))
    assert not final[2]


# --- the command without the SDK -----------------------------------------------------------------


def test_without_the_sdk_the_command_says_how_to_install_it_and_exits_2(tmp_path):
    shim = tmp_path / "shim"
    shim.mkdir()
    (shim / "mcp.py").write_text("raise ImportError('No module named mcp', name='mcp')\n", encoding="utf-8")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(shim), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run(
        [SCRIPT, "mcp", "--root", str(tmp_path)], capture_output=True, text=True, env=env, timeout=60
    )
    assert done.returncode == 2
    assert "pip install 'brindle-search[mcp]'" in done.stderr and done.stdout == ""


def test_a_root_that_is_not_a_folder_exits_2(tmp_path):
    done = subprocess.run(
        [SCRIPT, "mcp", "--root", str(tmp_path / "nope")], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 2 and "not a folder" in done.stderr
