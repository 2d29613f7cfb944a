"""Modules imported on first use.

``lazy_module(name)`` stands for a module of the package that only some calls need (the tolerant
placement machinery, which imports ``re`` and ``difflib``): its first attribute read imports the
module and copies its names, so later reads are plain attribute reads. An exact edit from the
command line then never pays for importing it.
"""

from __future__ import annotations

import importlib

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

__all__ = ["lazy_module"]


class _LazyModule:
    def __init__(self, name: str) -> None:
        self.__dict__["_name"] = name

    def __getattr__(self, attribute: str) -> Any:
        module = importlib.import_module(self.__dict__["_name"])
        self.__dict__.update(vars(module))
        return getattr(module, attribute)


def lazy_module(name: str) -> Any:
    """A stand-in for the module ``name`` (absolute) that imports it when first read."""
    return _LazyModule(name)
