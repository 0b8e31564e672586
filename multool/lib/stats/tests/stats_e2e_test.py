#!/usr/bin/env python3
"""stats on the virtual device: interfaces in a network namespace, the stand-in radio driver with two
VAPs and their stations, all-stats and GPIO files in /sys, the board store with a PoE line, input
documents as fixtures.  Every published document is checked key by key and type by type here with
python's own JSON reader; binary files are built and decoded with struct."""
import json
import os
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
import vdevlib  # noqa: E402

BUILD = os.environ['MT_BUILD_DIR']
FAKEWIFI = '/mnt/vdev/build/tests/fakewifi/libfakewifi.so'
if not os.path.exists(os.path.join(BUILD, 'tests/fakewifi/libfakewifi.so')):
    vdevlib.skip('stand-in radio driver not built')

STA_A = '00:11:22:33:44:01'   # qlix peer (in all-stats)
STA_B = '00:11:22:33:44:02'   # plain 802.11 station, counters from the driver
STA_C = '00:11:22:33:44:03'   # no security/cipher bits, PHY index out of the table
STA_M = '00:11:22:33:44:09'   # the access point seen by the managed VAP

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


def is_int(v):
    return isinstance(v, int) and not isinstance(v, bool)


def priv_table(names_int, names_text=(), country=False):
    # one unnamed request per argument shape; every value is a sub-command of it
    t = [[0x8BE1, 0, 0x4801, ''], [0x8BE3, 0, 0x2040, '']]
    sub = 1
    for n in names_int:
        t.append([sub, 0, 0x4801, n])
        sub += 1
    for n in names_text:
        t.append([sub, 0, 0x2040, n])
        sub += 1
    if country:
        t.append([0x8BE5, 0, 0x2804, ''])
        t.append([sub, 0, 0x2804, 'getCountry'])
    return t


VAP_INT = ['get_wds', 'get_qlix', 'get_hide_ssid', 'get_maxsta', 'get_pureg', 'get_puren', 'get_pure11ac',
           'get_chwidth', 'get_chextoffset', 'get_maxmcs', 'get_qlix_version', 'get_cac', 'get_cac_period']
RADIO_INT = ['get_chan_bw', 'get_acktimeout', 'get_maxautorate', 'get_chan_offset', 'get_txchainmask',
             'get_rxchainmask', 'get_ptmp', 'get_antgain_5g', 'get_antgain_2g']


def station(mac, **kw):
    s = {'mac': mac, 'chan_freq': 5180, 'chan_flags': 0x100 | 0x40, 'flags': 0x1 | 0x2, 'phymode': 10,
         'nss': 2, 'uptime': 500, 'chainmask': 0x3, 'chain_rssi': [40, 37, 0], 'authmode': 0x40,
         'cipher': 0x08, 'txrate': 300000, 'rxrate': 270000, 'dhcp_fp': [1, 3, 6, 15, 0, 9],
         'name': 'cam-01', 'ip': '192.0.2.50', 'ip6': '2001:db8::50',
         'stats': {'rx_packets': 1000, 'tx_packets': 2000, 'rx_bytes': 150000, 'tx_bytes': 250000,
                   'tx_retries': 100, 'tx_success': 1900, 'tx_fail': [1, 2, 3], 'rx_err': [1, 0, 0, 1],
                   'rx_drops': 10}}
    s.update(kw)
    return s


FIXTURE = {'interfaces': {
    'wifi0': {'priv': priv_table(RADIO_INT, country=True),
              'values': {'get_chan_bw': 20, 'get_acktimeout': 64, 'get_maxautorate': -1, 'get_chan_offset': 500,
                         'get_txchainmask': 3, 'get_rxchainmask': 5, 'get_ptmp': 1, 'get_antgain_5g': 17,
                         'getCountry': 'DE '},
              'athstats': {'noise': [-101, -99, -97]}},
    'ath0': {'name': '11na', 'essid': 'caf\u00e9 net', 'mode': 3, 'freq': {'m': 5180, 'e': 6, 'i': 36},
             'ap': '00:00:00:00:00:00', 'txpower': {'value': 23}, 'quality': {'level': 200, 'noise': 161},
             'bitrate': 300000000,
             'priv': priv_table(VAP_INT, ['get_mode']),
             'values': {'get_wds': 0, 'get_qlix': 0, 'get_hide_ssid': 1, 'get_maxsta': 64, 'get_pureg': 0,
                        'get_puren': 1, 'get_pure11ac': 1, 'get_chwidth': 0, 'get_chextoffset': 0,
                        'get_maxmcs': 255, 'get_mode': '11NAHT40PLUS', 'get_cac': 1, 'get_cac_period': 60},
             'wlstats': {'rx_ucast': 100, 'rx_mcast': 5, 'tx_ucast': 200, 'tx_mcast': 7, 'rx_err': [1, 2]},
             'stations': [
                 # first in the pass and without security or cipher bits: nothing to repeat yet
                 station(STA_C, authmode=0, cipher=0, phymode=40, flags=0, chan_flags=0x80 | 0x20, nss=1,
                         chainmask=0x1, chain_rssi=[30, 0, 0], name='\u00e9t\u00e9'),
                 station(STA_A, uptime=3600, stats={'rx_packets': 11, 'tx_packets': 12, 'rx_bytes': 13,
                                                    'tx_bytes': 14, 'tx_retries': 7, 'tx_success': 12,
                                                    'rx_drops': 0}),
                 station(STA_B),
             ]},
    'ath1': {'name': '11na', 'essid': 'uplink', 'mode': 2, 'freq': {'m': 5180, 'e': 6, 'i': 36},
             'ap': STA_M, 'txpower': {'value': 20}, 'quality': {'level': 190, 'noise': 160}, 'bitrate': 54000,
             'priv': priv_table(VAP_INT, ['get_mode']),
             'values': {'get_wds': 1, 'get_qlix': 0, 'get_hide_ssid': 0, 'get_maxsta': 1, 'get_maxmcs': 7,
                        'get_mode': '11NAHT20', 'get_cac': 0, 'get_cac_period': 0},
             'wlstats': {'rx_ucast': 1, 'rx_mcast': 0, 'tx_ucast': 2, 'tx_mcast': 0},
             'stations': [station(STA_M, authmode=0x20, cipher=0x02, chain_rssi=[20, 25, 0])]},
}}


def allstats_record(name, mac, *counters):
    return struct.pack('>16s6s2x8I', name.encode(), bytes.fromhex(mac.replace(':', '')), *counters)


# 100 records so that the file is larger than one sysfs page; STA_A is the last one.
ALLSTATS = b''.join(allstats_record('qlx%d' % i, '02:00:00:00:%02x:%02x' % (i >> 8, i & 255), *([i] * 8))
                    for i in range(99))
ALLSTATS += allstats_record('qlix-peer-a', STA_A, 5000, 600000, 250, 4000, 500000, 40, 3, 2)


def kbee_store():
    rec = struct.pack('>HHHH', 8, 10, 17, 1)          # PoE: gpio 17, active high
    hdr = b'KBEE' + struct.pack('>IHHI', 16 + len(rec), 1, 0, 0)
    img = bytearray(65536)
    img[0x8000:0x8000 + 16 + len(rec)] = hdr + rec
    return bytes(img)


PRECONF = {'ethernet': ['eth'], 'topology': {'wan': 'eth0', 'lan': 'eth1', 'wirelessMode': 'master'},
           'radios': {'wifi0': {'repeater': True, 'txpower': 20}, 'wifi1': {}},
           'vaps': {'ath0': {'security': 'wpa2', 'vlan': 12}, 'ath1': {'security': 'wpapsk', 'vlan': 0}}}

# gone0 is created first and deleted last, so that every later interface's position in
# /proc/net/dev is one less than its kernel index; eth0 drops 7 frames it cannot transmit, and its
# link message (~19 KB of alternative names) is larger than a four-page receive buffer.
SETUP = '''
set -e
ip tuntap add gone0 mode tap
ip tuntap add eth0 mode tap; ip tuntap add eth1 mode tap
X=xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx
for j in 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29; do
  ip link property add dev eth0 altname a${j}0$X altname a${j}1$X altname a${j}2$X altname a${j}3$X \\
    altname a${j}4$X altname a${j}5$X altname a${j}6$X altname a${j}7$X
done
ip tuntap add wifi0 mode tap; ip tuntap add wifi1 mode tap
ip link add link eth0 name eth0.7 type macvlan
ip link add link wifi0 name ath0 type macvlan; ip link add link wifi0 name ath1 type macvlan
ip link set eth0 up; ip link set wifi0 up; ip link set ath0 up; ip link set ath1 up; ip link set eth0.7 up
ip addr add 192.0.2.5/24 dev eth0; ip addr add 2001:db8::5/64 dev eth0 nodad; ip addr add 198.51.100.1/24 dev eth0
ip link del gone0
python3 -c "
import socket
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW); s.bind(('eth0', 0))
for _ in range(7): s.send(b'\\xff' * 6 + b'\\x02\\0\\0\\0\\0\\x01\\x88\\xb5' + b'\\0' * 50)
"
'''

NOW = int(time.time())

SCRIPT = r'''
set -e
O=/mnt/vdev/out
save() { mkdir -p $O/$1; cp -a /var/run/stats/. $O/$1/; }
drops() { for i in eth0 eth1 lo; do echo $i $(cat /sys/class/net/$i/statistics/rx_dropped /sys/class/net/$i/statistics/tx_dropped); done; }
drops >$O/drops0
stats -s -w -l ath0:-70 2>$O/err1
drops >$O/drops
cat /proc/net/dev >$O/netdev; ip -j link >$O/link.json
stats -p 2>>$O/err1
save run1
# second run: counters continue; a crafted wrap on eth0 and a reconnected station
python3 - <<'EOF'
import json, struct, time
p = '/var/run/stats/state/statistics.json'
s = json.load(open(p)); s['interfaces']['eth0']['rx_packets'] = 4294967290
json.dump(s, open(p, 'w'))
p = '/var/run/stats/statistics.json'
d = json.load(open(p)); d['interfaces']['eth0']['rx_packets'] = 100
json.dump(d, open(p, 'w'))
p = '/var/run/stats/state/wireless.json'
s = json.load(open(p)); s['timestamp'] = int(time.time()) - 1000   # STA_A (3600 s) stayed, B and C reconnected
for e in s['peers']:
    e['txBytes'] = 5 if e['mac'] == '00:11:22:33:44:01' else e['txBytes']
json.dump(s, open(p, 'w'))
p = '/var/run/stats/wireless.json'
d = json.load(open(p))
for e in d['peers']:
    e['txBytes'] = 1000000 + e.get('txBytes', 0)
json.dump(d, open(p, 'w'))
# snapshot of STA_B 100 s ago: tx 1000/ret 40, rx 900/drops 2
rec = struct.pack('>I6s2xIIIII', 0x12345678, bytes.fromhex('001122334402'), 400, 1000, 40, 900, 2)
old = open('/var/run/stats/peer.cache', 'rb').read()
open('/var/run/stats/peer.cache', 'wb').write(old + rec)
EOF
stats -w -s 2>$O/err2
save run2
: > /var/run/stats/peer.cache
stats -p 2>$O/err3
save run3
python3 -c "
import json; p = '/var/run/stats/preconfigured.json'; d = json.load(open(p))
d['radios']['wifi0']['repeater'] = False; json.dump(d, open(p, 'w'))"
stats -w 2>/dev/null
cp /var/run/stats/wireless.json $O/mixed.json
stats -l ath0:-70 2>$O/err4 >$O/out4 || true
stats -w -l ath9:-70 2>$O/err5 || true
stats -w -l ath0:-101,ath1:-50 2>$O/err6 || true
stats -x 2>$O/err7; echo $? >$O/rc7
'''


def main():
    roots = [{
        '/var/run/stats/preconfigured.json': json.dumps(PRECONF),
        '/var/run/stats/rfscheduler_status.json': json.dumps({'wifi0': False}),
        '/var/run/stats/remote-%s.json' % STA_B: json.dumps({'firmwareVersion': 'v2.1/b7', 'deviceIp': '10.1.1.2',
                                                              'deviceName': 'roof'}),
        # written by another component: values of another type than a text are not copied
        '/var/run/stats/remote-%s.json' % STA_M: json.dumps({'firmwareVersion': {'v': 1}, 'deviceName': None,
                                                              'deviceIp': 7, 'deviceIp6': ['::1']}),
        '/tmp/config.json': json.dumps({'wireless': {'countryCode': 'FR'}}),
        '/var/run/cpustat': '0.10\n0.30\n0.20\n',
        '/sys/qlix/all-stats': ALLSTATS,
        '/sys/class/gpio/gpio17/value': '1\n',
        '/var/cfg/.eeprom': kbee_store(),
        '/tmp/fakewifi.json': json.dumps(FIXTURE),
        '/sbin/wpa_cli': ('#!/bin/sh\necho "bssid=00:11:22:33:44:09"\necho "key_mgmt=WPA2-PSK"\n', 0o755),
    }]
    r = vdevlib.run(SCRIPT, roots=roots, net=True, setup=SETUP, require=['tap', 'macvlan'],
                    env={'LD_PRELOAD': FAKEWIFI, 'FAKEWIFI_CONFIG': '/tmp/fakewifi.json'}, timeout=240)
    assert r.returncode == 0, r
    out = r.out

    def doc(run, name):
        with open(os.path.join(out, run, name)) as f:
            return json.load(f)

    def raw(run, name):
        with open(os.path.join(out, run, name), 'rb') as f:
            return f.read()

    # ---- statistics.json, first run: raw values, types, filtering, addresses
    st = doc('run1', 'statistics.json')
    ifs = st['interfaces']
    check(sorted(ifs) == ['eth0', 'eth0.7', 'eth1', 'lo'], 'statistics interfaces %s' % sorted(ifs))
    e0 = ifs['eth0']
    check(e0.get('type') == 'wan' and ifs['eth1'].get('type') == 'lan', 'wan/lan type')
    check('type' not in ifs['eth0.7'], 'no type for eth0.7')
    for k in ('speed', 'if_index', 'rx_packets', 'tx_packets', 'rx_bytes', 'tx_bytes', 'rx_drop', 'tx_drop',
              'rx_errors', 'tx_errors'):
        check(is_int(e0.get(k)), 'eth0 %s integer: %r' % (k, e0.get(k)))
    check(e0.get('duplex') in ('full', 'half') and e0.get('link') in ('yes', 'no'), 'eth0 duplex/link text')
    check('speed' not in ifs['lo'], 'lo answers no ethernet query')
    check(e0['ip_address'] == ['192.0.2.5/24', '198.51.100.1/24'], 'eth0 v4 %r' % e0['ip_address'])
    check('2001:db8::5/64' in e0['ip6_address'], 'eth0 v6 %r' % e0['ip6_address'])
    check(st['device_ip'] == '192.0.2.5' and st['device_ip6'] == '2001:db8::5', 'device ip')
    check(st['cpu_load'] == 20 and is_int(st['cpu_load']), 'cpu load %r' % st['cpu_load'])
    check(isinstance(st['memory_usage'], float) and 0 < st['memory_usage'] < 100, 'memory usage real')
    check(b'\\/' in raw('run1', 'statistics.json') and b'\n  "interfaces": {\n    "' in raw('run1', 'statistics.json'),
          'indent 2 and escaped slashes')
    sst = doc('run1', 'state/statistics.json')
    check(is_int(sst['timestamp']) and abs(sst['timestamp'] - NOW) < 600, 'state timestamp')
    check(sst['interfaces']['eth0']['rx_packets'] == e0['rx_packets'], 'first run publishes raw values')
    check(sorted(sst['interfaces']['eth0']) == ['if_index', 'rx_bytes', 'rx_packets', 'tx_bytes', 'tx_packets'],
          'state keys %r' % sorted(sst['interfaces']['eth0']))

    # ---- second run: the wrap on eth0 (raw 0 after 4294967290 adds 5 to 100)
    st2 = doc('run2', 'statistics.json')
    raw_rx = doc('run2', 'state/statistics.json')['interfaces']['eth0']['rx_packets']
    check(st2['interfaces']['eth0']['rx_packets'] == 100 + (0xFFFFFFFF - 4294967290) + raw_rx,
          'wrap: %r raw %r' % (st2['interfaces']['eth0']['rx_packets'], raw_rx))

    # ---- periodic.json
    pr = doc('run1', 'periodic.json')
    wired = {w['ifname']: w for w in pr['wired']}
    check(sorted(wired) == ['eth0', 'eth1'], 'wired %r' % sorted(wired))
    check(wired['eth1']['poe'] is True and wired['eth0']['poe'] is False, 'poe from board store and gpio')
    check(wired['eth0']['enabled'] is True and wired['eth1']['enabled'] is False, 'enabled')
    check(isinstance(wired['eth0']['link'], bool) and is_int(wired['eth0']['speed']), 'wired types')
    radios = {w['ifname']: w for w in pr['wireless']}
    check(sorted(radios) == ['wifi0', 'wifi1'], 'periodic radios %r' % sorted(radios))
    w0 = radios['wifi0']
    check(w0['active'] is True and w0['assoced'] is True and 'disabledByScheduler' not in w0, 'wifi0 flags %r' % w0)
    check(w0['band'] == '5G' and w0['cac'] == 0 and w0['cacPeriod'] == 0, 'band/cac from the last VAP %r' % w0)
    check(w0['operationMode'] == 'managed' and w0['signal'] == [-75, -70] and w0['noise'] == 160 - 256,
          'managed VAP copies signal and noise %r' % w0)
    check(w0['peers'] == 3, 'peer total of the master %r' % w0.get('peers'))
    check(radios['wifi1'] == {'ifname': 'wifi1', 'active': False, 'disabledByScheduler': False, 'assoced': False},
          'idle radio %r' % radios['wifi1'])
    check(is_int(pr['system']['currentLoad']) and pr['system']['currentLoad'] == 20 and
          is_int(pr['system']['uptime']), 'system')

    # ---- wireless.json
    wl = doc('run1', 'wireless.json')
    rd = wl['radios']
    check(rd['countryCode'] == 'DE', 'country %r' % rd['countryCode'])
    check(rd['operationScenario'] == 'ptp', 'scenario')
    check(rd['operationMode'] == 'staWds', 'last VAP wins: %r' % rd['operationMode'])
    d0 = rd['dev']['wifi0']
    check(d0['name'] == 'wifi0' and d0['radioMode'] == 'MIMO 2x2', 'radio mode %r' % d0.get('radioMode'))
    check(d0['noise'] == [-101, -97], 'noise per rx chain %r' % d0['noise'])
    check(d0['antennaGain'] == 17 and d0['repeater'] is True, 'gain/repeater')
    check(isinstance(d0['frequency'], float) and d0['frequency'] == 5180.5, 'frequency real %r' % d0['frequency'])
    check(d0['channel'] == 36 and d0['channelWidth'] == '20' and d0['bitrate'] == 54, 'managed VAP values %r' % d0)
    check(d0['txPower'] == 20 and d0['txPowerAdjusted'] is False and d0['ackTimeout'] == 64, 'tx power')
    check(d0['protocol'] == '11na', 'protocol %r' % d0['protocol'])
    check(rd['dev']['wifi1'] == {'name': 'wifi1', 'disabled': True, 'disabledByScheduler': False},
          'down radio %r' % rd['dev']['wifi1'])
    vaps = {v['name']: v for v in wl['vaps']}
    a0 = vaps['ath0']
    check(a0['ssid'] == 'caf\u00e9 net' and a0['hiddenSsid'] is True and a0['wds'] is False, 'ath0 flags')
    check(a0['operationMode'] == 'master' and a0['radio'] == 'wifi0' and a0['peerCount'] == 3, 'ath0 %r' % a0)
    check(a0['maxPeerCount'] == 64 and a0['security'] == 'wpa2' and a0['vlan'] == 12 and a0['mcs'] == 'auto',
          'ath0 config values')
    check(a0['rxPackets'] == 105 and a0['txPackets'] == 207 and a0['rxErrors'] == 3, 'ath0 counters %r' % a0)
    check(a0['txRetries'] == 7 + 100 + 100, 'txRetries sum %r' % a0['txRetries'])
    a1 = vaps['ath1']
    check(a1['security'] == 'wpapsk2' and a1['mcs'] == '7' and a1['operationMode'] == 'managed', 'ath1 %r' % a1)
    peers = {(p['vap'], p['mac']): p for p in wl['peers']}
    pa = peers[('ath0', STA_A)]
    check(pa['protocol'] == 'qlix' and pa['peerIfName'] == 'qlix-peer-a', 'all-stats peer %r' % pa)
    check(pa['txBytes'] == 600000 and pa['rxPackets'] == 4000 and 'txPacketsSuccess' not in pa,
          'all-stats counters %r' % pa)
    check(pa['txRetryPercent'] == 5 and pa['rxDropPercent'] == 1, 'all-stats percentages %r' % pa)
    pb = peers[('ath0', STA_B)]
    check(pb['security'] == 'rsn' and pb['cipher'] == 'aes' and pb['opMode'] == '11na' and pb['chWidth'] == '40+',
          'station names %r' % pb)
    check(pb['phyMode'] == 'MIMO 2x2' and pb['signal'] == [-55, -58] and pb['rxRate'] == 270 and
          pb['txRate'] == 300, 'station radio values')
    check(pb['dhcpFingerprint'] == [1, 3, 6, 15] and pb['protocol'] == '11n', 'fingerprint/protocol')
    check(pb['ipAddress'] == '10.1.1.2' and pb['ip6Address'] == '::' and pb['firmware'] == 'v2.1/b7' and
          pb['deviceName'] == 'roof', 'remote document %r' % pb)
    check(pb['txPacketsSuccess'] == 1900 and pb['ucastTxPackets'] == 2000, 'driver counters')
    check(pb['txRetryPercent'] == 5 and pb['rxDropPercent'] == 1 and pb['rxCcqPercent'] == 99 and
          pb['txCcqPercent'] == 99, 'lifetime percentages %r' % pb)
    pc = peers[('ath0', STA_C)]
    check(pc['security'] == 'none' and pc['cipher'] == 'none', 'first bare station gets a defined value %r' % pc)
    check('opMode' not in pc and pc['chWidth'] == '20' and pc['phyMode'] == 'SISO 1x1', 'bounded PHY index')
    check(pc['protocol'] == '11b' and pc['ipAddress'] == '192.0.2.50' and pc['ip6Address'] == '2001:db8::50',
          'learned addresses %r' % pc)
    check(pc['deviceName'] == '\u00e9t\u00e9', 'station name %r' % pc.get('deviceName'))
    check(pc['qlix'] == 0 and is_int(pc['vapIfIndex']) and pc['linkUptime'] == 500, 'qlix/index')
    pm = peers[('ath1', STA_M)]
    check(pm['security'] == 'wpa' and pm['cipher'] == 'tkip', 'managed station')
    check('firmware' not in pm and 'deviceName' not in pm and pm['ipAddress'] == '0.0.0.0' and
          pm['ip6Address'] == '::', 'remote values of other types left out %r' % pm)

    # ---- indexes are positions in /proc/net/dev, not kernel indexes (they differ here by one)
    lines = open(os.path.join(out, 'netdev')).read().splitlines()[2:]
    position = {l.split(':')[0].strip(): n + 1 for n, l in enumerate(lines)}
    kernel = {l['ifname']: l['ifindex'] for l in json.load(open(os.path.join(out, 'link.json')))}
    check(all(position[n] != kernel[n] for n in ('eth0', 'ath0', 'ath1')), 'set-up: positions differ %r %r' %
          (position, kernel))
    for name, e in ifs.items():
        check(e['if_index'] == position[name], '%s if_index %r, position %r' % (name, e['if_index'], position[name]))
    check(sst['interfaces']['eth1']['if_index'] == position['eth1'], 'state if_index')
    for v in wl['vaps']:
        check(v['ifIndex'] == position[v['name']], '%s ifIndex %r' % (v['name'], v['ifIndex']))
    for p in wl['peers']:
        check(p['vapIfIndex'] == position[p['vap']], '%s vapIfIndex %r' % (p['mac'], p['vapIfIndex']))
    def drops(name):
        return {l.split()[0]: (int(l.split()[1]), int(l.split()[2])) for l in open(os.path.join(out, name))}
    before, after = drops('drops0'), drops('drops')
    check(before['eth0'][1] >= 7 and before['eth0'][0] == 0, 'set-up: eth0 dropped frames %r' % before)
    for name in before:
        got = (ifs[name]['rx_drop'], ifs[name]['tx_drop'])
        check(all(b <= g <= a for b, g, a in zip(before[name], got, after[name])), '%s drops %r' % (name, got))

    # ---- peer cache: the stations of the last VAP pass (ath1) with their driver snapshot
    cache = raw('run1', 'peer.cache')
    recs = [struct.unpack('>I6s2xIIIII', cache[i:i + 32]) for i in range(0, len(cache), 32)]
    check(recs == [(0x12345678, bytes.fromhex(STA_M.replace(':', '')), 500, 2000, 100, 1000, 10)],
          'cache of the last pass %r' % recs)

    # ---- second wireless run: interval percentages, station reset, continued counters
    wl2 = doc('run2', 'wireless.json')
    peers2 = {(p['vap'], p['mac']): p for p in wl2['peers']}
    pb2 = peers2[('ath0', STA_B)]
    # tx 2000-1000=1000, retries 100-40=60 -> 6; rx 1000-900=100, drops 10-2=8 -> 8
    check(pb2['txRetryPercent'] == 6 and pb2['rxDropPercent'] == 8, 'interval percentages %r' % pb2)
    check(pb2['txBytes'] == 250000, 'reconnected station publishes raw %r' % pb2['txBytes'])
    pa2 = peers2[('ath0', STA_A)]
    check(pa2['txBytes'] == 1000000 + 600000 + (600000 - 5), 'continued station %r' % pa2['txBytes'])
    sw = doc('run2', 'state/wireless.json')
    check([p['mac'] for p in sw['peers']] == [p['mac'] for p in wl2['peers']], 'state peers in document order')
    check(sorted(sw['vaps'][0]) == ['name', 'rxErrors', 'rxPackets', 'txPackets'], 'state vap keys')

    # ---- kicker
    k = doc('run1', 'kicker.json')
    check(k['maxTimesOverThreshold'] == 6 and k['vaps'] == {'ath0': {'signalThreshold': -70}}, 'kicker %r' % k)
    check(k['peers'] == {m: {'timesOverThreshold': 0, 'vap': 'ath0'} for m in (STA_A, STA_B, STA_C)},
          'kicker peers %r' % k['peers'])
    k2 = doc('run2', 'kicker.json')
    # STA_C averages -65: above the threshold, 0 - 1 -> 0; A and B average -56/-57: 0 - 1 -> 0
    check(k2['peers'][STA_C]['timesOverThreshold'] == 0 and 'touched' not in k2['peers'][STA_C], 'kicker run 2')

    # ---- empty cache is no record; -p keeps working
    check(len(raw('run3', 'peer.cache')) == 32, 'cache rewritten after an empty one')

    # ---- a managed VAP on a radio that is no repeater, with two radios configured
    with open(os.path.join(out, 'mixed.json')) as f:
        mixed = json.load(f)
    check(mixed['radios']['operationMode'] == 'mixed' and mixed['radios']['dev']['wifi0']['repeater'] is False,
          'mixed operation mode %r' % mixed['radios']['operationMode'])

    # ---- option handling
    err4 = open(os.path.join(out, 'err4')).read()
    check(err4.startswith('Usage: stats [-psw] [-l signal level]\n'), 'lone -l prints usage: %r' % err4)
    check(open(os.path.join(out, 'err5')).read() == 'Bad interface name ath9\n', 'bad name')
    check(open(os.path.join(out, 'err6')).read() == 'Signal level -101 for interface ath0 is out of limits\n',
          'level limit')
    check(open(os.path.join(out, 'rc7')).read().strip() == '0', 'usage exits 0')

    without_preconfigured()
    peer_cache_runs()
    overlong_answer()
    if failures:
        for f in failures:
            print('FAIL:', f)
        print(r.stderr)
        sys.exit(1)
    print('ok')


def without_preconfigured():
    """No preconfigured document: only eth0* Ethernet interfaces, every radio, open security, vlan 0.
    A radio switched off by the scheduler, and VAP counters taken from agg0."""
    roots = [{
        '/var/run/stats/rfscheduler_status.json': json.dumps({'wifi0': True}),
        '/tmp/fakewifi.json': json.dumps(FIXTURE),
        '/sbin/wpa_cli': ('#!/bin/sh\necho "key_mgmt=WPA2-PSK"\n', 0o755),
    }]
    script = r'''
set -e
O=/mnt/vdev/out
stats -s -w -p 2>$O/err
cp -a /var/run/stats/. $O/
cat /sys/class/net/agg0/statistics/tx_packets >$O/agg0_tx
'''
    r = vdevlib.run(script, roots=roots, net=True, setup=SETUP + 'ip tuntap add agg0 mode tap; ip link set agg0 up\n',
                    env={'LD_PRELOAD': FAKEWIFI, 'FAKEWIFI_CONFIG': '/tmp/fakewifi.json'}, timeout=240)
    assert r.returncode == 0, r

    def doc(name):
        with open(os.path.join(r.out, name)) as f:
            return json.load(f)
    st = doc('statistics.json')
    check(sorted(st['interfaces']) == ['eth0', 'eth0.7', 'lo'], 'no preconf: interfaces %r' % sorted(st['interfaces']))
    check(st['device_ip'] == '0.0.0.0' and 'device_ip6' not in st, 'no wan without topology')
    check(st['cpu_load'] == 0, 'no load samples file: %r' % st['cpu_load'])
    check(all('type' not in v for v in st['interfaces'].values()), 'no wan/lan type')
    pr = doc('periodic.json')
    check([w['ifname'] for w in pr['wired']] == ['eth0'], 'no preconf: wired %r' % pr['wired'])
    radios = {w['ifname']: w for w in pr['wireless']}
    check(radios.get('wifi0') == {'ifname': 'wifi0', 'active': False, 'disabledByScheduler': True, 'assoced': False},
          'radio off by schedule %r' % radios.get('wifi0'))
    wl = doc('wireless.json')
    vaps = {v['name']: v for v in wl['vaps']}
    check(vaps['ath0']['security'] == 'open' and vaps['ath0']['vlan'] == 0, 'no preconf: open, vlan 0')
    check(vaps['ath1']['security'] == 'open', 'no wpa_cli without a configured wpa security')
    agg_tx = int(open(os.path.join(r.out, 'agg0_tx')).read())
    check(vaps['ath0']['rxErrors'] == 0 and vaps['ath0']['rxPackets'] == vaps['ath1']['rxPackets'] and
          vaps['ath0']['txPackets'] <= agg_tx, 'VAP counters from agg0 %r' % vaps['ath0'])
    check(wl['radios']['operationMode'] == 'staWds', 'operation mode from the VAPs')


def overlong_answer():
    """A driver answer longer than the caller's buffer loses that value only: every document is written,
    the exit status is 0, and the log says which value was left out."""
    f = json.loads(json.dumps(FIXTURE))
    ath0 = f['interfaces']['ath0']
    # get_maxsta answered through the buffer as 5 fixed ints (20 bytes) where the caller holds one
    ath0['priv'] = [[0x8BE7, 0, 0x4805, '']] + [d if d[3] != 'get_maxsta' else [d[0], 0, 0x4805, 'get_maxsta']
                                                for d in ath0['priv']]
    ath0['values']['get_maxsta'] = [9, 9, 9, 9, 9]
    roots = [{'/tmp/fakewifi.json': json.dumps(f), '/var/run/stats/preconfigured.json': json.dumps(PRECONF),
              '/tmp/log.conf': 'lib.iwpriv=error\nstats=error\n'}]
    script = ('LOG4CONF=/tmp/log.conf stats -s -p -w; echo rc=$?; ls /var/run/stats /var/run/stats/state; '
              'cp /var/run/stats/wireless.json /mnt/vdev/out/')
    r = vdevlib.run(script, roots=roots, net=True, setup=SETUP, require=['tap', 'macvlan'],
                    env={'LD_PRELOAD': FAKEWIFI, 'FAKEWIFI_CONFIG': '/tmp/fakewifi.json'}, timeout=120)
    listed = r.stdout.split()
    check('rc=0' in listed, 'exit status %r' % r)
    check(all(n in listed for n in ('statistics.json', 'periodic.json', 'wireless.json', 'kicker.json', 'peer.cache')),
          'every document written %r' % listed)
    check(r.stderr.count('memory overrun detected.') >= 1, 'overrun logged %r' % r.stderr)
    check('iwpriv(ath0, get_maxsta) failed.' in r.stderr, 'left-out value logged %r' % r.stderr)
    with open(os.path.join(r.out, 'wireless.json')) as fd:
        vaps = {v['name']: v for v in json.load(fd)['vaps']}
    check(vaps['ath0']['maxPeerCount'] == 0 and vaps['ath0']['hiddenSsid'] is True, 'default for the lost value only')


def peer_cache_runs():
    """Percentages over two runs with different counters on several VAPs, against the rule worked out
    here on its own: each VAP pass looks its stations up in the cache the pass before it left (of this
    run or of the run before) and leaves a cache of its own stations; a pass without stations leaves
    it alone; a station whose uptime went down starts from zero."""
    P = 'qlix-p'
    QMAC = '00:11:22:33:55:01'
    ath0 = ['00:11:22:33:55:02', QMAC]
    ath2 = ['00:11:22:33:55:05', '00:11:22:33:55:02']  # one station seen on two VAPs

    def drv(up, tx, rt, rx, dr, rxe, txe):
        return {'uptime': up, 'stats': {'tx_packets': tx, 'tx_retries': rt, 'rx_packets': rx, 'rx_drops': dr,
                                        'rx_err': rxe, 'tx_fail': txe, 'rx_bytes': 1, 'tx_bytes': 2, 'tx_success': 3}}
    # run -> {(vap, mac): driver values}; the polling-MAC peer's counters come from all-stats
    counters = [
        {('ath0', ath0[0]): drv(100, 4000, 200, 3000, 30, [2, 1, 0, 0], [1, 0, 0]),
         ('ath0', QMAC): drv(50, 1, 1, 1, 1, [0, 0, 0, 0], [0, 0, 0]),
         ('ath2', ath2[0]): drv(70, 1000, 100, 800, 0, [0, 0, 0, 0], [0, 0, 0]),
         ('ath2', ath2[1]): drv(100, 4100, 230, 3100, 33, [2, 1, 0, 0], [1, 0, 0])},
        {('ath0', ath0[0]): drv(160, 6000, 350, 5000, 90, [4, 1, 0, 0], [2, 1, 0]),
         ('ath0', QMAC): drv(110, 1, 1, 1, 1, [0, 0, 0, 0], [0, 0, 0]),
         ('ath2', ath2[0]): drv(20, 300, 90, 200, 5, [0, 0, 0, 0], [0, 0, 0]),   # reconnected
         ('ath2', ath2[1]): drv(160, 9000, 1230, 6100, 50, [3, 1, 0, 0], [1, 2, 0])},
    ]
    qlix = [(50, 9000, 450, 7000, 70, 5, 4), (110, 12000, 750, 7100, 170, 6, 4)]  # up, tx, rt, rx, dr, rxe, txe

    def fixture(run):
        f = json.loads(json.dumps(FIXTURE))
        ifs = f['interfaces']
        ifs['ath2'] = json.loads(json.dumps(ifs['ath0']))
        ifs['ath1']['stations'] = []
        for vap, macs in (('ath0', ath0), ('ath2', ath2)):
            ifs[vap]['stations'] = [station(m, **counters[run][(vap, m)]) for m in macs]
        return json.dumps(f)

    def allstats(run):
        up, tx, rt, rx, dr, rxe, txe = qlix[run]
        return allstats_record(P, QMAC, tx, 0, rt, rx, 0, dr, rxe, txe)

    def snapshot(run, vap, mac):
        if mac == QMAC:
            up, tx, rt, rx, dr, rxe, txe = qlix[run]
            return (counters[run][(vap, mac)]['uptime'], tx, rt, rx, dr), rxe, txe
        d = counters[run][(vap, mac)]
        st = d['stats']
        return (d['uptime'], st['tx_packets'], st['tx_retries'], st['rx_packets'], st['rx_drops']), \
            sum(st['rx_err']), sum(st['tx_fail'])

    def loss(total, lost):
        return 0 if lost == 0 else 100 if total < lost else (lost * 200 + total) // (total * 2)

    def quality(a, b, c):
        return 0 if a == 0 else 100 if b == 0 and c == 0 else 20 * a // (a + b) + 80 - 80 * c // (a + c)

    cache, expected = {}, []
    for run in (0, 1):
        got = {}
        for vap, macs in (('ath0', ath0), ('ath1', []), ('ath2', ath2)):
            written = {}
            for mac in macs:
                cur, rxe, txe = snapshot(run, vap, mac)
                old = cache.get(mac, (0, 0, 0, 0, 0))
                if cur[0] < old[0]:
                    old = (0, 0, 0, 0, 0)
                d = [c - o for c, o in zip(cur, old)]
                txr, rxd = (0, 0) if min(d[1:]) < 0 else (loss(d[1], d[2]), loss(d[3], d[4]))
                got[(vap, mac)] = (txr, rxd, quality(cur[3], rxd, rxe), quality(cur[1], txr, txe))
                written[mac] = cur
            if written:
                cache = written
        expected.append(got)

    script = r"""
set -e
O=/mnt/vdev/out
stats -w 2>$O/err1; cp /var/run/stats/wireless.json $O/w1.json
cp /tmp/fixture2.json /tmp/fakewifi.json; cp /tmp/allstats2 /sys/qlix/all-stats
stats -w 2>$O/err2; cp /var/run/stats/wireless.json $O/w2.json; cp /var/run/stats/peer.cache $O/cache
"""
    roots = [{'/tmp/fakewifi.json': fixture(0), '/tmp/fixture2.json': fixture(1), '/sys/qlix/all-stats': allstats(0),
              '/tmp/allstats2': allstats(1), '/var/run/stats/preconfigured.json': json.dumps(PRECONF)}]
    setup = SETUP + 'ip link add link wifi0 name ath2 type macvlan; ip link set ath2 up\n'
    r = vdevlib.run(script, roots=roots, net=True, setup=setup, require=['tap', 'macvlan'],
                    env={'LD_PRELOAD': FAKEWIFI, 'FAKEWIFI_CONFIG': '/tmp/fakewifi.json'}, timeout=240)
    assert r.returncode == 0, r
    for run in (0, 1):
        with open(os.path.join(r.out, 'w%d.json' % (run + 1))) as f:
            doc = json.load(f)
        got = {(p['vap'], p['mac']): (p['txRetryPercent'], p['rxDropPercent'], p['rxCcqPercent'], p['txCcqPercent'])
               for p in doc['peers']}
        check(got == expected[run], 'run %d percentages %r, want %r' % (run + 1, got, expected[run]))
    with open(os.path.join(r.out, 'cache'), 'rb') as f:
        cache_file = f.read()
    recs = [struct.unpack('>I6s2xIIIII', cache_file[i:i + 32]) for i in range(0, len(cache_file), 32)]
    want = [(0x12345678, bytes.fromhex(m.replace(':', ''))) + snapshot(1, 'ath2', m)[0] for m in ath2]
    check(recs == want, 'cache after the run: the last pass with stations %r' % recs)


main()
