#!/bin/bash
# Neighbour advertisement: two virtual devices joined by a veth pair each run lldpdd, send one LLDP and
# one CDP frame, and list the other in their neighbour file.
#
# usage: tools/demo.d/50-neighbour.sh [BUILD_DIR]
#
# Device A is the sandboxed virtual device (tests/harness/vdev); device B is a network namespace inside
# it with a mount and UTS namespace of its own, so each has its own host name and /var/run.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-build}" && pwd)

DEVICE=$(cat <<'EOF_PY'
import json, os, subprocess, time

def section(t):
    print('\n== ' + t, flush=True)

# one device: its documents, its host name, lldpdd in the foreground, then one frame of each kind
DEV = r'''
set -e
mount -t tmpfs none /var/run
mkdir -p /var/run/stats
hostname "$1"
cat > /var/run/stats/preconfigured.json <<J
{"device": {"name": "$1", "location": "Mast $2"}, "topology": {"wan": "eth0", "networkMode": "bridge"},
 "network": {"ipv4": {"enabled": true}, "ipv6": {"enabled": true}}}
J
cat > /var/run/stats/statistics.json <<J
{"interfaces": {"eth0": {"ip_address": ["192.0.2.$2/24"], "ip6_address": ["2001:db8::$2/64"]}}}
J
/usr/sbin/lldpdd -f &
sleep 0.5
/usr/sbin/lldp eth0
/usr/sbin/cdp eth0
sleep 2
echo "-- $1 hears (/var/run/stats/lldp-discovery.json):"
cat /var/run/stats/lldp-discovery.json
kill $!
wait
'''

subprocess.run('ip netns add b && ip link add eth0 type veth peer name eth0 netns b'
               ' && ip link set eth0 address 02:0a:00:00:00:01 && ip link set eth0 up'
               ' && ip netns exec b ip link set eth0 address 02:0b:00:00:00:01'
               ' && ip netns exec b ip link set eth0 up && ip netns exec b ip link set lo up',
               shell=True, check=True)
open('/usr/lib/version', 'w').write('APCPE.QA-2.v7.52.1.4711\n')
section('device A (ap-mast-a, 02:0a:00:00:00:01) and device B (ap-mast-b, 02:0b:00:00:00:01), '
        'eth0 to eth0; each runs lldpdd -f, then lldp eth0 and cdp eth0')
a = subprocess.Popen(['unshare', '-m', '-u', 'sh', '-c', DEV, 'sh', 'ap-mast-a', '1'],
                     stdout=subprocess.PIPE, text=True)
b = subprocess.Popen(['ip', 'netns', 'exec', 'b', 'unshare', '-m', '-u', 'sh', '-c', DEV, 'sh', 'ap-mast-b', '2'],
                     stdout=subprocess.PIPE, text=True)
out_a, _ = a.communicate(timeout=20)
out_b, _ = b.communicate(timeout=20)
section('device A')
print(out_a, end='')
section('device B')
print(out_b, end='')
EOF_PY
)
"$here/tests/harness/vdev" --build "$build" --net --require veth -- python3 -c "$DEVICE"
