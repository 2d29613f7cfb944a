"""Timing and reporting helpers shared by the benchmark scripts in this folder."""

import contextlib
import gc
import math
import os
import statistics
import sys
import time


@contextlib.contextmanager
def gc_paused():
    """Collects, then keeps the cyclic collector off for the block (as it was before, after it)."""
    was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        if was_enabled:
            gc.enable()


def best_of(fn, repeat, number=1):
    """Best wall time of `number` calls of fn(), over `repeat` repetitions, per call, in seconds."""
    best = float("inf")
    with gc_paused():
        for _ in range(repeat):
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            best = min(best, (time.perf_counter() - t0) / number)
    return best


def autorange(fn, min_time=0.02, clock=time.perf_counter):
    """Number of calls of fn() that takes at least min_time seconds of `clock` (1, 2, 5, 10, ...)."""
    number = 1
    while True:
        for factor in (1, 2, 5):
            n = number * factor
            t0 = clock()
            for _ in range(n):
                fn()
            if clock() - t0 >= min_time:
                return n
        number *= 10


def interleaved(run, floor, repeat):
    """Best CPU times per call of run() and floor(), alternated `repeat` times (each timing over
    enough calls for 20 ms), and run()'s last result."""
    number = autorange(run, clock=time.process_time)
    floor_number = autorange(floor, clock=time.process_time)
    best_run = best_floor = float("inf")
    result = None
    with gc_paused():
        for _ in range(repeat):
            t0 = time.process_time()
            for _ in range(floor_number):
                floor()
            best_floor = min(best_floor, (time.process_time() - t0) / floor_number)
            t0 = time.process_time()
            for _ in range(number):
                result = run()
            best_run = min(best_run, (time.process_time() - t0) / number)
    return best_run, max(best_floor, 1e-9), result


def fit_exponent(sizes, times):
    """The growth exponent: least squares of log time on log size."""
    xs = [math.log(s) for s in sizes]
    ys = [math.log(max(t, 1e-9)) for t in times]
    mx, my = statistics.fmean(xs), statistics.fmean(ys)
    num = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    den = sum((x - mx) ** 2 for x in xs)
    return num / den


def proc_status(key):
    """A size field of /proc/self/status ("VmRSS:", "VmHWM:") in bytes (0 when absent)."""
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(key):
                return int(line.split()[1]) * 1024
    return 0


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
