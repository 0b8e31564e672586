#!/bin/bash
# The whole device: devices A and B boot side by side on one LAN with their world, a live summary.
#
# usage: tools/demo.d/05-device.sh [BUILD_DIR] [SECONDS]
#
# Both devices and the world (management server stand-in, mosquitto with TLS and the cloud stand-in,
# lldpd, snmpwalk, a discovery client) live in one sandboxed virtual device; see tests/device/device.py.
# Ctrl-C ends it early; the sandbox's namespaces go with it, nothing stays on the host.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-build}" && pwd)
seconds=${2:-60}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
MT_BUILD_DIR=$build python3 - "$here/tests/device" "$seconds" "$out" <<'PY' || true
import sys
sys.path.insert(0, sys.argv[1])
import device
try:
    device.run('demo', float(sys.argv[2]), out=sys.argv[3], capture=False)
except KeyboardInterrupt:
    pass
PY
