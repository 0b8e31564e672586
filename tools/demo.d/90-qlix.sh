#!/bin/bash
# The polling MAC: the module's own sources on a simulated medium through a restart and a reboot of
# its clients, at three distances, on a fading channel and with voice among bulk, then the built
# module in two QEMU guests pinging each other.
#
# usage: tools/demo.d/90-qlix.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-build}" && pwd)
sim=$build/drivers/qlix/qlixsim

echo
echo "== one master, two clients, 5 % loss: client 1's peer device restarts at 2 s, client 2 reboots at 4 s"
"$sim" --clients 2 --mcs 15 --loss 5 --duration 8 --restart 2:1 --reboot 4:2 --json |
	jq -r '.per_client[] | "client \(.client): down \(.down_mbps) Mb/s, up \(.up_mbps) Mb/s; last 2 s: down \(.down_mbps_tail), up \(.up_mbps_tail)"'

echo
echo "== one client saturating both ways at MCS 15: what the module gets of the medium"
for km in 0 10 30; do
	"$sim" --distance-km "$km" --mcs 15 --duration 5 --json |
		jq -r --arg km "$km" '"\($km) km: \(.total_mbps) Mb/s, \(.efficiency_vs_limit * 100 | floor) % of what the medium allows, \(.phy_share * 100 | floor) % of the PHY rate, \(.collisions) collisions"'
done

echo
echo "== 8 clients at MCS 15 and 8 at MCS 0 with 230 us added to every frame"
"$sim" --clients 16 --mcs 15,15,15,15,15,15,15,15,0,0,0,0,0,0,0,0 --overhead-us 230 --train-timeslot 100 \
	--duration 5 --json | jq -r '"collisions \(.collisions), airtime fairness \(.jain_airtime)"'

echo
echo "== rate adaptation: the channel falls from 35 to 22 dB at 20 s and clears at 50 s"
"$sim" --duration 70 --snr 35 --snr-step 20:1:22 --snr-step 50:1:35 --json |
	jq -r '.per_client[] | "MCS \(.mcs_changes | map("\(.[1])@\(.[0])s") | join(" ")); goodput \(.goodput_mbps) Mb/s of \(.genie_goodput_mbps) with the best MCS throughout"'

echo
echo "== voice among 16 saturated clients (50 packets a second each way), without and with class queues"
for q in "" --qos; do
	"$sim" --clients 16 --mcs 15 --voice 50 $q --duration 5 --json |
		jq -r --arg q "${q:-one queue}" '[.per_client[].class_latency_ms] |
			"\($q): voice p99 \(map(.vo.p99) | max | floor) ms (worst client), bulk p99 \(map(.bk.p99 // 0) | max | floor) ms"'
done

echo
echo "== qlix.ko in two QEMU guests (master and client) joined by an emulated Ethernet link"
status=0
bash "$here/drivers/qlix/tests/qemu_test.sh" "$build" >"$build/demo-qemu.log" 2>&1 || status=$?
grep -E 'QTEST|SKIP' "$build/demo-qemu.log" || true
case $status in
0) ;;
77) echo "(QEMU cannot run here: skipped)" ;;
*) echo "qemu guests failed, see $build/demo-qemu.log"; exit 1 ;;
esac
