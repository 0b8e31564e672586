#!/bin/bash
# Builds the receive-path fuzz target with clang (libFuzzer, ASan, UBSan) and runs a fixed
# number of inputs from a fixed seed, so the run is repeatable.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?usage: fuzz-check.sh BUILD_DIR}/qlix-fuzz
runs=${QLIX_FUZZ_RUNS:-100000}
command -v clang >/dev/null || { echo "fuzz-check: clang is not installed" >&2; exit 1; }
rm -rf "$out/corpus"
mkdir -p "$out/corpus"
clang -std=gnu11 -g -O1 -Wall -Werror -Wno-unused-command-line-argument -DHZ=250 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
	-I"$src" "$src"/tests/fuzz_rx.c "$src"/module.c "$src"/peer.c "$src"/txq.c "$src"/token.c \
	"$src"/rx.c "$src"/autorate.c "$src"/wrr.c "$src"/sysfs.c "$src"/qlix_wire.c \
	"$src"/sim/kshim.c "$src"/sim/sim.c -o "$out/fuzz_rx"
"$out/fuzz_rx" -seed=1 -runs="$runs" -max_len=600 "$out/corpus" 2>&1 | tail -n 3
