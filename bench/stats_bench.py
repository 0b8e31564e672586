#!/usr/bin/env python3
"""Driver of bench/stats.sh: builds the fixtures, runs `stats -w` in the virtual device and prints
per-station figures and their growth from 16 to 128 stations per VAP."""
import json
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'harness'))
import vdevlib  # noqa: E402

BUILD = sys.argv[1]
VAPS = [('ath0', 'wifi0'), ('ath1', 'wifi0'), ('ath2', 'wifi1'), ('ath3', 'wifi1')]
VAP_INT = ['get_wds', 'get_qlix', 'get_hide_ssid', 'get_maxsta', 'get_pureg', 'get_puren', 'get_pure11ac',
           'get_chwidth', 'get_chextoffset', 'get_maxmcs', 'get_qlix_version']
RADIO_INT = ['get_chan_bw', 'get_acktimeout', 'get_maxautorate', 'get_chan_offset', 'get_txchainmask',
             'get_rxchainmask', 'get_ptmp', 'get_antgain_5g']


def priv(names, text=()):
    t = [[0x8BE1, 0, 0x4801, ''], [0x8BE3, 0, 0x2040, ''], [0x8BE5, 0, 0x2804, '']]
    for i, n in enumerate(names):
        t.append([i + 1, 0, 0x4801, n])
    for i, n in enumerate(text):
        t.append([100 + i, 0, 0x2040, n])
    t.append([200, 0, 0x2804, 'getCountry'])
    return t


def mac(v, s):
    return '00:16:%02X:%02X:%02X:%02X' % (v, s >> 8, s & 255, 1)


def fixture(n):
    ifs = {}
    for r in ('wifi0', 'wifi1'):
        ifs[r] = {'priv': priv(RADIO_INT), 'athstats': {'noise': [-100, -99, -98]},
                  'values': {'get_chan_bw': 20, 'get_maxautorate': -1, 'get_txchainmask': 3, 'get_rxchainmask': 3,
                             'getCountry': 'US'}}
    for v, (name, radio) in enumerate(VAPS):
        stas = [{'mac': mac(v, s), 'chan_flags': 0x140, 'flags': 3, 'phymode': 10, 'nss': 2, 'uptime': 1000 + s,
                 'chainmask': 3, 'chain_rssi': [40, 38, 0], 'authmode': 0x40, 'cipher': 8, 'txrate': 300000,
                 'rxrate': 300000, 'dhcp_fp': [1, 3, 6, 15, 31, 33, 43, 44], 'name': 'station-%d-%d' % (v, s),
                 'ip': '10.%d.%d.%d' % (v, s >> 8, s & 255),
                 'stats': {'rx_packets': 100000 + s, 'tx_packets': 200000 + s, 'rx_bytes': 10 ** 8,
                           'tx_bytes': 2 * 10 ** 8, 'tx_retries': 1000, 'tx_success': 199000, 'rx_drops': 50}}
                for s in range(n)]
        ifs[name] = {'name': '11na', 'essid': 'bench-%d' % v, 'mode': 3, 'freq': {'m': 5180, 'e': 6, 'i': 36},
                     'ap': '00:00:00:00:00:00', 'txpower': {'value': 20}, 'quality': {'level': 200, 'noise': 160},
                     'bitrate': 300000000, 'priv': priv(VAP_INT, ['get_mode']),
                     'values': {'get_maxsta': 128, 'get_maxmcs': 255, 'get_mode': '11NAHT40PLUS'},
                     'wlstats': {'rx_ucast': 1, 'tx_ucast': 2}, 'stations': stas}
    return {'interfaces': ifs}


def allstats(n):
    recs = []
    for i in range(128):
        v, s = i % 4, i // 4
        m = mac(v, s) if s < n else '02:00:00:00:00:%02X' % i
        recs.append(struct.pack('>16s6s2x8I', b'qlx%d' % i, bytes.fromhex(m.replace(':', '')), *([i + 1] * 8)))
    return b''.join(recs)


SETUP = '''
ip tuntap add wifi0 mode tap; ip tuntap add wifi1 mode tap
ip link add link wifi0 name ath0 type macvlan; ip link add link wifi0 name ath1 type macvlan
ip link add link wifi1 name ath2 type macvlan; ip link add link wifi1 name ath3 type macvlan
for i in wifi0 wifi1 ath0 ath1 ath2 ath3; do ip link set $i up; done
'''

SCRIPT = r'''
O=/mnt/vdev/out
stats -w                                   # warm-up: state, cache and kicker exist from now on
# nothing is counted inside ioctl(): the stand-in driver is not on the device
valgrind --tool=callgrind --toggle-collect=ioctl --collect-atstart=yes --callgrind-out-file=/tmp/cg stats -w >/dev/null 2>&1
callgrind_annotate /tmp/cg >/tmp/cg.txt
sed -n "s/^ *\([0-9,]*\) .*PROGRAM TOTALS.*/\1/p" /tmp/cg.txt | tr -d , >$O/instr
strace -f -c -o $O/strace stats -w
/usr/bin/time -f %M -o $O/rss stats -w
wc -c </var/run/stats/wireless.json >$O/size
'''


def measure(n):
    roots = [{'/tmp/fakewifi.json': json.dumps(fixture(n)), '/sys/qlix/all-stats': allstats(n),
              '/var/run/stats/preconfigured.json': json.dumps({'radios': {'wifi0': {}, 'wifi1': {}}})}]
    r = vdevlib.run(SCRIPT, roots=roots, net=True, setup=SETUP, build=BUILD, require=['tap', 'macvlan'],
                    env={'LD_PRELOAD': '/mnt/vdev/build/tests/fakewifi/libfakewifi.so',
                         'FAKEWIFI_CONFIG': '/tmp/fakewifi.json'}, timeout=900)
    if r.returncode != 0:
        sys.exit('stats bench: run failed: %r' % r)

    def read(name):
        with open(os.path.join(r.out, name)) as f:
            return f.read()
    calls = 0
    for line in read('strace').splitlines():
        parts = line.split()
        if parts and parts[-1] == 'total':
            calls = int(parts[3] if len(parts) >= 5 else parts[2])
    return {'instr': int(read('instr').strip()), 'calls': calls, 'rss': int(read('rss').strip()),
            'size': int(read('size').strip())}


def measure_s(n):
    """stats -s with n macvlan interfaces of two addresses each on one Ethernet port."""
    setup = 'ip tuntap add eth0 mode tap; ip link set eth0 up\n'
    setup += ''.join('ip link add link eth0 name eth0.%d type macvlan; ip addr add 10.9.%d.1/24 dev eth0.%d; '
                     'ip addr add 2001:db8:%x::1/64 dev eth0.%d nodad\n' % (i, i, i, i, i) for i in range(n))
    script = r'''
O=/mnt/vdev/out
stats -s
valgrind --tool=callgrind --callgrind-out-file=/dev/null stats -s 2>&1 >/dev/null |
	sed -n "s/.*Collected : *\([0-9]*\).*/\1/p" >$O/instr
wc -c </var/run/stats/statistics.json >$O/size
'''
    r = vdevlib.run(script, roots=[{'/var/run/stats/preconfigured.json': json.dumps({'ethernet': ['eth']})}], net=True,
                    setup=setup, build=BUILD, require=['tap', 'macvlan'], timeout=900)
    if r.returncode != 0:
        sys.exit('stats bench: run failed: %r' % r)
    with open(os.path.join(r.out, 'instr')) as f:
        instr = int(f.read().strip())
    with open(os.path.join(r.out, 'size')) as f:
        size = int(f.read().strip())
    return instr, size


def main():
    rows = {}
    print('stats -w, 4 VAPs, 128 all-stats records (figures per station = run / (4 x stations per VAP))')
    print('instructions: callgrind, nothing counted inside ioctl() (the stand-in driver)')
    print('  %-10s %14s %12s %10s %10s %12s %10s' % ('sta/VAP', 'instructions', 'instr/sta', 'syscalls',
                                                     'calls/sta', 'output B', 'RSS KiB'))
    for n in (16, 64, 128):
        m = measure(n)
        rows[n] = m
        s = 4 * n
        print('  %-10d %14d %12d %10d %10.1f %12d %10d' % (n, m['instr'], m['instr'] // s, m['calls'],
                                                          m['calls'] / s, m['size'], m['rss']))
    # growth: marginal cost per added station, 16->64 against 64->128; near 1.0 means linear
    d1 = (rows[64]['instr'] - rows[16]['instr']) / (4 * 48)
    d2 = (rows[128]['instr'] - rows[64]['instr']) / (4 * 64)
    print('marginal instructions per station: %.0f (16->64), %.0f (64->128), ratio %.2f (1.00 = linear)'
          % (d1, d2, d2 / d1))
    c1 = (rows[64]['calls'] - rows[16]['calls']) / (4 * 48)
    c2 = (rows[128]['calls'] - rows[64]['calls']) / (4 * 64)
    print('marginal system calls per station: %.1f (16->64), %.1f (64->128)' % (c1, c2))
    print('output bytes per station: %.0f' % ((rows[128]['size'] - rows[16]['size']) / (4 * 112)))
    per = rows[128]['instr'] // (4 * 128)
    print('goal at 4 x 128 stations: %d instructions per station, %s 100000' % (per, '<=' if per <= 100000 else '>'))

    print('stats -s with Ethernet sub-interfaces of two addresses each (callgrind instructions)')
    s = {n: measure_s(n) for n in (12, 48)}
    for n, (instr, size) in s.items():
        print('  %3d interfaces: %12d instructions, %7d bytes' % (n, instr, size))
    print('marginal instructions per interface: %.0f' % ((s[48][0] - s[12][0]) / 36))


main()
