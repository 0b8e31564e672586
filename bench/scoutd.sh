#!/bin/bash
# scoutd under load in the virtual device: private memory, a bounded storm of 20000 requests from a LAN
# namespace (answers, CPU per request, memory after each round), ten interfaces coming up while requests
# flow (each restarts the daemon in place), and the instructions of one answer per kind (callgrind).
#
# usage: bench/scoutd.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
for tool in valgrind callgrind_annotate; do
	command -v "$tool" >/dev/null || { echo "scoutd: $tool missing (tools/install-deps.sh)" >&2; exit 1; }
done
exec python3 "$here/scoutd_bench.py" "$build"
