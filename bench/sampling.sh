#!/bin/bash
# Instructions per sample of bwmonitor and watchirq with 50 interfaces, counted by callgrind.
# Each tool runs twice, SHORT and LONG seconds with a one-second period; the difference of the
# instruction totals divided by the difference of the reports printed is the cost of one sample
# period, start-up excluded.
# Usage: bench/sampling.sh BUILD_DIR   (root; runs in its own network namespace)
set -e
BUILD=${1:?build dir}
M=$BUILD/multool/multool
exec unshare -n bash -s "$M" <<'INNER'
M=$1
SHORT=4; LONG=10
for i in $(seq 0 24); do ip link add eth$i type veth peer name eth${i}p; done
ip link set lo up
for i in $(seq 0 24); do ip link set eth$i up; ip link set eth${i}p up; done
# prints "instructions reports" of one run; a report is a line matching $2
total() {  # seconds pattern args...
	local secs=$1 pat=$2; shift 2
	local out=$(mktemp) txt=$(mktemp)
	valgrind --tool=callgrind --callgrind-out-file=$out "$@" >$txt 2>/dev/null &
	local p=$!
	sleep $secs; kill -TERM $p; wait $p || true
	echo $(awk '/^(totals|summary):/ {print $2; exit}' $out) $(grep -c "$pat" $txt)
	rm -f $out $txt
}
for app in "bwmonitor -p 1:^eth0:" "watchirq -i eth0 1:total:"; do
	set -- $(total $SHORT "${app#*:}" $M ${app%%:*})
	ia=$1 ra=$2
	set -- $(total $LONG "${app#*:}" $M ${app%%:*})
	echo "${app%%:*}: $(( ($1 - ia) / ($2 - ra) )) instructions per sample ($ia/$ra, $1/$2 instructions/reports)"
done
ip -o link | wc -l | sed 's/^/interfaces: /'
INNER
