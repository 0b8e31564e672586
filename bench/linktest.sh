#!/bin/bash
# Link test between two virtual devices: linktest's received packets and throughput against tshark's
# count of the same frames, and ltsd's memory before and after a soak of thousands of requests.
#
# usage: bench/linktest.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
for tool in tshark dumpcap nsenter; do
	command -v "$tool" >/dev/null || { echo "linktest: $tool missing (tools/install-deps.sh)" >&2; exit 1; }
done
[ -x "$build/tests/fakepktgen/fakepktgen" ] || { echo "linktest: $build has no stand-in generator" >&2; exit 1; }
exec python3 "$here/linktest_bench.py" "$build"
