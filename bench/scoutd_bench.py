#!/usr/bin/env python3
"""Driver of bench/scoutd.sh: scoutd in the virtual device against the tests' discovery tool on a LAN
namespace.  Reports private memory, a bounded request storm (answers, CPU per request, memory after
each round), restarts forced by interfaces coming up while requests flow, and the instructions of one
answer per request kind (callgrind, counted inside the request handling only).

usage: scoutd_bench.py BUILD_DIR"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'harness'))
import vdevlib  # noqa: E402

DEVICE = r'''
import os, re, signal, subprocess, sys, time
sys.path.insert(0, '/mnt/vdev/src/scoutd/tests')
import scoutnet as sn

MAC = '02:03:04:05:06:07'
OWN = sn.device_id(MAC)
ROUNDS, PER_ROUND, BATCH = 5, 4000, 50

lan = sn.Netns('lan')
lan.run(['ip', 'link', 'set', 'lo', 'up'], check=True)
sn.sh('ip link add eth0 type veth peer name lan0 netns lan && ip link set eth0 address %s' % MAC)
sn.sh('ip link set eth0 up && ip addr add 192.0.2.1/24 dev eth0')
lan.run(['sh', '-ec', 'ip link set lan0 up; ip addr add 192.0.2.2/24 dev lan0'], check=True)
os.makedirs('/tmp/zelk', exist_ok=True)
open('/usr/lib/version', 'w').write('APCPE.QA-2.v7.52.1.4711\n')
open('/etc/serial-no', 'w').write('KTRV0123456789ABCDEF\n')
small = b'<heartbeat>' + b'x' * 1289
large = (b'<heartbeat><stat name="if%d" rx="123456" tx="654321"/>' * 200)[:8192]

def joined():
    return '01BC59E9' in open('/proc/net/igmp').read()

def wait(cond, t=10):
    end = time.monotonic() + t
    while time.monotonic() < end and not cond():
        time.sleep(0.02)
    return cond()

def memory(pid):
    f = {}
    for line in open('/proc/%d/smaps_rollup' % pid):
        m = re.match(r'(\w+):\s+(\d+) kB', line)
        if m:
            f[m.group(1)] = int(m.group(2))
    return f['Rss'], f['Private_Clean'] + f['Private_Dirty']

def cpu_ms(pid):
    s = open('/proc/%d/stat' % pid).read().rsplit(')', 1)[1].split()
    return (int(s[11]) + int(s[12])) * 1000 // os.sysconf('SC_CLK_TCK')

def fds(pid):
    return len(os.listdir('/proc/%d/fd' % pid))

c = sn.Client(lan, 'lan0', '192.0.2.2')
ids = sn.unique_ids()
# the management agent's stand-in: this process, which takes the daemon's SIGUSR2
signal.signal(signal.SIGUSR2, lambda *_: None)
open('/var/run/zelkd.pid', 'w').write('%d\n' % os.getpid())

def kinds():
    return [('discovery', lambda a: sn.dproto(0, a, sn.ALL), None),
            ('state', lambda a: sn.dproto(3, a, OWN), None),
            ('serial', lambda a: sn.dproto(7, a, OWN), None),
            ('heartbeat 1300 B raw', lambda a: sn.dproto(1, a, OWN), small),
            ('heartbeat 8 KiB compressed', lambda a: sn.dproto(1, a, OWN), large)]

def burst(make, n):
    """n requests in batches, each batch waited for; the answers that came back."""
    answered = 0
    for _ in range(n // BATCH):
        want = set()
        for _ in range(BATCH):
            a = next(ids)
            want.add(a)
            c.send(make(a))
        end = time.monotonic() + 2
        while want and time.monotonic() < end:
            for ans in c.listen(end - time.monotonic(), until=lambda x: x.dproto and x.dproto['dst'] in want):
                if ans.dproto and ans.dproto['dst'] in want:
                    want.discard(ans.dproto['dst'])
                    answered += 1
        c.heard.clear()
    return answered

# -- memory and the storm
d = subprocess.Popen(['/usr/sbin/scoutd', '-f'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wait(joined)
time.sleep(1.2)
rss0, priv0 = memory(d.pid)
print('after start: RSS %d KiB, private %d KiB, %d descriptors' % (rss0, priv0, fds(d.pid)))
sent = answered = 0
cpu0, t0 = cpu_ms(d.pid), time.monotonic()
for r in range(ROUNDS):
    for name, make, hb in kinds():
        if hb is not None:
            open('/tmp/zelk/last-heartbeat', 'wb').write(hb)
        answered += burst(make, PER_ROUND // 5)
        sent += PER_ROUND // 5
    rss, priv = memory(d.pid)
    print('storm round %d: %6d requests, %6d answered, RSS %d KiB, private %d KiB, %d descriptors'
          % (r + 1, sent, answered, rss, priv, fds(d.pid)))
dt, cpu = time.monotonic() - t0, cpu_ms(d.pid) - cpu0
print('storm: %d of %d answered (%.2f), %.0f requests/s, daemon CPU %.1f us per request, private growth %+d KiB'
      % (answered, sent, answered / sent, sent / dt, cpu * 1000.0 / sent, priv - priv0))

# -- restarts: interfaces coming up while requests flow
answered = 0
for i in range(10):
    sn.sh('ip link add eth%d type veth peer name x%d netns lan && ip link set eth%d up' % (i + 5, i, i + 5))
    lan.run(['ip', 'link', 'set', 'x%d' % i, 'up'], check=True)
    wait(lambda: 'eth%d' % (i + 5) in open('/proc/net/igmp').read(), 5)
    answered += burst(lambda a: sn.dproto(0, a, sn.ALL), 200)
    sn.sh('ip link del eth%d' % (i + 5))
    time.sleep(0.3)
rss, priv = memory(d.pid)
print('10 interfaces up and gone (each restarts the daemon in place, pid kept: %s): %d of 2000 requests answered '
      'in between, RSS %d KiB, private %d KiB, %d descriptors' % (d.poll() is None, answered, rss, priv, fds(d.pid)))
d.send_signal(signal.SIGTERM)
d.wait(5)

# -- instructions of one answer: a run with N requests of one kind less a run with none
N = 300

def callgrind(make, n):
    out = '/tmp/cg.out'
    v = subprocess.Popen(['valgrind', '--tool=callgrind', '--callgrind-out-file=' + out, '/usr/sbin/scoutd', '-f'],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait(joined, 30)
    time.sleep(1.5)
    got = 0
    for _ in range(n):
        a = next(ids)
        got += len(c.ask(make(a), a, seconds=3))
    c.heard.clear()
    v.send_signal(signal.SIGTERM)
    v.wait(30)
    txt = subprocess.run(['callgrind_annotate', out], capture_output=True, text=True).stdout
    m = re.search(r'^\s*([\d,]+)\s.*PROGRAM TOTALS', txt, re.M)
    return int(m.group(1).replace(',', '')), got

base, _ = callgrind(None, 0)
print('callgrind: start-up and teardown without requests %d instructions' % base)
for name, make, hb in kinds():
    if hb is not None:
        open('/tmp/zelk/last-heartbeat', 'wb').write(hb)
    total, got = callgrind(make, N)
    print('callgrind %-28s %8.0f instructions per answer (%d of %d answered)' % (name + ':', (total - base) / N, got, N))
'''


def main():
    build = sys.argv[1]
    r = vdevlib.run(['python3', '-c', DEVICE], build=build, net=True, require=['veth'], timeout=900)
    sys.stdout.write(r.stdout)
    if r.returncode != 0:
        sys.stderr.write(r.stderr[-3000:])
        sys.exit(1)


if __name__ == '__main__':
    main()
