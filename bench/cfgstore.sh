#!/bin/bash
# Configuration store cost per heartbeat: `sysconf -C` and `sysconf -r` on a realistic store (50 KB
# configuration, product, OEM defaults, 64 KiB parts), in callgrind instructions, against the floor
# of the same work done bare: md5sum of the configuration plus one zlib inflate of its stored block.
#
# usage: bench/cfgstore.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
exec python3 "$here/cfgstore_bench.py" "$build"
