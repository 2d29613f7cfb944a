"""Timing and reporting helpers shared by the benchmark scripts in this folder."""

import gc
import os
import sys
import time


def best_of(fn, repeat, number=1):
    """Best wall time of `number` calls of fn(), over `repeat` repetitions, per call, in seconds."""
    best = float("inf")
    gc_was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeat):
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            dt = (time.perf_counter() - t0) / number
            if dt < best:
                best = dt
    finally:
        if gc_was_enabled:
            gc.enable()
    return best


def autorange(fn, min_time=0.02):
    """Number of calls of fn() that takes at least min_time seconds (1, 2, 5, 10, 20, ...)."""
    number = 1
    while True:
        for factor in (1, 2, 5):
            n = number * factor
            t0 = time.perf_counter()
            for _ in range(n):
                fn()
            if time.perf_counter() - t0 >= min_time:
                return n
        number *= 10


def fmt_time(seconds):
    if seconds >= 1.0:
        return f"{seconds:8.3f} s "
    if seconds >= 1e-3:
        return f"{seconds * 1e3:8.3f} ms"
    if seconds >= 1e-6:
        return f"{seconds * 1e6:8.3f} us"
    return f"{seconds * 1e9:8.3f} ns"


def verdict(ok):
    return "ok" if ok else "MISSED"


def interpreter():
    impl = sys.implementation.name
    ver = ".".join(str(v) for v in sys.implementation.version[:3])
    return f"{impl} {ver} ({sys.executable})"


def import_module():
    """Import the extension; say where it came from."""
    try:
        import _brindle_search as mod
    except ImportError as exc:
        sys.exit(f"cannot import _brindle_search ({exc}); install it first: pip install '.[bench]'")
    print(f"module: {os.path.abspath(mod.__file__)}")
    print(f"python: {interpreter()}")
    return mod


def ensure_core_driver(path):
    """The C++ driver bench_core at `path`, built from this checkout (Release) when it is missing.

    The driver times core routines that the Python modules do not expose; it is linked against the
    core library built by CMake into build/bench-core.
    """
    if os.path.exists(path):
        return path
    import subprocess

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.join(root, "build", "bench-core")
    print(f"building the core driver {path} (once) ...", flush=True)
    subprocess.run(
        [
            "cmake",
            "-S",
            root,
            "-B",
            build,
            "-DBRINDLE_PYTHON=OFF",
            "-DBRINDLE_TESTS=OFF",
            "-DCMAKE_BUILD_TYPE=Release",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run(
        ["cmake", "--build", build, "-j2", "--target", "brindle_core"], check=True, stdout=subprocess.DEVNULL
    )
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    subprocess.run(
        [
            os.environ.get("CXX", "c++"),
            "-O3",
            "-std=c++20",
            "-I" + os.path.join(root, "src"),
            os.path.join(root, "bench", "bench_core.cpp"),
            os.path.join(build, "libbrindle_core.a"),
            "-o",
            path,
        ],
        check=True,
    )
    return path
