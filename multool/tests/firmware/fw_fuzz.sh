#!/bin/bash
# Builds the image fuzz target with clang's libFuzzer and runs it from a corpus of real images.
# The refusal messages of the target are silenced (-close_fd_mask); crash reports still show.
# The suite's run is repeatable: a fixed seed and a fixed number of runs (FW_FUZZ_SEED, FW_FUZZ_RUNS);
# FW_FUZZ_TIME (seconds, default 120) bounds it.  Explore with another seed and more runs.
set -euo pipefail
src=${MT_SOURCE_DIR:?}
out=${MT_BUILD_DIR:?}/fwfuzz
command -v clang++ >/dev/null || { echo "SKIP: clang++ not installed"; exit 77; }
# The target is built the same way whichever build runs the suite: once is enough.
[ "${MT_SANITIZED:-0}" = 1 ] && { echo "SKIP: runs with the native suite"; exit 77; }
mkdir -p "$out/corpus" "$out/artifacts"
clang++ -std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
	-I"$src/multool/include" "$src/multool/tests/firmware/fw_fuzz.cpp" \
	"$src/multool/lib/fw_image.cpp" "$src/multool/lib/fw_codec.cpp" -lz -lfdt -lcrypto -o "$out/fw_fuzz"
python3 - "$out/corpus" <<'PY'
import os, sys
sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'multool/tests/firmware'))
import fwfix
d = sys.argv[1]
seeds = {
    'legacy': fwfix.legacy('PTMP.QA-1.v7.51.1', bytes(range(200))),
    'oem': fwfix.legacy_typed('PTMP.QA-1.v7.51.1', 128, b'{"a": 1}'),
    'fit': fwfix.fit('PTMP.QA-1.v7.52.1', b'k' * 300, b'r' * 500),
    'fit-sha256': fwfix.fit('PTMP.QA-1.v7.52.1', b'k' * 30, b'r' * 50, rootfs_hash='sha256'),
    'sealed': fwfix.sealed('PTMP.QA-1.v7.51.1', '{}', '00:11:22:33:44:55\n'),
}
for name, data in seeds.items():
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)
PY
"$out/fw_fuzz" -seed="${FW_FUZZ_SEED:-1}" -runs="${FW_FUZZ_RUNS:-2000000}" -max_total_time="${FW_FUZZ_TIME:-120}" -timeout=10 -max_len=8192 -print_final_stats=1 -close_fd_mask=3 \
	-artifact_prefix="$out/artifacts/" "$out/corpus" 2>&1 | tail -n 20
