#!/usr/bin/env python3
"""Link test figures in one run between two virtual devices (multool/lib/linktest/tests/linkpair.py):

  - throughput and received packets as linktest reports them, against what tshark counts on the
    server's bridge for the same sessions (sessions split where the generator's sequence restarts);
  - ltsd's memory: RSS and private pages after start-up and after a soak of thousands of requests
    (counters over UDP and LLC, resets, reverse tests refused and run).

usage: bench/linktest_bench.py BUILD_DIR"""
import os
import re
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SRC, 'multool/lib/linktest/tests'))
import linkpair  # noqa: E402

SESSIONS, PACKETS, SIZE = 5, 20000, 1400
SOAK = 4000
HDR = bytes([0x02, 0x6E, 0x41, 0x33, 0x33])


def memory(pid):
    rss = priv = 0
    with open('/proc/%d/status' % pid) as f:
        for ln in f:
            if ln.startswith('VmRSS:'):
                rss = int(ln.split()[1])
    with open('/proc/%d/smaps_rollup' % pid) as f:
        for ln in f:
            if ln.startswith(('Private_Clean:', 'Private_Dirty:')):
                priv += int(ln.split()[1])
    return rss, priv


def ltsd_pid():
    for d in os.listdir('/proc'):
        if d.isdigit():
            try:
                argv0 = open('/proc/%s/cmdline' % d, 'rb').read().split(b'\0')[0]
            except OSError:
                continue
            if os.path.basename(argv0) == b'ltsd':
                return int(d)
    return None


def tshark_sessions(pcap):
    rows = linkpair.tshark(pcap, 'udp.dstport == 9 && ip.dst == 1.1.1.1',
                           ('frame.time_epoch', 'frame.len', 'udp.payload'))
    sessions, cur = [], None
    for ts, length, payload in rows:
        seq = int(payload.replace(':', '')[8:16], 16)
        if cur is None or seq < cur['last_seq']:
            cur = {'n': 0, 'bytes': 0, 'first': float(ts), 'last': float(ts), 'last_seq': -1}
            sessions.append(cur)
        cur['n'] += 1
        cur['bytes'] += int(length)
        cur['last'] = float(ts)
        cur['last_seq'] = seq
    return sessions


def throughput(pair):
    stop = pair.capture('srv', 'br0', '/tmp/bench.pcapng')
    r = pair.linktest(['-t', str(SESSIONS), '-c', str(PACKETS), '-s', str(SIZE), '-v'], timeout=300)
    stop()
    if r.returncode != 0:
        raise RuntimeError('linktest: %r' % r)
    ours = [(int(m.group(1)), float(m.group(2))) for m in
            re.finditer(r'Received:\s*(\d+)/\d+, Lost:.*Throughput:\s*([\d.]+) Mbps', r.stdout)]
    tx = [int(m.group(1)) for m in re.finditer(r'Tx duration, usec\s+= (\d+)', r.stderr)]
    theirs = tshark_sessions('/tmp/bench.pcapng')
    print('sessions: %d x %d packets of %d bytes' % (SESSIONS, PACKETS, SIZE))
    ratios = []
    for i, ((rx, mbps), t, us) in enumerate(zip(ours, theirs, tx), 1):
        span = max(t['last'] - t['first'], 1e-6)
        seen = t['bytes'] * 8 / span / 1e6
        wire_tx = t['bytes'] * 8 / us
        ratios.append(mbps / wire_tx)
        print('  session %d: linktest %d packets %.1f Mbps; tshark %d packets, %.1f Mbps over its %.1f ms '
              'of arrivals, %.1f Mbps over the send time' % (i, rx, mbps, t['n'], seen, span * 1e3, wire_tx))
    got = sum(o[0] for o in ours)
    counted = sum(t['n'] for t in theirs)
    print('received packets, linktest / tshark: %d / %d = %.4f' % (got, counted, got / max(counted, 1)))
    print('throughput, linktest / tshark bytes over the send time: mean %.4f' % (sum(ratios) / max(len(ratios), 1)))


def soak(pair):
    pid = ltsd_pid()
    start = memory(pid)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.settimeout(2)
    llc = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
    llc.bind(('eth0', 0))
    llc.settimeout(2)
    src, dst = bytes.fromhex('020000000a01'), bytes.fromhex('020000000b0b')

    def llc_ask(payload):
        frame = dst + src + struct.pack('>HBBB', 3 + len(payload), 0xAC, 0xAC, 3) + payload
        llc.send(frame + bytes(max(0, 60 - len(frame))))
        while True:
            f, addr = llc.recvfrom(2048)
            if addr[2] != socket.PACKET_OUTGOING and f[:6] == src and f[14] == 0xAC:
                return f

    answered = runs = 0
    t0 = time.monotonic()
    for i in range(SOAK):
        kind = i % 4
        if kind == 0:
            udp.sendto(b'', (linkpair.IP['srv'], 37256))
            answered += udp.recv(512).endswith(b'\0')
        elif kind == 1:
            answered += len(llc_ask(HDR)) >= 17 + 29
        elif kind == 2:
            udp.sendto(b'rst\r\n', (linkpair.IP['srv'], 37256))
            answered += udp.recv(512) == b'200\r\n'
        else:
            # mostly refused; every 100th runs linktest (its usage) and streams it back
            run = i % 100 == 3
            runs += run
            udp.sendto(b'RUN -h' if run else b'RUN -t 1;reboot', (linkpair.IP['srv'], 37256))
            reply = udp.recv(512)
            while reply.startswith(b'100 '):
                reply = udp.recv(512)
            answered += reply.startswith((b'200', b'400'))
    secs = time.monotonic() - t0
    end = memory(pid)
    print('ltsd soak: %d requests (%d reverse tests run), %d answered in %.1f s' % (SOAK, runs, answered, secs))
    print('ltsd memory, kB: RSS %d -> %d, private %d -> %d' % (start[0], end[0], start[1], end[1]))


def device_main():
    pair = linkpair.Pair()
    try:
        pair.start_pktgen('cli')
        pair.start_pktgen('srv')
        pair.put_wireless('cli', linkpair.wireless('srv'))
        pair.put_wireless('srv', linkpair.wireless('cli'))
        pair.start_ltsd('srv')
        throughput(pair)
        soak(pair)
    finally:
        pair.close()
    return 0


def host_main(build):
    sys.path.insert(0, os.path.join(SRC, 'tests/harness'))
    import vdevlib
    os.environ.setdefault('MT_BUILD_DIR', build)
    r = vdevlib.run(['python3', '/mnt/vdev/src/bench/linktest_bench.py'], stubs=['/sbin/modprobe=0'],
                    setup=linkpair.SETUP, require=linkpair.REQUIRE, build=build, timeout=600)
    sys.stdout.write(r.stdout)
    sys.stderr.write(r.stderr)
    return r.returncode


if __name__ == '__main__':
    sys.exit(device_main() if os.environ.get('VDEV') == '1' else host_main(os.path.abspath(sys.argv[1])))
