#!/usr/bin/env bash
# Checks that the sources are formatted as committed: clang-format (.clang-format) for the C++
# files, `ruff format` and `ruff check` (pyproject.toml) for the Python files. With --fix it
# formats them in place instead. The generated Unicode tables are left as their generator writes
# them.
#
#   bash scripts/check_format.sh [--fix] [RUFF]     RUFF: the ruff executable (default: ruff)
set -euo pipefail
cd "$(dirname "$0")/.."
fix=0
if [ "${1:-}" = "--fix" ]; then fix=1; shift; fi
ruff=${1:-ruff}
clang_format=$(command -v clang-format-14 || command -v clang-format)

mapfile -t cxx < <(git ls-files '*.cpp' '*.hpp' | grep -v '^src/core/unicode_tables.cpp$')
if [ $fix -eq 1 ]; then
    "$clang_format" -i "${cxx[@]}"
    "$ruff" format -q .
    "$ruff" check -q --fix .
else
    "$clang_format" --dry-run -Werror "${cxx[@]}"
    "$ruff" format -q --check .
    "$ruff" check -q .
fi
