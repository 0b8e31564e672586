#!/bin/bash
# Configures and builds the fuzz tree: every mt_fuzz_target with clang, libFuzzer, ASan and UBSan.
#   tests/fuzz/build.sh SOURCE_DIR BUILD_DIR
# Exit 77 (skipped) when clang is not installed; the runs then skip as well.
set -euo pipefail
src=${1:?usage: build.sh SOURCE_DIR BUILD_DIR}
out=${2:?usage: build.sh SOURCE_DIR BUILD_DIR}
command -v clang++ >/dev/null || { echo "SKIP: no clang++"; exit 77; }
gen=()
command -v ninja >/dev/null && gen=(-G Ninja)
cmake -S "$src" -B "$out" "${gen[@]}" -DMT_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >"$out.log" 2>&1 || { cat "$out.log"; exit 1; }
cmake --build "$out" -j "$(nproc)" >>"$out.log" 2>&1 || { tail -60 "$out.log"; exit 1; }
echo "fuzz tree built in $out"
