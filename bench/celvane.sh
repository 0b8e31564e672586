#!/bin/bash
# celvane against a local broker with TLS in the virtual device: 10,000 commands answered by as many
# publications with broker restarts between the batches (nothing acknowledged may go missing), RSS and
# threads per batch, CPU per answered command and per statistics round.
#
# usage: bench/celvane.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
[ -x "$build/celvane/celvane" ] || { echo "celvane: not built in $build" >&2; exit 1; }
command -v mosquitto >/dev/null || { echo "celvane: mosquitto missing (tools/install-deps.sh)" >&2; exit 1; }
exec "$here/../tests/harness/vdev" --build "$build" \
	--setup 'ip link add eth0 address 02:00:00:00:c0:01 type veth peer name eth0p; ip link set eth0 up' \
	-- /usr/bin/python3 /mnt/vdev/src/bench/celvane_bench.py
