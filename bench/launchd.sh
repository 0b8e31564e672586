#!/bin/bash
# launchd with 200 services of short periods (1-4 s) for ten minutes in the virtual device, while
# ten service files are rewritten every second: start drift against the ideal schedule, missed and
# doubled runs, CPU time of launchd per timer expiry and when idle, memory at start and end, reload
# latency.  LAUNCHD_BENCH_SECONDS shortens the run (default 600).
#
# usage: bench/launchd.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
exec python3 "$here/launchd_bench.py" "$build"
