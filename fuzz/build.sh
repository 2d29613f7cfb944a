#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, ASan + UBSan) over the core sources into fuzz/out/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
out="${OUT:-$here/out}"
CXX="${CXX:-clang++-14}"
FLAGS=(-std=c++20 -g -O1 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=undefined -I"$root/src" -I"$here")
mkdir -p "$out/obj"
objs=()
while IFS= read -r src; do
    rel="${src#"$root/src/"}"
    obj="$out/obj/${rel//\//_}.o"
    if [[ ! -f "$obj" || "$src" -nt "$obj" ]] || \
       find "$root/src/core" -name '*.hpp' -newer "$obj" | grep -q .; then
        echo "CXX $rel"
        # The core objects get the fuzzer's coverage instrumentation but no main.
        "$CXX" "${FLAGS[@]/-fsanitize=fuzzer,address,undefined/-fsanitize=fuzzer-no-link,address,undefined}" -c "$src" -o "$obj" &
        while (( $(jobs -rp | wc -l) >= ${JOBS:-2} )); do wait -n; done
    fi
    objs+=("$obj")
done < <(find "$root/src/core" -name '*.cpp' | sort)
wait
for target in fuzz_replace fuzz_strategies fuzz_streaming fuzz_fuzzy fuzz_edit_distance; do
    echo "LINK $target"
    "$CXX" "${FLAGS[@]}" "$here/$target.cpp" "${objs[@]}" -o "$out/$target"
done
