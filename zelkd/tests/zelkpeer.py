"""Peers of the management agent inside the virtual device: a scripted management server over HTTP
and HTTPS (python's own http.server and ssl, a certificate made by openssl), a stand-in of the
alarm daemon speaking its big-endian records, statistics fixtures and the agent's launcher.

Nothing here uses the agent's code: documents are parsed with xml.etree, records packed with struct."""
import base64
import hashlib
import http.server
import json
import os
import signal
import socket
import socketserver
import ssl
import struct
import subprocess
import threading
import time
import xml.etree.ElementTree as ET

ZELK = '/tmp/zelk'
SUB = struct.Struct('>i32s256s128s20sqii')          # subscription record, 456 bytes
ALARM = struct.Struct('>i32s256s128s20sqii24s')     # alarm record, 480 bytes
assert SUB.size == 456 and ALARM.size == 480

ETH0_MAC = '00:11:22:AA:BB:01'
PEER1 = '02:AA:BB:CC:DD:01'
PEER2 = '02:AA:BB:CC:DD:02'


def put(path, data, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'wb') as f:
        f.write(data.encode() if isinstance(data, str) else data)
    os.chmod(path, mode)


def stats_fixture(ath0=True, remote=True):
    """Statistics documents as the collector writes them; returns the expected snapshot values."""
    vaps = [{'ifIndex': 7, 'name': 'ath0' if ath0 else 'ath5', 'mac': '02:00:00:00:00:07', 'radio': 'wifi0',
             'security': 'wpa2', 'operationMode': 'master'}]
    peers = [{'mac': PEER1, 'vap': vaps[0]['name'], 'vapIfIndex': 7, 'linkUptime': 3600, 'txRate': 300,
              'rxRate': 270, 'signal': [-50, -53], 'txBytes': 1000, 'rxBytes': 2000},
             {'mac': PEER2, 'vap': vaps[0]['name'], 'vapIfIndex': 7, 'linkUptime': 120, 'txRate': 150,
              'rxRate': 130, 'signal': [-61, -64], 'txBytes': 3000, 'rxBytes': 4000}]
    wireless = {'radios': {'dev': {'wifi0': {'name': 'wifi0', 'frequency': 5180.0, 'bitrate': 300, 'txPower': 23,
                                             'channelWidth': '40+', 'noise': [-101, -99]}},
                           'countryCode': 'DE'},
                'vaps': vaps, 'peers': peers}
    state_wireless = {'vaps': [{'name': vaps[0]['name']}],
                      'peers': [{'mac': PEER1, 'txBytes': 11, 'rxBytes': 22}, {'mac': PEER2, 'txBytes': 33, 'rxBytes': 44}],
                      'timestamp': 1}
    statistics = {'interfaces': {'eth0': {'if_index': 2, 'mac_address': ETH0_MAC, 'link': 'yes', 'speed': 1000,
                                          'duplex': 'full', 'rx_bytes': 123456789012, 'tx_bytes': 987654321},
                                 'ath0': {'if_index': 7, 'mac_address': '02:00:00:00:00:07', 'rx_bytes': 70, 'tx_bytes': 71},
                                 'lo': {'if_index': 1, 'mac_address': '00:00:00:00:00:00', 'rx_bytes': 5, 'tx_bytes': 6}},
                  'cpu_load': 17, 'memory_usage': 41.5, 'device_ip': '192.0.2.5'}
    put('/var/run/stats/wireless.json', json.dumps(wireless, indent=2))
    put('/var/run/stats/state/wireless.json', json.dumps(state_wireless))
    put('/var/run/stats/statistics.json', json.dumps(statistics, indent=2))
    if remote:
        put('/var/run/stats/remote-%s.json' % PEER1,
            json.dumps({'deviceIp': '192.0.2.77', 'wireless': {'txPower': 19, 'signal': [-48, 0, -99]}}))
    return {'wireless': wireless, 'statistics': statistics, 'state_wireless': state_wireless}


# -- management server ---------------------------------------------------------------------------------
class Server:
    """Records every request; answers POSTs from a script of replies, GETs from a table of files.

    A reply is a dict: code (200), body (str), delay (seconds before answering), headers (list)."""

    def __init__(self, tls=False, port=0, host='127.0.0.1'):
        self.posts = []
        self.gets = []
        self.replies = []
        self.default = {'code': 200, 'body': '<reply/>'}
        self.files = {}
        self.cond = threading.Condition()
        peer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = 'HTTP/1.1'

            def log_message(self, *a):
                pass

            def do_POST(self):
                n = int(self.headers.get('Content-Length', 0))
                body = self.rfile.read(n)
                with peer.cond:
                    rec = {'time': time.monotonic(), 'path': self.path, 'headers': dict(self.headers.items()),
                           'header_names': [k.lower() for k in self.headers.keys()], 'body': body,
                           'snapshot': _read(ZELK + '/last-heartbeat')}
                    peer.posts.append(rec)
                    reply = peer.replies.pop(0) if peer.replies else peer.default
                    peer.cond.notify_all()
                if callable(reply):
                    reply = reply(rec)
                if reply.get('delay'):
                    time.sleep(reply['delay'])
                if reply.get('close'):
                    self.close_connection = True
                    return
                data = reply.get('body', '').encode()
                self.send_response(reply.get('code', 200))
                for k, v in reply.get('headers', []):
                    self.send_header(k, v)
                self.send_header('Content-Type', 'text/xml')
                self.send_header('Content-Length', str(len(data)))
                self.end_headers()
                self.wfile.write(data)

            def do_GET(self):
                with peer.cond:
                    peer.gets.append({'path': self.path, 'headers': dict(self.headers.items())})
                f = peer.files.get(self.path)
                if f is None:
                    self.send_error(404)
                    return
                data, mode = f
                self.send_response(200)
                self.send_header('Content-Length', str(len(data)))
                self.end_headers()
                if mode == 'cut':
                    self.wfile.write(data[:len(data) // 2])
                    self.wfile.flush()
                    self.connection.shutdown(socket.SHUT_RDWR)
                    self.close_connection = True
                    return
                if mode == 'stall':
                    self.wfile.write(data[:100])
                    self.wfile.flush()
                    time.sleep(30)
                    return
                self.wfile.write(data)

        class TS(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True
            allow_reuse_address = True

            def handle_error(self, request, client_address):
                pass  # a client that went away mid-reply (a stopped agent, a cut test)

        self.httpd = TS((host, port), Handler)
        if tls:
            cert = make_cert()
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(cert, cert)
            self.httpd.socket = ctx.wrap_socket(self.httpd.socket, server_side=True)
        self.port = self.httpd.server_address[1]
        self.url = '%s://%s:%d/hb' % ('https' if tls else 'http', host, self.port)
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    def wait_posts(self, n, timeout=20):
        end = time.monotonic() + timeout
        with self.cond:
            while len(self.posts) < n:
                left = end - time.monotonic()
                if left <= 0:
                    raise TimeoutError('%d of %d posts' % (len(self.posts), n))
                self.cond.wait(left)
            return self.posts[:n]


def _read(path):
    try:
        with open(path, 'rb') as f:
            return f.read()
    except OSError:
        return None


def make_cert():
    path = '/tmp/server.pem'
    if not os.path.exists(path):
        subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-keyout', path, '-out',
                        '/tmp/cert.pem', '-days', '2', '-subj', '/CN=127.0.0.1'],
                       check=True, capture_output=True)
        with open(path, 'ab') as f:
            f.write(open('/tmp/cert.pem', 'rb').read())
    return path


def reply(tasks=(), interval=None, stats=(), alarms=(), errors=(), root='heartbeat-reply'):
    """A reply document built with ElementTree."""
    r = ET.Element(root)
    if errors:
        e = ET.SubElement(r, 'errors')
        for code, text in errors:
            x = ET.SubElement(e, 'error', {'code': code})
            x.text = text
    for t in tasks:
        x = ET.SubElement(r, 'task', {k: v for k, v in t.items() if k != 'text'})
        x.text = t.get('text')
    if stats is not None and stats != ():
        e = ET.SubElement(r, 'requested-statistics')
        for s in stats:
            ET.SubElement(e, 'stat', s)
    if alarms is not None and alarms != ():
        e = ET.SubElement(r, 'requested-alarms')
        for a in alarms:
            ET.SubElement(e, 'alarm', a)
    if interval is not None:
        ET.SubElement(r, 'heartbeat-interval').text = str(interval)
    return ET.tostring(r, encoding='unicode')


# -- alarm daemon ------------------------------------------------------------------------------------------
class Alertd:
    """Binds the alarm daemon's socket, decodes subscription frames, sends alarm frames."""
    LISTEN = '/tmp/.tesk_listen_alarm'
    SEND = '/tmp/.tesk_send_alarm'

    def __init__(self, read=True):
        try:
            os.unlink(self.LISTEN)
        except FileNotFoundError:
            pass
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(self.LISTEN)
        self.frames = []      # decoded subscription records, in arrival order
        self.bad = []
        self.cond = threading.Condition()
        if read:
            threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            data = self.sock.recv(4096)
            (n,) = struct.unpack('=I', data[:4])
            with self.cond:
                if n != SUB.size or len(data) != 4 + n:
                    self.bad.append(data)
                else:
                    f = SUB.unpack(data[4:])
                    self.frames.append({'id': f[0], 'name': f[1].rstrip(b'\0').decode(), 'raw_name': f[1],
                                        'desc': f[2].rstrip(b'\0').decode(), 'oid': f[3], 'ifname': f[4],
                                        'threshold': f[5], 'op': f[6], 'zero': f[7]})
                self.cond.notify_all()

    def wait_names(self, names, timeout=15):
        """Waits until the names, in order, have arrived after whatever came before; returns them."""
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                got = [f['name'] for f in self.frames]
                for i in range(len(got) - len(names) + 1):
                    if got[i:i + len(names)] == names:
                        return self.frames[i:i + len(names)]
                left = end - time.monotonic()
                if left <= 0:
                    raise TimeoutError('subscription %s not seen in %s' % (names, got))
                self.cond.wait(left)

    @staticmethod
    def record(aid, name, value, state, stamp, ifname=b'', mac=b''):
        return ALARM.pack(aid, name, b'', b'', ifname, value, state, stamp, mac)

    def send(self, payload, length=None):
        n = len(payload) if length is None else length
        s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        s.sendto(struct.pack('=I', n) + payload, self.SEND)
        s.close()


# -- the agent ----------------------------------------------------------------------------------------------
class Agent:
    def __init__(self, config, version='APCPE.QA-2.v7.51.3', args=('-f',), serial=None, verbose=True):
        put('/tmp/zelkd.conf', json.dumps(config))
        if version is not None:
            put('/usr/lib/version', version + '\n')
        if serial is not None:
            put('/etc/serial-no', serial + '\n')
        self.log_path = '/tmp/zelkd.log'
        self.log = open(self.log_path, 'wb')
        self.proc = subprocess.Popen(['/usr/sbin/zelkd', '-c', '/tmp/zelkd.conf'] + (['-v'] if verbose else []) + list(args),
                                     stdout=self.log, stderr=self.log, stdin=subprocess.DEVNULL)

    def text(self):
        with open(self.log_path, 'rb') as f:
            return f.read().decode(errors='replace')

    def wait_log(self, needle, timeout=15):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if needle in self.text():
                return True
            time.sleep(0.05)
        return False

    def stop(self, sig=signal.SIGTERM, timeout=15):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return None


def stub(path, script):
    put(path, '#!/bin/sh\n' + script, 0o755)


def parse(body):
    return ET.fromstring(body)


def b64(data):
    return base64.b64encode(data).decode()


def sha256_bytes(data):
    return hashlib.sha256(data).hexdigest()


def sha256(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()
