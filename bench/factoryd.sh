#!/bin/bash
# factoryd moving a 16 MiB file each way over loopback (KPUT, KGET) against a plain socket copy of
# the same bytes in the same run, as a ratio, and how long the main process takes to accept a new
# connection while a transfer runs (it must stay within its 0.5 s select tick).
#
# usage: bench/factoryd.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
exec python3 "$here/factoryd_bench.py" "$build"
