#!/bin/bash
# Runs the device's main job inside a sandboxed virtual device.
set -euo pipefail
build=${1:-build}
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$build" && pwd)
exec "$here/tests/harness/vdev" --build "$build" -- /bin/sh -c '
	echo "== applets installed under /usr/sbin"
	ls /usr/sbin | grep -c . >/dev/null
	multool 2>&1 | tail -n +2
	echo "== logging categories"
	multool logctl --log4c-dump | tr "\n" " "; echo
	echo "== cpu load (3 samples)"
	cpustat -c 3 1 || true
'
