#!/usr/bin/env python3
"""The MIB modules through a real master agent: snmpd (master agentx, a private AgentX socket,
127.0.0.1 on a high port) inside the virtual device, odbagent with the four modules and the stand-in
radio driver, and snmpwalk on every subtree.  Every identifier, type and value is computed here from
the fixtures, independently of the modules; ifIndex values are checked against snmpd's own IF-MIB."""
import json
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
import vdevlib  # noqa: E402

BUILD = os.environ['MT_BUILD_DIR']
HERE = os.path.dirname(os.path.abspath(__file__))
for need in ('snmp/odbagent', 'snmp/mavowireless.so', 'tests/fakewifi/libfakewifi.so'):
    if not os.path.exists(os.path.join(BUILD, need)):
        vdevlib.skip('%s not built' % need)
for tool in ('snmpd', 'snmpwalk'):
    if not shutil.which(tool, path='/usr/sbin:/usr/bin'):
        vdevlib.skip('%s not installed (tools/deps/snmp.list)' % tool)

ENT = '99999'
P = '1.3.6.1.4.1.%s' % ENT
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


# ---------------------------------------------------------------- fixtures
MAC = {'p1': '02:AA:BB:CC:DD:01', 'p2': '02:AA:BB:CC:DD:02', 'p3': '02:AA:BB:CC:DD:03', 'p4': '02:AA:BB:CC:DD:04'}
WIRELESS = {
    'radios': {'countryCode': 'DE', 'operationMode': 'ap', 'dev': {
        'wifi0': {'name': 'wifi0', 'protocol': '11na,qlix', 'qlix': 4, 'frequency': 5180.0, 'channel': 36,
                  'channelWidth': '40+', 'txPower': 23, 'bitrate': 300, 'noise': [-101, -99, -97]},
        'wifi1': {'name': 'wifi1', 'protocol': '11ng', 'frequency': 2437.0, 'channel': 6, 'channelWidth': '20',
                  'txPower': 17, 'bitrate': 54}}},
    'vaps': [
        {'name': 'ath0', 'mac': '00:15:6D:00:00:01', 'radio': 'wifi0', 'operationMode': 'master', 'ssid': 'lab',
         'security': 'wpapsk2', 'peerCount': 3, 'rxPackets': 2 ** 32 + 11, 'rxErrors': 2, 'txPackets': 30,
         'txRetries': 4},
        {'name': 'nosuch0', 'mac': '00:15:6D:00:00:09', 'radio': 'wifi0'},
        {'name': 'ath1', 'mac': '00:15:6D:00:00:02', 'radio': 'wifi1', 'operationMode': 'managed',
         'ssid': 'uplink', 'security': 'open', 'peerCount': 1, 'disabled': 'yes', 'rxPackets': 1,
         'rxErrors': 0, 'txPackets': 2, 'txRetries': 0},
    ],
    'peers': [
        {'mac': MAC['p1'], 'vap': 'ath0', 'vapIfIndex': 5, 'signal': [-60, -61, 0], 'txBytes': 1000,
         'rxBytes': 2 ** 33 + 7, 'ipAddress': '192.0.2.50'},
        {'mac': MAC['p2'], 'vap': 'ath1', 'vapIfIndex': 7, 'signal': [-100], 'txBytes': 1, 'rxBytes': 2},
        {'mac': MAC['p3'], 'vap': 'ath0', 'vapIfIndex': 5, 'signal': [-60]},
        {'mac': MAC['p4'], 'vap': 'ath0', 'vapIfIndex': 5, 'signal': [-70]},
    ],
}
REMOTE = {'p1': {'wireless': {'signal': [-50, -53]}}, 'p2': {'wireless': {'signal': [0]}}, 'p4': {}}
DHCP = {'ath0': {'ssid': 'lab', 'time': '2026-01-01 10:00', 'result': 1, 'dhcp_mac': '00:15:6D:00:00:01',
                 'client_ip': '192.0.2.60', 'your_ip': '192.0.2.61', 'server_id': '192.0.2.1'},
        'gone0': {'ssid': 'x'},
        'br0': {'result': 0, 'relay_server': '192.0.2.2'}}
ALERTD = {'ping-stats-gw': {'oid_fmt': '.1.3.6.1.4.1.9.9.42.1.%d.1', 'time': 12, 'host': 'gw.lab'},
          'ping-stats-dns': {'oid_fmt': P + '.3.1.1.%d.2', 'time': 2 ** 32 + 5},
          'ping-stats-evil': {'oid_fmt': '1.3.6.1.4.1.8.%s%s%n', 'time': 1, 'host': 'x'},
          'notes': {'oid_fmt': '1.3.6.1.4.1.7.%d', 'time': 1}}
PRODUCT = {'productName': 'AP-1', 'productVersion': '2.1.0', 'snmp': {'enterpriseName': 'Maker'}}
FAKEWIFI = {'interfaces': {
    'ath0': {'name': 'IEEE 802.11na', 'essid': 'lab', 'mode': 3, 'freq': {'m': 5180, 'e': 6, 'i': 36},
             'encode_flags': 0x8000},
    'ath1': {'name': 'IEEE 802.11ng', 'essid': 'uplink', 'mode': 2, 'freq': {'m': 2437, 'e': 6, 'i': 6},
             'encode_flags': 0x0800},
}}

ROOT = {
    '/var/run/stats/wireless.json': json.dumps(WIRELESS),
    '/var/run/stats/dhcp_status.json': json.dumps(DHCP),
    '/etc/serial-no': 'KT0123456789\nsecond line\n',
    '/etc/product': json.dumps(PRODUCT),
    '/etc/fakewifi.json': json.dumps(FAKEWIFI),
    '/etc/snmp-test/snmpd.conf': 'master agentx\nagentXSocket /run/snmp-test/agentx\n'
                                 'agentaddress udp:127.0.0.1:16161\nrocommunity public 127.0.0.1\n',
    '/etc/snmp-test/lsan.supp': open(os.path.join(HERE, 'lsan.supp')).read(),
}
for k, v in REMOTE.items():
    ROOT['/var/run/stats/remote-%s.json' % MAC[k]] = json.dumps(v)
for k, v in ALERTD.items():
    ROOT['/var/run/alertd/' + k] = json.dumps(v)
ROOT['/var/run/alertd/ping-stats-junk'] = '{"oid_fmt": '

SETUP = '''
ip link add br0 type bridge; ip addr add 192.0.2.1/24 dev br0; ip link set br0 up
ip link add eth0 type veth peer name eth0p; ip link set eth0 up
ip link add ath0 type veth peer name ath0p; ip link add ath1 type veth peer name ath1p
'''

SCRIPT = r'''
O=/mnt/vdev/out
W="snmpwalk -v2c -c public -On -Ox -t 2 -r 1 127.0.0.1:16161"
mkdir -p /run/snmp-test
snmpd -f -C -c /etc/snmp-test/snmpd.conf -Lf /run/snmp-test/snmpd.log -p /run/snmp-test/snmpd.pid &
SNMPD=$!
i=0; while [ ! -S /run/snmp-test/agentx ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
for n in ath0 ath1 br0 eth0; do echo "$n $(cat /sys/class/net/$n/ifindex) $(cat /sys/class/net/$n/address)"; done > $O/links
M=/usr/lib/odbagent
LD_PRELOAD=/mnt/vdev/build/tests/fakewifi/libfakewifi.so FAKEWIFI_CONFIG=/etc/fakewifi.json \
LSAN_OPTIONS=suppressions=/etc/snmp-test/lsan.supp \
    odbagent -x /run/snmp-test/agentx -e 99999 -i 3600 $M/mavogeneric.so $M/ieee802dot11.so $M/mavowireless.so \
    $M/mavodhcpstatus.so 2>$O/agent.err &
AGENT=$!
# objects are served within a few seconds of start
wait_for() { i=0; while [ $i -lt 100 ]; do $W $1 2>/dev/null > $O/probe; if eval "$2"; then return 0; fi; sleep 0.1; i=$((i+1)); done; return 1; }
wait_for .1.3.6.1.4.1.99999 'grep -q "3.11.1.1.1.1.3" $O/probe' || echo "no objects" >> $O/errors
$W .1.3.6.1.4.1.99999 > $O/w_priv
$W .1.2.840.10036 > $O/w_ieee
$W .1.3.6.1.4.1.9 > $O/w_outside
$W .1.3.6.1.2.1.2.2.1.2 > $O/w_ifdescr
# a changed document is served after SIGHUP
python3 -c "
import json; p='/var/run/stats/dhcp_status.json'; d=json.load(open(p)); d['ath0']['result']=7; json.dump(d, open(p,'w'))"
rm /var/run/alertd/ping-stats-gw
kill -HUP $AGENT
wait_for .1.3.6.1.4.1.99999.3.11 'grep -q "3.11.1.1.1.1.3.$(grep ath0 $O/links | cut -d" " -f2) = INTEGER: 7" $O/probe' || echo "no refresh" >> $O/errors
$W .1.3.6.1.4.1.9 > $O/w_outside2
# without the Ethernet CRC file the wireless refresh stops after the first interface's counters
ip link del eth0
kill -HUP $AGENT
wait_for .1.3.6.1.4.1.99999.3.10 '! grep -q "3.10.1.3.2" $O/probe' || echo "no crc refresh" >> $O/errors
$W .1.3.6.1.4.1.99999.3.10 > $O/w_nocrc
rm /var/run/stats/wireless.json
kill -HUP $AGENT
wait_for .1.3.6.1.4.1.99999 '! grep -q "3.10.1" $O/probe' || echo "no wireless refresh" >> $O/errors
$W .1.3.6.1.4.1.99999 > $O/w_nowl
kill -TERM $AGENT; wait $AGENT; echo $? > $O/agent_rc
$W .1.3.6.1.4.1.99999 > $O/w_after 2>&1
kill -TERM $SNMPD; wait $SNMPD
'''


def parse_walk(text):
    """{oid: (type, value)} from snmpwalk -On -Ox output (hex strings may run over several lines)."""
    out, cur = {}, None
    for line in text.splitlines():
        if line.startswith('.'):
            oid, _, rest = line.partition(' = ')
            typ, _, val = rest.partition(': ')
            cur = oid[1:]
            if typ == 'Hex-STRING':
                out[cur] = ['STR', val]
            elif rest == '""':
                out[cur] = ['STR', '']
            else:
                out[cur] = [typ, val.strip()]
        elif cur and out[cur][0] == 'STR':
            out[cur][1] += ' ' + line
    return {k: (t, bytes.fromhex(v) if t == 'STR' else int(v)) for k, (t, v) in out.items()
            if t in ('STR', 'INTEGER', 'Gauge32', 'Counter32', 'Counter64')}


def tdiv(a, b):
    q = abs(a) // b
    return q if a >= 0 else -q


def avg(values):
    nz = [v for v in values if v]
    return tdiv(sum(nz), len(nz)) if nz else 0


def mac_bytes(text):
    return bytes.fromhex(text.replace(':', ''))


def protocol_text(p, q):
    if 'qlix' in p:
        p = p.split(',')[0]
        if q == 5:
            return 'Qlix V'
        if q not in (0, 4, 7):
            return 'Qlix'
    else:
        q = 0
    t = ''
    if p.startswith('11'):
        t = 'IEEE 802.' + p
        if q == 0:
            return t
        t += ', '
    return t + {4: 'Xelto 2', 7: 'Xelto 3'}.get(q, '')


SEC = {'open': 1, 'wpaenterprise1': 5, 'wpapsk1': 6, 'wpaenterprise2': 7, 'wpapsk2': 8, 'wpaenterprise': 9,
       'wpapsk': 10}


def wireless_expected(ifindex, stop_after_counters=False):
    exp = {}
    radios = WIRELESS['radios']
    for vap in WIRELESS['vaps']:
        if vap['name'] not in ifindex:
            continue
        i = ifindex[vap['name']]
        r = radios['dev'][vap['radio']]
        col = lambda c, t, v: exp.__setitem__('%s.3.10.1.2.1.1.%d.%d' % (P, c, i), (t, v))  # noqa: E731
        col(1, 'STR', mac_bytes(vap['mac']))
        col(2, 'STR', protocol_text(r['protocol'], r.get('qlix', 0)).encode())
        col(3, 'INTEGER', 2 if vap['operationMode'] == 'managed' else 3)
        col(4, 'STR', vap['ssid'].encode())
        col(5, 'STR', radios['countryCode'].encode())
        col(6, 'INTEGER', int(r['frequency']))
        col(7, 'INTEGER', r['channel'])
        col(8, 'INTEGER', int(r['channelWidth'].rstrip('+-')))
        col(9, 'INTEGER', SEC.get(vap['security'], 0))
        col(10, 'Gauge32', r['txPower'])
        col(11, 'Gauge32', r['bitrate'] * 1000)
        sig = avg([s for p in WIRELESS['peers'] if p['vap'] == vap['name'] for s in p['signal']])
        noise = avg(r['noise']) if 'noise' in r and avg(r['noise']) else -95
        if sig:
            col(14, 'INTEGER', sig)
            col(12, 'Gauge32', max(sig - noise, 0))
            col(13, "Gauge32", (~noise) & 0xFFFFFFFF)
        if 'noise' in r:
            col(15, 'INTEGER', noise)
        col(16, 'Gauge32', vap['peerCount'])
        col(17, 'STR', b'down' if 'disabled' in vap else b'up')
        cnt = lambda c, t, v: exp.__setitem__('%s.3.10.1.3.1.1.%d.%d' % (P, c, i), (t, v))  # noqa: E731
        for c, k in enumerate(('rxPackets', 'rxErrors', 'txPackets', 'txRetries'), 1):
            cnt(c, 'Counter32', vap[k] & 0xFFFFFFFF)
        cnt(5, 'STR', b'KT0123456789')
        cnt(6, 'STR', b'192.0.2.1')
        if stop_after_counters:
            return exp
        cnt(7, 'Counter64', 0)
    for p in WIRELESS['peers']:
        key = [k for k, m in MAC.items() if m == p['mac']][0]
        if key not in REMOTE:
            break
        idx = '%d.%s' % (p['vapIfIndex'], '.'.join(str(b) for b in mac_bytes(p['mac'])))
        row = lambda c, t, v: exp.__setitem__('%s.3.10.1.3.2.1.%d.%s' % (P, c, idx), (t, v))  # noqa: E731
        row(1, 'STR', mac_bytes(p['mac']))
        row(2, 'INTEGER', 1)
        row(3, 'Counter32', p.get('txBytes', 0) & 0xFFFFFFFF)
        row(4, 'Counter32', p.get('rxBytes', 0) & 0xFFFFFFFF)
        s = avg(REMOTE[key].get('wireless', {}).get('signal', []))
        if s:
            row(5, 'INTEGER', s)
        row(6, 'INTEGER', -95)
        row(7, 'STR', p.get('ipAddress', 'no ip').encode())
    return exp


def dhcp_expected(ifindex, result=1):
    exp = {}
    for name, d in DHCP.items():
        if name not in ifindex:
            continue
        i = ifindex[name]
        col = lambda c, t, v: exp.__setitem__('%s.3.11.1.1.1.1.%d.%d' % (P, c, i), (t, v))  # noqa: E731
        for c, k in ((1, 'ssid'), (2, 'time')):
            if k in d:
                col(c, 'STR', d[k].encode())
        col(3, 'INTEGER', result if name == 'ath0' else d.get('result', 0))
        if 'dhcp_mac' in d:
            col(4, 'STR', mac_bytes(d['dhcp_mac']))
        for c, k in enumerate(('client_ip', 'your_ip', 'next_server', 'relay_server', 'server_id'), 5):
            if k in d:
                col(c, 'STR', d[k].encode())
    return exp


def ieee_expected(ifindex, macs):
    exp = {'1.2.840.10036.3.1.1.0': ('STR', b'RTID')}
    for name in ('ath0', 'ath1'):
        i, f = ifindex[name], FAKEWIFI['interfaces'][name]
        put = lambda t, c, typ, v: exp.__setitem__('1.2.840.10036.%s.%d.%d' % (t, c, i), (typ, v))  # noqa: E731
        put('1.1.1', 1, 'STR', macs[name])
        put('1.1.1', 7, 'INTEGER', 2 if f['encode_flags'] & 0x8000 else 1)
        put('1.1.1', 9, 'STR', f['essid'].encode())
        put('1.1.1', 10, 'INTEGER', 1)
        put('2.1.1', 1, 'STR', macs[name])
        put('2.1.1', 8, 'STR', b'Maker')
        put('2.1.1', 9, 'STR', b'AP-1')
        put('4.1.1', 1, 'INTEGER', 4 if 'a' in f['name'][11:] else 5)
        put('4.5.1', 1, 'INTEGER', f['freq']['i'])
        put('3.1.2.1', 1, 'STR', macs[name][:3])
        put('3.1.2.1', 2, 'STR', b'Maker')
        put('3.1.2.1', 3, 'STR', b'AP-1')
        put('3.1.2.1', 4, 'STR', b'2.1.0')
    return exp


def compare(got, want, what):
    for k in sorted(set(got) | set(want)):
        if got.get(k) != want.get(k):
            failures.append('%s: %s got %r want %r' % (what, k, got.get(k), want.get(k)))


r = vdevlib.run(['/bin/sh', '-c', SCRIPT], roots=[ROOT], setup=SETUP, require=['veth', 'bridge'], timeout=150)
out = r.out


def read(name):
    p = os.path.join(out, name)
    return open(p).read() if os.path.exists(p) else ''


check(r.returncode == 0, 'script status %r: %s' % (r.returncode, r.stderr[-2000:]))
check(read('errors') == '', 'waits: %r' % read('errors'))
links = {ln.split()[0]: (int(ln.split()[1]), mac_bytes(ln.split()[2])) for ln in read('links').splitlines()}
ifindex = {k: v[0] for k, v in links.items()}
macs = {k: v[1] for k, v in links.items()}

# ifIndex columns agree with snmpd's own IF-MIB::ifDescr
ifdescr = {v.decode(): int(k.rsplit('.', 1)[1]) for k, (t, v) in parse_walk(read('w_ifdescr')).items()}
for name in ('ath0', 'ath1', 'br0'):
    check(ifdescr.get(name) == ifindex[name], 'IF-MIB ifIndex of %s: %r vs %r' % (name, ifdescr.get(name), ifindex[name]))

priv = parse_walk(read('w_priv'))
want = wireless_expected(ifindex)
want.update(dhcp_expected(ifindex))
want['%s.3.1.1.3.2' % P] = ('INTEGER', 5)
compare(priv, want, 'enterprise walk')
# the walk comes back in identifier order across the three wireless tables
walked = [ln.split(' = ')[0][1:] for ln in read('w_priv').splitlines() if ln.startswith('.')]
check(walked == sorted(walked, key=lambda o: [int(x) for x in o.split('.')]), 'GETNEXT order')
check(walked.index('%s.3.10.1.2.1.1.12.%d' % (P, ifindex['ath0'])) <
      walked.index('%s.3.10.1.2.1.1.14.%d' % (P, ifindex['ath0'])), 'column 12 before 14')

compare(parse_walk(read('w_ieee')), ieee_expected(ifindex, macs), 'ieee802dot11 walk')
compare(parse_walk(read('w_outside')), {'1.3.6.1.4.1.9.9.42.1.3.1': ('INTEGER', 12),
                                        '1.3.6.1.4.1.9.9.42.1.4.1': ('STR', b'gw.lab')}, 'outside walk')
check(parse_walk(read('w_outside2')) == {}, 'outside objects withdrawn: %r' % read('w_outside2'))

nocrc = parse_walk(read('w_nocrc'))
first_vap = {k: v for k, v in wireless_expected(ifindex, stop_after_counters=True).items()}
compare(nocrc, first_vap, 'walk without the CRC file')

nowl = parse_walk(read('w_nowl'))
check(not any('.3.10.' in k for k in nowl), 'wireless objects left without wireless.json')
compare({k: v for k, v in nowl.items() if '.3.11.' in k}, dhcp_expected(ifindex, result=7), 'dhcp after SIGHUP')
check(read('agent_rc').strip() == '0', 'odbagent exit status %r: %s' % (read('agent_rc'), read('agent.err')[-1500:]))
check(parse_walk(read('w_after')) == {}, 'objects after odbagent ended: %r' % read('w_after')[:300])
err = read('agent.err')
check("'nosuch0' has no ifIndex" in err, 'unknown interface logged: %r' % err[-500:])
check("'gone0' has no ifIndex" in err, 'unknown dhcp interface logged')
check('ping-stats-evil: oid_fmt must hold one %d' in err, 'format refusal logged')
check('AddressSanitizer' not in err and 'runtime error' not in err, 'sanitizer report: %s' % err[-1500:])

if failures:
    print('\n'.join(failures))
    sys.exit(1)
print('snmp end to end: %d enterprise objects, ieee802dot11 and the outside subtree agree' % len(priv))
