#!/bin/bash
# Discovery: scoutd answers a discovery tool on the LAN, announces its state and takes a reset order at boot.
#
# usage: tools/demo.d/70-discovery.sh [BUILD_DIR]
#
# The device runs in the sandboxed virtual device (tests/harness/vdev) with eth0 joined by a veth pair to
# a LAN namespace; the tool on the LAN side is the end-to-end tests' independent client (python struct).
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-build}" && pwd)

DEVICE=$(cat <<'EOF_PY'
import os, signal, subprocess, sys, time, zlib
sys.path.insert(0, '/mnt/vdev/src/scoutd/tests')
import scoutnet as sn

def section(t):
    print('\n== ' + t, flush=True)

MAC = '02:03:04:05:06:07'
OWN = sn.device_id(MAC)
lan = sn.Netns('lan')
lan.run(['ip', 'link', 'set', 'lo', 'up'], check=True)
sn.sh('ip link add eth0 type veth peer name lan0 netns lan && ip link set eth0 address %s' % MAC)
sn.sh('ip link set eth0 up && ip addr add 192.0.2.1/24 dev eth0')
lan.run(['sh', '-ec', 'ip link set lan0 up; ip addr add 192.0.2.2/24 dev lan0'], check=True)
open('/usr/lib/version', 'w').write('APCPE.QA-2.v7.52.1.4711\n')
open('/etc/serial-no', 'w').write('KTRV0123456789ABCDEF\n')
os.makedirs('/tmp/zelk', exist_ok=True)
open('/tmp/zelk/last-heartbeat', 'w').write('<heartbeat>' + '<if name="eth0" rx="1234" tx="5678"/>' * 60 + '</heartbeat>')
tool = sn.Client(lan, 'lan0', '192.0.2.2')
ME = 0x00000A0B0C0D0E0F

def wait_joined():
    for _ in range(100):
        if '01BC59E9' in open('/proc/net/igmp').read():
            return
        time.sleep(0.05)

section('scoutd -f on the device: memberships (/proc/net/igmp) and sockets (ss -uanp)')
d = subprocess.Popen(['/usr/sbin/scoutd', '-f'])
wait_joined()
print(open('/proc/net/igmp').read().strip())
subprocess.run('ss -uanp | grep -e State -e 233.89.188.1', shell=True)

b = tool.broadcasts(tool.listen(2, until=lambda a: a.dproto and a.dproto['dst'] == sn.ALL))
section('the LAN hears the state broadcast at start')
for a in b:
    print('%s  -> flags 0x%02x (normal operation)' % (a.data.hex(' '), a.data[20]))

section('legacy discovery (4 bytes to %s:%d), unicast answer' % (sn.GROUP, sn.LEGACY_PORT))
_, a = tool.legacy_ask(0)
p = sn.parse_discovery(a.data)
print('from %s:%d  MAC %s  IPv4 %s  version line %r' % (a.addr[0], a.addr[1], p['mac'], p['ip'], p['line'].decode()))

section('dproto discovery to every device (all 0xFF), answered to the group')
a = tool.ask(sn.dproto(0, ME, sn.ALL), ME)[0]
p = sn.parse_discovery(a.payload)
print('header %s  device id %x, to %x, TTL %d' % (a.data[:20].hex(' '), a.dproto['src'], a.dproto['dst'], a.ttl))
print('MAC %s  IPv4 %s  version line %r' % (p['mac'], p['ip'], p['line'].decode()))

section('serial number and heartbeat')
a = tool.ask(sn.dproto(7, ME, OWN), ME)[0]
print('serial: %r' % a.payload[2:].decode())
a = tool.ask(sn.dproto(1, ME, OWN), ME)[0]
hb = sn.parse_heartbeat(a.payload)
print('heartbeat: %d bytes on the wire, compressed %s, %d bytes after zlib.decompress, starts %r'
      % (len(a.data), bool(hb['flags'] & 1), len(hb['data']), hb['data'][:40].decode()))
d.send_signal(signal.SIGTERM)
d.wait()

section('scoutd -f -r at boot: the window, then a ping of 369 data bytes from the LAN arms the reset')
d = subprocess.Popen(['/usr/sbin/scoutd', '-f', '-r'], stdout=subprocess.PIPE, text=True)
wait_joined()
a = tool.ask(sn.dproto(3, ME, OWN), ME)[0]
print('state in the boot window: flags 0x%02x' % a.payload[2])
lan.run(['ping', '-c1', '-W1', '-s', '369', '192.0.2.1'], stdout=subprocess.DEVNULL)
out, _ = d.communicate(timeout=5)
print('scoutd said: %r, exit %d' % (out, d.returncode))
print('/data/boot_reset exists: %s (removed after 5 minutes unless the device reboots first)'
      % os.path.exists('/data/boot_reset'))
EOF_PY
)
"$here/tests/harness/vdev" --build "$build" --net --require veth -- python3 -c "$DEVICE"
