#!/bin/bash
# qlix on the simulated medium, which charges each frame what the radio spends: efficiency
# against the limit of the same air model for the MCS and aggregate size, and the share of the
# PHY rate, at 0, 10 and 30 km; a sweep of added per-frame overhead; 8 clients at MCS 15 with 8
# at MCS 0; Jain's fairness over 16 clients; poll latency against the number of clients; loss;
# and instructions per packet (with the copy into the aggregate), per token cycle and per
# received aggregate (callgrind, deterministic).  Figures from single runs; nothing is asserted.
#
# usage: bench/qlix-sim.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build}" && pwd)
sim=$build/drivers/qlix/qlixsim
[ -x "$sim" ] || { echo "qlix-sim: $sim not built" >&2; exit 1; }
exec python3 "$here/qlix_sim_bench.py" "$sim"
