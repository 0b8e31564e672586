#!/usr/bin/env python3
"""statlog on the virtual device with the real /usr/bin/rrdtool: the databases it creates are read
back with rrdtool info, lastupdate and fetch, and compared with /proc read before and after."""
import os
import re
import shutil
import sys

sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
import vdevlib  # noqa: E402

if not shutil.which('rrdtool', path='/usr/bin'):
    vdevlib.skip('rrdtool not installed (tools/deps/snmp.list)')

SETUP = '''
sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1
ip link add eth0 type veth peer name eth0p; ip addr add 192.0.2.1/24 dev eth0; ip addr add 192.0.2.2/24 dev eth0p
ip link set eth0 up; ip link set eth0p up
'''
SCRIPT = r'''
O=/mnt/vdev/out
python3 -c "
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, 25, b'eth0')
for i in range(5): s.sendto(b'x' * 100, ('192.0.2.2', 9))
"
sleep 0.3
head -1 /proc/stat > $O/stat_before
statlog -d /tmp/rrd -i 1 -c 3; echo "rc=$?" > $O/rc
head -1 /proc/stat > $O/stat_after
cat /proc/meminfo > $O/meminfo; cat /proc/net/dev > $O/netdev
ls /tmp/rrd > $O/files
for f in memory cpu if-eth0 if-eth0p; do
  rrdtool info /tmp/rrd/$f.rrd > $O/info.$f; rrdtool lastupdate /tmp/rrd/$f.rrd > $O/last.$f
done
rrdtool fetch /tmp/rrd/memory.rrd AVERAGE --start -20 > $O/fetch1
# a database takes one update a second: the next run starts in the next second
sleep 1.05
statlog -d /tmp/rrd -i 1 -c 1; echo "rc=$?" >> $O/rc
rrdtool fetch /tmp/rrd/memory.rrd AVERAGE --start -20 > $O/fetch2
rrdtool lastupdate /tmp/rrd/memory.rrd > $O/last2.memory
statlog -i 0 2>$O/err; echo "rc=$?" >> $O/rc
statlog -d /proc/nonexistent/x -c 1 2>>$O/err; echo "rc=$?" >> $O/rc
'''

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


r = vdevlib.run(['/bin/sh', '-c', SCRIPT], setup=SETUP, require=['veth'], timeout=60)
out = r.out


def read(name):
    p = os.path.join(out, name)
    return open(p).read() if os.path.exists(p) else ''


def lastupdate(name):
    """(timestamp, {ds: value}) from rrdtool lastupdate."""
    lines = read(name).split('\n')
    names = lines[0].split()
    ts, _, vals = [ln for ln in lines[1:] if ln.strip()][0].partition(':')
    return int(ts), dict(zip(names, (int(v) for v in vals.split())))


check(read('rc').split() == ['rc=0', 'rc=0', 'rc=1', 'rc=1'], 'exit statuses %r: %s' % (read('rc'), r.stderr))
check(read('files').split() == ['cpu.rrd', 'if-eth0.rrd', 'if-eth0p.rrd', 'memory.rrd'], 'files %r' % read('files'))
DS = {'memory': ('GAUGE', ['total', 'free', 'buffers', 'cached']),
      'cpu': ('DERIVE', ['user', 'nice', 'system', 'idle', 'iowait', 'irq', 'softirq']),
      'if-eth0': ('DERIVE', ['rx_bytes', 'rx_packets', 'rx_errors', 'tx_bytes', 'tx_packets', 'tx_errors'])}
for f, (typ, names) in DS.items():
    info = read('info.' + f)
    check('step = 1\n' in info, '%s step' % f)
    got = re.findall(r'^ds\[(\w+)\]\.type = "(\w+)"', info, re.M)
    check(sorted(got) == sorted((n, typ) for n in names), '%s data sources %r' % (f, got))
    check(all('ds[%s].minimal_heartbeat = 2' % n in info for n in names), '%s heartbeat' % f)
    if typ == 'DERIVE':
        check(all('ds[%s].min = 0.0000000000e+00' % n in info for n in names), '%s minimum' % f)
    rras = re.findall(r'^rra\[(\d+)\]\.(cf|rows|pdp_per_row) = "?(\w+)"?', info, re.M)
    check(sorted(rras) == sorted([('0', 'cf', 'AVERAGE'), ('0', 'rows', '720'), ('0', 'pdp_per_row', '1'),
                                  ('1', 'cf', 'AVERAGE'), ('1', 'rows', '720'), ('1', 'pdp_per_row', '30'),
                                  ('2', 'cf', 'MAX'), ('2', 'rows', '720'), ('2', 'pdp_per_row', '30')]),
          '%s archives %r' % (f, rras))

mem = {k: int(v.split()[0]) * 1024 for k, _, v in (ln.partition(':') for ln in read('meminfo').splitlines())}
ts, last = lastupdate('last.memory')
check(last['total'] == mem['MemTotal'], 'memory total %r vs %r' % (last, mem['MemTotal']))
check(0 < last['free'] <= mem['MemTotal'] and last['buffers'] >= 0, 'memory figures %r' % last)

before = [int(x) for x in read('stat_before').split()[1:8]]
after = [int(x) for x in read('stat_after').split()[1:8]]
_, cpu = lastupdate('last.cpu')
for i, n in enumerate(DS['cpu'][1]):
    check(before[i] <= cpu[n] <= after[i], 'cpu %s: %d not within %d..%d' % (n, cpu[n], before[i], after[i]))

net = {}
for ln in read('netdev').splitlines()[2:]:
    name, _, rest = ln.partition(':')
    v = [int(x) for x in rest.split()]
    net[name.strip()] = dict(zip(DS['if-eth0'][1], (v[0], v[1], v[2], v[8], v[9], v[10])))
for f in ('eth0', 'eth0p'):
    _, got = lastupdate('last.if-' + f)
    check(got == net[f], '%s counters %r vs %r' % (f, got, net[f]))
check(net['eth0']['tx_packets'] > 0 and net['eth0p']['rx_bytes'] == net['eth0']['tx_bytes'], 'traffic %r' % net)


def rows(text):
    out = {}
    for ln in text.splitlines():
        m = re.match(r'^(\d+): (.*)$', ln)
        if m:
            out[int(m.group(1))] = [float(x) for x in m.group(2).split()]
    return out


f1, f2 = rows(read('fetch1')), rows(read('fetch2'))
totals = [v[0] for v in f1.values() if v[0] == v[0]]
check(mem['MemTotal'] in totals, 'fetch gives the total back: %r' % totals)
# the second run adds to the same database
check(lastupdate('last2.memory')[0] > ts, 'second run recorded later')
kept = [t for t, v in f1.items() if v[0] == v[0]]
check(kept and all(f2.get(t, [None])[0] == f1[t][0] for t in kept), 'earlier rows kept: %r vs %r' % (f1, f2))
check('interval must be 1 to 3600 seconds' in read('err') and 'cannot create /proc/nonexistent/x' in read('err'),
      'errors %r' % read('err'))
if failures:
    print('\n'.join(failures))
    sys.exit(1)
print('statlog: 4 databases read back with rrdtool')
