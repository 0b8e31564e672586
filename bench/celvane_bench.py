#!/usr/bin/python3
"""Driver of bench/celvane.sh, run inside the virtual device (see celvane/tests/cloud.py)."""
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'celvane', 'tests'))
from cloud import Agent, Broker, Cloud, install_lua  # noqa: E402

CID, ORG, NET = '02000000c001', 'org1', 'net1'
BATCHES, PER_BATCH, RESTART_EVERY = 10, 1000, 3


def cpu_ms(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000 // os.sysconf('SC_CLK_TCK')


def mem(pid):
    out = {}
    for line in open('/proc/%d/status' % pid):
        k, _, v = line.partition(':')
        if k in ('VmRSS', 'RssAnon', 'RssFile', 'Threads'):
            out[k] = int(v.split()[0])
    return out


def registered(c, since, timeout=30):
    return c.wait_msg(c.node(NET, 'stats'), since, timeout) is not None


b = Broker(users={'%s-%s' % (ORG, CID): 's3cret'})
b.start()
install_lua()
c = Cloud(b, ORG, CID, interval=11, network=NET)
c.start()
t = time.time()
a = Agent(['-o', ORG, '-n', NET]).start()
if not registered(c, t):
    sys.exit('celvane: the agent did not register')
pid = a.pid()
m0 = mem(pid)
print('after registration: RSS %d KiB (private %d, shared files %d), %d threads' %
      (m0['VmRSS'], m0['RssAnon'], m0['RssFile'], m0['Threads']))

sent = answered = restarts = 0
cpu = 0
rss = []
for batch in range(BATCHES):
    if batch and batch % RESTART_EVERY == 0:
        b.stop()
        t = time.time()
        b.start()
        restarts += 1
        if not registered(c, t, 60):
            sys.exit('celvane: not registered again after restart %d' % restarts)
    start = time.time()
    c0 = cpu_ms(pid)
    for i in range(PER_BATCH):
        c.c.publish(c.node(NET, 'ping'), '{}', 2)
    sent += PER_BATCH
    got = c.wait_msg(c.node(NET, 'info'), start, 60, count=PER_BATCH)
    n = len(c.got(c.node(NET, 'info'), start))
    cpu += cpu_ms(pid) - c0
    answered += min(n, PER_BATCH)
    m = mem(pid)
    rss.append(m['VmRSS'])
    print('batch %2d: %4d/%d answered in %.2f s, RSS %d KiB, %d threads' %
          (batch, n, PER_BATCH, time.time() - start, m['VmRSS'], m['Threads']))

# idle statistics rounds: the cost of one round over two intervals
c0, t = cpu_ms(pid), time.time()
c.wait_msg(c.node(NET, 'stats'), t, 30, count=2)
rounds = len(c.got(c.node(NET, 'stats'), t))
idle_cpu = cpu_ms(pid) - c0
m1 = mem(pid)
a.signal(15)
rc = a.wait_exit(20)

print('commands sent %d, answered %d, lost %d, broker restarts %d' % (sent, answered, sent - answered, restarts))
print('RSS first/max/last batch: %d/%d/%d KiB (growth %+d KiB); threads at the end %d (at registration %d)' %
      (rss[0], max(rss), rss[-1], rss[-1] - rss[0], m1['Threads'], m0['Threads']))
print('RSS with TLS: %.2f MiB (goal <= 6 MiB), private %.2f MiB' % (m1['VmRSS'] / 1024, m1['RssAnon'] / 1024))
print('CPU per answered command (Lua info script + QoS 2 publication): %.3f ms' % (cpu / max(answered, 1)))
print('CPU per statistics round (info + stats + idle rounds, %d rounds in %.0f s): %.1f ms' %
      (rounds, time.time() - t, idle_cpu / max(rounds, 1)))
print('exit status after SIGTERM: %s' % rc)
sys.exit(0 if answered == sent and rc == 0 else 1)
