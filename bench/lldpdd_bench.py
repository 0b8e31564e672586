#!/usr/bin/env python3
"""Driver of bench/lldpdd.sh: lldpdd in the virtual device hearing a peer namespace (hand-written
frames and the real lldpd).  Reports the instructions per received frame (callgrind, whole process,
start-up subtracted) for a neighbour heard again and for a new neighbour in a full table, the memory
with an empty table, a full table of typical neighbours and a full table of the longest texts that all
need escaping, and a bounded soak (rounds of a flood of new neighbours with a restart of lldpd each
round) with the memory after each round.

usage: lldpdd_bench.py BUILD_DIR"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'tests', 'harness'))
import vdevlib  # noqa: E402

DEVICE = r'''
import json, os, re, signal, subprocess, sys, time
sys.path.insert(0, '/mnt/vdev/src/multool/lib/neighbour/tests')
import neighbour_net as nn

FILE = '/var/run/stats/lldp-discovery.json'
ROUNDS, PER_ROUND = 8, 2000

peer = nn.Netns('peer')
nn.link(peer, 'eth0', 'peer0', '02:03:04:05:06:07')
os.makedirs('/var/run/stats', exist_ok=True)
raw = nn.RawSender(peer, 'peer0')

def typical(i):
    mac = '02:77:%02x:%02x:%02x:%02x' % (i >> 24 & 255, i >> 16 & 255, i >> 8 & 255, i & 255)
    body = (nn.chassis(mac) + nn.tlv(2, b'\x05gi0/%d' % (i % 48)) + nn.tlv(3, b'\x00\x78') +
            nn.tlv(5, b'switch-%06d' % i) + nn.tlv(6, b'Switch OS 12.2(55)SE build %d, 48 ports' % i) +
            nn.tlv(7, b'\x00\x14\x00\x14') + nn.mgmt4('192.0.2.%d' % (i % 250 + 1)) + nn.mgmt6('2001:db8::%x:%x' % (i >> 16 & 0xffff, i & 0xffff)) +
            nn.ap_mode(2) + nn.END)
    return mac, nn.frame(mac, body)

def longest(i):
    mac = '02:88:%02x:%02x:%02x:%02x' % (i >> 24 & 255, i >> 16 & 255, i >> 8 & 255, i & 255)
    body = nn.chassis(mac) + nn.tlv(5, b'\xff' * 511) + nn.tlv(6, b'\xfe' * 511) + nn.END
    return mac, nn.frame(mac, body)

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

def inode():
    try:
        return os.stat(FILE).st_ino
    except FileNotFoundError:
        return None

def wait(cond, t=30):
    end = time.monotonic() + t
    while time.monotonic() < end and not cond():
        time.sleep(0.002)
    return cond()

def entries():
    try:
        return len(json.load(open(FILE)))
    except (OSError, ValueError):
        return -1

def paced(frames):
    """Each frame on its own: the next goes when the file of the last was written."""
    for data in frames:
        before = inode()
        raw.send(data)
        wait(lambda: inode() != before)

def seed_full():
    t = {typical(10**6 + i)[0]: {'ifIndex': 2, 'name': 'seed-%d' % i, 'uptime': 1} for i in range(256)}
    json.dump(t, open(FILE, 'w'))

def callgrind(frames, seed):
    if os.path.exists(FILE):
        os.unlink(FILE)
    if seed:
        seed()
    out = '/tmp/cg.out'
    before = inode()
    v = subprocess.Popen(['valgrind', '--tool=callgrind', '--callgrind-out-file=' + out, '/usr/sbin/lldpdd', '-f'],
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait(lambda: inode() != before, 60)
    paced(frames)
    v.send_signal(signal.SIGTERM)
    v.wait(120)
    txt = subprocess.run(['callgrind_annotate', out], capture_output=True, text=True).stdout
    m = re.search(r'([\d,]+) \(100.0%\) +PROGRAM TOTALS', txt) or re.search(r'([\d,]+) +PROGRAM TOTALS', txt)
    return int(m.group(1).replace(',', ''))

N = 200
again = [typical(1)[1]] * N
fresh = [typical(i)[1] for i in range(N)]
base = callgrind([], None)
one = callgrind(again, None)
print('callgrind: start-up and stop with an empty table: %d instructions' % base)
print('callgrind: a neighbour heard again, table of 1:        %8.0f instructions per frame (%d frames)'
      % ((one - base) / N, N))
base_full = callgrind([], seed_full)
full = callgrind(fresh, seed_full)
print('callgrind: a new neighbour into a full table (256):    %8.0f instructions per frame (%d frames, each evicts'
      ' one and rewrites the file)' % ((full - base_full) / N, N))

# memory, natively
if os.path.exists(FILE):
    os.unlink(FILE)
d = subprocess.Popen(['/usr/sbin/lldpdd', '-f'], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wait(lambda: inode() is not None)
rss, priv = memory(d.pid)
print('memory: empty table: RSS %d kB, private %d kB' % (rss, priv))
paced([typical(i)[1] for i in range(300)])
rss, priv = memory(d.pid)
print('memory: full table of typical neighbours (%d entries, file %d bytes): RSS %d kB, private %d kB'
      % (entries(), os.path.getsize(FILE), rss, priv))
paced([longest(i)[1] for i in range(300)])
rss, priv = memory(d.pid)
print('memory: full table of 511-byte name and description, every byte escaped (%d entries, file %d bytes): '
      'RSS %d kB, private %d kB' % (entries(), os.path.getsize(FILE), rss, priv))

# soak: rounds of a flood of new neighbours, the real lldpd restarted each round
lldpd = None
sent = 0
cpu0 = cpu_ms(d.pid)
for r in range(ROUNDS):
    if lldpd:
        lldpd.stop()
    lldpd = nn.Lldpd(peer, ['peer0'], tag='r%d' % r)
    lldpd.cli(['configure', 'lldp', 'tx-interval', '1'])
    for i in range(PER_ROUND):
        raw.send(typical(10**7 + r * PER_ROUND + i)[1])
        if i % 25 == 24:
            time.sleep(0.01)
        sent += 1
    last = typical(10**7 + r * PER_ROUND + PER_ROUND - 1)[0]
    wait(lambda: last in open(FILE).read(), 10)
    rss, priv = memory(d.pid)
    print('soak round %d: %d frames sent in all, %d entries, RSS %d kB, private %d kB, alive %s'
          % (r + 1, sent, entries(), rss, priv, d.poll() is None))
print('soak: %.1f ms of CPU per 1000 flood frames (bursts coalesced into one write)'
      % ((cpu_ms(d.pid) - cpu0) * 1000.0 / sent))
lldpd.stop()
d.send_signal(signal.SIGTERM)
print('lldpdd stopped with %d' % d.wait(10))
'''


def main():
    build = sys.argv[1]
    if not os.path.exists(os.path.join(build, 'multool', 'multool')):
        print('lldpdd: no multool in %s' % build)
        return 1
    r = vdevlib.run(['python3', '-c', DEVICE], build=build, net=True, require=['veth'], timeout=1200)
    sys.stdout.write(r.stdout)
    if r.returncode != 0:
        sys.stderr.write(r.stderr[-3000:])
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main())
