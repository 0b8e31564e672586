#!/usr/bin/env python3
"""Switch ports, Ethernet state, GPIO lines and the CPU load read from files placed in the virtual
device's /etc, /sys and /var; binary switch statistics are written here with python struct."""
import os
import re
import struct
import sys

sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
import vdevlib  # noqa: E402

PROBE = '/mnt/vdev/build/multool/lib/radio/tests/query_probe'
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print('FAIL:', what)


def bin_stats(speed, duplex, link, enabled, txp, rxp, txb, rxb):
    b = bytearray(40)
    struct.pack_into('>I', b, 8, speed)
    b[12], b[13], b[15] = duplex, link, enabled
    struct.pack_into('>I', b, 16, txp)
    struct.pack_into('>I', b, 20, rxp)
    struct.pack_into('>I', b, 28, txb)
    struct.pack_into('>I', b, 36, rxb)
    return bytes(b)


def kbee_store(pcb):
    """A board store holding only the PCB name, at the first offset of the fallback file."""
    payload = pcb.encode()
    rec = struct.pack('>HH', 4 + len(payload), 6) + payload
    rec += b'\0' * (-len(rec) % 4)
    store = b'KBEE' + struct.pack('>IHHI', 16 + len(rec), 1, 0, 0) + rec
    img = bytearray(65536)
    img[0x8000:0x8000 + len(store)] = store
    return bytes(img)


def parse_ports(text):
    ports = {}
    for line in text.splitlines():
        if ' kind=' in line:
            name, rest = line.split(' ', 1)
            ports[name] = rest
    return ports


def kind2():
    product = ('{"ethernet": {"lan1": {"port": 2, "device": "sw0"}, "lan2": {"phyid": 4, "port": 3, "device": "sw0"},'
               ' "eth3": {"port": 1, "device": "sw0"}, "wan": "text", "plain": {"device": "sw0"},'
               ' "short": {"port": 6, "device": "sw0"}, "eth1": {"port": 5}}}')
    root = {
        '/etc/product': product,
        '/sys/class/net/sw0/switch/port2/bin-stats': bin_stats(1000, 1, 1, 1, 0x01020304, 7, 0xFFFFFFFF, 9),
        '/sys/class/net/sw0/switch/phy4/bin-stats': bin_stats(100, 0, 0, 0, 1, 2, 3, 4),
        '/sys/class/net/sw0/switch/port1/bin-stats': bin_stats(10, 1, 1, 1, 10, 20, 30, 40),
        '/sys/class/net/sw0/switch/port6/bin-stats': bin_stats(10, 1, 1, 1, 1, 1, 1, 1)[:39],
        '/sys/class/net/sw0/address': '02:11:22:33:44:55\n',
    }
    setup = 'ip link add eth0 type veth peer name vp0'
    r = vdevlib.run('P=%s; $P switch; $P eth lan1; $P eth lan2; $P eth short; $P ifi; echo ==dev; cat /proc/net/dev; echo ==end; '
                    '$P eth eth0; ethtool eth0' % PROBE,
                    roots=[root], net=True, setup=setup, require=['overlay-sys', 'veth'])
    check(r.returncode == 0, 'kind 2 run %r' % r)
    ports = parse_ports(r.stdout)
    check('present=1' in r.stdout, 'switch present')
    check(list(ports)[:4] == ['lan1', 'lan2', 'eth3', 'short'], 'table order %s' % list(ports))
    check('wan' not in ports and 'plain' not in ports, 'members without port or phyid are no ports')
    # PHY id 255: the path uses the port number
    check(ports['lan1'].startswith('kind=2 port=2 phy=255 dev=sw0 info=0 speed=1000 duplex=1 link=1 down=0 '
                                   'stats=0 9 7 4294967295 16909060'), 'lan1 %s' % ports['lan1'])
    check(ports['lan2'].startswith('kind=2 port=3 phy=4 dev=sw0 info=0 speed=100 duplex=0 link=0 down=1 '
                                   'stats=0 4 2 3 1'), 'lan2 %s' % ports['lan2'])
    check('info=-1' in ports['short'] and 'stats=-1' in ports['short'], 'short read %s' % ports['short'])
    check(ports['eth1'].startswith('kind=0 port=5 phy=255 dev=-'), 'eth1 without the board %s' % ports['eth1'])
    check('rc=0 speed=1000 duplex=full link=yes down=0' in r.stdout, 'eth_info of lan1 from the switch')
    check('rc=0 speed=100 duplex=half link=no down=1' in r.stdout, 'eth_info of lan2 from the switch')

    # an interface that is no switch port goes to ethtool and the interface flags
    m = re.search(r'rc=(-?\d) speed=(\d+) duplex=(\w+) link=(\w+) down=(\d)\n(?=Settings for eth0)', r.stdout)
    check(m and 'Speed: %sMb/s' % m.group(2) in r.stdout and 'Duplex: %s' % m.group(3).capitalize() in r.stdout,
          'eth0 through ethtool %s' % (m and m.group(0)))
    check(m and (m.group(1) == '-1' or m.group(5) == '1'), 'eth0 is down %s' % (m and m.group(0)))
    dev = r.stdout.split('==dev\n')[1].split('==end\n')[0]
    listed = [l.split(':')[0].strip() for l in dev.splitlines() if re.match(r'\s*[\w.-]+:\s+\d', l)]
    inv = {l.split()[0]: l for l in r.stdout.splitlines() if ' ordinal=' in l}
    check('ordinal=%d ' % (listed.index('eth0') + 1) in inv.get('eth0', ''), 'eth0 ordinal %s in %s' % (inv.get('eth0'), listed))
    listed = len(listed)
    check('ordinal=%d ' % (listed + 3) in inv.get('eth3', ''), 'unlisted eth3 ordinal %s (%d listed)' % (inv.get('eth3'), listed))
    check('ordinal=0 mac=02:11:22:33:44:55 rx_bytes=9 rx_packets=7 tx_bytes=4294967295 tx_packets=16909060 rx_errors=0'
          in inv.get('lan1', ''), 'lan1 merged %s' % inv.get('lan1'))
    check(list(inv)[-4:] == ['lan1', 'lan2', 'eth3', 'short'] or list(inv)[-5:-1] == ['lan1', 'lan2', 'eth3', 'short'],
          'ports appended in table order %s' % list(inv))

    # the one board whose product file leaves eth1's PHY out
    root2 = {
        '/etc/product': '{"ethernet": {"eth1": {"port": 5}}}',
        '/var/cfg/.eeprom': kbee_store('KTRV-0711'),
        '/sys/class/net/eth1/switch/phy1/bin-stats': bin_stats(1000, 1, 1, 1, 1, 2, 3, 4),
    }
    r = vdevlib.run('%s switch' % PROBE, roots=[root2], require=['overlay-sys'])
    check('eth1 kind=2 port=5 phy=1 dev=eth1 info=0 speed=1000' in r.stdout, 'KTRV-0711 eth1: %r' % r.stdout)

    # a path beyond 255 characters is refused with the driver's message, not followed
    dev = 'd' * 220
    root3 = {'/etc/product': '{"ethernet": {"p": {"port": 1, "device": "%s"}}}' % dev,
             '/sys/class/net/%s/switch/port1/bin-stats' % dev: bin_stats(1, 1, 1, 1, 1, 1, 1, 1)}
    r = vdevlib.run('%s switch' % PROBE, roots=[root3], require=['overlay-sys'])
    check(r.returncode == 0 and r.stderr.count('ethr_sw_port_get_path() error\n') == 2 and
          'info=-36 ' in r.stdout and 'stats=-36 ' in r.stdout, 'long path %r' % r)


def kind1():
    base = '/sys/devices/platform/neta/switch'
    root = {
        '/etc/product': '{"ethernet": {"eth0": {"port": 0}, "eth1": {"port": 1}, "eth2": {"port": 2}}}',
        base + '/port0/status': '1 1 1 1000\n', base + '/port0/stats': '100 2 300 4\n',
        base + '/port1/status': '0 0 0 10\n', base + '/port1/stats': '4294967295 1 2 3\n',
        base + '/port2/status': '1 1\n',
    }
    r = vdevlib.run('P=%s; $P switch; $P eth eth1' % PROBE, roots=[root], require=['overlay-sys'])
    check(r.returncode == 0, 'kind 1 run %r' % r)
    ports = parse_ports(r.stdout)
    check(ports.get('eth0', '').startswith('kind=1 port=0 phy=255 dev=- info=0 speed=1000 duplex=1 link=1 down=0 '
                                           'stats=0 100 2 300 4'), 'eth0 %s' % ports.get('eth0'))
    check('down=1 stats=0 4294967295 1 2 3' in ports.get('eth1', ''), 'eth1 %s' % ports.get('eth1'))
    check('info=-1' in ports.get('eth2', '') and 'stats=-2' in ports.get('eth2', ''), 'eth2 %s' % ports.get('eth2'))
    check('rc=0 speed=10 duplex=half link=no down=1' in r.stdout, 'eth_info of a down port')


def gpio():
    root = {'/sys/class/gpio/export': '', '/sys/class/gpio/unexport': '',
            '/sys/class/gpio/gpio5/direction': 'in\n', '/sys/class/gpio/gpio5/edge': 'none\n',
            '/sys/class/gpio/gpio5/value': '0\n', '/sys/class/gpio/gpio6/value': 'x'}
    cmds = ['gpio 5 export', 'gpio 5 get', 'gpio 5 dir out', 'gpio 5 edge rising', 'gpio 5 set 1', 'gpio 5 get',
            'gpio 6 get', 'gpio 7 get', 'gpio 7 dir in', 'gpio 5 fd', 'gpio 9 unexport']
    script = '; '.join('%s %s' % (PROBE, c) for c in cmds)
    script += '; cd /sys/class/gpio; for f in export unexport gpio5/direction gpio5/edge gpio5/value; do ' \
              'od -An -c $f | tr -s " " > /mnt/vdev/out/$(echo $f | tr / _); done'
    r = vdevlib.run(script, roots=[root], require=['overlay-sys'])
    lines = r.stdout.splitlines()
    check(lines[:9] == ['rc=0 value=-1', 'rc=0 value=0', 'rc=0 value=-1', 'rc=0 value=-1', 'rc=0 value=-1',
                        'rc=0 value=1', 'rc=0 value=1', 'rc=-1 value=-1', 'rc=-1 value=-1'], 'gpio results %s' % lines)
    check(lines[9:11] == ['nonblock=1', 'rc=0 value=-1'], 'gpio fd %s' % lines[9:])
    check('gpio/get-value: No such file or directory' in r.stderr and 'gpio/direction: No such file' in r.stderr,
          'perror labels %r' % r.stderr)

    def content(name):
        return open(os.path.join(r.out, name)).read().strip()
    # the terminating NUL goes to the kernel too
    check(content('export') == '5 \\0', 'export %r' % content('export'))
    check(content('unexport') == '9 \\0', 'unexport %r' % content('unexport'))
    check(content('gpio5_direction') == 'o u t \\0', 'direction %r' % content('gpio5_direction'))
    check(content('gpio5_edge').startswith('r i s i n g \\0'), 'edge %r' % content('gpio5_edge'))
    check(content('gpio5_value') == '1 \\0', 'value %r' % content('gpio5_value'))


def load():
    rows = [('0.10\n0.30\n0.20\n', '20'), ('0.10 0.30\n', '20'), ('', '-1'), ('0.995\n1.5\n', '100'),
            (None, '0')]
    for text, want in rows:
        root = {'/var/run/cpustat': text} if text is not None else {}
        r = vdevlib.run('%s load' % PROBE, roots=[root] if root else [])
        check(r.stdout.strip() == want, 'load of %r: %r' % (text, r.stdout))


kind2()
kind1()
gpio()
load()
if failures:
    sys.exit(1)
print('ok')
