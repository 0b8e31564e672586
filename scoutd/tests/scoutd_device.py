#!/usr/bin/env python3
"""Inside the virtual device: the device's interfaces, a LAN namespace joined to them by veth pairs,
the discovery daemon (or the multool applet) at its real path, and an independent discovery tool
(scoutnet) on the LAN side.  One scenario per run:

  normal  memberships and sockets (M = 3), every request kind and the malformed ones, the heartbeat
          sizes, the state broadcast, a new interface followed by a restart, a forged link event,
          frames checked by tshark
  boot    the boot window (3 s with eth0), non-trigger frames incl. a promiscuous port, the trigger,
          the marker and its remover, the reset at the next boot-time start
  order   reset by command 2 (and a marker that cannot be made), extend and continue, the 10 s window
  applet  the older protocol: version 2 only, the 6 s window, the PIN reset, the pid file

Prints what failed and exits 1 when anything did."""
import os
import re
import signal
import subprocess
import sys
import time
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scoutnet as sn  # noqa: E402

MAC = '02:03:04:05:06:07'
OWN = sn.device_id(MAC)
OTHER = 0x0000_0299_0000_0001
VERSION = 'APCPE.QA-2.v7.52.1.4711\nsecond line\n'
SERIAL = 'KTRV0123456789ABCDEF\n'
MARKER = '/data/boot_reset'
PIDFILE = '/var/run/scoutd.pid'
SYSLOG = '/run/vdev/syslog.log'

failures = []
ids = sn.unique_ids()


def check(cond, what):
    if not cond:
        failures.append(what)
        print('FAIL:', what, flush=True)
    return cond


def wait_for(cond, timeout, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = cond()
        if v:
            return v
        time.sleep(step)
    return cond()


def exited(pid):
    """The process is a zombie or already reaped (which may happen between two looks)."""
    try:
        return open('/proc/%d/stat' % pid).read().split()[2] == 'Z'
    except (FileNotFoundError, ProcessLookupError):
        return True


def put(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(text.encode() if isinstance(text, str) else text)
    os.chmod(path, mode)


def igmp():
    """{device: {group hex: users}} from /proc/net/igmp."""
    out, dev = {}, None
    for line in open('/proc/net/igmp').read().splitlines()[1:]:
        if line[:1].isdigit():
            dev = line.split()[1]
            out[dev] = {}
        elif dev:
            f = line.split()
            out[dev][f[0]] = int(f[1])
    return out


def joined():
    return sorted(d for d, g in igmp().items() if '01BC59E9' in g)


def syslog_lines():
    try:
        return open(SYSLOG, errors='replace').read().splitlines()
    except FileNotFoundError:
        return []


def logged(text, timeout=2):
    """Whether a syslog line holds TEXT; the catcher writes what it receives a moment later."""
    return wait_for(lambda: any(text in l for l in syslog_lines()), timeout)


def lan_pair(lan, dev_if, lan_if, dev_ip, lan_ip):
    sn.sh('ip link add %s type veth peer name %s netns %s' % (dev_if, lan_if, lan.name))
    sn.sh('ip link set %s up && ip addr add %s/24 dev %s' % (dev_if, dev_ip, dev_if))
    lan.run(['sh', '-ec', 'ip link set %s up; ip addr add %s/24 dev %s' % (lan_if, lan_ip, lan_if)], check=True)


def device_base(lan):
    lan.run(['ip', 'link', 'set', 'lo', 'up'], check=True)
    lan_pair(lan, 'eth0', 'lan0', '192.0.2.1', '192.0.2.2')
    sn.sh('ip link set eth0 address %s' % MAC)
    put('/usr/lib/version', VERSION)
    put('/etc/serial-no', SERIAL)


class Daemon:
    def __init__(self, args, program='/usr/sbin/scoutd'):
        cmd = [program] if program == '/usr/sbin/scoutd' else ['/usr/sbin/multool', 'scoutd']
        self.started = time.monotonic()
        self.p = subprocess.Popen(cmd + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.out = self.err = ''

    def ready(self, devices, timeout=5):
        ok = wait_for(lambda: set(devices) <= set(joined()), timeout)
        return check(ok, 'memberships on %s (have %s)' % (devices, joined()))

    def wait(self, timeout):
        try:
            out, err = self.p.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.p.kill()
            out, err = self.p.communicate()
            check(False, 'daemon still running after %.1f s' % timeout)
        self.out, self.err = out.decode(errors='replace'), err.decode(errors='replace')
        self.elapsed = time.monotonic() - self.started
        return self.p.returncode

    def stop(self):
        self.p.send_signal(signal.SIGTERM)
        return self.wait(3)


def flags_of(answers, what):
    if not check(len(answers) == 1, '%s: one answer, got %d' % (what, len(answers))):
        return None
    p = answers[0].payload
    check(len(answers[0].data) == 21 and p[1] == 3, '%s: a state answer, got %s' % (what, answers[0]))
    return p[2]


def state(c, version=1):
    asker = next(ids)
    return flags_of(c.ask(sn.dproto(3, asker, OWN, version=version), asker), 'state request')


def remover_pids():
    pids = []
    for pid in os.listdir('/proc'):
        if pid.isdigit():
            try:
                if open('/proc/%s/comm' % pid).read().strip() == 'scoutd':
                    pids.append(int(pid))
            except OSError:
                pass
    return pids


# -- normal mode -------------------------------------------------------------------------------------
def heartbeat_cases(c):
    """Sizes around the limits, raw and compressed, by dproto and legacy; the agent is signalled."""
    usr2 = []
    signal.signal(signal.SIGUSR2, lambda *_: usr2.append(1))
    put('/var/run/zelkd.pid', '%d\n' % os.getpid())
    text = lambda n: ('<heartbeat>' + 'x' * n)[:n].encode()  # noqa: E731
    cases = [('1300 bytes raw', text(1300), 0), ('1301 bytes compressed', text(1301), 1),
             ('8192 bytes compressed', text(8192), 1), ('empty', b'', 0)]
    for what, data, flag in cases:
        put('/tmp/zelk/last-heartbeat', data)
        asker = next(ids)
        got = c.ask(sn.dproto(1, asker, OWN), asker)
        if check(len(got) == 1, 'heartbeat %s: one answer, got %d' % (what, len(got))):
            a = got[0]
            check(a.data[:4] == b'\0\0\1\0', 'heartbeat %s: header 00 00 01 00, got %s' % (what, a.data[:4].hex()))
            hb = sn.parse_heartbeat(a.payload)
            check(hb['exact'] and hb['flags'] == flag and hb['data'] == data,
                  'heartbeat %s: flags %d len %d exact %s' % (what, hb['flags'], hb['len'], hb['exact']))
            if flag:
                check(hb['len'] <= 1300 and hb['len'] < len(data), 'heartbeat %s: compressed size %d' % (what, hb['len']))
    # legacy framing: the payload alone, by unicast
    put('/tmp/zelk/last-heartbeat', text(2000))
    _, a = c.legacy_ask(1)
    if check(a is not None, 'legacy heartbeat answered'):
        hb = sn.parse_heartbeat(a.data)
        check(hb['version'] == 0 and hb['cmd'] == 1 and hb['flags'] == 1 and hb['data'] == text(2000),
              'legacy heartbeat %s' % {k: v for k, v in hb.items() if k != 'data'})
    check(len(usr2) == len(cases) + 1, 'agent signalled once per request: %d' % len(usr2))
    # refused: too big, incompressible, missing; then a pid file naming init: answered, init not signalled
    refused = [('8193 bytes', text(8193)), ('incompressible', os.urandom(3000)), ('missing', None)]
    for what, data in refused:
        if data is None:
            os.unlink('/tmp/zelk/last-heartbeat')
        else:
            put('/tmp/zelk/last-heartbeat', data)
        asker, sentinel = next(ids), next(ids)
        c.send(sn.dproto(1, asker, OWN))
        got = c.ask(sn.dproto(3, sentinel, OWN), sentinel)
        check(len(got) == 1 and not c.answers_to(asker, c.heard), 'heartbeat %s refused' % what)
    put('/tmp/zelk/last-heartbeat', b'<hb/>')
    for pid_text in ('1\n', 'garbage\n'):
        put('/var/run/zelkd.pid', pid_text)
        asker = next(ids)
        got = c.ask(sn.dproto(1, asker, OWN), asker)
        check(len(got) == 1 and sn.parse_heartbeat(got[0].payload)['data'] == b'<hb/>',
              'heartbeat answered with agent pid file %r' % pid_text)
    check(len(usr2) == len(cases) + 1 + len(refused), 'agent signalled for refused heartbeats too: %d' % len(usr2))
    check(logged('Failed to read PID from'), 'unreadable agent pid logged')


def request_table(c, c2):
    """Every request kind and the malformed ones, sent together; each answer is matched to its request
    by the asker id it is addressed to, and a last request shows when everything before was served."""
    a = {k: next(ids) for k in ('disc_all', 'disc_own', 'serial_other', 'state_own', 'state_all', 'state21',
                                 'extend20', 'zero_dst', 'other_dst', 'v2', 'v7', 'cmd9', 'reset', 'cont',
                                 'extend_ok')}
    reqs = [
        ('disc_all', sn.dproto(0, a['disc_all'], sn.ALL), 1),
        ('disc_own', sn.dproto(0, a['disc_own'], OWN), 1),
        ('serial_other', sn.dproto(7, a['serial_other'], OTHER), 1),
        ('state_own', sn.dproto(3, a['state_own'], OWN), 1),
        ('state_all', sn.dproto(3, a['state_all'], sn.ALL), 0),
        ('state21', sn.dproto(3, a['state21'], OWN, b'\x05'), 0),
        ('extend20', sn.dproto(4, a['extend20'], OWN), 0),
        ('zero_dst', sn.dproto(0, a['zero_dst'], 0), 0),
        ('other_dst', sn.dproto(3, a['other_dst'], OTHER), 0),
        ('v2', sn.dproto(0, a['v2'], OWN, version=2), 0),
        ('v7', sn.dproto(0, a['v7'], OWN, version=7), 0),
        ('cmd9', sn.dproto(9, a['cmd9'], OWN), 0),
        ('reset', sn.dproto(2, a['reset'], OWN), 0),  # only in boot-time mode
        ('cont', sn.dproto(5, a['cont'], OWN), 1),
        ('extend_ok', sn.dproto(4, a['extend_ok'], OWN, b'\x07'), 1),
    ]
    c.heard.clear()
    for _, data, _ in reqs:
        c.send(data)
    c.send(sn.dproto(0, 0, OWN))        # zero source: no asker to answer
    c.send(sn.dproto(0, OWN, OWN))      # our own id as source
    c.send(b'\x01\x00')                 # shorter than 4 bytes
    c.send(b'\x01' * 600)               # longer than the receive buffer
    sentinel = next(ids)
    c.ask(sn.dproto(3, sentinel, OWN), sentinel)
    c.listen(0.2)
    for name, _, want in reqs:
        got = c.answers_to(a[name], c.heard)
        check(len(got) == want, '%s: %d answers, want %d' % (name, len(got), want))
    check(not c.answers_to(OWN, c.heard) and not c.answers_to(0, c.heard), 'answers to forged askers')

    d = c.answers_to(a['disc_all'], c.heard)
    if d:
        h, p = d[0].dproto, sn.parse_discovery(d[0].payload)
        check(h == {'version': 1, 'zero1': 0, 'cmd': 0, 'zero3': 0, 'src': OWN, 'dst': a['disc_all']},
              'discovery header %s' % h)
        line = VERSION.splitlines(True)[0].encode()
        check(p['mac'] == MAC and p['ip'] == '192.0.2.1' and p['line'] == line and p['len'] == len(line) and p['exact'],
              'discovery payload %s' % p)
        check(len(d[0].data) == 16 + len(line) + 18, 'dproto answer is payload + 18 bytes')
        check(d[0].ttl == 1 and d[0].addr == ('192.0.2.1', sn.DPROTO_PORT), 'dproto answer ttl %s from %s' % (d[0].ttl, d[0].addr))
    s = c.answers_to(a['serial_other'], c.heard)
    if s:
        check(s[0].payload == b'\x01\x07' + SERIAL[:16].encode(), 'serial answer %s' % s[0].payload)
    for name, want in (('state_own', 0x02), ('cont', 0x02), ('extend_ok', 0x0A)):
        got = c.answers_to(a[name], c.heard)
        if got:
            check(got[0].payload == bytes([1, 3, want]) and len(got[0].data) == 21,
                  '%s answer %s, want flags %02x' % (name, got[0].payload.hex(), want))

    # legacy: unicast answers to the asking socket; the same rules without ids
    _, l0 = c.legacy_ask(0)
    if check(l0 is not None, 'legacy discovery answered'):
        p = sn.parse_discovery(l0.data)
        check(l0.addr == ('192.0.2.1', sn.LEGACY_PORT) and p['version'] == 0 and p['cmd'] == 0 and p['mac'] == MAC
              and p['exact'], 'legacy discovery %s from %s' % (p, l0.addr))
    _, l7 = c.legacy_ask(7)
    check(l7 is not None and l7.data == b'\0\7' + SERIAL[:16].encode(), 'legacy serial %s' % (l7 and l7.data))
    _, l3 = c.legacy_ask(3)
    check(l3 is not None and l3.data == b'\0\3\x0a', 'legacy state (extended above) %s' % (l3 and l3.data))
    s5, _ = c.legacy_ask(0, seconds=0, raw=b'\0\0\0\0\0')
    s3, _ = c.legacy_ask(0, seconds=0, raw=b'\0\0\0')
    sentinel = next(ids)
    c.ask(sn.dproto(3, sentinel, OWN), sentinel)
    import select
    r, _, _ = select.select([s5, s3], [], [], 0.2)
    check(not r, 'legacy requests of 5 and 3 bytes are not answered')

    # the interface on the second socket of each list: exactly one answer, out of that interface
    asker = next(ids)
    got = c2.ask(sn.dproto(0, asker, sn.ALL), asker)
    c2.listen(0.3)
    got = c2.answers_to(asker, c2.heard)
    check(len(got) == 1, 'eth2 (second socket): %d answers' % len(got))
    if got:
        check(got[0].addr[0] == '198.51.100.1' and got[0].ifindex == c2.ifindex and got[0].ttl == 1,
              'eth2 answer from %s ttl %s' % (got[0].addr, got[0].ttl))
        check(sn.parse_discovery(got[0].payload)['mac'] == MAC, 'eth2 answer names eth0')


def forged_link_event(pid):
    """A local process sending a link-up message to the daemon's netlink port must not restart it."""
    import socket
    import struct
    port = None
    for line in open('/proc/net/netlink').read().splitlines()[1:]:
        f = line.split()
        if f[1] == '0' and int(f[3], 16) == 0x11:
            port = int(f[2])
    if not check(port is not None, 'daemon netlink socket in /proc/net/netlink'):
        return
    attr = struct.pack('=HHB3x', 5, 16, 6)  # IFLA_OPERSTATE = up
    body = struct.pack('=BBHiII', 0, 0, 1, 1, 0x41, 0x41) + attr
    msg = struct.pack('=IHHII', 16 + len(body), 16, 0, 1, 4242) + body
    s = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, 0)
    s.bind((0, 0))
    s.sendto(msg, (port, 0))
    s.close()


def tshark_frames(pcap):
    r = subprocess.run(['tshark', '-r', pcap, '-d', 'udp.port==45678,data', '-d', 'udp.port==10001,data', '-Y', 'udp',
                        '-T', 'fields', '-E', 'separator=,', '-e', 'ip.src', '-e', 'ip.dst', '-e', 'ip.ttl',
                        '-e', 'udp.srcport', '-e', 'udp.dstport', '-e', 'data.data'],
                       capture_output=True, text=True)
    check(r.returncode == 0, 'tshark: %s' % r.stderr[-300:])
    return [l.split(',') for l in r.stdout.splitlines() if l]


def normal():
    lan = sn.Netns('lan')
    device_base(lan)
    sn.sh('sysctl -qw net.ipv4.igmp_max_memberships=3')
    sn.sh('ip link add eth1 type veth peer name x1 netns lan && ip link set eth1 up')
    lan_pair(lan, 'eth2', 'lan2', '198.51.100.1', '198.51.100.2')
    sn.sh('ip link add peer0 type veth peer name x2 netns lan && ip link set peer0 up')
    sn.sh('ip link add br0 type bridge forward_delay 0 && ip link add eth3 type veth peer name x3 netns lan')
    sn.sh('ip link set eth3 master br0 && ip link set eth3 up && ip link set br0 up')
    sn.sh('ip link add eth4 type veth peer name x4 netns lan')  # stays down
    lan.run(['sh', '-c', 'for i in x1 x2 x3 x4; do ip link set $i up; done'], check=True)
    check(wait_for(lambda: open('/sys/class/net/br0/operstate').read().strip() == 'up', 5), 'br0 up')
    cap = subprocess.Popen(['ip', 'netns', 'exec', 'lan', 'dumpcap', '-q', '-i', 'lan0', '-w', '/tmp/lan0.pcap'],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    check(wait_for(lambda: os.path.exists('/tmp/lan0.pcap'), 5), 'capture started')
    c, c2 = sn.Client(lan, 'lan0', '192.0.2.2'), sn.Client(lan, 'lan2', '198.51.100.2')

    d = Daemon(['-f', '-v'])
    d.ready(['eth0', 'eth1', 'eth2', 'br0', 'eth3'])
    check(joined() == ['br0', 'eth0', 'eth1', 'eth2', 'eth3'], 'joined exactly %s' % joined())
    check(all(igmp()[x]['01BC59E9'] == 2 for x in joined()), 'two memberships (legacy, dproto) each: %s' % igmp())
    ss = subprocess.run(['ss', '-uanp'], capture_output=True, text=True).stdout
    socks = [l for l in ss.splitlines() if '233.89.188.1:' in l]
    ports = sorted(re.search(r'233\.89\.188\.1:(\d+)', l).group(1) for l in socks)
    check(ports == ['10001', '10001', '45678', '45678'] and all('"scoutd",pid=%d' % d.p.pid in l for l in socks),
          'five interfaces, M = 3: two sockets per port: %s' % socks)
    check(open(PIDFILE).read() == '%d\n' % d.p.pid, 'pid file')

    for cl, name in ((c, 'lan0'), (c2, 'lan2')):
        b = cl.broadcasts(cl.listen(2.0, until=lambda a: a.dproto and a.dproto['dst'] == sn.ALL))
        check(len(b) == 1 and b[0].data == sn.dproto(3, OWN, sn.ALL, b'\x02') and b[0].ttl == 1,
              'state broadcast on %s: %s' % (name, b))

    request_table(c, c2)
    heartbeat_cases(c)

    # a new interface coming up: the daemon starts anew (same pid in the foreground) and joins it
    restarts = lambda: sum('Detected new operating interface. RESTARTING!' in l for l in syslog_lines())  # noqa: E731
    sn.sh('ip link add eth5 type veth peer name x5 netns lan && ip link set eth5 up')
    lan.run(['ip', 'link', 'set', 'x5', 'up'], check=True)
    check(wait_for(lambda: 'eth5' in joined(), 5), 'eth5 joined after it came up: %s' % joined())
    check(wait_for(lambda: restarts() == 1, 2) and d.p.poll() is None, 'one restart, same process: %d' % restarts())
    ss = subprocess.run(['ss', '-uanp'], capture_output=True, text=True).stdout
    check(sum('233.89.188.1:45678' in l for l in ss.splitlines()) == 3, 'six interfaces, M = 3: three dproto sockets')
    check(state(c) == 0x02, 'answers after the restart, no longer extended')
    c.listen(2.0, until=lambda a: len(c.announced) == 2)
    check(len(c.announced) == 2, 'the restarted daemon announced its state once more')

    forged_link_event(d.p.pid)
    time.sleep(0.5)
    check(restarts() == 1, 'a forged link event from a local process restarts nothing')
    check(state(c) == 0x02, 'answers after the forged event')

    check(d.stop() == 0, 'SIGTERM ends the daemon with 0: %s' % d.p.returncode)
    check(os.path.exists(PIDFILE), 'the daemon keeps its pid file')
    c.listen(0.2)
    check(len(c.announced) == 2, 'normal mode: one broadcast per start, %d' % len(c.announced))
    cap.send_signal(signal.SIGTERM)
    cap.wait(5)
    frames = [f for f in tshark_frames('/tmp/lan0.pcap') if f[0] == '192.0.2.1']
    group = [f for f in frames if f[1] == sn.GROUP]
    unicast = [f for f in frames if f[1] != sn.GROUP]
    check(group and all(f[2] == '1' and f[3] == f[4] == '45678' for f in group), 'tshark: group frames %s' % group[:3])
    check(unicast and all(f[3] == '10001' and f[1] == '192.0.2.2' for f in unicast), 'tshark: unicast %s' % unicast[:3])
    bc = (sn.dproto(3, OWN, sn.ALL, b'\x02')).hex()
    check(sum(f[5].replace(':', '') == bc for f in group) == 2, 'tshark: the two state broadcasts %s' % [f[5] for f in group if len(f[5]) < 50])
    check(logged('Opened 2/2 multicast sockets on 5 interfaces'), 'syslog: sockets and interfaces')
    check(logged('Skipping peer0'), 'syslog: peer0 skipped')
    lines = [l for l in syslog_lines() if 'scoutd[' in l]
    check(lines and all(re.match(r'<(2[4-9]|3[01])>', l) for l in lines), 'syslog: facility daemon')


# -- boot-time mode ----------------------------------------------------------------------------------
def boot():
    lan = sn.Netns('lan')
    device_base(lan)
    sn.sh('ip link set eth0 promisc on')  # a bridge member sees every frame of the LAN
    c = sn.Client(lan, 'lan0', '192.0.2.2')
    lan_mac = lan.run(['cat', '/sys/class/net/lan0/address'], capture_output=True, text=True).stdout.strip()

    d = Daemon(['-f', '-r'])
    d.ready(['eth0'])
    check(state(c) == 0x01, 'in the boot window')
    pings = [['ping', '-c1', '-W1', '-s', '368', '192.0.2.1'], ['ping', '-c1', '-W1', '-s', '370', '192.0.2.1'],
             ['ping', '-b', '-c1', '-W1', '-s', '369', '192.0.2.255']]
    for p in pings:
        lan.run(p, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for what, frame in (('fragment', sn.echo_frame(MAC, lan_mac, '192.0.2.2', '192.0.2.1', frag=0x2000)),
                        ('another host', sn.echo_frame('02:00:00:00:00:99', lan_mac, '192.0.2.2', '192.0.2.1')),
                        ('multicast MAC', sn.echo_frame('01:00:5e:00:00:09', lan_mac, '192.0.2.2', '192.0.2.1')),
                        ('echo reply', sn.echo_frame(MAC, lan_mac, '192.0.2.2', '192.0.2.1', icmp_type=0))):
        sn.send_frame(lan, 'lan0', frame)
    rc = d.wait(8)
    c.listen(0.2)
    check(rc == 0 and 2.9 < d.elapsed < 6.5, 'window of 3 s with eth0: rc %s after %.1f s' % (rc, d.elapsed))
    check(not os.path.exists(MARKER), 'no reset armed by 396/398 bytes, broadcast, fragment, other host, group, reply')
    check(d.out.startswith('Waiting for reset to factory defaults packet.\n') and d.out.endswith('.\n')
          and d.out.count('.') >= 3, 'progress %r' % d.out)
    b = c.broadcasts(c.heard)
    check(len(b) >= 2 and all(x.data == sn.dproto(3, OWN, sn.ALL, b'\x01') for x in b),
          'state broadcast every second in the window: %s' % b)

    # the trigger: a real ping with 369 bytes of data to the device
    d = Daemon(['-f', '-r'])
    d.ready(['eth0'])
    lan.run(['ping', '-c1', '-W1', '-s', '369', '192.0.2.1'], stdout=subprocess.DEVNULL)
    rc = d.wait(6)
    check(rc == 0, 'trigger arms the reset and ends the daemon: rc %s after %.1f s' % (rc, d.elapsed))
    check(os.path.exists(MARKER) and os.stat(MARKER).st_mode & 0o777 == 0o600, 'marker created, mode 0600')
    rem = remover_pids()
    check(len(rem) == 1, 'one remover left: %s' % rem)
    for pid in rem:
        targets = lambda: [os.readlink('/proc/%d/fd/%s' % (pid, f)) for f in os.listdir('/proc/%d/fd' % pid)]  # noqa: E731
        wait_for(lambda: len(targets()) == 3, 2)  # it may still be closing what it inherited
        targets = targets()
        check(targets == ['/dev/null'] * 3, 'remover holds only /dev/null: %s' % targets)
        os.kill(pid, signal.SIGTERM)  # the reboot that carries the order out
        wait_for(lambda: exited(pid), 3)
    check(os.path.exists(MARKER), 'a terminated remover leaves the marker for the next boot')

    # stopped while it waits before acting on the marker: nothing is reset
    d = Daemon(['-f', '-r'])
    time.sleep(0.5)
    check(d.stop() == 0 and d.elapsed < 2 and os.path.exists(MARKER), 'SIGTERM in the wait: no reset, marker kept')

    # the next boot-time start finds the marker: 10 s, the resetting state, the reset program
    c.heard.clear()
    d = Daemon(['-f', '-r'])
    rc = d.wait(16)
    check(rc == 3, 'exit status of the reset program (3): %s' % rc)
    check(d.elapsed >= 10, 'waited 10 s first: %.1f s' % d.elapsed)
    b = c.broadcasts(c.listen(0.5))
    check(len(b) == 1 and b[0].data == sn.dproto(3, OWN, sn.ALL, b'\x04'), 'resetting state broadcast %s' % b)
    check('Resetting to factory defaults...' in d.err and "scoutd: '/sbin/reset_to_defaults' exit code:3" in d.err,
          'reset messages %r' % d.err)
    check(not os.path.exists(MARKER), 'the marker is gone once the reset ran')


def order():
    lan = sn.Netns('lan')
    device_base(lan)
    c = sn.Client(lan, 'lan0', '192.0.2.2')

    sn.sh('mount -o remount,ro /data')  # the marker cannot be created
    d = Daemon(['-f', '-r', '-v'])
    d.ready(['eth0'])
    asker = next(ids)
    check(flags_of(c.ask(sn.dproto(2, asker, OWN), asker), 'reset, marker impossible') == 0x01,
          'a reset that could not be ordered is not answered as ordered')
    check(d.p.poll() is None, 'and the daemon goes on')
    sn.sh('mount -o remount,rw /data')
    extenders = []
    for arg in (b'\xc8', b'\x05'):
        extenders.append(next(ids))
        check(flags_of(c.ask(sn.dproto(4, extenders[-1], OWN, arg), extenders[-1]), 'extend') == 0x09, 'extended boot')
    c.heard.clear()
    c.listen(1.5)
    check(not c.broadcasts(c.heard), 'no state broadcast once extended')
    asker = next(ids)
    check(flags_of(c.ask(sn.dproto(2, asker, OWN), asker), 'reset') == 0x19, 'reset ordered')
    rc = d.wait(3)
    check(rc == 0 and os.path.exists(MARKER), 'command 2 ends the daemon with the marker made: %s' % rc)
    check(d.out.count('extend boot for') == 1 and '\n%x: extend boot for 30\n' % extenders[0] in d.out,
          'one extension of min(200, 30) s: %r' % d.out)
    check('open(): Read-only file system' in d.err, 'marker failure reported: %r' % d.err)
    for pid in remover_pids():
        os.kill(pid, signal.SIGKILL)
    os.unlink(MARKER)

    d = Daemon(['-f', '-r'])
    d.ready(['eth0'])
    asker = next(ids)
    check(flags_of(c.ask(sn.dproto(4, asker, OWN, b'\x1e'), asker), 'extend by 30') == 0x09, 'extended')
    asker = next(ids)
    check(flags_of(c.ask(sn.dproto(5, asker, OWN), asker), 'continue') == 0x09, 'continue answered')
    rc = d.wait(6)
    check(rc == 0 and d.elapsed < 10 and '%x: continue boot\n' % asker in d.out,
          'continue ends the window: %.1f s %r' % (d.elapsed, d.out))

    # without eth0 among the joined interfaces the window is 10 s
    sn.sh('ip link set eth0 down')
    lan_pair(lan, 'eth1', 'lan1', '198.51.100.1', '198.51.100.2')
    d = Daemon(['-f', '-r'])
    rc = d.wait(16)
    check(rc == 0 and 9.9 < d.elapsed < 13.5, 'window of 10 s without eth0: %.1f s' % d.elapsed)

    # a membership limit of 0: the kernel refuses every membership, the daemon neither divides by it
    # nor stops serving what it can
    sn.sh('sysctl -qw net.ipv4.igmp_max_memberships=0')
    d = Daemon(['-f', '-v'])
    check(logged('Opened 1/1 multicast sockets on 0 interfaces', 5), 'limit 0 counts as 20: one socket each, no interface joined')
    check(logged('Failed to join interface'), 'refused membership logged')
    check(d.stop() == 0, 'and the daemon runs until stopped')


# -- the older protocol in multool ------------------------------------------------------------------
def applet():
    lan = sn.Netns('lan')
    device_base(lan)
    put('/usr/lib/version', 'APCPE.QM-2.v3.1\n')
    c = sn.Client(lan, 'lan0', '192.0.2.2')
    pin = SERIAL[13:17].encode()

    d = Daemon(['-f', '-r'], program='multool')
    d.ready(['eth0'])
    b = c.broadcasts(c.listen(2.0, until=lambda a: a.dproto and a.dproto['dst'] == sn.ALL))
    check(b and b[0].data == sn.dproto(3, OWN, sn.ALL, b'\x01', version=2), 'version 2 state broadcast %s' % b)
    a = {k: next(ids) for k in ('disc', 'v1', 'all', 'serial', 'hb')}
    c.heard.clear()
    c.send(sn.dproto(0, a['disc'], OWN, version=2))
    c.send(sn.dproto(0, a['v1'], OWN, version=1))
    c.send(sn.dproto(0, a['all'], sn.ALL, version=2))
    c.send(sn.dproto(7, a['serial'], OWN, version=2))
    c.send(sn.dproto(1, a['hb'], OWN, version=2))
    c.send(sn.legacy(0), sn.LEGACY_PORT)
    check(state(c, version=2) == 0x01, 'older state in the boot window')
    c.listen(0.2)
    got = c.answers_to(a['disc'], c.heard)
    if check(len(got) == 1, 'version 2 discovery answered'):
        p = sn.parse_discovery(got[0].payload)
        check(got[0].data[:4] == b'\2\0\0\0' and p['mac'] == MAC and p['line'] == b'APCPE.QM-2.v3.1\n',
              'older discovery %s' % got[0].data[:40].hex())
    for k in ('v1', 'all', 'serial', 'hb'):
        check(not c.answers_to(a[k], c.heard), 'older responder ignores %s' % k)
    rc = d.wait(11)
    check(rc == 0 and 5.9 < d.elapsed < 9.5, 'window of 6 s with eth0 on a QM-2 version: %.1f s' % d.elapsed)
    check(not os.path.exists(PIDFILE), 'the applet removes its pid file')

    d = Daemon(['-f', '-r'], program='multool')
    d.ready(['eth0'])
    asker = next(ids)
    check(flags_of(c.ask(sn.dproto(4, asker, OWN, b'\x3d', version=2), asker), 'older extend') == 0x09, 'extended')
    asker = next(ids)
    check(flags_of(c.ask(sn.dproto(6, asker, OWN, b'0000', version=2), asker), 'wrong pin') == 0x29,
          'wrong PIN answered with bit 0x20')
    rc = d.wait(3)
    check(rc == 1 and 'extend boot for 60\n' in d.out, 'wrong PIN ends with 1 after extending by 60: %s %r' % (rc, d.out))
    check(logged('Wrong pin.'), 'wrong PIN logged')

    d = Daemon(['-f', '-r'], program='multool')
    d.ready(['eth0'])
    c.heard.clear()
    c.send(sn.dproto(6, next(ids), OWN, pin, version=2))
    rc = d.wait(3)
    b = c.broadcasts(c.listen(0.5))
    check(rc == 0 and b and b[-1].data == sn.dproto(3, OWN, sn.ALL, b'\x04', version=2),
          'right PIN: resetting broadcast and the reset program: %s %s' % (rc, b))

    os.unlink('/etc/serial-no')
    d = Daemon(['-f', '-r'], program='multool')
    check(d.wait(3) == 1 and 'Serial number not found' in d.err, 'boot-time mode needs the serial number')
    put('/etc/serial-no', SERIAL)

    d = Daemon(['-f'], program='multool')
    d.ready(['eth0'])
    asker = next(ids)
    c.send(sn.dproto(6, asker, OWN, pin, version=2))
    check(state(c, version=2) == 0x02 and not c.answers_to(asker, c.heard), 'no PIN reset outside boot-time mode')
    check(open(PIDFILE).read() == '%d\n' % d.p.pid, 'applet pid file')
    check(d.stop() == 0 and not os.path.exists(PIDFILE), 'SIGTERM: exit 0 and the pid file removed')


if __name__ == '__main__':
    {'normal': normal, 'boot': boot, 'order': order, 'applet': applet}[sys.argv[1]]()
    print('%s: %d failures' % (sys.argv[1], len(failures)))
    sys.exit(1 if failures else 0)
