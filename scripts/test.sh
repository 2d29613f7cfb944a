#!/usr/bin/env bash
# Runs every test: the C++ core unit tests (ctest), then the Python test suite on CPython (the
# machine's python3) and on PyPy, each against the module built and installed by `pip install .`
# into its own virtual environment under build/. Installs the Debian packages it needs if absent.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

need=()
for pkg in pypy3 pypy3-dev pypy3-venv libgtest-dev unicode-data; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
    echo "== installing ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

echo "== C++ core tests"
generator=()
command -v ninja >/dev/null 2>&1 && generator=(-G Ninja)
cmake -S . -B build/cxx "${generator[@]}" -DBRINDLE_PYTHON=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/cxx -j2
ctest --test-dir build/cxx --output-on-failure -j2

status=0
run_python_suite() {  # name interpreter
    local name=$1 interpreter=$2 venv="$root/build/venv-$1"
    echo "== $name: build, install, test"
    [ -x "$venv/bin/python" ] || "$interpreter" -m venv "$venv"
    "$venv/bin/python" -m pip install -q -U pip >/dev/null
    "$venv/bin/python" -m pip install -q ".[test]"
    (cd "$root/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests") || status=1
}
run_python_suite cpython python3
run_python_suite pypy pypy3
exit $status
