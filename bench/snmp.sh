#!/bin/bash
# SNMP modules: instructions of one refresh of each module (callgrind) at 4 VAPs x 64 stations, the
# time of a full snmpwalk of the wireless subtree through snmpd and odbagent, and a soak of odbagent
# (thousands of refreshes, restarts of the master agent) with its memory before and after.
#
# usage: bench/snmp.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
for tool in valgrind snmpd snmpwalk; do
	command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || { echo "snmp: $tool missing (tools/install-deps.sh)" >&2; exit 1; }
done
exec python3 "$here/snmp_bench.py" "$build"
