"""The cloud side of celvane's tests, run inside the virtual device (/usr/bin/python3, which has the
paho module): a real mosquitto broker on 127.0.0.1 with a plain listener (1883) and a TLS listener
(8883) whose CA and server certificate openssl makes here, a cloud service that answers the
certificate request and the hello and records every publication with its QoS and retain flag, the
recording stubs of the programs the agent starts, and the Lua fixture scripts."""
import json
import os
import signal
import socket
import stat
import subprocess
import threading
import time

import paho.mqtt.client as mqtt

D = '/tmp/broker'
CELVANE = '/usr/sbin/celvane'
CALLS = '/tmp/calls.log'
failures = []


T0 = time.time()


def check(cond, what):
    if os.environ.get('CHECK_TIMES'):
        print('%6.2f %s' % (time.time() - T0, what.split(':')[0]), flush=True)
    if not cond:
        failures.append(what)
        print('FAIL:', what, flush=True)
    return cond


def wait(pred, timeout=10.0, step=0.05):
    end = time.time() + timeout
    while True:
        v = pred()
        if v or time.time() >= end:
            return v
        time.sleep(step)


def sh(cmd):
    subprocess.run(cmd, shell=True, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


# -- the broker ---------------------------------------------------------------------------------------
class Broker:
    def __init__(self, users=None):
        os.makedirs(D, exist_ok=True)
        self.users = users or {}
        self.proc = None
        self.logpath = D + '/mosquitto.log'
        self.make_certs()
        self.write_passwd()

    def make_certs(self):
        if os.path.exists(D + '/server.crt'):
            return
        sh('cd %s && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes '
           '-keyout ca.key -out ca.crt -days 30 -subj "/CN=test cloud CA"' % D)
        sh('cd %s && openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes '
           '-keyout server.key -out server.csr -subj "/CN=localhost"' % D)
        with open(D + '/san.ext', 'w') as f:
            f.write('subjectAltName=DNS:localhost,IP:127.0.0.1\n')
        sh('cd %s && openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial '
           '-out server.crt -days 30 -extfile san.ext' % D)
        self.ca_pem = open(D + '/ca.crt', 'rb').read()

    @property
    def ca(self):
        return open(D + '/ca.crt', 'rb').read()

    def write_passwd(self):
        path = D + '/passwd'
        open(path, 'w').close()
        for user, pw in self.users.items():
            sh('mosquitto_passwd -b %s %s %s' % (path, user, pw))

    def write_conf(self, tls=True):
        lines = ['per_listener_settings false', 'allow_anonymous true', 'password_file %s/passwd' % D,
                 'user root', 'log_dest file %s' % self.logpath, 'log_type all', 'connection_messages true',
                 # the cloud subscribes to everything: no queue limit may drop what it is sent
                 'max_queued_messages 0', 'max_inflight_messages 0',
                 'listener 1883']
        if tls:
            lines += ['listener 8883', 'cafile %s/ca.crt' % D, 'certfile %s/server.crt' % D,
                      'keyfile %s/server.key' % D]
        with open(D + '/mosquitto.conf', 'w') as f:
            f.write('\n'.join(lines) + '\n')

    def start(self, tls=True):
        self.write_conf(tls)
        self.proc = subprocess.Popen(['mosquitto', '-c', D + '/mosquitto.conf'], stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        ok = wait(lambda: self.accepts(1883), 10)
        if tls:
            ok = ok and wait(lambda: self.accepts(8883), 10)
        if not ok:
            raise RuntimeError('broker did not start')

    @staticmethod
    def accepts(port):
        s = socket.socket()
        try:
            s.connect(('127.0.0.1', port))
            return True
        except OSError:
            return False
        finally:
            s.close()

    def stop(self, sig=signal.SIGTERM):
        if self.proc:
            self.proc.send_signal(sig)
            self.proc.wait(10)
            self.proc = None

    def reload(self):
        self.proc.send_signal(signal.SIGHUP)

    def log(self, since=0):
        try:
            with open(self.logpath, errors='replace') as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        return [l for l in lines if not since or int(l.split(':', 1)[0]) >= int(since)]

    def subscribes(self, client_id):
        """Every SUBSCRIBE of the client, as lists of (topic, qos) in log order."""
        out, cur = [], None
        for line in self.log():
            text = line.split(': ', 1)[-1]
            if text.startswith('Received SUBSCRIBE from '):
                cur = [] if text.endswith(' ' + client_id) else None
                if cur is not None:
                    out.append(cur)
                continue
            if cur is not None and text.startswith('\t'):
                topic, _, q = text.strip().rpartition(' (QoS ')
                cur.append((topic, int(q.rstrip(')'))))
            elif cur is not None and text.startswith(client_id + ' '):
                continue  # the broker's note of each granted topic
            elif cur is not None:
                cur = None
        return out

    def connects(self, client_id):
        """'New client connected ... as ID (p2, c1, k20, u'user')' lines of the client."""
        return [l for l in self.log() if 'New client connected' in l and ' as %s ' % client_id in l]


# -- the cloud service --------------------------------------------------------------------------------
class Msg:
    def __init__(self, m):
        self.t = time.time()
        self.topic = m.topic
        self.payload = m.payload
        self.qos = m.qos
        self.retain = bool(m.retain)

    def json(self):
        return json.loads(self.payload)

    def __repr__(self):
        return 'Msg(%s q%d r%d %r)' % (self.topic, self.qos, self.retain, self.payload[:80])


class Cloud:
    """Subscribes to everything on the plain port; answers init/crt/request with the CA and every
    hello with self.ack() (None: no answer)."""

    def __init__(self, broker, org, client, secret='s3cret', interval=None, group=None, network=None):
        self.broker, self.org, self.client_id, self.secret, self.group = broker, org, client, secret, group
        self.network = network
        self.interval = interval
        self.answer_cert = True
        self.answer_hello = True
        self.msgs = []
        self.lock = threading.Lock()
        self.c = mqtt.Client(client_id='cloud-%d' % os.getpid(), clean_session=True)
        self.c.on_message = self.on_message
        self.c.on_connect = lambda c, u, f, rc: c.subscribe('#', 2)
        self.c.reconnect_delay_set(0.2, 1)

    def start(self):
        self.c.connect('127.0.0.1', 1883, 30)
        self.c.loop_start()
        wait(lambda: self.c.is_connected(), 10)
        time.sleep(0.2)

    def stop(self):
        self.c.loop_stop()
        self.c.disconnect()

    def ack(self, topic):
        settings = {'mqtt_secret': self.secret}
        if self.interval:
            settings['stats_interval'] = self.interval
        ack = {'readonly': False, 'config': {}, 'settings': settings}
        if self.network:
            ack['network'] = self.network
        return ack

    def on_message(self, c, u, m):
        msg = Msg(m)
        with self.lock:
            self.msgs.append(msg)
        if m.topic == 'init/crt/request' and self.answer_cert:
            c.publish('init/crt/response', self.broker.ca, 2)
        elif m.topic.endswith('/hello') and self.answer_hello:
            payload = self.ack(m.topic)
            if payload is not None:
                c.publish('control/%s/%s/ack' % (self.org, self.client_id), json.dumps(payload), 2)

    def send(self, topic, payload, qos=2):
        if isinstance(payload, (dict, list)):
            payload = json.dumps(payload)
        info = self.c.publish(topic, payload, qos)
        info.wait_for_publish(10)

    def node(self, net, sub):
        return 'node/%s/%s/%s/%s' % (self.org, net, self.client_id, sub)

    def got(self, topic, since=0.0, pred=None):
        with self.lock:
            return [m for m in self.msgs if m.topic == topic and m.t >= since and (pred is None or pred(m))]

    def wait_msg(self, topic, since=0.0, timeout=10.0, pred=None, count=1):
        got = wait(lambda: len(self.got(topic, since, pred)) >= count and self.got(topic, since, pred), timeout)
        return got[-1] if got else None


# -- the device's outside programs --------------------------------------------------------------------
STUB = '''#!/usr/bin/python3 -S
import json, os, sys, time
with open(%(calls)r, 'a') as f:
    f.write(json.dumps(sys.argv) + '\\n')
%(body)s
'''


def stub(path, body='sys.exit(0)'):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.lexists(path):
        os.unlink(path)
    with open(path, 'w') as f:
        f.write(STUB % {'calls': CALLS, 'body': body})
    os.chmod(path, 0o755)


def calls(name=None):
    try:
        with open(CALLS) as f:
            out = [json.loads(l) for l in f]
    except FileNotFoundError:
        return []
    return [c for c in out if name is None or os.path.basename(c[0]) == name]


# Fixture scripts with the interface the agent expects: a returned function, called with the state
# JSON and string arguments, returning one string.  They echo what they get, so the tests see it.
LUA = {
    '/usr/share/lua/mqtt/hello.lua': 'return function(state) return state end\n',
    '/usr/share/lua/mqtt/info.lua':
        'return function(state) return \'{"uptime": 42, "state": \' .. state .. \'}\' end\n',
    '/usr/share/lua/mqtt/stats.lua':
        'local n = 0\nreturn function(state) n = n + 1\n'
        '  return string.format(\'{"cpu": 7, "run": %d, "interfaces": [{"name": "eth0"}]}\', n) end\n',
    '/usr/share/lua/mqtt/surveytool.lua':
        'return function(state) return \'{"aps": [{"ssid": "roof", "signal": -61}]}\' end\n',
    '/usr/share/lua/mqtt/maccache.lua':
        'return function(state, input) local f = io.open("/tmp/maccache.log", "a") f:write(input, "\\n") '
        'f:close() return "" end\n',
    '/usr/share/lua/celvane/common/kickmac.lua':
        'return function(state, mac) local f = io.open("/tmp/kickmac.log", "a") f:write(mac, "\\n") '
        'f:close() return "" end\n',
}


def install_lua():
    for path, text in LUA.items():
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'w') as f:
            f.write(text)


ALERTD = '''import ctypes, signal, sys, time
ctypes.CDLL(None).prctl(15, b"alertd", 0, 0, 0)
def note(sig, frame):
    with open("/tmp/alertd.log", "a") as f:
        f.write(signal.Signals(sig).name + "\\n")
signal.signal(signal.SIGUSR1, note)
signal.signal(signal.SIGUSR2, note)
while True:
    time.sleep(1)
'''


def start_alertd():
    """A process named alertd that writes down the signals it gets."""
    return subprocess.Popen(['/usr/bin/python3', '-S', '-c', ALERTD])


def alertd_signals():
    try:
        return open('/tmp/alertd.log').read().split()
    except FileNotFoundError:
        return []


# -- the agent ----------------------------------------------------------------------------------------
class Agent:
    def __init__(self, args, foreground=True, log='/tmp/celvane.log'):
        self.args = args
        self.logpath = log
        self.foreground = foreground
        self.proc = None

    def start(self):
        self.logf = open(self.logpath, 'ab')
        argv = [CELVANE] + (['-f'] if self.foreground else []) + self.args
        self.proc = subprocess.Popen(argv, stdout=self.logf, stderr=self.logf)
        if not self.foreground:
            self.proc.wait(10)
        return self

    def pid(self):
        if self.foreground:
            return self.proc.pid
        try:
            return int(open('/var/run/celvane.pid').read())
        except (FileNotFoundError, ValueError):
            return None

    def log(self):
        if self.foreground:
            with open(self.logpath, errors='replace') as f:
                return f.read()
        with open('/run/vdev/syslog.log', errors='replace') as f:
            return '\n'.join(l.split(': ', 1)[-1] for l in f if 'celvane[' in l)

    def wait_log(self, text, timeout=10.0):
        return wait(lambda: text in self.log(), timeout)

    def signal(self, sig):
        os.kill(self.pid(), sig)

    def wait_exit(self, timeout=20.0):
        if self.foreground:
            try:
                return self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                return None
        pid = self.pid()
        ok = wait(lambda: not os.path.exists('/proc/%d' % pid) if pid else True, timeout)
        return 0 if ok else None

    def threads(self):
        return len(os.listdir('/proc/%d/task' % self.pid()))

    def rss_kib(self):
        for line in open('/proc/%d/status' % self.pid()):
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
        return 0


def mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)
