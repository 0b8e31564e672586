#!/usr/bin/env python3
"""ltsd on the server of two virtual devices, asked by clients written here: UDP through python's
socket module and LLC through a packet socket with this file's own 802.3 + LLC framing and struct
decoding.  The kernel tables come as fixture files through MT_PROC_DIR (then from the stand-in packet
generator), /usr/sbin/linktest is a stub script that records its arguments, tshark dissects the control
frames.  The host half starts the device; the device half (VDEV=1) runs the checks."""
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import linkpair  # noqa: E402

HDR = bytes([0x02, 0x6E, 0x41, 0x33, 0x33])
SRV_BR0 = bytes.fromhex('020000000b0b')
SRV_ETH0 = bytes.fromhex('020000000b01')
CLI_ETH0 = bytes.fromhex('020000000a01')
SNMP21 = ('Ip: Forwarding DefaultTTL InReceives InHdrErrors InAddrErrors ForwDatagrams InUnknownProtos '
          'InDiscards InDelivers OutRequests OutDiscards OutNoRoutes ReasmTimeout ReasmReqds ReasmOKs '
          'ReasmFails FragOKs FragFails FragCreates RxP RxB\n'
          'Ip: 2 64 3000000000 0 0 0 0 0 9 5 0 0 0 0 0 0 0 0 0 4294967297 123456789012\n')
SNMP20 = 'Ip: x\nIp: 1 64 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18\n'
STUB = r'''#!/bin/sh
# stand-in linktest: records its arguments, then behaves as its first one says
printf '%s\n' "$@" > /tmp/stub-argv.$$
trap 'echo TERM > /tmp/stub-term; exit 143' TERM
case "$1" in
lines) echo "first line"; echo "second line"; printf 'no newline'; exit 0 ;;
fail) echo "oops"; exit 3 ;;
sleep) echo started; sleep 30 & wait; exit 0 ;;
esac
exit 0
'''
MODPROBE = '#!/bin/sh\necho "$@" >> /tmp/modprobe.log\nexit "$(cat /tmp/modprobe.rc 2>/dev/null || echo 0)"\n'

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print('FAIL:', what, flush=True)


# -- clients of our own -----------------------------------------------------------------------------


class Llc:
    """LLC datagrams from the client's eth0, framed and checked here."""

    def __init__(self):
        self.s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
        self.s.bind(('eth0', 0))
        self.s.settimeout(0.1)

    def send(self, payload, dst=SRV_BR0, dsap=0xAC):
        frame = dst + CLI_ETH0 + struct.pack('>HBBB', 3 + len(payload), dsap, 0xAC, 0x03) + payload
        self.s.send(frame + bytes(max(0, 60 - len(frame))))

    def recv_all(self, wait=1.0, count=None):
        """Payloads of the LLC datagrams to us within WAIT seconds (or until COUNT arrived)."""
        got, end = [], time.monotonic() + wait
        while time.monotonic() < end and (count is None or len(got) < count):
            try:
                frame, addr = self.s.recvfrom(2048)
            except socket.timeout:
                continue
            if addr[2] == socket.PACKET_OUTGOING or frame[:6] != CLI_ETH0 or len(frame) < 17:
                continue
            length, dsap, ssap, ctl = struct.unpack('>HBBB', frame[12:17])
            if length > 1500 or dsap != 0xAC or ctl != 3:
                continue
            got.append(frame[17:14 + length])
        return got

    def ask(self, payload, count=1, wait=2.0):
        self.recv_all(0.05)
        self.send(payload)
        return self.recv_all(wait, count)


class Udp:
    def __init__(self):
        self.s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.s.settimeout(2.0)

    def ask(self, data):
        self.s.sendto(data, (linkpair.IP['srv'], 37256))
        try:
            return self.s.recv(1024)
        except socket.timeout:
            return None


BUSY = b'400 LINKTEST IS RUNING\n\r\n'


def running(ask, tries=50):
    """The first answer to a RUN that is not "still running" (the child before it not yet reaped)."""
    for _ in range(tries):
        got = ask()
        if got != BUSY and got != [HDR + BUSY]:
            return got
        time.sleep(0.1)
    return got


def put(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'w') as f:
        f.write(text)


def ltsd_pids():
    pids = []
    for d in os.listdir('/proc'):
        if d.isdigit():
            try:
                with open('/proc/%s/cmdline' % d, 'rb') as f:
                    argv = f.read().split(b'\0')
            except OSError:
                continue
            if argv and os.path.basename(argv[0]) == b'ltsd':
                pids.append(int(d))
    return pids


def stop_ltsd():
    for pid in ltsd_pids():
        os.kill(pid, signal.SIGKILL)
    linkpair.wait_for(lambda: not ltsd_pids(), what='ltsd to end')


# -- the device half --------------------------------------------------------------------------------


def fixtures_phase(pair):
    fix = '/tmp/fix'
    put(fix + '/net/snmp', SNMP21)
    put(fix + '/net/pktgen/pgrx', 'RECEPTION STATISTICS\nG 10 640 15321\n')
    sentinel = subprocess.Popen(['sleep', '60'])
    stop_cap = pair.capture('cli', 'eth0', '/tmp/ctl.pcapng')
    r = subprocess.run(['ip', 'netns', 'exec', 'srv', 'sh', '-c',
                        'mount --bind /run/vdev /tmp/srv/run/vdev && mount --rbind /tmp/srv/run /run && exec ltsd'],
                       env=dict(os.environ, MT_PROC_DIR=fix), capture_output=True, text=True, timeout=20)
    check(r.returncode == 0 and r.stderr == '', 'ltsd starts: %r' % r)
    time.sleep(0.3)
    check(len(ltsd_pids()) == 1, 'ltsd runs detached: %r' % ltsd_pids())
    llc, udp = Llc(), Udp()

    # ABOR with no reverse test: 200, and nothing signalled (never kill(-1, ...))
    check(llc.ask(HDR + b'ABOR') == [HDR + b'200\r\n'], 'ABOR before RUN answers 200')
    time.sleep(0.2)
    check(sentinel.poll() is None, 'ABOR before RUN signals no other process')

    # requests over UDP: case, one line ending, the counter text with its NUL
    check(udp.ask(b'rst\r\n') == b'200\r\n', 'UDP rst\\r\\n')
    check(udp.ask(b'RsT\n') == b'200\r\n', 'UDP RsT\\n')
    want = b'4294967297 123456789012 02:00:00:00:0B:01\0'
    check(udp.ask(b'') == want, 'UDP empty request: %r' % udp.ask(b''))
    check(udp.ask(b'rst\n\n') == want, 'two line endings: not RST, a counter request')

    # over LLC: the 29-byte big-endian reply, and silence for what is not ours
    got = llc.ask(HDR)
    check(len(got) == 1 and len(got[0]) == 29, 'LLC header-only request: %r' % got)
    if len(got) == 1 and len(got[0]) == 29:
        check(struct.unpack('>5sQQQ', got[0]) == (HDR, 4294967297, 123456789012, 15321), 'LLC counters %r' % got)
    check(llc.ask(HDR + b'rst') == [HDR + b'200\r\n'], 'LLC rst')
    check(llc.ask(bytes([2, 0x6E, 0x41, 0x33, 0x34]), wait=0.7) == [], 'LLC wrong header: no reply')
    check(llc.ask(HDR[:4], wait=0.7) == [], 'LLC 4-byte datagram: no reply')
    # the answers to this device's own link tests: answering them, two daemons would answer each other
    check(llc.ask(struct.pack('>5sQQQ', HDR, 400, 25600, 1000), wait=0.7) == [], 'LLC counter answer: no reply')
    check(llc.ask(HDR + b'200\r\n', wait=0.7) == [], 'LLC status reply: no reply')
    llc.recv_all(0.05)
    llc.send(HDR, dst=SRV_ETH0)
    check(llc.recv_all(0.7) == [], 'LLC to the port MAC, not the bridge: no reply')
    llc.send(HDR, dsap=0x42)
    check(llc.recv_all(0.7) == [], 'LLC of another SAP: no reply')

    # reverse tests: streamed lines, the final code, one at a time, ABOR
    got = llc.ask(HDR + b'RUN lines\r\n', count=4, wait=5)
    check(got == [HDR + b'100 first line\n\r\n', HDR + b'100 second line\n\r\n', HDR + b'100 no newline\r\n',
                  HDR + b'200\r\n'], 'RUN lines: %r' % got)
    argv = [open('/tmp/' + f).read() for f in os.listdir('/tmp') if f.startswith('stub-argv.')]
    check(argv == ['lines\n'], 'linktest started with the words as arguments: %r' % argv)
    # the child's first line and its final code come when a forked shell has run the program and it
    # has exited, which a loaded sanitizer build may take a while for; the last RUN's child may not
    # have been reaped yet, and then the daemon rightly says that one still runs
    udp.s.settimeout(15.0)
    first = running(lambda: udp.ask(b'RUN fail'))
    check(first == b'100 oops\n\r\n', 'RUN over UDP streams over UDP: %r' % first)
    try:
        reply = udp.s.recv(1024)
    except socket.timeout:
        reply = None
    udp.s.settimeout(2.0)
    check(reply == b'400 LINKTEST FAILED\n\r\n', 'a failing linktest: %r' % reply)
    got = running(lambda: llc.ask(HDR + b'RUN sleep', count=1, wait=5))
    check(got == [HDR + b'100 started\n\r\n'], 'RUN sleep: %r' % got)
    check(llc.ask(HDR + b'RUN lines') == [HDR + b'400 LINKTEST IS RUNING\n\r\n'], 'second RUN while one runs')
    check(llc.ask(HDR + b'ABOR') == [HDR + b'200\r\n'], 'ABOR answers 200')
    linkpair.wait_for(lambda: os.path.exists('/tmp/stub-term'), 5, 'the aborted linktest to get SIGTERM')
    time.sleep(0.3)
    check(llc.ask(HDR + b'ABOR') == [HDR + b'200\r\n'], 'ABOR of a finished test')
    check(sentinel.poll() is None and ltsd_pids(), 'ABOR of a finished test signals nobody')
    got = running(lambda: llc.ask(HDR + b'RUN lines', count=4, wait=5))
    check(len(got) == 4 and got[-1] == HDR + b'200\r\n', 'a new RUN after ABOR: %r' % got)

    # nothing from a peer reaches a shell
    for probe in (b'RUN lines;touch /tmp/pwned', b'RUN $(touch /tmp/pwned)', b'RUN `touch /tmp/pwned`',
                  b'RUN lines|touch /tmp/pwned', b'RUN lines\ntouch /tmp/pwned'):
        check(llc.ask(HDR + probe) == [HDR + b'400 CANNOT RUN LINKTEST\n\r\n'], 'refused: %r' % probe)
    check(udp.ask(b'RUN ;touch /tmp/pwned') == b'400 CANNOT RUN LINKTEST\n\r\n', 'refused over UDP')
    time.sleep(0.5)
    check(not os.path.exists('/tmp/pwned'), 'no shell ran a request')

    # no pgrx table: no duration; an snmp table without the counters stops the daemon
    os.unlink(fix + '/net/pktgen/pgrx')
    got = llc.ask(HDR)
    check(len(got) == 1 and got[0][21:] == bytes(8), 'no pgrx: duration 0: %r' % got)
    put(fix + '/net/snmp', SNMP20)
    check(udp.ask(b'') is None, 'snmp with 20 numbers: no reply')
    linkpair.wait_for(lambda: not ltsd_pids(), 5, 'ltsd to stop on an unreadable snmp table')
    stop_cap()
    sentinel.kill()

    # every control frame on the wire: 802.3 length = 3 + payload, SAPs 0xAC, UI
    rows = linkpair.tshark('/tmp/ctl.pcapng', 'llc', ('eth.len', 'llc.dsap', 'llc.ssap', 'llc.control', 'data.len'))
    check(len(rows) >= 30, 'tshark saw the control frames: %d' % len(rows))
    replies = linkpair.tshark('/tmp/ctl.pcapng', 'llc && eth.src == 02:00:00:00:0b:0b',
                              ('eth.len', 'llc.dsap', 'llc.ssap', 'llc.control', 'data.len'))
    check(len(replies) >= 15, 'replies of ltsd on the wire: %d' % len(replies))
    for row in replies:
        check(row[1:4] == ['0xac', '0xac', '0x0003'] and int(row[0]) == 3 + int(row[4] or 0),
              'reply frame dissected as LLC UI 0xAC with length 3 + payload: %r' % row)


def standin_phase(pair):
    pair.start_pktgen('srv', rx_base=(4294967000, 77))
    open('/tmp/modprobe.log', 'w').close()
    pair.start_ltsd('srv')
    log = open(pair.log('srv')).read().splitlines()
    check(log == ['pgrx: rx all', 'pgrx: statistics basic', 'pgrx: display script'], 'receive side set up: %r' % log)
    check(open('/tmp/modprobe.log').read() == 'pktgen\n', 'modprobe pktgen run once')
    udp = Udp()
    check(udp.ask(b'RST') == b'200\r\n', 'RST')
    check(open(pair.log('srv')).read().splitlines()[-1] == 'pgrx: rx_reset', 'RST resets the receive counters')
    check(udp.ask(b'').startswith(b'4294967000 77 '), 'counters from the generator\'s snmp table')
    stop_ltsd()


def startup_failures(pair):
    def ltsd(args, ns=None, **env):
        cmd = (['ip', 'netns', 'exec', ns] if ns else []) + ['ltsd'] + args
        return subprocess.run(cmd, capture_output=True, text=True, timeout=20, env=dict(os.environ, **env))

    subprocess.run(['ip', 'netns', 'add', 'bare'], check=True)
    r = ltsd([], ns='bare')
    check(r.returncode == 1 and r.stderr == 'ltsd: no LLC sockets, cannot proceed\n', 'no bridge: %r' % r)
    r = ltsd(['-i', 'nosuch0'])
    check(r.returncode == 1 and r.stderr.startswith('ltsd: setsockopt SO_BINDTODEVICE on nosuch0: '),
          'unknown interface: %r' % r)
    put('/tmp/modprobe.rc', '1\n')
    r = ltsd(['-i', 'br0'])
    check(r.returncode == 1 and r.stderr == 'ltsd: Error loading pktgen module\n', 'modprobe fails: %r' % r)
    os.unlink('/tmp/modprobe.rc')
    check(not ltsd_pids(), 'no ltsd left after failed starts')


def device_main():
    pair = linkpair.Pair()
    try:
        fixtures_phase(pair)
        stop_ltsd()
        standin_phase(pair)
        startup_failures(pair)
    finally:
        pair.close()
    print('%d failures' % len(failures))
    return 1 if failures else 0


# -- the host half ----------------------------------------------------------------------------------


def host_main():
    sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
    import vdevlib
    build = os.environ['MT_BUILD_DIR']
    if not os.path.exists(os.path.join(build, 'tests/fakepktgen/fakepktgen')):
        vdevlib.skip('stand-in packet generator not built (libfuse3-dev missing)')
    for tool in ('tshark', 'dumpcap', 'nsenter'):
        if subprocess.run(['which', tool], capture_output=True).returncode != 0:
            vdevlib.skip('%s not installed' % tool)
    r = vdevlib.run(['python3', '/mnt/vdev/src/multool/lib/linktest/tests/ltsd_e2e_test.py'],
                    roots=[{'/usr/sbin/linktest': (STUB, 0o755), '/sbin/modprobe': (MODPROBE, 0o755)}],
                    setup=linkpair.SETUP, require=linkpair.REQUIRE, timeout=200)
    sys.stdout.write(r.stdout)
    sys.stderr.write(r.stderr)
    # ABOR with no child must not turn into a signal to every process or to pid 1
    if any(ln.startswith('SIGTERM') for ln in r.init_log):
        print('FAIL: the device\'s pid 1 got %r' % r.init_log)
        return 1
    return r.returncode


if __name__ == '__main__':
    sys.exit(device_main() if os.environ.get('VDEV') == '1' else host_main())
