"""The peer side of the neighbour tests, used inside the virtual device by neighbour_device.py: a
named network namespace joined to the device by veth pairs, the real lldpd in it, frame capture with
dumpcap and decoding with tshark, and LLDP frames written from the TLV layout with struct (nothing is
shared with the device's codec)."""
import ctypes
import json
import os
import socket
import struct
import subprocess
import time

CLONE_NEWNET = 0x40000000
ETH_P_LLDP = 0x88CC
NEAREST = bytes.fromhex('0180c200000e')
NON_TPMR = bytes.fromhex('0180c2000003')
CUSTOMER = bytes.fromhex('0180c2000000')

_libc = ctypes.CDLL(None, use_errno=True)


def sh(cmd, **kw):
    return subprocess.run(cmd, shell=True, check=True, **kw)


def wait_for(cond, timeout, step=0.05):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        v = cond()
        if v:
            return v
        time.sleep(step)
    return cond()


class Netns:
    """A named network namespace; `with ns:` opens sockets inside it."""

    _home = None

    def __init__(self, name):
        if Netns._home is None:
            Netns._home = os.open('/proc/self/ns/net', os.O_RDONLY)
        self.name = name
        sh('ip netns add %s' % name)
        self.fd = os.open('/run/netns/' + name, os.O_RDONLY)
        self.run(['ip', 'link', 'set', 'lo', 'up'], check=True)

    @staticmethod
    def _enter(fd):
        if _libc.setns(fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), 'setns')

    def __enter__(self):
        self._enter(self.fd)
        return self

    def __exit__(self, *exc):
        self._enter(Netns._home)

    def cmd(self, argv):
        return ['ip', 'netns', 'exec', self.name] + argv

    def run(self, argv, **kw):
        return subprocess.run(self.cmd(argv), **kw)

    def popen(self, argv, **kw):
        return subprocess.Popen(self.cmd(argv), **kw)


def link(peer, dev_if, peer_if, mac=None, mtu=None):
    """A veth pair: dev_if on the device, peer_if in the peer namespace, both up."""
    sh('ip link add %s type veth peer name %s netns %s' % (dev_if, peer_if, peer.name))
    if mac:
        sh('ip link set %s address %s' % (dev_if, mac))
    if mtu:
        sh('ip link set %s mtu %d' % (dev_if, mtu))
        peer.run(['ip', 'link', 'set', peer_if, 'mtu', str(mtu)], check=True)
    sh('ip link set %s up' % dev_if)
    peer.run(['ip', 'link', 'set', peer_if, 'up'], check=True)


def if_mac(name, ns=None):
    path = '/sys/class/net/%s/address' % name
    if ns is None:
        return open(path).read().strip()
    return ns.run(['cat', path], capture_output=True, text=True, check=True).stdout.strip()


def if_index(name):
    return int(open('/sys/class/net/%s/ifindex' % name).read())


# -- lldpd on the peer side ----------------------------------------------------------------------
class Lldpd:
    """The real lldpd in the peer namespace with its own control socket and pid file."""

    def __init__(self, ns, interfaces, cdp=False, tag='peer'):
        self.ns = ns
        self.sock = '/tmp/lldpd-%s.sock' % tag
        self.log = open('/tmp/lldpd-%s.log' % tag, 'w')
        args = ['lldpd', '-d', '-u', self.sock, '-p', '/tmp/lldpd-%s.pid' % tag, '-I', ','.join(interfaces)]
        if cdp:
            args.append('-c')
        self.p = ns.popen(args, stdout=self.log, stderr=subprocess.STDOUT)
        self.ready = wait_for(lambda: self.cli(['show', 'configuration'], check=False).returncode == 0, 10)

    def cli(self, args, check=True):
        return self.ns.run(['lldpcli', '-u', self.sock] + args, capture_output=True, text=True, check=check)

    def json(self, args):
        return json.loads(self.cli(['-f', 'json'] + args).stdout)

    def stop(self):
        self.p.terminate()
        try:
            self.p.wait(5)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()
        self.log.close()


# -- capture and tshark --------------------------------------------------------------------------
class Capture:
    """dumpcap on interfaces of a namespace (ns None: the device's own) into a pcap file."""

    def __init__(self, ns, interfaces, path):
        self.path = path
        args = ['dumpcap', '-q', '-w', path]
        for i in interfaces:
            args += ['-i', i]
        self.err = open(path + '.log', 'w')
        self.p = (ns.popen(args, stderr=self.err) if ns else subprocess.Popen(args, stderr=self.err))
        # dumpcap names the file once it captures
        wait_for(lambda: 'File:' in open(path + '.log').read(), 10)

    def stop(self):
        time.sleep(0.3)  # the last frames reach the file
        self.p.terminate()
        self.p.wait(5)
        self.err.close()


def tshark_fields(pcap, fields, display_filter):
    """One dict per frame of the filter: each field's occurrences as a list of texts."""
    args = ['tshark', '-r', pcap, '-Y', display_filter, '-T', 'fields', '-E', 'occurrence=a', '-E', 'aggregator=\x1f']
    for f in fields:
        args += ['-e', f]
    r = subprocess.run(args, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError('tshark: %s' % r.stderr[-400:])
    frames = []
    for line in r.stdout.splitlines():
        cols = line.split('\t')
        frames.append({f: (c.split('\x1f') if c else []) for f, c in zip(fields, cols)})
    return frames


def tshark_count(pcap, display_filter):
    r = subprocess.run(['tshark', '-r', pcap, '-Y', display_filter, '-T', 'fields', '-e', 'frame.number'],
                       capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError('tshark: %s' % r.stderr[-400:])
    return len(r.stdout.split())


# -- LLDP frames from the TLV layout --------------------------------------------------------------
def tlv(t, value, length=None):
    n = len(value) if length is None else length
    return struct.pack('>H', t << 9 | n) + value


def chassis(mac):
    return tlv(1, b'\x04' + mac_bytes(mac))


def mgmt4(addr, ifindex=1):
    return tlv(8, struct.pack('>BB4sBIB', 5, 1, socket.inet_aton(addr), 2, ifindex, 0))


def mgmt6(addr, ifindex=1):
    return tlv(8, struct.pack('>BB16sBIB', 17, 2, socket.inet_pton(socket.AF_INET6, addr), 2, ifindex, 0))


def ap_mode(value, oui=b'\x00\x11\x22'):
    return tlv(127, oui + bytes([1, value]))


END = tlv(0, b'')


def mac_bytes(mac):
    return bytes.fromhex(mac.replace(':', ''))


def frame(src, body, dst=NEAREST, ethertype=ETH_P_LLDP):
    return dst + mac_bytes(src) + struct.pack('>H', ethertype) + body


class RawSender:
    """A packet socket on one interface of a namespace, for frames a peer writes by hand."""

    def __init__(self, ns, ifname):
        with ns:
            self.s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, 0)
            self.s.bind((ifname, 0))

    def send(self, data):
        self.s.send(data)
