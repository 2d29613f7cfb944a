#!/usr/bin/env bash
# Runs one fuzz target: ./run.sh <target> [seconds] [extra libFuzzer flags...]
# The working corpus grows in fuzz/corpus/<target>/ (seeded from fuzz/seeds/<target>/), crashes and
# slow inputs land in fuzz/artifacts/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
target="$1"; seconds="${2:-270}"; shift $(( $# >= 2 ? 2 : 1 ))
mkdir -p "$here/corpus/$target" "$here/artifacts"
exec "$here/out/$target" "$here/corpus/$target" "$here/seeds/$target" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 -max_len=4096 \
    -jobs=1 -workers=1 -print_final_stats=1 \
    -artifact_prefix="$here/artifacts/$target-" "$@"
