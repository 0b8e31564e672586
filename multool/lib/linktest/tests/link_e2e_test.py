#!/usr/bin/env python3
"""linktest on the client of two virtual devices against the real ltsd on the server, with the
stand-in packet generator sending and counting real frames on both.  tshark counts the generated
frames that reached the server on its own; nftables drops a share of them on a lossy link.  Also the
reverse test, signals, the lock file, the option checks and the messages.  The host half starts the
device; the device half (VDEV=1) runs the checks."""
import json
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import linkpair  # noqa: E402

LINE = re.compile(r'^\[(\d+)/(\d+)\] Received:\s*(\d+)/(\d+), Lost:\s*([\d.]+)%, PPS:\s*(\d+), '
                  r'Throughput:\s*([\d.]+) Mbps$')
PKTGEN_FRAMES = 'udp.dstport == 9 && ip.dst == 1.1.1.1 && eth.dst == 02:00:00:00:0b:0b'

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print('FAIL:', what, flush=True)


def sessions(stdout):
    return [LINE.match(ln).groups() for ln in stdout.splitlines() if LINE.match(ln)]


def lines_of(log):
    return open(log).read().splitlines() if os.path.exists(log) else []


def forward(pair):
    """Both transports, a counter near 2^32 on the server, tshark as the independent count."""
    stop = pair.capture('srv', 'br0', '/tmp/fwd.pcapng')
    before = len(lines_of(pair.log('cli')))
    r = pair.linktest(['-t', '3', '-c', '400', '-v'])
    stop()
    check(r.returncode == 0, 'forward run: %r' % r)
    out = r.stdout.splitlines()
    check(out[0] == 'Sessions:3, Packets per session:400, Packet size:64' and out[-1] == 'Test done',
          'header and ending lines: %r' % out)
    got = sessions(r.stdout)
    check([g[:4] for g in got] == [(str(s), '3', '400', '400') for s in (1, 2, 3)], 'sessions %r' % got)
    check(all(float(g[4]) == 0 for g in got), 'no loss on a clean link')
    frames = linkpair.tshark('/tmp/fwd.pcapng', PKTGEN_FRAMES, ('frame.len', 'ip.ttl'))
    check(len(frames) == 1200, 'tshark counted %d generated frames, want 1200' % len(frames))
    check(all(f == ['64', '1'] for f in frames), 'generated frames of 64 bytes with ttl 1')
    # the counters crossed 2^32 on the server: the differences are taken on 32 bits
    check('Packet count before test = 4294967000' in r.stderr, 'verbose detail of the counters')
    check(r.stderr.count('Rx packets               = 400') == 3, 'Rx packets detail')
    check(r.stderr.count('Rx bytes                 = 25600') == 3, 'Rx bytes detail')
    # throughput as the applet computes it from its own figures
    for m in re.finditer(r'Tx duration, usec        = (\d+)', r.stderr):
        check(int(m.group(1)) > 0, 'send duration read from the generator')
    log = lines_of(pair.log('cli'))[before:]
    want = ['pgctrl: stop', 'kpktgend_0: rem_device_all', 'kpktgend_0: add_device eth0', 'eth0: clone_skb 0',
            'eth0: min_pkt_size 64', 'eth0: max_pkt_size 64', 'eth0: dst_min 1.1.1.1', 'eth0: dst_max 1.1.1.1',
            'eth0: src_min 1.1.1.2', 'eth0: src_max 1.1.1.2', 'eth0: dst_mac 02:00:00:00:0B:0B', 'eth0: ttl 1',
            'eth0: count 400', 'pgctrl: start', 'pgctrl: start', 'pgctrl: start']
    check(log == want, 'generator programmed as the device expects: %r' % log)
    check(linkpair.txqueuelen('cli', 'eth0') == 1000, 'transmit queue length restored')
    check(not os.path.exists('/run/linktest.pid'), 'lock file removed at the end')


def lossy(pair):
    pair.loss(25)
    stop = pair.capture('srv', 'br0', '/tmp/loss.pcapng')
    r = pair.linktest(['-t', '2', '-c', '600', '-j'])
    stop()
    pair.no_loss()
    check(r.returncode == 0, 'lossy run: %r' % r)
    rows = [json.loads(ln) for ln in r.stdout.splitlines()]
    check([list(o) for o in rows] == [['packets', 'size', 'sessions', 'test', 'mbps', 'pps', 'loss']] * 2,
          'JSON members in order: %r' % rows)
    frames = len(linkpair.tshark('/tmp/loss.pcapng', PKTGEN_FRAMES))
    check(780 <= frames <= 1020, 'about a quarter lost: %d of 1200 arrived' % frames)
    # one significant digit, as the device's consumers get it
    for o in rows:
        check(isinstance(o['loss'], float) and isinstance(o['mbps'], float) and isinstance(o['pps'], int),
              'types %r' % o)
    # the figures against tshark: the text run gives the exact received counts
    pair.loss(25)
    stop = pair.capture('srv', 'br0', '/tmp/loss2.pcapng')
    r = pair.linktest(['-t', '2', '-c', '1000'])
    stop()
    pair.no_loss()
    got = sessions(r.stdout)
    frames = len(linkpair.tshark('/tmp/loss2.pcapng', PKTGEN_FRAMES))
    received = sum(int(g[2]) for g in got)
    check(len(got) == 2 and received == frames, 'received %s vs tshark %d' % (got, frames))
    for g in got:
        check(abs(float(g[4]) - (1000 - int(g[2])) / 10) < 0.006, 'loss figure matches the count: %r' % (g,))
        check(150 <= 1000 - int(g[2]) <= 350, 'loss near 25%%: %r' % (g,))


def udp_only(pair):
    """The server's LLC listens on another bridge: the UDP answer chooses UDP."""
    stop_ltsd()
    subprocess.run(['ip', '-n', 'srv', 'link', 'add', 'br1', 'type', 'bridge'], check=True)
    subprocess.run(['ip', '-n', 'srv', 'link', 'set', 'br1', 'up'], check=True)
    pair.start_ltsd('srv', ['-i', 'br1'])
    stop = pair.capture('cli', 'eth0', '/tmp/udp.pcapng')
    r = pair.linktest(['-t', '2', '-c', '200'])
    stop()
    got = sessions(r.stdout)
    check(r.returncode == 0 and [g[2] for g in got] == ['200', '200'], 'over UDP: %r' % r)
    udp = linkpair.tshark('/tmp/udp.pcapng', 'udp.dstport == 37256')
    check(len(udp) == 5, 'probe and two counter requests per session over UDP: %d' % len(udp))
    llc = linkpair.tshark('/tmp/udp.pcapng', 'llc && eth.src == 02:00:00:00:0a:01')
    check(len(llc) == 1, 'LLC off after the probe answered over UDP: %d' % len(llc))
    stop_ltsd()
    pair.start_ltsd('srv')


def llc_only(pair):
    pair.put_wireless('cli', linkpair.wireless('srv', ip='0.0.0.0'))
    stop = pair.capture('cli', 'eth0', '/tmp/llc.pcapng')
    r = pair.linktest(['-t', '1', '-c', '200', '-v'])
    stop()
    pair.put_wireless('cli', linkpair.wireless('srv'))
    got = sessions(r.stdout)
    check(r.returncode == 0 and [g[2] for g in got] == ['200'], 'over LLC only: %r' % r)
    check("unusable IP address '0.0.0.0': fallback to llc only" in r.stderr, 'detail on 0.0.0.0')
    check(linkpair.tshark('/tmp/llc.pcapng', 'udp.port == 37256') == [], 'no UDP control traffic')
    # RST, the two counter requests and their answers at least (the probe may precede the capture)
    check(len(linkpair.tshark('/tmp/llc.pcapng', 'llc && llc.dsap == 0xac')) >= 6, 'LLC control traffic')


def auto_mode(pair):
    before = len(lines_of(pair.log('cli')))
    r = pair.linktest(['-t', '1', '-c', '300', '-d', 'AUTO', '-v'])
    check(r.returncode == 0 and len(sessions(r.stdout)) == 1, 'auto run: %r' % r)
    for text in ('Channel width: 40 MHz', 'Max Tx bitrate from driver: 300.00 Mbps',
                 'Calculated real max Tx bitrate: 240.00 Mbps', 'Calculated delay: 2133 ns', 'Using Tx duration:',
                 'Using Rx duration:'):
        check(text in r.stderr, 'auto detail %r' % text)
    log = lines_of(pair.log('cli'))[before:]
    check(not any('delay' in ln for ln in log), 'the computed delay is not given to the generator: %r' % log)
    g = sessions(r.stdout)
    if g:
        check(float(g[0][6]) <= 240.0 and int(g[0][5]) <= 468750, 'capped at the real rate: %r' % (g,))


def reverse(pair):
    pair.start_ltsd('cli')
    r = pair.linktest(['-r', '-t', '2', '-c', '300', '-v'])
    check(r.returncode == 0, 'reverse run: %r' % r)
    out = r.stdout.splitlines()
    check(out[:1] == ['Sessions:2, Packets per session:300, Packet size:64'] and out[-1:] == ['Test done'],
          'the remote output relayed: %r' % out)
    got = sessions(r.stdout)
    check([g[2] for g in got] == ['300', '300'], 'remote sessions: %r' % got)
    check('force reverse linktest via LLC' in r.stderr, 'reverse detail')
    srv_log = lines_of(pair.log('srv'))
    check('eth0: dst_mac 02:00:00:00:0A:0B' in srv_log and srv_log.count('pgctrl: start') == 2,
          'the server programmed its generator toward us: %r' % srv_log[-6:])
    r = pair.linktest(['-r', '-t', '1', '-c', '100', '-j'])
    rows = [json.loads(ln) for ln in r.stdout.splitlines()]
    check(r.returncode == 0 and len(rows) == 1 and rows[0]['test'] == 1, 'reverse JSON relayed: %r' % r)


def abort(pair):
    p = pair.popen_linktest(['-t', '500', '-c', '2000'])
    line = p.stdout.readline()
    line = p.stdout.readline()
    check(LINE.match(line.rstrip('\n')) is not None, 'a session before the signal: %r' % line)
    check(linkpair.txqueuelen('cli', 'eth0') == 2000, 'queue length set to the packet count while running')
    check(open('/run/linktest.pid').read() == '%d\n' % p.pid, 'lock file holds the pid')
    p.send_signal(signal.SIGINT)
    out, err = p.communicate(timeout=20)
    check(p.returncode == 1 and "Test aborted by 'Interrupt' signal" in err, 'SIGINT: %r %r' % (p.returncode, err))
    check('Test done' not in out, 'no "Test done" after a signal')
    check(linkpair.txqueuelen('cli', 'eth0') == 1000, 'queue length restored after a signal')
    check(not os.path.exists('/run/linktest.pid'), 'lock removed after a signal')


def lock_held(pair):
    with open('/run/linktest.pid', 'w') as f:
        f.write('4242\n')
    r = pair.linktest(['-t', '1'])
    check(r.returncode == 1 and r.stderr == 'linktest: already running, aborted.\n', 'lock held: %r' % r)
    check(open('/run/linktest.pid').read() == '4242\n', "the other instance's lock is left alone")
    os.unlink('/run/linktest.pid')


def messages(pair):
    before = len(lines_of(pair.log('cli')))
    cases = [
        (['-s', '0'], 'linktest: Packet size not in range: 1-2296\n'),
        (['-s', '2297'], 'linktest: Packet size not in range: 1-2296\n'),
        (['-s', '2296', '-c', '0'], 'linktest: Packet count must be at least 1\n'),
        (['-c', '-5'], 'linktest: Packet count must be at least 1\n'),
        (['-t', '0'], 'linktest: Sessions count must be at least 1\n'),
        (['-p', '3'], 'linktest: Invalid peer 3 (detected 1 peer(s))\n'),
        (['-p', '0'], 'linktest: Invalid peer 0\n'),
        (['-d', 'fast'], "linktest: Invalid packet send delay 'fast'\n"),
    ]
    for args, err in cases:
        r = pair.linktest(args)
        check(r.returncode == 1 and r.stderr == err and r.stdout == '', '%s: %r' % (args, r))
    check(lines_of(pair.log('cli'))[before:] == [], 'refused runs write nothing to the generator')
    r = pair.linktest(['-j', '-v', '-p', '3'])
    check(r.returncode == 1 and json.loads(r.stdout) == {'packets': 1000, 'size': 64, 'sessions': 60,
                                                          'error': 'Invalid peer 3 (detected 1 peer(s))'},
          'JSON error object: %r' % r)
    r = pair.linktest(['-h'])
    check(r.returncode == 0 and r.stdout.startswith('Usage: linktest [options]\n\t-t sessions count\n'), 'usage')
    r = pair.linktest(['-l'])
    check(r.returncode == 0 and r.stdout == 'Peer\tMAC address\t\tName\nNo.\n1 \t02:00:00:00:0B:0B\tdev-srv\n',
          'list: %r' % r.stdout)
    r = pair.linktest(['-l', '-j'])
    check(r.stdout == '{"peer":1,"mac":"02:00:00:00:0B:0B","name":"dev-srv"}\n', 'list JSON: %r' % r.stdout)
    r = pair.linktest(['-p', '02:00:00:00:0b:0b', '-t', '1', '-c', '50', '-v'])
    check(r.returncode == 0 and 'Peer MAC: 02:00:00:00:0B:0B' in r.stderr and 'Peer IP: 192.0.2.2' in r.stderr,
          'peer by MAC: %r' % r)
    r = pair.linktest(['-n', 'dev-s', '-t', '1', '-c', '50', '-v'])
    check(r.returncode == 0 and 'Peer name: dev-srv' in r.stderr, 'peer by name: %r' % r)
    os.rename('/run/stats/wireless.json', '/run/stats/w.json')
    r = pair.linktest([])
    check(r.returncode == 1 and r.stderr == "linktest: No wireless statistics file '/var/run/stats/wireless.json'\n",
          'no statistics file: %r' % r)
    os.rename('/run/stats/w.json', '/run/stats/wireless.json')


def invalid_duration(pair):
    """A generator whose interface table has no result line: no figures, no crash."""
    fix = '/tmp/plain/net/pktgen/'
    os.makedirs(fix, exist_ok=True)
    for f in ('pgctrl', 'kpktgend_0'):
        open(fix + f, 'w').close()
    with open(fix + 'eth0', 'w') as f:
        f.write('Params: count 1000\nResult: Idle\n' + ' ' * 400 + '\n')
    r = subprocess.run(['linktest', '-t', '2', '-c', '10'], env=dict(os.environ, MT_PROC_DIR='/tmp/plain'),
                       capture_output=True, text=True, timeout=60)
    check(r.returncode == 1 and r.stderr == 'Invalid test duration\nInvalid test duration\n'
          and sessions(r.stdout) == [] and r.stdout.endswith('Test done\n'), 'no result line: %r' % r)


def unreachable_start(pair):
    """linktest toward a peer nobody answers, on the server with its own /run and its stand-in
    generator, once the other cases are done with it; takes 12 s."""
    os.makedirs('/tmp/far/run/stats', exist_ok=True)
    with open('/tmp/far/run/stats/wireless.json', 'w') as f:
        json.dump(linkpair.wireless('cli', ip='192.0.2.99'), f)
    doc = json.load(open('/tmp/far/run/stats/wireless.json'))
    doc['peers'][0]['mac'] = '02:00:00:00:0c:0c'
    json.dump(doc, open('/tmp/far/run/stats/wireless.json', 'w'))
    # the device's stubs keep logging where the harness reads them
    os.makedirs('/tmp/far/run/vdev', exist_ok=True)
    return subprocess.Popen(['ip', 'netns', 'exec', 'srv', 'sh', '-c', 'mount --bind /run/vdev /tmp/far/run/vdev && '
                             'mount --rbind /tmp/far/run /run && exec linktest -v'], env=pair.env('srv'),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def unreachable_end(p):
    start = time.monotonic()
    out, err = p.communicate(timeout=40)
    check(p.returncode == 1 and err.endswith('linktest: Remote peer does not respond\n'),
          'unreachable peer: %r %r' % (out, err))
    check('select(): remote stats timeout' not in err, 'the probe is quiet')
    return time.monotonic() - start


def stop_ltsd():
    for d in os.listdir('/proc'):
        if d.isdigit():
            try:
                argv0 = open('/proc/%s/cmdline' % d, 'rb').read().split(b'\0')[0]
            except OSError:
                continue
            if os.path.basename(argv0) == b'ltsd':
                os.kill(int(d), signal.SIGKILL)
    time.sleep(0.2)


def device_main():
    pair = linkpair.Pair()
    t0 = time.monotonic()
    try:
        pair.start_pktgen('cli')
        pair.start_pktgen('srv', rx_base=(4294967000, 4294960000))
        pair.put_wireless('cli', linkpair.wireless('srv'))
        pair.put_wireless('srv', linkpair.wireless('cli'))
        pair.start_ltsd('srv')
        for step in (forward, lossy, llc_only, auto_mode, messages, lock_held, invalid_duration, abort, udp_only,
                     reverse):
            step(pair)
        unreachable_end(unreachable_start(pair))
    finally:
        pair.close()
    print('%d failures (%.1f s)' % (len(failures), time.monotonic() - t0))
    return 1 if failures else 0


def host_main():
    sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
    import vdevlib
    build = os.environ['MT_BUILD_DIR']
    if not os.path.exists(os.path.join(build, 'tests/fakepktgen/fakepktgen')):
        vdevlib.skip('stand-in packet generator not built (libfuse3-dev missing)')
    for tool in ('tshark', 'dumpcap', 'nsenter', 'nft'):
        if subprocess.run(['which', tool], capture_output=True).returncode != 0:
            vdevlib.skip('%s not installed' % tool)
    r = vdevlib.run(['python3', '/mnt/vdev/src/multool/lib/linktest/tests/link_e2e_test.py'],
                    stubs=['/sbin/modprobe=0'], setup=linkpair.SETUP, require=linkpair.REQUIRE, timeout=220)
    sys.stdout.write(r.stdout)
    sys.stderr.write(r.stderr)
    return r.returncode


if __name__ == '__main__':
    sys.exit(device_main() if os.environ.get('VDEV') == '1' else host_main())
