#!/bin/bash
# `fwupdate -c` on 16 MiB images (legacy: CRC-32; FIT: CRC-32 + SHA-1 of the kernel, SHA-1 of the
# root file system) against the coreutils hashers over the same file in the same run, as a ratio.
#
# usage: bench/fwupdate.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
exec python3 "$here/fwupdate_bench.py" "$build"
