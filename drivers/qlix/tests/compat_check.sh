#!/bin/bash
# Compiles the module sources for the device's 2.6.31 kernel: the version branches of qlix_compat.h
# that no kernel here can build, against the user-space shim, which has that kernel's facilities
# and signatures only (it refuses to stand in for any other version).  The kernel of that era was
# built as gnu89 and with declarations after statements warned about, so these are errors here.
set -euo pipefail
cc=${1:?usage: compat_check.sh CC}
src=$(cd "$(dirname "$0")/.." && pwd)
ver='((2<<16)+(6<<8)+31)'
for f in module.c peer.c txq.c token.c rx.c autorate.c wrr.c sysfs.c qos.c qlix_wire.c qlix_stats_rec.c qlix_class.c; do
	"$cc" -std=gnu89 -fsyntax-only -Wall -Wextra -Werror -Wno-missing-field-initializers \
		-Wdeclaration-after-statement -DHZ=100 "-DLINUX_VERSION_CODE=$ver" -I"$src" "$src/$f"
done
echo "compat_check: the 2.6.31 branches compile"
