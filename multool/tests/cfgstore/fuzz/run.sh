#!/bin/bash
# Builds the two parser fuzzers with clang's libFuzzer and runs each for SECONDS (default 5).
#   multool/tests/cfgstore/fuzz/run.sh 600          # a longer session, by hand
#   FUZZ_OUT=/some/dir multool/tests/cfgstore/fuzz/run.sh 3600   # keep corpora and crashes there
# Exit 77 (skipped) when clang or its fuzzer runtime is missing.
set -euo pipefail
secs=${1:-5}
src=$(cd "$(dirname "$0")/../../../.." && pwd)
if [ -n "${FUZZ_OUT:-}" ]; then
	out=$FUZZ_OUT
	mkdir -p "$out"
else
	out=$(mktemp -d)
	trap 'rm -rf "$out"' EXIT
fi
command -v clang++ >/dev/null || { echo "SKIP: no clang++"; exit 77; }
flags=(-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$src/multool/include")
lib=$src/multool/lib
if ! clang++ "${flags[@]}" -o "$out/fuzz_cfgpart" "$(dirname "$0")/fuzz_cfgpart.cpp" "$lib/sysconf/cfgpart.cpp" \
	"$lib/sysconf/flash.cpp" "$lib/zutil.cpp" "$lib/utils.cpp" "$lib/logging.cpp" "$lib/strbuf.cpp" -lz 2>"$out/build.log"; then
	grep -q "fuzzer" "$out/build.log" && { echo "SKIP: no libFuzzer runtime"; exit 77; }
	cat "$out/build.log"; exit 1
fi
clang++ "${flags[@]}" -o "$out/fuzz_kbee" "$(dirname "$0")/fuzz_kbee.cpp" "$lib/kbee_codec.cpp"

# Seeds: a small valid part and a small valid store, built by the independent python encoders.
mkdir -p "$out/seed_cfgpart" "$out/seed_kbee" "$out/corpus_cfgpart" "$out/corpus_kbee"
python3 - "$src" "$out" <<'PY'
import sys
sys.path.insert(0, sys.argv[1] + '/multool/tests/cfgstore')
sys.path.insert(0, sys.argv[1] + '/multool/tests/kbee')
import cfgstore, kbeefmt
part = cfgstore.part(3, [('config', b'{"a":1}'), ('oem', b'{}'), ('brand', bytes(300))])
open(sys.argv[2] + '/seed_cfgpart/part', 'wb').write(part[:cfgstore.read_part(part, 0).end_offset])
open(sys.argv[2] + '/seed_kbee/store', 'wb').write(kbeefmt.store([(2, b'fw'), (7, b'\0\1\0\1'), (300, b'x')]))
PY
for t in cfgpart kbee; do
	"$out/fuzz_$t" -max_total_time="$secs" -max_len=70000 -print_final_stats=1 -artifact_prefix="$out/" \
		"$out/corpus_$t" "$out/seed_$t" 2>"$out/$t.log" || { tail -40 "$out/$t.log"; exit 1; }
	grep -E "stat::number_of_executed_units" "$out/$t.log" | sed "s/^/$t: /"
done
