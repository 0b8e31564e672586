#!/bin/bash
# The management agent under load, in the virtual device: a 10,000-heartbeat soak over HTTPS with
# SIGUSR2 storms and server restarts (posts, failures, counter gaps, memory early and late), and the
# instructions of one heartbeat round with 2, 32 and 128 stations (callgrind).
#
# usage: bench/zelkd.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
command -v valgrind >/dev/null || { echo "zelkd: valgrind missing (tools/install-deps.sh)" >&2; exit 1; }
[ -x "$build/zelkd/zelkd" ] || { echo "zelkd: not built in $build" >&2; exit 1; }
exec python3 "$here/zelkd_bench.py" "$build"
