#!/bin/bash
# Every truncation and single-byte corruption of each image format (legacy, FIT, sealed), each run as
# a full install in the virtual device: the suite samples these offsets, this runs all of them.
#
# usage: bench/fw-sweep.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
MT_BUILD_DIR=$build MT_SOURCE_DIR=$here MT_SANITIZED=0 FW_SWEEP_ALL=1 \
	exec python3 "$here/multool/lib/firmware/tests/fw_sweep_test.py"
