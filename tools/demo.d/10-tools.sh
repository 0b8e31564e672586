#!/bin/bash
# The device's tools inside the sandboxed virtual device (tests/harness/vdev): applets, logging, the
# configuration store, board identity, firmware checks and statistics.
#
# usage: tools/demo.d/10-tools.sh [BUILD_DIR]
#
# The device side is one shell script (DEVICE below) made of sections; fixtures for it go into the
# folder $root, which is copied over the device's / before it starts; the interfaces are made by
# $SETUP in the device's own network namespace.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-build}" && pwd)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# -- fixtures ----------------------------------------------------------------------------------------
mkdir -p "$root/etc/log4c"
# cpustat's own logging configuration: found through the applet's name.
printf '# pattern = level\nlib.* = info\n' > "$root/etc/log4c/cpustat.conf"

# The configuration store, the board EEPROM store, firmware images and the stand-in radio driver's
# answers, made by the same independent builders the end-to-end tests use (python struct/zlib, mkimage).
MT_SOURCE_DIR="$here" python3 - "$root" "$here" <<'PY'
import json, os, shutil, struct, sys
root, src = sys.argv[1], sys.argv[2]
for d in ('cfgstore', 'board', 'firmware'):
    sys.path.insert(0, os.path.join(src, 'multool/lib', d, 'tests'))
import cfgstore, kbeefmt, fwdev, fwfix

def put(path, data, mode=0o644):
    dst = os.path.join(root, path.lstrip('/'))
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    with open(dst, 'wb') as f:
        f.write(data.encode() if isinstance(data, str) else data)
    os.chmod(dst, mode)

# configuration store: part 0 holds the older state (seq 1), part 1 the active one (seq 2)
older = [('config', b'{"system":{"hostname":"ap-old"}}\n'), ('product', b'{"model":"KTRV-4100"}\n')]
active = [('config', b'{"system":{"hostname":"ap-roof"},"wireless":{"countryCode":"DE"}}\n'),
          ('product', b'{"model":"KTRV-4100"}\n')]
put('/var/cfg/config.bin', cfgstore.store(cfgstore.part(1, older), cfgstore.part(2, active)), 0o600)
put('/usr/lib/default.json', '{"factory":true}\n')

# board EEPROM store: one copy on the "art" partition for eeprom, one as the fallback file
records = [(1, b'\x01'), (2, b'fw-1.2'), (5, struct.pack('>I', 1700000000)), (6, b'KTRV-0711'),
           (20, bytes([0x0a, 0xbc, 0xde, 0xf0])), (24, b'\x03'), (30, fwdev.RADIO_MAC.encode())]
board = kbeefmt.image([(0x8000, kbeefmt.store(records))])
put('/dev/mtdblock5', board)
put('/etc/mtd-table/mtd', 'dev:    size   erasesize  name\nmtd5: 00010000 00001000 "art"\n')
put('/var/cfg/.eeprom', board)

# firmware: the device's version, a legacy and a FIT image of the next release
put('/usr/lib/version', fwdev.board()['/usr/lib/version'])
kernel = bytes((i * 7 + 3) & 0xFF for i in range(3000))
rootfs = bytes((i * 13 + 1) & 0xFF for i in range(5000))
put('/tmp/fw/legacy.bin', fwfix.legacy('APCPE.QA-2.v7.52.1', kernel))
put('/tmp/fw/fit.bin', fwfix.fit('APCPE.QA-2.v7.52.1', kernel, rootfs))
shutil.rmtree(fwfix.WORK, True)

# radio driver: wifi0 and its access point ath0 with two stations
def station(mac, ip, name, rssi, up, rx, tx):
    return {'mac': mac, 'ip': ip, 'name': name, 'uptime': up, 'chan_freq': 5180, 'chan_flags': 0x140,
            'flags': 3, 'phymode': 10, 'nss': 2, 'chainmask': 3, 'chain_rssi': [rssi, rssi - 3, 0],
            'authmode': 0x40, 'cipher': 0x08, 'txrate': 300000, 'rxrate': 270000,
            'stats': {'rx_packets': rx // 150, 'tx_packets': tx // 150, 'rx_bytes': rx, 'tx_bytes': tx,
                      'tx_retries': 10, 'tx_success': tx // 150, 'rx_drops': 0}}
put('/tmp/fakewifi.json', json.dumps({'interfaces': {
    'wifi0': {'athstats': {'noise': [-101, -99, -97]}},
    'ath0': {'name': '11na', 'essid': 'roof', 'mode': 3, 'freq': {'m': 5180, 'e': 6, 'i': 36},
             'ap': '00:00:00:00:00:00', 'txpower': {'value': 23}, 'quality': {'level': 200, 'noise': 161},
             'bitrate': 300000000, 'wlstats': {'rx_ucast': 1060, 'rx_mcast': 5, 'tx_ucast': 1946, 'tx_mcast': 7},
             'stations': [station('02:aa:bb:cc:dd:01', '192.0.2.21', 'cam-01', 40, 3600, 150000, 250000),
                          station('02:aa:bb:cc:dd:02', '192.0.2.22', 'laptop', 28, 120, 9000, 42000)]}}}))
put('/var/run/stats/preconfigured.json', json.dumps({
    'ethernet': ['eth'], 'topology': {'wan': 'eth0', 'wirelessMode': 'master'},
    'radios': {'wifi0': {'txpower': 23}}, 'vaps': {'ath0': {'security': 'wpa2', 'vlan': 0}}}))
put('/var/run/cpustat', '0.10\n0.30\n0.20\n')
PY

# The device's interfaces: wired eth0 (a veth pair), radio wifi0 (a tap) and its access point ath0.
SETUP='
ip link add eth0 type veth peer name eth0p
ip tuntap add wifi0 mode tap
ip link add link wifi0 name ath0 type macvlan
for i in eth0 eth0p wifi0 ath0; do ip link set $i up; done
ip addr add 192.0.2.5/24 dev eth0
'

# -- the device --------------------------------------------------------------------------------------
DEVICE=$(cat <<'EOF'
section() { printf '\n== %s\n' "$*"; }

section "multool: the applets it knows (shown for an unknown name)"
multool 2>&1 | sed 1d || true

section "each applet is a link in /usr/sbin"
for a in sysconf cpustat logctl; do echo "/usr/sbin/$a -> $(readlink /usr/sbin/$a)"; done

section "logging categories (table order) and where the table lies"
multool logctl --log4c-dump | paste -sd' ' || true
multool logctl --log4c-info || true

section "cpustat: three cpu samples, one second apart"
cpustat -c 3 1

section "levels of a running cpustat: /etc/log4c/cpustat.conf, then logctl from outside"
cat > /tmp/levels.py <<'PY'
# Reads the category levels out of the process memory, independently of logctl.
import struct, subprocess, sys
pid = sys.argv[1]
def multool(opt):
    return subprocess.run(['/usr/sbin/multool', 'x', opt], capture_output=True, text=True).stdout
start, stop, count = multool('--log4c-info').split(', ')
names = multool('--log4c-dump').split()
start, stride = int(start, 16), (int(stop, 16) - int(start, 16)) // int(count)
with open('/proc/%s/mem' % pid, 'rb') as mem:
    for i, name in enumerate(names):
        mem.seek(start + i * stride + stride - 8)
        level = struct.unpack('=i', mem.read(4))[0]
        if level != 7:
            print('  %-16s level %d' % (name, level))
PY
cpustat -l 1 > /tmp/load.txt &
pid=$!
sleep 0.3
echo "cpustat pid $pid, from its configuration file:"
python3 /tmp/levels.py "$pid"
logctl -p "$pid" 'sysconf*=debug' 'lib.utils=off'
echo "after logctl -p $pid 'sysconf*=debug' 'lib.utils=off':"
python3 /tmp/levels.py "$pid"
sleep 1.2
kill "$pid"
echo "cpu load samples: $(paste -sd' ' /tmp/load.txt)"

cat > /tmp/parts.py <<'PY'
# Lists the two parts of the configuration store with the tests' own reader.
import sys
sys.path.insert(0, '/mnt/vdev/src/multool/lib/cfgstore/tests')
import cfgstore
data, p0, p1 = cfgstore.read_store('/var/cfg/config.bin')
active = cfgstore.active_index(data)
for k, p in enumerate((p0, p1)):
    print('  part %d: seq %d, %s, blocks %s%s' % (k, p.seq, 'complete' if p.ok else 'broken',
          ' '.join('%s(%d bytes)' % (n, len(p.blocks[n])) for n, _ in p.stored if n in p.blocks),
          '  <- active' if k == active else ''))
PY
section "configuration store /var/cfg/config.bin: two parts, the newer one is active"
python3 /tmp/parts.py
echo "sysconf -r (active configuration):"
sysconf -r
echo "sysconf -t backup -r:"
sysconf -t backup -r

section "sysconf -e unpacks the active state"
sysconf -e
for f in /tmp/config.json /etc/product /etc/serial-no; do printf '%-17s %s\n' "$f:" "$(cat $f)"; done

section "sysconf -w stores an edited /tmp/config.json into the older part"
sed -i 's/ap-roof/ap-mast/' /tmp/config.json
sysconf -w
echo "sysconf -C -r: $(sysconf -C -r | paste -sd' ')"
python3 /tmp/parts.py

section "board identity: eeprom prints the board EEPROM store of the art partition"
MT_PROC_DIR=/etc/mtd-table TZ=UTC eeprom 2>&1 | sed '/^$/d'
MT_PROC_DIR=/etc/mtd-table TZ=UTC eeprom -j 2>/dev/null
echo "eeprom -j wrote /etc/kbee.json:"
cat /etc/kbee.json; echo

section "firmware: images made by mkimage on the host, checked by fwupdate -c"
echo "device runs $(cat /usr/lib/version)"
for img in legacy fit; do
    cp /tmp/fw/$img.bin /tmp/fwupdate.bin
    echo "-- $img image ($(stat -c %s /tmp/fw/$img.bin) bytes): fwupdate -c"
    fwupdate -c 2>/tmp/err && echo "exit 0: accepted"
    sed 's/^/stderr: /' /tmp/err
done
cp /tmp/fw/legacy.bin /tmp/fwupdate.bin
printf '\377' | dd of=/tmp/fwupdate.bin bs=1 seek=1064 conv=notrunc status=none
echo "-- legacy image with one payload byte overwritten: fwupdate -c"
fwupdate -c 2>/tmp/err || echo "exit $?: refused, stderr: $(cat /tmp/err)"

section "statistics: stats -s -p -w over eth0 (veth), wifi0 (tap), ath0 (macvlan), radio driver stand-in"
ip -br link | sed 's/ *$//; s/^/  /'
export FAKEWIFI_CONFIG=/tmp/fakewifi.json
LD_PRELOAD=/mnt/vdev/build/tests/fakewifi/libfakewifi.so stats -s -p -w
echo "published: $(cd /var/run/stats && ls *.json | paste -sd' ')"
echo "wireless.json (excerpt):"
jq -c '.radios.dev.wifi0 | {name, channel, frequency, protocol, txPower}' /var/run/stats/wireless.json
jq -c '.vaps[] | {name, ssid, operationMode, security, peerCount}' /var/run/stats/wireless.json
jq -c '.peers[] | {mac, deviceName, ipAddress, signal, linkUptime, rxBytes, txBytes}' /var/run/stats/wireless.json
echo "statistics.json (excerpt):"
jq -c '{device_ip, cpu_load}' /var/run/stats/statistics.json
jq -c '{eth0: .interfaces.eth0 | {type, link, rx_packets, tx_packets, ip_address}}' /var/run/stats/statistics.json
echo "peers:"
LD_PRELOAD=/mnt/vdev/build/tests/fakewifi/libfakewifi.so peers
EOF
)

"$here/tests/harness/vdev" --build "$build" --root "$root" --net --setup "$SETUP" -- /bin/sh -c "$DEVICE"
