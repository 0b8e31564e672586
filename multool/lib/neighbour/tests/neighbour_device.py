#!/usr/bin/env python3
"""Inside the virtual device: eth0 and eth1 joined by veth pairs to a peer namespace (peer0, peer1)
that runs the real lldpd, dumpcap and hand-written frames.  One scenario per run:

  send    lldp and cdp on every path: frames decoded by tshark (every TLV, the CDP checksum for odd
          and even lengths, no malformed or expert report) and listed by lldpcli; the interface
          fallback, the documents' members and every fatal message, the wait for the documents
  listen  lldpdd hearing lldpd on both interfaces at each of the three destinations with its custom
          TLV, our own frames left out, hostile frames (lengths past the end, short fixed layouts,
          frames past 2300 bytes, texts that are not UTF-8), a flood of neighbours against the bound,
          expiry of a pre-seeded file, restarts, the daemon's pid file

Prints what failed and exits 1 when anything did."""
import json
import os
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import neighbour_net as nn  # noqa: E402

MAC0, MAC1 = '02:03:04:05:06:07', '02:03:04:05:06:08'
HOST = 'ap-roof-07'
VERSION = 'APCPE.QA-2.v7.52.1.4711\n'
STATS = '/var/run/stats'
PRECONF = STATS + '/preconfigured.json'
STATISTICS = STATS + '/statistics.json'
DISCOVERY = STATS + '/lldp-discovery.json'
SANITIZED = os.environ.get('MT_SANITIZED') == '1'

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print('FAIL:', what, flush=True)
    return cond


def put(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(text.encode() if isinstance(text, str) else text)


def preconf(wan='eth0', v4=True, v6=True, location='Roof North', drop=(), extra=None):
    doc = {'device': {'name': 'AP-Outdoor 5', 'location': location},
           'topology': {'wan': wan, 'networkMode': 'bridge'},
           'network': {'ipv4': {'enabled': v4}, 'ipv6': {'enabled': v6}}}
    for path in drop:
        a, b = path.split('.')
        del doc[a][b]
    for path, value in (extra or {}).items():
        a, b = path.split('.')
        doc[a][b] = value
    return json.dumps(doc)


def statistics():
    return json.dumps({'interfaces': {
        'eth0': {'ip_address': ['192.0.2.1/24', '192.0.2.99/24'], 'ip6_address': ['2001:db8::1/64']},
        'eth1': {'ip_address': ['198.51.100.1/24'], 'ip6_address': []}}})


def documents(pre=None, stats=None):
    put(PRECONF, pre if pre is not None else preconf())
    put(STATISTICS, stats if stats is not None else statistics())


def applet(name, args=(), host=HOST, timeout=30):
    """The applet at its real path under its own host name (a UTS namespace of its own)."""
    cmd = ['unshare', '-u', 'sh', '-c', 'hostname "$0" && exec "$@"', host, '/usr/sbin/' + name] + list(args)
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)


def uname_descr(version=VERSION):
    u = os.uname()
    return (version + u.version + '\n' + u.machine).encode()[:128].decode(errors='replace')


def sanitizer_clean(text, what):
    return check('Sanitizer' not in text and 'runtime error' not in text, '%s: sanitizer report: %s' % (what, text[-600:]))


# -- send ------------------------------------------------------------------------------------------------
LLDP_FIELDS = ['eth.src', 'eth.dst', 'lldp.tlv.type', 'lldp.tlv.len', 'lldp.chassis.subtype', 'lldp.chassis.id.mac',
               'lldp.port.subtype', 'lldp.port.id', 'lldp.time_to_live', 'lldp.port.desc', 'lldp.tlv.system.name',
               'lldp.tlv.system.desc', 'lldp.tlv.system_cap', 'lldp.tlv.enable_system_cap', 'lldp.mgn.address.len',
               'lldp.mgn.address.subtype', 'lldp.mgn.addr.ip4', 'lldp.mgn.addr.ip6', 'lldp.mgn.interface.subtype',
               'lldp.mgn.interface.number', 'lldp.mgn.obj.len', 'frame.interface_name']
CDP_FIELDS = ['eth.src', 'eth.dst', 'eth.len', 'frame.len', 'llc.dsap', 'llc.ssap', 'llc.control', 'llc.oui', 'llc.cisco_pid',
              'cdp.version', 'cdp.ttl', 'cdp.checksum', 'cdp.checksum.status', 'cdp.tlv.type', 'cdp.tlv.len',
              'cdp.deviceid', 'cdp.software_version', 'cdp.platform', 'cdp.number_of_addresses', 'cdp.protocol',
              'cdp.address_length', 'cdp.nrgyz.ip_address', 'cdp.address', 'cdp.portid', 'cdp.capabilities',
              'cdp.system_name', 'cdp.location', 'frame.interface_name']


def by_name(frames, key):
    """Frames by the host name they carry: each case ran under a host name of its own."""
    out = {}
    for f in frames:
        out.setdefault((f[key] or [''])[0], []).append(f)
    return out


def check_lldp(f, what, mac, ifname, ifindex, v4, v6, descr, on):
    types = ['1', '2', '3', '4', '5', '6', '7'] + ['8'] * ((v4 is not None) + (v6 is not None)) + ['0']
    check(f['lldp.tlv.type'] == types, '%s: TLV types %s, want %s' % (what, f['lldp.tlv.type'], types))
    want = {'eth.src': [mac], 'eth.dst': ['01:80:c2:00:00:03'], 'lldp.chassis.subtype': ['4'],
            'lldp.chassis.id.mac': [mac], 'lldp.port.subtype': ['1'], 'lldp.port.id': [ifname],
            'lldp.time_to_live': ['180'], 'lldp.port.desc': ['Ethernet Interface'], 'lldp.tlv.system_cap': ['0x001e'],
            'lldp.tlv.enable_system_cap': ['0x0008'], 'frame.interface_name': [on],
            'lldp.mgn.addr.ip4': [v4] if v4 else [], 'lldp.mgn.addr.ip6': [v6] if v6 else [],
            'lldp.mgn.address.len': (['5'] if v4 else []) + (['17'] if v6 else []),
            'lldp.mgn.address.subtype': (['1'] if v4 else []) + (['2'] if v6 else []),
            'lldp.mgn.interface.subtype': ['2'] * len(types[7:-1]),
            'lldp.mgn.interface.number': [str(ifindex)] * len(types[7:-1]),
            'lldp.mgn.obj.len': ['0'] * len(types[7:-1])}
    for k, v in want.items():
        check(f[k] == v, '%s: %s is %s, want %s' % (what, k, f[k], v))
    # tshark shows a line break of a text as the two characters \n
    got = [d.replace('\\n', '\n') for d in f['lldp.tlv.system.desc']]
    check(got == [descr], '%s: system description %r, want %r' % (what, got, descr))
    lens = [int(x) for x in f['lldp.tlv.len']]
    check(lens[:4] == [7, 1 + len(ifname), 2, 18] and lens[6] == 4 and lens[-1] == 0,
          '%s: TLV lengths %s' % (what, lens))


def check_cdp(f, what, mac, port, location, v4='192.0.2.1', v6='::', version=VERSION):
    flen = int(f['frame.len'][0])
    want = {'eth.src': [mac], 'eth.dst': ['01:00:0c:cc:cc:cc'], 'eth.len': [str(flen - 14)], 'llc.dsap': ['0xaa'],
            'llc.ssap': ['0xaa'], 'llc.control': ['0x0003'], 'llc.oui': [str(0x00000c)], 'llc.cisco_pid': ['0x2000'],
            'cdp.version': ['2'], 'cdp.ttl': ['180'], 'cdp.checksum.status': ['1'],
            'cdp.tlv.type': ['0x%04x' % t for t in (1, 5, 6, 2, 3, 4, 20, 23)], 'cdp.number_of_addresses': ['2'],
            'cdp.portid': [port], 'cdp.capabilities': ['0x00000006'], 'cdp.platform': ['AP-Outdoor 5'],
            'cdp.location': [location] if location else [], 'cdp.address_length': ['4', '16'],
            'cdp.nrgyz.ip_address': [v4], 'cdp.system_name': [HOST if what == HOST else what]}
    for k, v in want.items():
        check(f[k] == v, '%s: %s is %s, want %s' % (what, k, f[k], v))
    lens = [int(x) for x in f['cdp.tlv.len']]
    want_lens = [4 + len(what), 4 + len(version), 4 + 12, 38, 4 + len(port), 8, 4 + len(what), 4 + 1 + len(location)]
    check(lens == want_lens, '%s: TLV lengths %s, want %s' % (what, lens, want_lens))
    # tshark shows the text without its last line break; the length above counts it
    sw = [s.replace('\\n', '\n') for s in f['cdp.software_version']]
    check(sw == [version.rstrip('\n')], '%s: software version %r' % (what, sw))
    a6 = f['cdp.address'][-1:] if f['cdp.address'] else []
    want6 = socket.inet_pton(socket.AF_INET6, v6).hex()
    check([x.replace(':', '') for x in a6] == [want6], '%s: IPv6 address bytes %s, want %s' % (what, a6, want6))
    return (flen - 22) % 2


def lldpcli_lldp(peer_lldpd, ifindex):
    nb = nn.wait_for(lambda: neighbour_via(peer_lldpd, 'LLDP', hidden=False), 5)
    if not check(nb, 'lldpcli lists the device on peer0: %s' % peer_lldpd.cli(['show', 'neighbors']).stdout):
        return
    name, ch = next(iter(nb['chassis'].items()))
    check(name == HOST, 'lldpcli: system name %r' % name)
    check(ch['id'] == {'type': 'mac', 'value': MAC0}, 'lldpcli: chassis id %s' % ch['id'])
    check(ch['descr'] == uname_descr(), 'lldpcli: description %r' % ch['descr'])
    check(ch['mgmt-ip'] == ['192.0.2.1', '2001:db8::1'] and ch['mgmt-iface'] == [str(ifindex)] * 2,
          'lldpcli: management %s %s' % (ch.get('mgmt-ip'), ch.get('mgmt-iface')))
    caps = {c['type']: c['enabled'] for c in ch['capability']}
    check(caps == {'Repeater': False, 'Bridge': False, 'Router': False, 'Wlan': True}, 'lldpcli: capabilities %s' % caps)
    check(nb['port']['id'] == {'type': 'ifalias', 'value': 'eth0'} and nb['port']['descr'] == 'Ethernet Interface'
          and nb['port']['ttl'] == '180', 'lldpcli: port %s' % nb['port'])


def neighbour_via(peer_lldpd, via, hidden):
    args = ['show', 'neighbors'] + (['hidden'] if hidden else []) + ['details']
    ifs = peer_lldpd.json(args).get('lldp', {}).get('interface', [])
    if isinstance(ifs, dict):
        ifs = [{k: v} for k, v in ifs.items()]
    for entry in ifs:
        for ifname, nb in entry.items():
            if ifname == 'peer0' and nb.get('via') == via:
                return nb
    return None


def lldpcli_cdp(peer_lldpd):
    nb = nn.wait_for(lambda: neighbour_via(peer_lldpd, 'CDPv2', hidden=True), 5)
    if not check(nb, 'lldpcli lists the device by CDPv2: %s' % peer_lldpd.cli(['show', 'neighbors', 'hidden']).stdout):
        return
    name, ch = next(iter(nb['chassis'].items()))
    check(name == HOST and ch['id'] == {'type': 'local', 'value': HOST}, 'lldpcli CDP: chassis %s %s' % (name, ch['id']))
    check(ch['descr'] == 'AP-Outdoor 5 running on\n' + VERSION, 'lldpcli CDP: description %r' % ch['descr'])
    check(ch['mgmt-ip'] == '192.0.2.1', 'lldpcli CDP: management %s' % ch.get('mgmt-ip'))
    check(nb['port']['id'] == {'type': 'ifname', 'value': 'eth0'} and nb['port']['ttl'] == '180',
          'lldpcli CDP: port %s' % nb['port'])


class Timed:
    """A program run in the background; the time it took is taken when it ends."""

    def __init__(self, cmd):
        self.t0 = time.monotonic()
        self.p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.thread = threading.Thread(target=self._wait)
        self.thread.start()

    def _wait(self):
        self.out, self.err = self.p.communicate()
        self.took = time.monotonic() - self.t0

    def result(self, timeout=20):
        self.thread.join(timeout)
        return self.p.returncode, self.err, self.took


def private_stats(script):
    """A shell in a mount namespace of its own whose statistics folder starts empty."""
    return ['unshare', '-m', '-u', 'sh', '-c',
            'mount -t tmpfs docs %s && hostname lldp-late || exit 9; %s' % (STATS, script)]


def scenario_send():
    peer = nn.Netns('peer')
    nn.link(peer, 'eth0', 'peer0', MAC0)
    nn.link(peer, 'eth1', 'peer1', MAC1)
    nn.sh('ip addr add 192.0.2.1/24 dev eth0')
    ifindex0, ifindex1 = nn.if_index('eth0'), nn.if_index('eth1')
    put('/usr/lib/version', VERSION + 'build 4711\n')
    os.makedirs(STATS, exist_ok=True)
    lldpd = nn.Lldpd(peer, ['peer0', 'peer1'], cdp=True)
    check(lldpd.ready, 'lldpd answers on its socket')
    cap = nn.Capture(peer, ['peer0', 'peer1'], '/tmp/peer.pcap')

    # the wait for the documents: never there (9 s, then fatal), and there after 4 s
    put('/tmp/late/preconfigured.json', preconf())
    put('/tmp/late/statistics.json', statistics())
    never = {n: Timed(private_stats('exec /usr/sbin/%s' % n)) for n in ('lldp', 'cdp')}
    late = Timed(private_stats('(sleep 4; cp /tmp/late/*.json %s/) & exec /usr/sbin/lldp' % STATS))

    documents()
    r = applet('lldp')
    check(r.returncode == 0 and r.stdout == r.stderr == '', 'lldp: %s' % r)
    lldpcli_lldp(lldpd, ifindex0)
    r = applet('cdp')
    check(r.returncode == 0 and r.stdout == r.stderr == '', 'cdp: %s' % r)
    lldpcli_cdp(lldpd)

    ok_cases = [  # host, applet, args, preconfigured document
        ('lldp-v4', 'lldp', [], preconf(v6=False)),
        ('lldp-v6', 'lldp', [], preconf(v4=False)),
        ('lldp-nowan', 'lldp', [], preconf(wan='eth9')),
        ('lldp-eth1', 'lldp', ['eth1'], preconf(wan='eth1')),
        ('lldp-fallback', 'lldp', ['nosuch0'], preconf()),
        ('cdp-even', 'cdp', [], preconf(v6=False, location='Roof North1')),
        ('cdp-eth1', 'cdp', ['eth1'], preconf(v4=False, location='')),
        ('cdp-v6', 'cdp', [], preconf(v4=False, location='Mast 3')),
        ('lldp-noloc', 'lldp', [], preconf(drop=['device.location'])),
    ]
    for host, name, args, pre in ok_cases:
        documents(pre)
        r = applet(name, args, host)
        check(r.returncode == 0 and r.stderr == '', '%s: %s' % (host, r))
    os.rename('/usr/lib/version', '/usr/lib/version.off')
    documents()
    r = applet('lldp', [], 'lldp-nover')
    check(r.returncode == 0, 'lldp without a version file: %s' % r)
    os.rename('/usr/lib/version.off', '/usr/lib/version')

    fatal_cases = [  # applet, preconfigured, statistics, message after "<applet>: "
        ('lldp', preconf(drop=['topology.networkMode']), None,
         'cannot parse "topology.networkMode" in /var/run/stats/preconfigured.json'),
        ('cdp', preconf(extra={'topology.networkMode': 3}), None,
         'cannot parse "topology.networkMode" in /var/run/stats/preconfigured.json'),
        ('lldp', preconf(drop=['device.name']), None, 'cannot parse "device.name" in /var/run/stats/preconfigured.json'),
        ('cdp', preconf(drop=['topology.wan']), None, 'cannot parse "topology.wan" in /var/run/stats/preconfigured.json'),
        ('cdp', preconf(drop=['device.location']), None,
         'cannot parse "device.location" in /var/run/stats/preconfigured.json'),
        ('cdp', '{"device": ', None, 'cannot load json file: /var/run/stats/preconfigured.json'),
        ('lldp', None, 'not json', 'cannot load json file: /var/run/stats/statistics.json'),
    ]
    for name, pre, stats, message in fatal_cases:
        documents(pre, stats)
        r = applet(name, [], 'fatal')
        check(r.returncode == 1 and r.stderr == '%s: %s\n' % (name, message), '%s with %s: %r' % (name, message, r))
    rc, err, took = late.result()
    check(rc == 0 and 3.9 <= took < 8, 'lldp with documents after 4 s: rc %s after %.1f s: %s' % (rc, took, err))
    for name, want in (('lldp', 'lldp: json config files not found\n'), ('cdp', 'cdp: jason config files not found\n')):
        rc, err, took = never[name].result()
        check(rc == 1 and err == want and 8.9 <= took < 14,
              '%s without documents: rc %s after %.1f s: %r' % (name, rc, took, err))
    # after the waiting ones: without eth0 there is nothing to fall back to
    documents()
    nn.sh('ip link set eth0 down && ip link set eth0 name wan0')
    for name in ('lldp', 'cdp'):
        r = applet(name, ['nosuch0'], 'fatal')
        check(r.returncode == 1 and r.stderr == '%s: invalid interface name: nosuch0\n' % name,
              '%s without eth0: %r' % (name, r))
    nn.sh('ip link set wan0 name eth0 && ip link set eth0 up')
    cap.stop()
    lldpd.stop()

    pcap = cap.path
    v4, v6 = '192.0.2.1', '2001:db8::1'
    lldp_cases = [  # host, MAC, interface, ifindex, IPv4, IPv6, captured on
        (HOST, MAC0, 'eth0', ifindex0, v4, v6, 'peer0'),
        ('lldp-late', MAC0, 'eth0', ifindex0, v4, v6, 'peer0'),
        ('lldp-v4', MAC0, 'eth0', ifindex0, v4, None, 'peer0'),
        ('lldp-v6', MAC0, 'eth0', ifindex0, None, v6, 'peer0'),
        ('lldp-nowan', MAC0, 'eth0', ifindex0, None, None, 'peer0'),
        ('lldp-eth1', MAC1, 'eth1', ifindex1, '198.51.100.1', None, 'peer1'),
        ('lldp-fallback', MAC0, 'eth0', ifindex0, v4, v6, 'peer0'),
        ('lldp-noloc', MAC0, 'eth0', ifindex0, v4, v6, 'peer0'),
    ]
    ours = '(eth.src == %s || eth.src == %s)' % (MAC0, MAC1)
    lldp_sent = by_name(nn.tshark_fields(pcap, LLDP_FIELDS, 'lldp && ' + ours), 'lldp.tlv.system.name')
    cdp_sent = by_name(nn.tshark_fields(pcap, CDP_FIELDS, 'cdp && ' + ours), 'cdp.deviceid')
    for host, mac, ifname, ifindex, a4, a6, on in lldp_cases:
        frames = lldp_sent.get(host, [])
        if check(len(frames) == 1, '%s: one LLDP frame, got %d' % (host, len(frames))):
            check_lldp(frames[0], host, mac, ifname, ifindex, a4, a6, uname_descr(), on)
    frames = lldp_sent.get('lldp-nover', [])
    if check(len(frames) == 1, 'lldp-nover: one frame'):
        got = [d.replace('\\n', '\n') for d in frames[0]['lldp.tlv.system.desc']]
        check(got == [uname_descr('S/W version not available.')], 'lldp-nover: description %r' % got)
    parities = set()
    cdp_cases = [  # host, MAC, port, location, IPv4, IPv6
        (HOST, MAC0, 'eth0', 'Roof North', v4, v6),
        ('cdp-even', MAC0, 'eth0', 'Roof North1', v4, '::'),
        ('cdp-eth1', MAC1, 'eth1', '', '0.0.0.0', v6),
        ('cdp-v6', MAC0, 'eth0', 'Mast 3', '0.0.0.0', v6),
    ]
    for host, mac, port, location, a4, a6 in cdp_cases:
        frames = cdp_sent.get(host, [])
        if check(len(frames) == 1, '%s: one CDP frame, got %d' % (host, len(frames))):
            parities.add(check_cdp(frames[0], host, mac, port, location, a4, a6))
    check(parities == {0, 1}, 'CDP checksums judged for odd and even lengths: %s' % parities)
    ours = '(lldp || cdp) && ' + ours
    bad = nn.tshark_count(pcap, ours + ' && (_ws.malformed || _ws.expert)')
    check(bad == 0, 'tshark: %d of our frames malformed or with expert reports' % bad)
    sent = nn.tshark_count(pcap, ours)
    want = len(lldp_cases) + 1 + len(cdp_cases)
    check(sent == want, 'frames sent: %d, want %d (the fatal cases send none)' % (sent, want))


# -- listen ----------------------------------------------------------------------------------------------
def uptime():
    return int(float(open('/proc/uptime').read().split()[0]))


def table():
    try:
        with open(DISCOVERY, 'rb') as f:
            raw = f.read()
    except FileNotFoundError:
        return None
    try:
        return json.loads(raw.decode('utf-8'))  # strict: the bytes must be UTF-8
    except ValueError as e:
        check(False, 'neighbour file is not UTF-8 JSON (%s): %r' % (e, raw[:200]))
        return None


def entry(mac, cond=lambda e: True, timeout=5):
    def get():
        t = table()
        e = t.get(mac.lower()) if t else None
        return e if e is not None and cond(e) else None
    return nn.wait_for(get, timeout)


class Listener:
    def __init__(self, args=('-f',)):
        self.p = subprocess.Popen(['/usr/sbin/lldpdd'] + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True)

    def alive(self):
        return self.p.poll() is None

    def stop(self):
        self.p.send_signal(signal.SIGTERM)
        try:
            out, err = self.p.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            self.p.kill()
            out, err = self.p.communicate()
            check(False, 'lldpdd did not stop on SIGTERM')
        sanitizer_clean(err, 'lldpdd')
        return self.p.returncode, err


def lldpd_rounds(lldpd, listener, src0, src1, ifindex0, ifindex1):
    """Each destination in turn, with an apMode of its own; the host name tells which round was heard."""
    rounds = [('nearest-bridge', '01', 'cloud'), ('nearest-non-tpmr-bridge', '02', 'master'),
              ('nearest-customer-bridge', '03', 'managed')]
    for agent, info, mode in rounds:
        name = 'peer-' + agent
        lldpd.cli(['configure', 'lldp', 'agent-type', agent])
        lldpd.cli(['configure', 'lldp', 'custom-tlv', 'replace', 'oui', '00,11,22', 'subtype', '1', 'oui-info', info])
        lldpd.cli(['configure', 'system', 'hostname', name])
        e = entry(src0, lambda e: e.get('name') == name and e.get('apMode') == mode, timeout=8)
        check(e, '%s: heard with apMode %s (file: %s)' % (agent, mode, table()))
    e = entry(src0)
    want = {'ifIndex': ifindex0, 'iface': 'eth0', 'name': 'peer-nearest-customer-bridge',
            'description': 'Switch OS 1.2 \u2013 gr\u00fcn', 'ip4': '192.0.2.2', 'ip6': '2001:db8::2',
            'apMode': 'managed'}
    for k, v in want.items():
        check(e and e.get(k) == v, 'lldpd on peer0: %s is %r, want %r' % (k, e and e.get(k), v))
    check(e and isinstance(e.get('ttl'), int) and 1 <= e['ttl'] <= 65535, 'lldpd on peer0: ttl %s' % (e and e.get('ttl')))
    check(e and abs(e.get('uptime', -1) - uptime()) <= 2, 'lldpd on peer0: uptime %s now %d' % (e and e.get('uptime'), uptime()))
    chassis = lldpd.json(['show', 'chassis'])['local-chassis']['chassis']
    cid = next(iter(chassis.values()))['id']
    check(e and cid['type'] == 'mac' and e.get('macAddress') == cid['value'].upper(),
          'lldpd on peer0: macAddress %s, chassis %s' % (e and e.get('macAddress'), cid))
    e1 = entry(src1)
    check(e1 and e1.get('ifIndex') == ifindex1 and e1.get('iface') == 'eth1', 'lldpd on peer1: %s' % e1)
    # refreshed in place: one entry per neighbour, a newer uptime
    first = entry(src0)['uptime']
    later = entry(src0, lambda e: e['uptime'] > first, timeout=4)
    check(later, 'refresh: uptime grows past %d' % first)
    check(listener.alive(), 'lldpdd still runs after lldpd rounds')


def hostile(raw, base):
    """(source MAC, frame, expected entry or None) from a hand-written peer."""
    def src(i):
        return '%s:%02x' % (base, i)
    ch = nn.chassis('AA:BB:CC:00:00:01')
    ttl = nn.tlv(3, b'\x00\x78')
    cases = [
        ('length past the end', src(1), ch + ttl + nn.tlv(5, b'short', 300), {'macAddress': 'AA:BB:CC:00:00:01', 'ttl': 120}),
        ('cut inside a header', src(2), ch + ttl + b'\x0a', {'macAddress': 'AA:BB:CC:00:00:01', 'ttl': 120}),
        ('chassis of 6 bytes, TTL of 1', src(3), nn.tlv(1, b'\x04\xaa\xbb\xcc\x00\x00') + nn.tlv(3, b'\x01') + nn.END, {}),
        ('management of 5 and 17 bytes', src(4),
         nn.tlv(8, b'\x05\x01\xc0\x00\x02') + nn.tlv(8, b'\x11\x02' + bytes(15)) + nn.END, {}),
        ('apMode of 6 bytes, apMode 4', src(5), nn.tlv(127, b'\x00\x11\x22\x01\x02\x00') + nn.ap_mode(4) + nn.END, {}),
        ('names that are not UTF-8', src(6), nn.tlv(5, b'sw\xff\x00x/1') + nn.tlv(6, b'\xc3(\xe2\x82\xac') + nn.END,
         {'name': 'sw\\xFF\\x00x/1', 'description': '\\xC3(\u20ac'}),
        ('a 511-byte name', src(7), nn.tlv(5, b'n' * 511) + nn.END, {'name': 'n' * 511}),
        ('past 2300 bytes', src(8), nn.tlv(6, b'd' * 511) * 4 + nn.tlv(5, b'x' * 300) + nn.END,
         {'description': 'd' * 511}),
        ('empty', src(9), b'', {}),
    ]
    for what, mac, body, _ in cases:
        raw.send(nn.frame(mac, body))
    for dst in (bytes.fromhex('0180c2000001'), b'\xff' * 6, nn.mac_bytes(MAC0)):
        raw.send(nn.frame(src(0xA0), nn.chassis('AA:BB:CC:00:00:A0') + nn.END, dst=dst))
    raw.send(nn.frame(src(0xA1), nn.chassis('AA:BB:CC:00:00:A1') + nn.END, ethertype=0x88B5))
    return cases, [src(0xA0), src(0xA1)]


def scenario_listen():
    peer = nn.Netns('peer')
    nn.link(peer, 'eth0', 'peer0', MAC0, mtu=9000)
    nn.link(peer, 'eth1', 'peer1', MAC1)
    ifindex0, ifindex1 = nn.if_index('eth0'), nn.if_index('eth1')
    now = uptime()
    seeded = {'02:99:00:00:00:01': {'ifIndex': 9, 'name': 'gone', 'uptime': now - 601},
              '02:99:00:00:00:02': {'ifIndex': 9, 'name': 'kept', 'uptime': now - 100}}
    put(DISCOVERY, json.dumps(seeded))
    put('/usr/lib/version', VERSION)
    documents()

    listener = Listener()
    t = nn.wait_for(lambda: (table() or {}).keys() == {'02:99:00:00:00:02'} and table(), 5)
    check(t and t['02:99:00:00:00:02'] == seeded['02:99:00:00:00:02'],
          'expiry at start: the entry heard 601 s ago goes, the one heard 100 s ago stays: %s' % table())
    check(not os.path.exists(DISCOVERY + '.tmp'), 'no temporary file left')

    lldpd = nn.Lldpd(peer, ['peer0', 'peer1'])
    check(lldpd.ready, 'lldpd answers on its socket')
    for cmd in (['configure', 'lldp', 'tx-interval', '1'],
                ['configure', 'system', 'description', 'Switch OS 1.2 \u2013 gr\u00fcn'],
                ['configure', 'system', 'ip', 'management', 'pattern', '192.0.2.2,2001:db8::2']):
        lldpd.cli(cmd)
    peer.run(['ip', 'addr', 'add', '192.0.2.2/24', 'dev', 'peer0'], check=True)
    peer.run(['ip', 'addr', 'add', '2001:db8::2/64', 'dev', 'peer0', 'nodad'], check=True)
    src0, src1 = nn.if_mac('peer0', peer), nn.if_mac('peer1', peer)
    lldpd_rounds(lldpd, listener, src0, src1, ifindex0, ifindex1)

    # our own frame leaves through eth0 and is seen going out, never recorded
    r = applet('lldp')
    check(r.returncode == 0, 'lldp beside lldpdd: %s' % r)
    time.sleep(0.5)
    check(MAC0.lower() not in (table() or {}), 'our own frame is not a neighbour: %s' % list(table() or {}))

    raw = nn.RawSender(peer, 'peer0')
    cases, ignored = hostile(raw, '02:66:00:00:00')
    for what, mac, body, want in cases:
        e = entry(mac, timeout=3)
        if not check(e is not None, 'hostile %s: an entry' % what):
            continue
        got = {k: v for k, v in e.items() if k not in ('ifIndex', 'iface', 'uptime')}
        check(got == want and e['ifIndex'] == ifindex0, 'hostile %s: %s, want %s' % (what, e, want))
    t = table() or {}
    for mac in ignored:
        check(mac not in t, 'frame from %s to another destination or of another type is ignored' % mac)
    check(listener.alive(), 'lldpdd survives the hostile frames')

    # a flood of distinct neighbours: the bound holds, the newest are all learned
    flood = ['02:77:00:00:%02x:%02x' % (i >> 8, i & 0xFF) for i in range(400)]
    for i, mac in enumerate(flood):
        raw.send(nn.frame(mac, nn.chassis(mac) + nn.tlv(5, b'flood-%d' % i) + nn.END))
        if i % 25 == 24:
            time.sleep(0.05)  # the socket's queue is the kernel's: let the listener keep up
    last = entry(flood[-1], timeout=5)
    t = table() or {}
    check(last is not None and len(t) <= 256, 'flood: %d entries, the last one learned: %s' % (len(t), last))
    check(sum(m in t for m in flood[-100:]) == 100, 'flood: the 100 newest are all there')
    check(src0.lower() in t or entry(src0, timeout=3), 'lldpd (refreshed each second) is learned again after the flood')
    check(listener.alive(), 'lldpdd survives the flood')

    rc, err = listener.stop()
    check(rc == 0, 'lldpdd ends on SIGTERM with 0: %d %s' % (rc, err[-300:]))
    before = table()

    # restarted as a daemon: the file loads back (escaped texts included), the pid file comes and goes
    d = subprocess.run(['/usr/sbin/lldpdd'], capture_output=True, text=True, timeout=10)
    check(d.returncode == 0, 'lldpdd detaches: %s' % d)
    pid = nn.wait_for(lambda: os.path.exists('/var/run/lldpdd.pid') and int(open('/var/run/lldpdd.pid').read()), 5)
    check(pid and os.path.exists('/proc/%d' % pid), 'pid file names the running daemon')
    raw.send(nn.frame('02:55:00:00:00:01', nn.chassis('02:55:00:00:00:01') + nn.END))
    e = entry('02:55:00:00:00:01')
    t = table() or {}
    kept = [m for m in before if m in t]
    check(e and len(kept) >= len(before) - 1 and t.get('02:66:00:00:00:06') == before.get('02:66:00:00:00:06'),
          'the restarted daemon kept the table it loaded (%d of %d)' % (len(kept), len(before)))
    lldpd.stop()
    if pid:
        os.kill(pid, signal.SIGTERM)
        check(nn.wait_for(lambda: not os.path.exists('/var/run/lldpdd.pid'), 5), 'pid file removed at the stop')


if __name__ == '__main__':
    {'send': scenario_send, 'listen': scenario_listen}[sys.argv[1]]()
    print('%s: %d failures' % (sys.argv[1], len(failures)))
    sys.exit(1 if failures else 0)
