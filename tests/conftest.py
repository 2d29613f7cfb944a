"""Shared markers for the Python test suite."""

import platform

import pytest

IS_PYPY = platform.python_implementation() == "PyPy"

# Properties that PyPy's C-API emulation cannot enforce (subclassing, weak references, instance
# dictionaries, method docstrings) are checked on CPython only.
cpython_only = pytest.mark.skipif(IS_PYPY, reason="not enforced by PyPy's C-API layer")
