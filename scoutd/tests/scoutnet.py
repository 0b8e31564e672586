"""A discovery tool written from the protocol description alone (struct, socket, zlib), plus the
network namespaces it runs in.  Used inside the virtual device by scoutd_device.py.

Requests are built and answers parsed field by field here; nothing is shared with the daemon's codec.
"""
import ctypes
import os
import select
import socket
import struct
import subprocess
import time
import zlib

GROUP = '233.89.188.1'
LEGACY_PORT = 10001
DPROTO_PORT = 45678
ALL = 0xFFFFFFFFFFFFFFFF

CLONE_NEWNET = 0x40000000
IP_MULTICAST_ALL = 49
IP_TTL = 2
IP_PKTINFO = 8
IP_RECVTTL = 12
ETH_P_ALL = 0x0003

_libc = ctypes.CDLL(None, use_errno=True)


def sh(cmd):
    subprocess.run(cmd, shell=True, check=True)


class Netns:
    """A named network namespace; `with ns:` runs the block (and the sockets it opens) inside it."""

    _home = None

    def __init__(self, name):
        if Netns._home is None:
            Netns._home = os.open('/proc/self/ns/net', os.O_RDONLY)
        self.name = name
        sh('ip netns add %s' % name)
        self.fd = os.open('/run/netns/' + name, os.O_RDONLY)

    @staticmethod
    def _enter(fd):
        if _libc.setns(fd, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), 'setns')

    def __enter__(self):
        self._enter(self.fd)
        return self

    def __exit__(self, *exc):
        self._enter(Netns._home)

    def run(self, cmd, **kw):
        return subprocess.run(['ip', 'netns', 'exec', self.name] + cmd, **kw)


# -- the protocol ------------------------------------------------------------------------------------
def legacy(cmd):
    return struct.pack('>BBBB', 0, 0, cmd, 0)


def dproto(cmd, src, dst, arg=b'', version=1):
    return struct.pack('>BBBBQQ', version, 0, cmd, 0, src, dst) + arg


def device_id(mac_text):
    return int(mac_text.replace(':', ''), 16)


class Answer:
    """One datagram the device sent, with the TTL and interface it arrived with."""

    def __init__(self, data, addr, ttl, ifindex):
        self.data, self.addr, self.ttl, self.ifindex = data, addr, ttl, ifindex
        self.dproto = None
        if addr[1] == DPROTO_PORT and len(data) >= 20:
            v, z1, cmd, z3, src, dst = struct.unpack('>BBBBQQ', data[:20])
            self.dproto = {'version': v, 'zero1': z1, 'cmd': cmd, 'zero3': z3, 'src': src, 'dst': dst}
            # the payload as the device built it: version, command, then what follows the header
            self.payload = bytes([v, cmd]) + data[20:]
        else:
            self.payload = data

    def __repr__(self):
        return 'Answer(%s from %s ttl %s)' % (self.data.hex(), self.addr, self.ttl)


def parse_discovery(p):
    version, cmd = p[0], p[1]
    mac = ':'.join('%02x' % b for b in p[2:8])
    ip = socket.inet_ntoa(p[8:12])
    n, = struct.unpack('>I', p[12:16])
    return {'version': version, 'cmd': cmd, 'mac': mac, 'ip': ip, 'len': n, 'line': p[16:16 + n],
            'exact': len(p) == 16 + n}


def parse_heartbeat(p):
    version, cmd, flags = p[0], p[1], p[2]
    n, = struct.unpack('>I', p[3:7])
    data = p[7:7 + n]
    return {'version': version, 'cmd': cmd, 'flags': flags, 'len': n, 'exact': len(p) == 7 + n,
            'data': zlib.decompress(data) if flags & 1 else data}


def recv_answer(sock):
    data, anc, _, addr = sock.recvmsg(4096, socket.CMSG_SPACE(64))
    ttl, ifindex = None, None
    for level, kind, value in anc:
        if level == socket.IPPROTO_IP and kind == IP_TTL:
            ttl = struct.unpack('=i', value[:4])[0]
        if level == socket.IPPROTO_IP and kind == IP_PKTINFO:
            ifindex = struct.unpack('=i', value[:4])[0]
    return Answer(data, addr, ttl, ifindex)


class Client:
    """A management tool on one LAN interface: a group listener for dproto answers and broadcasts,
    and one socket per legacy request (the unicast answer comes back to it)."""

    def __init__(self, ns, ifname, addr):
        self.ns, self.addr = ns, addr
        with ns:
            self.ifindex = socket.if_nametoindex(ifname)
            self.group = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.group.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.group.bind((GROUP, DPROTO_PORT))
            self.group.setsockopt(socket.IPPROTO_IP, IP_MULTICAST_ALL, 0)
            self.group.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                                  socket.inet_aton(GROUP) + struct.pack('=4si', b'\0' * 4, self.ifindex))
            self.group.setsockopt(socket.IPPROTO_IP, IP_RECVTTL, 1)
            self.group.setsockopt(socket.IPPROTO_IP, IP_PKTINFO, 1)
            self.tx = self._sender()
        self.heard = []   # everything the group listener received, in order (tests may clear it)
        self.announced = []  # every state broadcast, never cleared

    def _sender(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((self.addr, 0))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(self.addr))
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
        s.setsockopt(socket.IPPROTO_IP, IP_RECVTTL, 1)
        return s

    def legacy_socket(self):
        with self.ns:
            return self._sender()

    def send(self, data, port=DPROTO_PORT, sock=None):
        (sock or self.tx).sendto(data, (GROUP, port))

    def listen(self, seconds, until=None):
        """Collects group datagrams for up to SECONDS, or until UNTIL(answer) is true."""
        end = time.monotonic() + seconds
        got = []
        while True:
            left = end - time.monotonic()
            if left <= 0:
                return got
            r, _, _ = select.select([self.group], [], [], left)
            if not r:
                return got
            a = recv_answer(self.group)
            self.heard.append(a)
            if a.dproto and a.dproto['dst'] == ALL:
                self.announced.append(a)
            got.append(a)
            if until and until(a):
                return got

    def answers_to(self, asker, got):
        return [a for a in got if a.dproto and a.dproto['dst'] == asker]

    def broadcasts(self, got):
        return [a for a in got if a.dproto and a.dproto['dst'] == ALL]

    def ask(self, data, asker, seconds=3):
        """Sends a dproto request and returns the answers addressed to ASKER (waits for the first)."""
        self.send(data)
        got = self.listen(seconds, until=lambda a: a.dproto and a.dproto['dst'] == asker)
        return self.answers_to(asker, got)

    def legacy_ask(self, cmd, seconds=3, raw=None):
        s = self.legacy_socket()
        self.send(raw if raw is not None else legacy(cmd), LEGACY_PORT, s)
        r, _, _ = select.select([s], [], [], seconds)
        a = recv_answer(s) if r else None
        return s, a


def unique_ids(start=0x0000_0A00_0000_0000):
    n = start
    while True:
        n += 1
        yield n


# -- the reset trigger on the wire ------------------------------------------------------------------
def _checksum(data):
    if len(data) % 2:
        data += b'\0'
    s = sum(struct.unpack('>%dH' % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def echo_frame(dst_mac, src_mac, src_ip, dst_ip, total=397, frag=0, icmp_type=8):
    """An Ethernet frame with an IPv4 ICMP message of IP total length TOTAL."""
    body = total - 20
    icmp = struct.pack('>BBHHH', icmp_type, 0, 0, 0x1234, 1) + bytes(i & 0xFF for i in range(body - 8))
    icmp = icmp[:2] + struct.pack('>H', _checksum(icmp)) + icmp[4:]
    ip = struct.pack('>BBHHHBBH4s4s', 0x45, 0, total, 0x4242, frag, 64, 1, 0,
                     socket.inet_aton(src_ip), socket.inet_aton(dst_ip))
    ip = ip[:10] + struct.pack('>H', _checksum(ip)) + ip[12:]
    mac = lambda t: bytes(int(x, 16) for x in t.split(':'))  # noqa: E731
    return mac(dst_mac) + mac(src_mac) + b'\x08\x00' + ip + icmp


def send_frame(ns, ifname, frame):
    with ns:
        s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
        s.bind((ifname, 0))
        s.send(frame)
        s.close()
