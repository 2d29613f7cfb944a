#!/usr/bin/env bash
# Runs every test: the C++ core unit tests (ctest); the Python test suite on CPython (the
# machine's python3) and on PyPy, each against the package built and installed by `pip install .`
# into its own virtual environment under build/; the CPython suite again against the extension
# built with AddressSanitizer and UndefinedBehaviorSanitizer (build/asan); then a short run of each
# libFuzzer target over the core (fuzz/); and checks the formatting of the sources. Installs the Debian packages it needs if absent (needs
# root), and says what it does at every step.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
started=$SECONDS
step() { echo "== [$((SECONDS - started))s] $*"; }

need=()
for pkg in pypy3 pypy3-dev pypy3-venv libgtest-dev unicode-data clang-14 libclang-rt-14-dev \
    clang-format-14; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
    step "apt-get install ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)

step "C++ core tests: configure and build build/cxx"
cmake -S . -B build/cxx "${generator[@]}" -DBRINDLE_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cxx -j2
step "C++ core tests: run"
ctest --test-dir build/cxx --output-on-failure -j2

status=0
make_venv() {  # name interpreter
    local venv="$root/build/venv-$1"
    if [ ! -x "$venv/bin/python" ]; then
        step "$1: create the virtual environment build/venv-$1"
        "$2" -m venv "$venv"
    fi
    step "$1: pip install -U pip scikit-build-core (the build backend, used in place)"
    "$venv/bin/python" -m pip install -q -U pip scikit-build-core >/dev/null
}

run_python_suite() {  # name interpreter
    local name=$1 venv="$root/build/venv-$1"
    make_venv "$name" "$2"
    # Without build isolation the build runs with the same CMake every time, so the build folder
    # build/<wheel tag> stays valid and only changed sources are compiled again. An isolated build
    # brings a CMake from a new temporary folder each time, which makes it configure and compile
    # everything anew.
    step "$name: pip install .[test] (builds the extensions in build/<wheel tag>)"
    "$venv/bin/python" -m pip install -q --no-build-isolation ".[test]"
    step "$name: pytest"
    (cd "$root/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests") || status=1
}
# PyPy before 7.3.16 (Debian 12 ships 7.3.11) has a fault in its incremental GC: a list copied
# into an already-marked list while a major collection is half-way through marking can leave the
# copied items unmarked and freed, and the process crashes later, most often while pytest compiles
# the assertion-rewritten hypothesis modules, before any test of this project has run. A marking
# step larger than any heap here makes each major collection mark everything in one step, so the
# interpreter never runs with a half-marked heap; the sweeping stays incremental. The variable is
# inherited by the commands the tests start.
export PYPY_GC_INCREMENT_STEP=1000GB
run_python_suite cpython python3
run_python_suite pypy pypy3

# Formatting is part of the tests: clang-format for C++, ruff (installed with the CPython test
# extra) for Python. `bash scripts/check_format.sh --fix` formats in place.
step "format: clang-format and ruff check the sources"
bash scripts/check_format.sh "$root/build/venv-cpython/bin/ruff" || status=1

# The sanitized extension is imported from build/asan ahead of the installed one; the sanitizer
# runtimes are preloaded because the interpreter itself is not built with them. CPython leaks by
# design at exit, so leak detection is off; the RSS-based leak tests skip themselves.
step "cpython + ASan/UBSan: configure and build build/asan"
python=$root/build/venv-cpython/bin/python
sanitize="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
cmake -S . -B build/asan "${generator[@]}" -DBRINDLE_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPython_EXECUTABLE="$python" -DCMAKE_CXX_FLAGS="$sanitize" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build/asan -j2 --target _brindle_search
step "cpython + ASan/UBSan: pytest"
(cd "$root/tests" &&
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 PYTHONMALLOC=malloc \
    PYTHONPATH="$root/build/asan" "$python" -m pytest -q -p no:cacheprovider "$root/tests") || status=1

step "fuzz: build the libFuzzer targets (clang-14, ASan + UBSan) into build/fuzz"
OUT="$root/build/fuzz" bash fuzz/build.sh
for target in fuzz_replace fuzz_strategies fuzz_streaming fuzz_edit_distance fuzz_fuzzy; do
    step "fuzz: $target for 20 s from the committed seeds (seed 1)"
    corpus=$(mktemp -d)
    "$root/build/fuzz/$target" "$corpus" "fuzz/seeds/$target" -seed=1 -max_total_time=20 \
        -timeout=10 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=0 \
        -artifact_prefix="$root/build/fuzz/$target-" 2>"$root/build/fuzz/$target.log" || {
        tail -n 40 "$root/build/fuzz/$target.log"
        status=1
    }
    tail -n 1 "$root/build/fuzz/$target.log"
    rm -rf "$corpus"
done
step "done (exit status $status)"
exit $status
