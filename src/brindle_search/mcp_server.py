"""The Model Context Protocol server: the tools of ``brindle_search.tools`` over stdio.

``brindle-search mcp [--root DIR] [--allow-vcs-dirs]`` runs ``serve``. The server is built on the
low-level server of the official ``mcp`` SDK (the ``[mcp]`` extra; major versions 1 and 2, whose
handler registration differs and is bridged here). It advertises exactly ``tool_definitions()``
and runs each call in a worker thread, so that calls proceed side by side (the native work runs
without the interpreter lock) and a slow call never holds up the others. A call the input schema
rejects, or of an unknown tool, is answered with the protocol's invalid-params error; every other
failure is a tool result marked as an error whose text says what went wrong, and the server keeps
serving.
"""

from __future__ import annotations

import sys
from typing import Any

import anyio
import anyio.to_thread
import mcp.types as types
from mcp.server.lowlevel import Server
from mcp.server.stdio import stdio_server

from . import __version__
from .tools import ToolArgumentError, Toolbox, ToolResult, tool_definitions

__all__ = ["build_server", "serve"]

SERVER_NAME = "brindle-search"

# JSON-RPC's code for invalid method parameters.
INVALID_PARAMS = -32602

# Worker threads for tool calls at once; more calls wait for a free one.
MAX_WORKERS = 8

try:  # SDK 2
    from mcp.shared.exceptions import MCPError as _MCPError

    def _protocol_error(message: str) -> Exception:
        return _MCPError(code=INVALID_PARAMS, message=message)

    _SDK_MAJOR = 2
except ImportError:  # SDK 1
    from mcp.shared.exceptions import McpError as _McpError

    def _protocol_error(message: str) -> Exception:
        return _McpError(types.ErrorData(code=INVALID_PARAMS, message=message))

    _SDK_MAJOR = 1


def _tools() -> list[types.Tool]:
    return [
        types.Tool(name=d["name"], description=d["description"], inputSchema=d["input_schema"])
        for d in tool_definitions()
    ]


def _as_call_result(result: ToolResult) -> types.CallToolResult:
    return types.CallToolResult(
        content=[types.TextContent(type="text", text=result.text)],
        structuredContent=None if result.data is None else dict(result.data),
        isError=result.is_error,
    )


def build_server(toolbox: Toolbox) -> Server[Any]:
    """A low-level MCP server whose tools are the toolbox's."""
    limiter = anyio.CapacityLimiter(MAX_WORKERS)

    async def call(name: str, arguments: dict[str, Any] | None) -> types.CallToolResult:
        try:
            result = await anyio.to_thread.run_sync(toolbox.call, name, arguments, limiter=limiter)
        except ToolArgumentError as exc:
            raise _protocol_error(str(exc)) from None
        except Exception as exc:  # Toolbox.call reports its failures itself; this is a last resort
            result = ToolResult(f"Internal error in {name}: {type(exc).__name__}: {exc}", None, True)
        return _as_call_result(result)

    if _SDK_MAJOR == 2:

        async def on_list_tools(ctx: Any, params: Any) -> types.ListToolsResult:
            return types.ListToolsResult(tools=_tools())

        async def on_call_tool(ctx: Any, params: Any) -> types.CallToolResult:
            return await call(params.name, params.arguments)

        return Server(
            SERVER_NAME, version=__version__, on_list_tools=on_list_tools, on_call_tool=on_call_tool
        )

    server: Server[Any] = Server(SERVER_NAME, version=__version__)

    async def list_tools(request: Any) -> types.ServerResult:
        return types.ServerResult(types.ListToolsResult(tools=_tools()))

    async def call_tool(request: Any) -> types.ServerResult:
        return types.ServerResult(await call(request.params.name, request.params.arguments))

    # Registered directly rather than through the decorators, whose wrapper would turn the
    # invalid-params error into a tool result.
    server.request_handlers[types.ListToolsRequest] = list_tools
    server.request_handlers[types.CallToolRequest] = call_tool
    return server


async def _serve(toolbox: Toolbox) -> None:
    server = build_server(toolbox)
    async with stdio_server() as (read_stream, write_stream):
        await server.run(read_stream, write_stream, server.create_initialization_options())


def serve(root: str = ".", *, allow_vcs_dirs: bool = False) -> None:
    """Serve the tools over standard input and output until the client closes the connection."""
    toolbox = Toolbox(root, allow_vcs_dirs=allow_vcs_dirs)
    print(f"{SERVER_NAME} {__version__}: MCP server on stdio, root {toolbox.root}", file=sys.stderr)
    anyio.run(_serve, toolbox)
