"""Shared markers for the Python test suite."""

import platform

import pytest

IS_PYPY = platform.python_implementation() == "PyPy"

# Properties that PyPy's C-API emulation cannot enforce (subclassing, weak references, instance
# dictionaries, method docstrings) are checked on CPython only.
cpython_only = pytest.mark.skipif(IS_PYPY, reason="not enforced by PyPy's C-API layer")

# Running under AddressSanitizer (the extension built with it, the runtime preloaded): memory
# figures and allocation failures do not behave as in a plain process.
with open("/proc/self/maps") as _maps:
    SANITIZED = "libasan" in _maps.read()


@pytest.fixture
def shared_tmp():
    """A temporary folder that other users can reach (pytest's own are private to their owner)."""
    import pathlib
    import shutil
    import tempfile

    folder = pathlib.Path(tempfile.mkdtemp(prefix="brindle-test-"))
    folder.chmod(0o777)
    try:
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)
