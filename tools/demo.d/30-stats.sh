#!/bin/bash
# Statistics and queries under strain: an interface with a link message larger than four pages, two
# runs over two access points with the percentages they give, a damaged load file, a second daemon.
#
# usage: tools/demo.d/30-stats.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-build}" && pwd)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# -- fixtures: the stand-in radio driver's answers for two runs ---------------------------------------
python3 - "$root" <<'PY'
import json, os, sys
root = sys.argv[1]

def put(path, text):
    dst = os.path.join(root, path.lstrip('/'))
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    with open(dst, 'w') as f:
        f.write(text)

def station(mac, up, tx, retries, rx, drops):
    return {'mac': mac, 'uptime': up, 'chan_freq': 5180, 'chan_flags': 0x140, 'flags': 3, 'phymode': 10,
            'nss': 2, 'chainmask': 3, 'chain_rssi': [40, 37, 0], 'authmode': 0x40, 'cipher': 0x08,
            'stats': {'tx_packets': tx, 'tx_retries': retries, 'rx_packets': rx, 'rx_drops': drops,
                      'tx_bytes': tx * 1000, 'rx_bytes': rx * 1000, 'tx_success': tx - retries}}

def vap(essid, stations):
    return {'name': '11na', 'essid': essid, 'mode': 3, 'freq': {'m': 5180, 'e': 6, 'i': 36},
            'ap': '00:00:00:00:00:00', 'txpower': {'value': 20}, 'bitrate': 300000000,
            'wlstats': {'rx_ucast': 1, 'tx_ucast': 2}, 'stations': stations}

# run 2: ath0's station sent 2000 more packets with 100 more retries, ath1's 1000 with 300
for run, (a, b) in enumerate(((station('02:aa:00:00:00:01', 100, 4000, 200, 3000, 30),
                               station('02:bb:00:00:00:01', 100, 1000, 100, 900, 9)),
                              (station('02:aa:00:00:00:01', 160, 6000, 300, 5000, 40),
                               station('02:bb:00:00:00:01', 160, 2000, 400, 1900, 9))), 1):
    put('/tmp/wifi%d.json' % run, json.dumps({'interfaces': {'wifi0': {'athstats': {'noise': [-96, -97, -98]}},
                                                              'ath0': vap('roof', [a]),
                                                              'ath1': vap('mast', [b])}}))
put('/var/run/stats/preconfigured.json', json.dumps({'ethernet': ['eth'], 'radios': {'wifi0': {}}}))
PY

# big0 comes first: 160 alternative names make its link message about 19 KB.
SETUP='
ip tuntap add big0 mode tap
X=xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx
for j in 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29; do
  ip link property add dev big0 altname a${j}0$X altname a${j}1$X altname a${j}2$X altname a${j}3$X \
    altname a${j}4$X altname a${j}5$X altname a${j}6$X altname a${j}7$X
done
ip link add eth0 type veth peer name eth0p
ip tuntap add wifi0 mode tap
ip link add link wifi0 name ath0 type macvlan
ip link add link wifi0 name ath1 type macvlan
for i in big0 eth0 eth0p wifi0 ath0 ath1; do ip link set $i up; done
'

DEVICE='
section() { printf "\n== %s\n" "$*"; }
export LD_PRELOAD=/mnt/vdev/build/tests/fakewifi/libfakewifi.so

section "every interface after one whose link message is $(ip -d link show big0 | wc -c) bytes long"
echo "kernel:    $(ls /sys/class/net | sort | paste -sd" ")"
FAKEWIFI_CONFIG=/tmp/wifi1.json stats -w
echo "stats -w:  vaps $(jq -r ".vaps[].name" /var/run/stats/wireless.json | paste -sd" ")"
rm -r /var/run/stats/state /var/run/stats/wireless.json /var/run/stats/peer.cache
bwmonitor -p 1 > /tmp/bw & sleep 1.5; kill $!
echo "bwmonitor: $(cut -d: -f1 /tmp/bw | sort | paste -sd" ")"

section "percentages of two runs over two access points: each pass looks its stations up in the cache the pass before it left"
for run in 1 2; do
    FAKEWIFI_CONFIG=/tmp/wifi$run.json stats -w
    jq -r --arg run $run ".peers[] | \"run \\(\$run) \\(.vap) \\(.mac): txRetry \\(.txRetryPercent)% rxDrop \\(.rxDropPercent)% ccq rx \\(.rxCcqPercent) tx \\(.txCcqPercent)\"" /var/run/stats/wireless.json
done
echo "peer.cache holds the last pass: $(od -An -tx1 -j4 -N6 /var/run/stats/peer.cache | tr -s " " :)"

section "CPU load from a damaged /var/run/cpustat"
for samples in "nan" "inf" "1e10" "-5" "0.10 0.30 0.20"; do
    printf "%s\n" $samples > /var/run/cpustat
    stats -s
    echo "samples [$samples] -> cpu_load $(jq .cpu_load /var/run/stats/statistics.json)"
done

section "multool bwmonitor -d started twice"
multool bwmonitor -d -i eth0; echo "first: exit $?, pid $(cat /var/run/bwmonitor.pid)"
sleep 0.3
multool bwmonitor -d -i eth0 || echo "second: exit $?"
'

"$here/tests/harness/vdev" --build "$build" --root "$root" --net --setup "$SETUP" -- /bin/sh -c "$DEVICE"
