#!/bin/bash
# lldpdd in the virtual device: instructions per received frame (callgrind) for a neighbour heard again
# and for a new neighbour in a full table, memory with an empty, a typical full and a worst-case full
# table, and a bounded soak of flood rounds with a restart of the real lldpd each round.
#
# usage: bench/lldpdd.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
for tool in valgrind callgrind_annotate lldpd lldpcli; do
	command -v "$tool" >/dev/null || { echo "lldpdd: $tool missing (tools/install-deps.sh)" >&2; exit 1; }
done
exec python3 "$here/lldpdd_bench.py" "$build"
