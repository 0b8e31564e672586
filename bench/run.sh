#!/bin/bash
# Runs every benchmark in bench/ (each area adds its own bench/<name>.sh) against one build.
#
# usage: bench/run.sh [BUILD_DIR]
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
status=0
for script in "$here"/*.sh; do
	[ "$(basename "$script")" = run.sh ] && continue
	echo "== $(basename "$script" .sh)"
	bash "$script" "$build" || { echo "bench: $(basename "$script") failed" >&2; status=1; }
done
exit $status
