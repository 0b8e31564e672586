#!/bin/bash
# Runs the device in the sandboxed virtual device and shows what it does: first the whole device
# booted with a second one next to it (tools/demo.d/05-device.sh, a live summary of about a minute),
# then, with DEMO_TOUR=1, the scripted tour of the programs one by one (the other parts of tools/demo.d).
#
# usage: tools/demo.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
for part in "$here"/demo.d/*.sh; do
	case "$(basename "$part")" in
	05-device.sh) ;;
	*) [ "${DEMO_TOUR:-0}" = 1 ] || continue ;;
	esac
	printf '\n######## %s\n' "$(sed -n 2p "$part" | sed 's/^# //')"
	bash "$part" "$build"
done
