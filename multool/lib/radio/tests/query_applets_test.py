#!/usr/bin/env python3
"""peers, bwmonitor and watchirq as installed on the virtual device, over real veth/macvlan/bridge
interfaces, with the stand-in radio driver preloaded for peers."""
import json
import os
import re
import struct
import sys

sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
import vdevlib  # noqa: E402

BUILD = os.environ['MT_BUILD_DIR']
FAKEWIFI = '/mnt/vdev/build/tests/fakewifi/libfakewifi.so'
failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print('FAIL:', what)


# Sends COUNT raw frames of SIZE bytes out of an interface (counted as transmitted bytes there).
GEN = r'''
import socket, sys
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind((sys.argv[1], 0))
frame = b'\xff' * 6 + b'\x02\0\0\0\0\x01' + b'\x88\xb5' + b'\0' * (int(sys.argv[3]) - 14)
for _ in range(int(sys.argv[2])):
    s.send(frame)
'''

# First in the kernel's list: an interface whose link message (~19 KB of alternative names) is
# larger than a four-page receive buffer; every interface after it must still be seen.
BIG = '''
ip tuntap add big0 mode tap
X=xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx
for j in 10 11 12 13 14 15 16 17 18 19 20 21 22 23 24 25 26 27 28 29; do
  ip link property add dev big0 altname a${j}0$X altname a${j}1$X altname a${j}2$X altname a${j}3$X \\
    altname a${j}4$X altname a${j}5$X altname a${j}6$X altname a${j}7$X
done
'''

NET = BIG + '''
ip link add eth0 type veth peer name eth0p
sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
ip link set eth0 up; ip link set eth0p up
'''


def station_record(mac, length=172):
    rec = bytearray(max(length, 172))
    struct.pack_into('=H', rec, 0, length)  # the driver's own (host) order
    rec[16:22] = bytes.fromhex(mac.replace(':', ''))
    return bytes(rec)


def peers():
    fixture = {'interfaces': {
        'ath0': {'stations': [{'mac': '02:aa:bb:cc:dd:01', 'ip': '192.168.1.10'},
                              {'mac': '02:aa:bb:cc:dd:02', 'ie_len': 24}]},
        'ath1': {'stations': []},
        'ath2': {'stations': [{'mac': '02:aa:bb:cc:dd:21', 'ip': '10.0.0.21'}], 'fail': {'0x89F5': 5}},
        'ath3': {'stations': [{'mac': '02:aa:bb:cc:dd:31', 'ip': '10.0.0.31'}],
                 'stalist_raw': (station_record('02:aa:bb:cc:dd:31') + station_record('02:aa:bb:cc:dd:32', 0)).hex()},
        'ath8': {'stations': [{'mac': '02:aa:bb:cc:dd:81', 'ip': '10.0.0.81'}]},
        'ath9': {'stations': [{'mac': '02:aa:bb:cc:dd:91', 'ip': '10.0.0.91'}]},
    }}
    setup = BIG + '''
ip link add wifi0 type veth peer name radio0
ip link add wifi1 type veth peer name radio1
ip link add link wifi0 name ath0 type macvlan
ip link add link wifi1 name ath1 type macvlan
ip link add link wifi1 name ath2 type macvlan
ip link add link wifi1 name ath3 type macvlan
ip link add link wifi0 name ath4 type macvlan
ip link add eth0 type veth peer name eth0p
ip link add link eth0 name ath8 type macvlan
ip link add br0 type bridge
ip link add link br0 name ath9 type macvlan
'''
    r = vdevlib.run('peers; echo rc=$?; ip -d -j link > /mnt/vdev/out/link.json', net=True, setup=setup,
                    roots=[{'/tmp/fakewifi.json': json.dumps(fixture)}],
                    env={'LD_PRELOAD': FAKEWIFI, 'FAKEWIFI_CONFIG': '/tmp/fakewifi.json',
                         'FAKEWIFI_LOG': '/mnt/vdev/out/requests.log',
                         # a preloaded library comes before the sanitizer runtime
                         'ASAN_OPTIONS': 'verify_asan_link_order=0'},
                    require=['veth', 'macvlan', 'bridge', 'tap'])
    check(r.stdout == ('02:AA:BB:CC:DD:01 192.168.1.10\n02:AA:BB:CC:DD:02 0.0.0.0\n'
                       '02:AA:BB:CC:DD:31 10.0.0.31\nrc=0\n'), 'peers output %r %r' % (r.stdout, r.stderr))
    links = {l['ifname']: l.get('link') for l in json.load(open(os.path.join(r.out, 'link.json')))}
    check(links['ath0'] == 'wifi0' and links['ath9'] == 'br0' and links['ath8'] == 'eth0', 'parents %s' % links)
    reqs = [json.loads(l) for l in open(os.path.join(r.out, 'requests.log'))]
    asked = [(q['ifname'], q['req']) for q in reqs]
    check(asked == [('ath0', '0x89F6'), ('ath0', '0x89F5'), ('ath0', '0x89F5'), ('ath1', '0x89F6'),
                    ('ath2', '0x89F6'), ('ath2', '0x89F5'), ('ath3', '0x89F6'), ('ath3', '0x89F5')],
          'requests %s' % asked)
    check(all(q['length_in'] == 25800 for q in reqs if q['req'] == '0x89F6'), 'station list buffer')
    stats = [q for q in reqs if q['req'] == '0x89F5']
    check(all(q['length_in'] == 16296 for q in stats), 'station statistics buffer')
    check([q.get('in', '')[:12] for q in stats] == ['02aabbccdd01', '02aabbccdd02', '02aabbccdd21', '02aabbccdd31'],
          'station MAC in the first 6 bytes')
    check(reqs[5]['rc'] == -1 and reqs[5]['errno'] == 5, 'forced failure')


def bwmonitor_terminal():
    script = ('bwmonitor -i eth0,eth0,lo -p 1 > /mnt/vdev/out/bw.txt & P=$!; sleep 1.3; '
              'python3 -c "$GEN" eth0 2621 1000; sleep 2.5; kill $P; wait $P; echo rc=$?; '
              'bwmonitor -p 1 > /mnt/vdev/out/all.txt & P=$!; sleep 1.5; kill -INT $P; wait $P; echo rc=$?; '
              'bwmonitor -f -p 1 -i eth0 > /mnt/vdev/out/full.txt & P=$!; sleep 1.5; kill $P')
    r = vdevlib.run(script, net=True, setup=NET, env={'GEN': GEN}, require=['veth', 'tap'])
    check(r.stdout == 'rc=0\nrc=0\n', 'bwmonitor exits 0 on its signals: %r %r' % (r.stdout, r.stderr))
    text = open(os.path.join(r.out, 'bw.txt')).read()
    reports = text.split('\n\n')
    check(text.endswith('\n\n') and len(reports) >= 3, 'three names given: empty line after each report %r' % text)
    tx = 0.0
    for rep in filter(None, reports):
        m = re.fullmatch(r'eth0:\tTX, Mbps: (\d+\.\d\d)\tRX, Mbps: (\d+\.\d\d)', rep)
        check(m is not None, 'report line %r' % rep)
        if m:
            tx += float(m.group(1))
    # 2,621,000 bytes = 19.9966 Mbit (2^20)
    check(abs(tx - 2621000 * 8 / 1048576) < 0.06, 'transmitted %.2f Mbit' % tx)
    every = open(os.path.join(r.out, 'all.txt')).read()
    names = sorted(set(l.split(':')[0] for l in every.splitlines() if l))
    check(names == ['big0', 'eth0', 'eth0p'] and '\n\n' not in every, 'default list %r' % every)
    full = open(os.path.join(r.out, 'full.txt')).read()
    check(re.fullmatch(r'\x1b\[2Jeth0:\tTX, Mbps: \d+\.\d\d\tRX, Mbps: \d+\.\d\d\n', full), 'full screen %r' % full)


def bwmonitor_errors():
    rows = [
        (['-i', 'eth0,abcdefghijklmnop'], "Invalid interface name length 'abcdefghijklmnop'.\n"),
        (['-i', 'nosuch'], "Unknown interface 'nosuch'.\n"),
        (['-p', '0'], 'Valid number range for option -p is 1 - 300.\n'),
        (['-p', '301'], 'Valid number range for option -p is 1 - 300.\n'),
        (['-p', '5s'], "Cannot parse '5s' as number.\n"),
    ]
    for args, msg in rows:
        r = vdevlib.run(['bwmonitor'] + args, net=True, setup=NET, require=['veth', 'tap'])
        check(r.returncode == 1 and r.stderr == msg, '%s: %r' % (args, r))
    r = vdevlib.run(['bwmonitor', '-h'])
    check(r.returncode == 1 and r.stderr.startswith('Usage: bwmonitor [options]\n\t-h\t\t\t\tthis help\n')
          and '\t\t\t\t\t/var/run/stats/bwmonitor.json file\n' in r.stderr
          and r.stderr.endswith('exits when 20 seconds pass after last SIGUSR1 signal reception.\n'), 'usage %r' % r.stderr)
    # a period of 300 is accepted (the process is stopped at once)
    r = vdevlib.run('bwmonitor -p 300 -i eth0 & P=$!; sleep 0.5; kill $P; wait $P', net=True, setup=NET,
                    require=['veth', 'tap'])
    check(r.returncode == 0 and r.stderr == '', '-p 300 %r' % r)


def bwmonitor_daemon():
    script = r'''
O=/mnt/vdev/out
bwmonitor -d -p 3 -i eth0; echo started=$? > $O/log
sleep 0.5; P=$(cat /var/run/bwmonitor.pid)
bwmonitor -d -i eth0 2> $O/second; echo second=$? >> $O/log
multool bwmonitor -d -i eth0 2>> $O/second; echo third=$? >> $O/log
python3 -c "$GEN" eth0 1000 1000
sleep 3.5; cp /var/run/stats/bwmonitor.json $O/doc.json
sleep 6; kill -USR1 $P
sleep 15; [ -d /proc/$P ] && echo alive25=1 >> $O/log
sleep 9; [ -d /proc/$P ] || echo gone34=1 >> $O/log
ls /var/run/stats/ /var/run/ > $O/left
'''
    r = vdevlib.run(script, net=True, setup=NET, env={'GEN': GEN}, timeout=90, require=['veth', 'tap'])
    log = open(os.path.join(r.out, 'log')).read().split()
    check(log == ['started=0', 'second=1', 'third=1', 'alive25=1', 'gone34=1'], 'daemon life %s %r' % (log, r.stderr))
    check(open(os.path.join(r.out, 'second')).read() == 'Already running...\n' * 2, 'second daemon refused')
    text = open(os.path.join(r.out, 'doc.json')).read()
    doc = json.loads(text)
    check(set(doc) == {'uptime', 'period', 'interfaces'} and doc['period'] == 3 and isinstance(doc['uptime'], int),
          'document %s' % doc)
    eth0 = doc['interfaces'].get('eth0', {})
    check(set(doc['interfaces']) == {'eth0'} and isinstance(eth0.get('txRate'), float), 'interfaces %s' % doc)
    # one decimal place, written as such: 1,000,000 bytes over 3 s = 2.543 Mbit/s
    rates = re.findall(r'"txRate": ([0-9.e+-]+)', text)
    check(rates and all(re.fullmatch(r'\d+\.\d', v) for v in rates), 'rates as written %s' % rates)
    check(eth0.get('txRate') == 2.5, 'txRate %s' % eth0.get('txRate'))
    left = open(os.path.join(r.out, 'left')).read().split()
    check('bwmonitor.json' not in left and 'bwmonitor.pid' not in left, 'files removed at stop: %s' % left)


def bwmonitor_daemon_twice():
    """Started through the multi-call name, twice: the second finds the first running the same program;
    a pid file naming a process that is gone does not hold a new daemon back."""
    script = r'''
O=/mnt/vdev/out
multool bwmonitor -d -p 1 -i eth0; echo first=$? > $O/log
sleep 0.3; P=$(cat /var/run/bwmonitor.pid)
multool bwmonitor -d -p 1 -i eth0 2> $O/second; echo second=$? >> $O/log
[ "$(cat /var/run/bwmonitor.pid)" = "$P" ] && echo same=1 >> $O/log
echo 999999 > /var/run/bwmonitor.pid
multool bwmonitor -d -p 1 -i eth0; echo stale=$? >> $O/log
sleep 0.3; [ "$(cat /var/run/bwmonitor.pid)" != 999999 ] && echo rewritten=1 >> $O/log
ps -o comm= -C multool | wc -l >> $O/log
'''
    r = vdevlib.run(script, net=True, setup=NET, timeout=60, require=['veth', 'tap'])
    log = open(os.path.join(r.out, 'log')).read().split()
    check(log == ['first=0', 'second=1', 'same=1', 'stale=0', 'rewritten=1', '2'], 'multool bwmonitor -d twice %s %r' % (log, r))
    check(open(os.path.join(r.out, 'second')).read() == 'Already running...\n', 'refused through multool')


def watchirq():
    script = ('watchirq -i eth0 -n 1 > /mnt/vdev/out/if.txt & P=$!; sleep 1.3; python3 -c "$GEN" eth0 500 200; '
              'sleep 2; kill $P; watchirq 1 > /mnt/vdev/out/irq.txt & P=$!; sleep 2.5; kill $P')
    r = vdevlib.run(script, net=True, setup=NET, env={'GEN': GEN}, require=['veth', 'tap'])
    lines = open(os.path.join(r.out, 'if.txt')).read().splitlines()
    pat = r' TX\(p\): (\d+) RX\(p\): (\d+) TX: (\d+\.\d\d)Mbps, RX: (\d+\.\d\d)Mbps( TX\(d\): \d+)?( RX\(d\): \d+)?'
    ms = [re.fullmatch(pat, l) for l in lines if not l.startswith('delayed ')]
    check(len(ms) >= 2 and all(ms), 'interface lines %s' % lines)
    if all(ms):
        check(sum(int(m.group(1)) for m in ms) == 500, 'transmitted packets %s' % lines)
        check(sum(int(m.group(2)) for m in ms) == 0, 'received packets %s' % lines)
    # a sleep stretched well beyond the period is reported before the rates
    r2 = vdevlib.run('watchirq -n 1 > /mnt/vdev/out/late.txt & P=$!; sleep 0.3; kill -STOP $P; sleep 2; '
                     'kill -CONT $P; sleep 0.5; kill $P')
    late = open(os.path.join(r2.out, 'late.txt')).read().splitlines()
    m = re.fullmatch(r'delayed (\d+)ms', late[0]) if late else None
    check(m and 1000 <= int(m.group(1)) < 3000 and len(late) == 1, 'delayed sample %s' % late)
    irq = open(os.path.join(r.out, 'irq.txt')).read().splitlines()
    check(irq and all(re.fullmatch(r'( IRQ\d+:\d+)* total: \d+, ctxs: \d+', l) for l in irq), 'irq lines %s' % irq)

    rows = [(['watchirq', '1', '2', '3'], "invalid extra option '2'\ninvalid extra option '3'\nwatchirq: too many arguments given.\n"),
            (['watchirq', 'x'], "watchirq: Cannot parse 'x' as number.\n"),
            (['watchirq', '0'], "watchirq: Period '0' must be 1 second or more.\n"),
            (['watchirq', '-z'], None)]
    for args, msg in rows:
        r = vdevlib.run(args)
        check(r.returncode == 1 and (msg is None or r.stderr == msg), '%s: %r' % (args, r))


peers()
bwmonitor_terminal()
bwmonitor_errors()
watchirq()
bwmonitor_daemon()
bwmonitor_daemon_twice()
if failures:
    sys.exit(1)
print('ok')
