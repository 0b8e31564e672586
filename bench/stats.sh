#!/bin/bash
# Cost of one `stats -w` run with the stand-in radio driver: 4 VAPs on 2 radios with 16, 64 and 128
# stations each and 128 all-stats records.  Instructions (callgrind), system calls (strace -c), peak
# RSS and output size, per station, measured in the virtual device.
#
# usage: bench/stats.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
for tool in valgrind strace; do
	command -v "$tool" >/dev/null || { echo "stats: $tool missing (tools/install-deps.sh)" >&2; exit 1; }
done
exec python3 "$here/stats_bench.py" "$build"
