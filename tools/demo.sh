#!/bin/bash
# Runs the device in the sandboxed virtual device and shows what it does: every part of the demo is
# one script in tools/demo.d, run in name order, each in a virtual device of its own.
#
# usage: tools/demo.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
for part in "$here"/demo.d/*.sh; do
	printf '\n######## %s\n' "$(sed -n 2p "$part" | sed 's/^# //')"
	bash "$part" "$build"
done
