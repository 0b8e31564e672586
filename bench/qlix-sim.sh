#!/bin/bash
# qlix on the simulated medium: airtime efficiency against the limit of the PHY rate and the
# aggregate size at 0, 10 and 30 km; Jain's fairness over 16 clients; poll latency against the
# number of clients; loss; and instructions per token cycle and per received aggregate
# (callgrind, deterministic).  Counts and ratios from single runs; nothing is asserted.
#
# usage: bench/qlix-sim.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
sim=$build/drivers/qlix/qlixsim
[ -x "$sim" ] || { echo "qlix-sim: $sim not built" >&2; exit 1; }
exec python3 "$here/qlix_sim_bench.py" "$sim"
