"""Modules imported on first use.

``lazy_module(name, namespace, binding)`` stands for a module that only some calls need (the
tolerant placement machinery, which imports ``re`` and ``difflib``; the native extension): its
first attribute read imports the module and puts it in its place (``namespace[binding]``), so
later reads reach the module itself. An exact edit from the command line then never pays for
importing it.
"""

from __future__ import annotations

import sys

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

__all__ = ["import_module", "lazy_module"]


def import_module(name: str) -> Any:
    """The module of absolute name ``name``, imported if need be (what importlib.import_module does,
    without importing the importlib package and its warnings)."""
    __import__(name)
    return sys.modules[name]


class _LazyModule:
    def __init__(self, name: str, namespace: dict[str, Any], binding: str) -> None:
        self._name, self._namespace, self._binding = name, namespace, binding

    def __getattr__(self, attribute: str) -> Any:
        module = import_module(self._name)
        self._namespace[self._binding] = module
        return getattr(module, attribute)


def lazy_module(name: str, namespace: dict[str, Any], binding: str) -> Any:
    """A stand-in for the module ``name`` (absolute), bound to ``binding`` in ``namespace`` (a
    module's globals), that imports the module and binds it there in its own place when first
    read."""
    return _LazyModule(name, namespace, binding)
