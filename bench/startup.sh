#!/bin/bash
# Start-up cost of multool applets against busybox, in instructions counted by callgrind in one run
# inside the virtual device (the quick paths must not touch the host even if they regress).
#
# usage: bench/startup.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
for tool in valgrind busybox; do
	command -v "$tool" >/dev/null || { echo "startup: $tool missing (tools/install-deps.sh)" >&2; exit 1; }
done

"$here/tests/harness/vdev" --build "$build" -- /bin/sh -c '
count() {
	valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null |
		sed -n "s/.*Collected : *\([0-9]*\).*/\1/p"
}
base=$(count busybox true)
printf "start-up instructions (callgrind), busybox true = 1.00x\n"
printf "  %-34s %12d  %6s\n" "busybox true" "$base" "1.00x"
worst=0
for cmd in "/usr/sbin/sysconf --log4c-help" "/usr/sbin/logctl --log4c-help" "/usr/sbin/cpustat -c 1 0"; do
	n=$(count $cmd)
	ratio=$(awk -v n="$n" -v b="$base" "BEGIN { printf \"%.2f\", n / b }")
	printf "  %-34s %12d  %6sx\n" "$cmd" "$n" "$ratio"
	worst=$(awk -v r="$ratio" -v w="$worst" "BEGIN { print (r > w) ? r : w }")
done
printf "startup ratio (worst applet / busybox true): %sx (goal: within 3x)\n" "$worst"
'
