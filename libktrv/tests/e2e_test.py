#!/usr/bin/env python3
"""libktrv against the real kernel: inventory vs iproute2, ethtool vs the ethtool CLI, syslog as the
device's /dev/log receives it, and the framed datagram channel between two processes."""
import json
import os
import re
import socket
import struct
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
import vdevlib  # noqa: E402

BUILD = os.environ['MT_BUILD_DIR']
PROBE = os.path.join(BUILD, 'libktrv/tests/ktrv_probe')
IN_PROBE = '/mnt/vdev/build/libktrv/tests/ktrv_probe'
STATS = ['rx_packets', 'tx_packets', 'rx_bytes', 'tx_bytes', 'rx_errors', 'tx_errors', 'rx_dropped',
         'tx_dropped', 'multicast', 'collisions', 'rx_length_errors', 'rx_over_errors', 'rx_crc_errors',
         'rx_frame_errors', 'rx_fifo_errors', 'rx_missed_errors', 'tx_aborted_errors',
         'tx_carrier_errors', 'tx_fifo_errors', 'tx_heartbeat_errors', 'tx_window_errors',
         'rx_compressed', 'tx_compressed']

# big0 comes first: its link message (~19 KB of alternative names) is larger than a four-page
# receive buffer, and every interface after it must still be listed.  An interface name may hold
# markup characters, which the XML dump escapes.
SETUP = '''
sysctl -qw net.ipv6.conf.default.addr_gen_mode=1
ip tuntap add big0 mode tap
X=xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx
for j in 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29; do
  ip link property add dev big0 altname a${j}0$X altname a${j}1$X altname a${j}2$X altname a${j}3$X \\
    altname a${j}4$X altname a${j}5$X altname a${j}6$X altname a${j}7$X
done
ip tuntap add 'q<&>"x' mode tap
ip link add veth0 type veth peer name veth1
ip link add br0 type bridge
ip link set veth1 master br0
ip tuntap add mode tun tun0
ip link add link veth0 name mv0 type macvlan
ip link set veth0 txqueuelen 333
ip link set veth0 up; ip link set veth1 up; ip link set br0 up
ip addr add 192.0.2.1/24 broadcast 192.0.2.255 dev veth0
ip addr add 198.51.100.7/32 peer 198.51.100.8 dev veth0
ip addr add 2001:db8::1/64 dev veth0 nodad
'''

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print('FAIL:', what)


def inventory():
    script = ('P=%s; O=/mnt/vdev/out; $P dump > $O/all.xml; $P dump veth0 > $O/one.xml; '
              'ip -j link > $O/link.json; ip -j addr > $O/addr.json; '
              'for i in /sys/class/net/*; do n=${i##*/}; for s in %s; do '
              'printf "%%s %%s %%s\\n" $n $s $(cat $i/statistics/$s); done; done > $O/sys.txt; '
              '$P eth veth0 > $O/eth.txt; ethtool veth0 > $O/ethtool.txt; true') % (IN_PROBE, ' '.join(STATS))
    r = vdevlib.run(script, net=True, setup=SETUP, require=['veth', 'bridge', 'tap', 'macvlan'])
    check(r.returncode == 0, 'inventory run: %r' % r)
    out = r.out
    xml = subprocess.run(['xmllint', '--noout', os.path.join(out, 'all.xml')], capture_output=True, text=True)
    check(xml.returncode == 0, 'xmllint: ' + xml.stderr)

    doc = ET.parse(os.path.join(out, 'all.xml')).getroot()
    mine = {}
    for i in doc.findall('interface'):
        mine[i.findtext('name')] = i
    links = {l['ifname']: l for l in json.load(open(os.path.join(out, 'link.json')))}
    addrs = {a['ifname']: a for a in json.load(open(os.path.join(out, 'addr.json')))}
    sysstats = {}
    for line in open(os.path.join(out, 'sys.txt')):
        n, s, v = line.split()
        sysstats[(n, s)] = int(v)

    check(sorted(mine) == sorted(links), 'names %s vs %s' % (sorted(mine), sorted(links)))
    check('big0' in mine and 'q<&>"x' in mine and len(links) == 8, 'every interface listed: %s' % sorted(links))
    for name, l in links.items():
        x = mine.get(name)
        if x is None:
            continue
        check(x.findtext('status') == ('up' if 'UP' in l['flags'] else 'down'), name + ' status')
        hw = l.get('address', '00:00:00:00:00:00') if l.get('link_type') != 'none' else '00:00:00:00:00:00'
        check(x.findtext('hwaddr') == hw.upper(), '%s hwaddr %s vs %s' % (name, x.findtext('hwaddr'), hw))
        check(x.findtext('master') == l.get('link'), '%s master %s vs %s' % (name, x.findtext('master'), l.get('link')))
        want = sorted(('ipv4' if a['family'] == 'inet' else 'ipv6', a['local'])
                      for a in addrs.get(name, {}).get('addr_info', []))
        got = sorted((e.tag, e.text) for e in x if e.tag in ('ipv4', 'ipv6'))
        if name != 'veth0':
            check(got == want, '%s addresses %s vs %s' % (name, got, want))
        for s in STATS:
            v = x.findtext(s)
            check(v is not None, '%s lacks %s' % (name, s))
            if v is None:
                continue
            later = sysstats[(name, s)] & 0xFFFFFFFF
            if 'UP' in l['flags']:
                check(int(v) <= later, '%s %s %s > %d' % (name, s, v, later))
            else:
                check(int(v) == later, '%s %s %s != %d' % (name, s, v, later))
    # veth0: IFA_ADDRESS is what libktrv reports, the peer for a point-to-point address
    v0 = sorted((e.tag, e.text) for e in mine['veth0'] if e.tag in ('ipv4', 'ipv6'))
    check(('ipv4', '192.0.2.1') in v0 and ('ipv4', '198.51.100.8') in v0 and ('ipv6', '2001:db8::1') in v0,
          'veth0 addresses %s' % v0)
    one = ET.parse(os.path.join(out, 'one.xml')).getroot().findall('interface')
    check([i.findtext('name') for i in one] == ['veth0'], 'dump of one interface')

    eth = open(os.path.join(out, 'eth.txt')).read()
    cli = open(os.path.join(out, 'ethtool.txt')).read()
    m = re.search(r'capable=1 info=(-?\d) speed=(\d+) duplex=(\w+) link=(\w+)', eth)
    check(m is not None, 'eth output ' + eth)
    if m:
        check('Speed: %sMb/s' % m.group(2) in cli, 'speed %s vs ethtool' % m.group(2))
        check('Duplex: %s' % m.group(3).capitalize() in cli, 'duplex vs ethtool')
        check('Link detected: %s' % m.group(4) in cli, 'link vs ethtool')
        perm = re.search(r'perm=(-?\d) ', eth).group(1)
        # the permanent address may be unsupported on veth; eth_info needs it as well
        check(m.group(1) == perm, 'eth_info %s follows the permanent address query %s' % (m.group(1), perm))


def syslog():
    # the device's /dev/log is served by the harness
    r = vdevlib.run('%s log agent-x; LOG_DRIVER=StdErr %s log' % (IN_PROBE, IN_PROBE))
    check(r.returncode == 0, 'syslog run %r' % r)
    got = [l.rstrip('\n') for l in r.syslog]
    pri = [int(re.match(r'<(\d+)>', g).group(1)) for g in got]
    # levels 0-4 at the default level 4, then the two lines of the errno message at level 1
    check(pri == [24 + 2, 24 + 3, 24 + 4, 24 + 6, 24 + 7, 24 + 3, 24 + 3], 'priorities %s' % pri)
    check(all(re.search(r'agent-x\[\d+\]: ', g) for g in got), 'identity and pid: %s' % got[:1])
    check(got and got[0].endswith('message 0'), 'text %s' % got[:1])
    check(len(got) == 7 and got[6].endswith('No such file or directory. errno(2)'), 'errno line %s' % got[-1:])
    # a new identity applies from the next connection; the open one keeps the old name intact
    r2 = vdevlib.run('%s log agent-x agent-y' % IN_PROBE)
    last = [l.rstrip('\n') for l in r2.syslog][-1:]
    check(r2.returncode == 0 and last and re.search(r'agent-x\[\d+\]: renamed$', last[0]),
          'identity after set_identity: %s' % last)
    lines = r.stderr.splitlines()
    want = ['[F] message 0', '[E] message 1', '[W] message 2', '[I] message 3', '[D] message 4',
            '[E] open failed', '[E] No such file or directory. errno(2)']
    check([l[9:] for l in lines] == want and all(re.match(r'\d\d:\d\d:\d\d ', l) for l in lines),
          'stderr driver: %s' % lines)


def channel():
    d = tempfile.mkdtemp(prefix='ktrv-chan.')
    path = os.path.join(d, 'alarm')
    # nobody bound: dropped, 0
    r = subprocess.run([PROBE, 'send', path, 'hello'], capture_output=True, text=True)
    check(r.stdout == '0\n', 'send without receiver: %r' % r.stdout)

    # python receiver, library sender: host-order length then payload, one datagram each
    rx = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    rx.bind(path)
    rx.settimeout(5)
    r = subprocess.run([PROBE, 'send', path, 'hello', '2'], capture_output=True, text=True)
    check(r.stdout == '0\n0\n', 'send results %r' % r.stdout)
    for _ in range(2):
        frame = rx.recv(100)
        check(frame == struct.pack('=I', 5) + b'hello', 'frame %r' % frame)
    rx.close()
    os.unlink(path)

    # library receiver, python sender: frames whose length field lies are refused
    p = subprocess.Popen([PROBE, 'recv', path, '4'], stdout=subprocess.PIPE, text=True)
    check(p.stdout.readline() == 'ready\n', 'receiver ready')
    tx = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    for frame in (struct.pack('=I', 3) + b'abc', struct.pack('=I', 480) + b'0123456789',
                  struct.pack('=I', 0) + b'xx', b'\x01\x00'):
        tx.sendto(frame, path)
    out, _ = p.communicate(timeout=10)
    check(p.returncode == 0, 'receiver exit %s' % p.returncode)
    check(out.splitlines() == ['frame 3 616263', 'rejected 14', 'rejected 6', 'rejected 2'], 'received %r' % out)
    check(not os.path.exists(path), 'receiver removed its path')

    # one cached sender: a vanished receiver fails the send once, then the next call connects anew
    p = subprocess.Popen([PROBE, 'sendloop', path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def send(text):
        p.stdin.write(text + '\n')
        p.stdin.flush()
        return p.stdout.readline().strip()
    rx = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    rx.bind(path)
    rx.settimeout(5)
    check(send('one') == '0' and rx.recv(64) == struct.pack('=I', 3) + b'one', 'first receiver')
    rx.close()
    os.unlink(path)
    check(send('two') == '-1', 'receiver gone: the send fails')
    check(send('three') == '0', 'nobody bound: dropped quietly')
    rx = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    rx.bind(path)
    rx.settimeout(5)
    check(send('four') == '0' and rx.recv(64) == struct.pack('=I', 4) + b'four', 'second receiver')
    # a receiver that never reads: the writable wait gives up after about 2 s
    results = []
    while len(results) < 2000 and '-1' not in results:
        results.append(send('x' * 200))
    t0 = time.monotonic()
    check(send('y') == '-1' and 1.5 < time.monotonic() - t0 < 4, 'full receiver waits about 2 s: %d sent' % len(results))
    p.stdin.close()
    p.wait(timeout=10)
    rx.close()


inventory()
syslog()
channel()
if failures:
    sys.exit(1)
print('ok')
