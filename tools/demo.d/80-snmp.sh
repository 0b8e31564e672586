#!/bin/bash
# SNMP tables through snmpd and odbagent, the Lua daemon module, and statlog, spectralscan, anti_theft_hash.
#
# usage: tools/demo.d/80-snmp.sh [BUILD_DIR]
#
# snmpd runs as the master agent in the virtual device (private AgentX socket, 127.0.0.1:16161);
# odbagent serves the four MIB modules to it, the stand-in radio driver answering the radio requests.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-build}" && pwd)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
python3 - "$root" "$here" <<'PY'
import json, os, sys
root, src = sys.argv[1], sys.argv[2]
sys.path.insert(0, os.path.join(src, 'multool/lib/board/tests'))
import kbeefmt

def put(path, data):
    dst = os.path.join(root, path.lstrip('/'))
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    open(dst, 'wb').write(data.encode() if isinstance(data, str) else data)

put('/var/run/stats/wireless.json', json.dumps({
    'radios': {'countryCode': 'DE', 'dev': {'wifi0': {'protocol': '11na,qlix', 'qlix': 4, 'frequency': 5180.0,
               'channel': 36, 'channelWidth': '40+', 'txPower': 23, 'bitrate': 300, 'noise': [-96, -94]}}},
    'vaps': [{'name': 'ath0', 'mac': '00:15:6D:00:00:01', 'radio': 'wifi0', 'operationMode': 'master', 'ssid': 'roof',
              'security': 'wpapsk2', 'peerCount': 2, 'rxPackets': 1200, 'rxErrors': 3, 'txPackets': 2400,
              'txRetries': 17}],
    'peers': [{'mac': '02:AA:BB:CC:DD:%02X' % i, 'vap': 'ath0', 'vapIfIndex': 4, 'signal': [-58 - i, -61],
               'txBytes': 100000 * i, 'rxBytes': 50000 * i, 'ipAddress': '192.0.2.%d' % (10 + i)} for i in (1, 2)]}))
for i in (1, 2):
    put('/var/run/stats/remote-02:AA:BB:CC:DD:%02X.json' % i, json.dumps({'wireless': {'signal': [-55 - i, -57]}}))
put('/var/run/stats/dhcp_status.json', json.dumps({'ath0': {'ssid': 'roof', 'time': '10:00:00', 'result': 1,
    'dhcp_mac': '00:15:6D:00:00:01', 'client_ip': '192.0.2.60', 'server_id': '192.0.2.1'}}))
put('/var/run/alertd/ping-stats-gw', json.dumps({'oid_fmt': '.1.3.6.1.4.1.99999.3.1.1.%d.1', 'time': 12, 'host': 'gw'}))
put('/etc/serial-no', 'KT0123456789\n')
put('/etc/product', json.dumps({'productName': 'AP-1', 'productVersion': '2.1.0', 'snmp': {'enterpriseName': 'Maker'}}))
put('/etc/fakewifi.json', json.dumps({'interfaces': {
    'ath0': {'name': 'IEEE 802.11na', 'essid': 'roof', 'mode': 3, 'freq': {'m': 5180, 'e': 6, 'i': 36}, 'encode_flags': 0},
    'wifi0': {'spectral': {'bins': 8, 'samples': [{'tsf': 1000 * k, 'freq': 5180 + 20 * (k % 2), 'nf': -95, 'rssi': -60,
              'bins': [k, 2 * k, 30, 40, 35, 20, 10, k]} for k in range(4)]}}}}))
put('/etc/snmpd-demo.conf', 'master agentx\nagentXSocket /run/snmpd-demo/agentx\n'
    'agentaddress udp:127.0.0.1:16161\nrocommunity public 127.0.0.1\n')
put('/etc/mtd-table/mtd', 'dev:    size   erasesize  name\nmtd5: 00010000 00001000 "art"\n')
img = bytearray(kbeefmt.image([(0x8000, kbeefmt.store([(20, bytes.fromhex('DEAD01')), (35, b'\xab\xcd')]))]))
img[0:6] = bytes.fromhex('00156D100001'); img[6:12] = bytes.fromhex('00156D100002'); img[4098:4104] = bytes.fromhex('00156D100003')
put('/dev/mtdblock5', bytes(img))
PY

SETUP='ip link add br0 type bridge; ip addr add 192.0.2.1/24 dev br0; ip link set br0 up
ip link add eth0 type veth peer name eth0p; ip link add ath0 type veth peer name ath0p; ip tuntap add wifi0 mode tap'

DEVICE=$(cat <<'EOF_SH'
section() { printf '\n== %s\n' "$*"; }
W="snmpwalk -v2c -c public -On 127.0.0.1:16161"
mkdir -p /run/snmpd-demo
snmpd -f -C -c /etc/snmpd-demo.conf -Lf /dev/null &
SNMPD=$!
while [ ! -S /run/snmpd-demo/agentx ]; do sleep 0.1; done
M=/usr/lib/odbagent
section "odbagent -x /run/snmpd-demo/agentx -e 99999 $M/*.so  (AgentX subagent of snmpd)"
LD_PRELOAD=$VDEV_BUILD/tests/fakewifi/libfakewifi.so FAKEWIFI_CONFIG=/etc/fakewifi.json \
	odbagent -x /run/snmpd-demo/agentx -e 99999 $M/mavowireless.so $M/mavodhcpstatus.so $M/mavogeneric.so \
	$M/ieee802dot11.so 2>/dev/null &
AGENT=$!
i=0; until $W .1.3.6.1.4.1.99999.3.10 2>/dev/null | grep -q 3.10.1.3.2 || [ $i -ge 50 ]; do sleep 0.1; i=$((i+1)); done
section "snmpwalk -v2c -On .1.3.6.1.4.1.99999.3.10   (interfaces, counters, stations; ifIndex $(cat /sys/class/net/ath0/ifindex) is ath0)"
$W .1.3.6.1.4.1.99999.3.10
section "snmpwalk .1.3.6.1.4.1.99999.3.11 and .3.1   (DHCP probe, the alarm daemon's ping statistics)"
$W .1.3.6.1.4.1.99999.3.11; $W .1.3.6.1.4.1.99999.3.1
section "snmpwalk .1.2.840.10036   (IEEE 802.11 MIB from the radio requests)"
$W .1.2.840.10036
section "IF-MIB::ifDescr from snmpd itself, for the same ifIndex"
$W .1.3.6.1.2.1.2.2.1.2 | grep -e ath0 -e br0
kill -TERM $AGENT; wait $AGENT; kill -TERM $SNMPD; wait $SNMPD || true

section "lua5.4: require 'daemon'; daemon.daemonize()  (caller exits 255; the grandchild in /proc)"
cat > /tmp/d.lua <<'LUA'
package.cpath = os.getenv("VDEV_BUILD") .. "/lua/?.so;" .. package.cpath
require("daemon").daemonize()
local f = io.open("/tmp/daemon.pid", "w"); f:write(io.open("/proc/self/stat"):read("*l"):match("^%d+")); f:close()
os.execute("sleep 2")
LUA
lua5.4 /tmp/d.lua; echo "caller exit status: $?"
while [ ! -s /tmp/daemon.pid ]; do sleep 0.05; done
P=$(cat /tmp/daemon.pid)
ps -o pid,ppid,sid,pgid,tty,args -p $P
echo "cwd: $(readlink /proc/$P/cwd)  $(grep Umask /proc/$P/status)  fds: $(ls -l /proc/$P/fd | awk 'NR>1{print $9"->"$11}' | tr '\n' ' ')"
lua5.4 -e 'package.cpath=os.getenv("VDEV_BUILD").."/lua/?.so;"..package.cpath; require"daemon".daemonize("nochdir,nochdir")' 2>&1 | head -1 || true

section "statlog -d /tmp/rrd -i 1 -c 2; rrdtool lastupdate"
statlog -d /tmp/rrd -i 1 -c 2
ls /tmp/rrd; rrdtool lastupdate /tmp/rrd/memory.rrd; rrdtool lastupdate /tmp/rrd/if-eth0.rrd

section "spectralscan -i wifi0 -n 2; /tmp/spectrum.json (channels)"
LD_PRELOAD=$VDEV_BUILD/tests/fakewifi/libfakewifi.so FAKEWIFI_CONFIG=/etc/fakewifi.json spectralscan -i wifi0 -n 2 -w 50
python3 -c "import json; d = json.load(open('/tmp/spectrum.json')); print(len(d['samples']), 'samples of', d['bins'], 'bins'); print(json.dumps(d['channels'], indent=1))"

section "anti_theft_hash -v  (same hash on every run)"
MT_PROC_DIR=/etc/mtd-table anti_theft_hash -v; MT_PROC_DIR=/etc/mtd-table anti_theft_hash
EOF_SH
)
python3 "$here/tests/harness/vdev" --build "$build" --root "$root" --setup "$SETUP" -- /bin/sh -c "$DEVICE"
