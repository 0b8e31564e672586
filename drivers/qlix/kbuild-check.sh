#!/bin/bash
# Builds qlix as a real out-of-tree module against the installed Debian kernel headers, with
# -Werror and sparse on every file (C=2), in a copy of the sources under the build directory.
# Then compiles the module sources for the 32-bit big-endian target and checks that nothing
# needs the 64-bit division helpers, which the target kernel does not provide.
set -euo pipefail
src=$(cd "$(dirname "$0")" && pwd)
out=${1:?usage: kbuild-check.sh BUILD_DIR}/qlix-kbuild
sources=(Kbuild qlix_compat.h qlix.h qlix_int.h qlix_wire.h qlix_wire.c qlix_stats_rec.h qlix_stats_rec.c module.c peer.c txq.c token.c rx.c
	autorate.c wrr.c sysfs.c qlix_class.h qlix_class.c qos.c)

headers=$(ls -d /usr/src/linux-headers-*-amd64 2>/dev/null | sort -V | tail -n 1 || true)
if [ -z "$headers" ]; then
	echo "kbuild-check: no /usr/src/linux-headers-*-amd64 (install linux-headers-amd64)" >&2
	exit 1
fi
command -v sparse >/dev/null || { echo "kbuild-check: sparse is not installed" >&2; exit 1; }

rm -rf "$out"
mkdir -p "$out/mips"
for f in "${sources[@]}"; do cp "$src/$f" "$out/"; done
echo "kbuild-check: $headers"
make -s -C "$headers" M="$out" C=2 modules 2>&1 | tee "$out/build.log"
if grep -E 'warning:|error:' "$out/build.log" >/dev/null; then
	echo "kbuild-check: compiler or sparse diagnostics above" >&2
	exit 1
fi
test -f "$out/qlix.ko"

# What the loader and modinfo show of the module: description, licence, and the eight parameters
# with their types and description strings (their 0644 modes are checked in the guests).
modinfo=$(command -v modinfo || echo /sbin/modinfo)
want="description:Qlix tokens
license:GPL
parm:agg_size:agg_size (int)
parm:ifname:ifname (string)
parm:master:1 - Master, 0 - Slave (int)
parm:max_frag:max_frag (int)
parm:qlix_qos:qlix qos (int)
parm:train_timeslot:train_timeslot (int)
parm:wait_time:wait_time (int)
parm:wrr:wrr (int)"
got=$(for f in description license parm; do "$modinfo" -F "$f" "$out/qlix.ko" | sed "s/^/$f:/"; done | sort)
if [ "$got" != "$want" ]; then
	echo "kbuild-check: module info differs; got:" >&2
	echo "$got" >&2
	exit 1
fi
echo "kbuild-check: module info as expected"

if command -v mips-linux-gnu-gcc >/dev/null; then
	mkdir -p "$out/mips/sim"
	cp "$src"/sim/kshim.h "$out/mips/sim/"
	for f in qlix_wire.c qlix_stats_rec.c module.c peer.c txq.c token.c rx.c autorate.c wrr.c sysfs.c \
		 qlix_class.c qos.c; do
		mips-linux-gnu-gcc -std=gnu11 -O2 -Wall -Werror -DHZ=100 -I"$src" -c "$src/$f" \
			-o "$out/mips/${f%.c}.o"
	done
	if mips-linux-gnu-nm -u "$out"/mips/*.o | grep -E '__(u?div|u?mod)di3'; then
		echo "kbuild-check: 64-bit division helpers needed on the target" >&2
		exit 1
	fi
	echo "kbuild-check: no 64-bit division helpers in the target objects"
fi
echo "kbuild-check: module built clean"
