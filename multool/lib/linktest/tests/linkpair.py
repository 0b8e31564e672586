"""Two devices on one link, inside one virtual device (tests/harness/vdev), for the link test.

The client is the virtual device itself; the server is the network namespace "srv".  A veth pair joins
them, both ends named eth0, each a port of its device's bridge br0, with fixed MACs so that a bridge
and its port differ (ltsd listens on the bridge, linktest on the port):

    client  br0 02:00:00:00:0a:0b 192.0.2.1   eth0 02:00:00:00:0a:01
    server  br0 02:00:00:00:0b:0b 192.0.2.2   eth0 02:00:00:00:0b:01

Each side has its own /proc override (MT_PROC_DIR=/tmp/<side>/proc) served by the stand-in packet
generator (tests/fakepktgen), which must run in that side's network namespace; the server's ltsd also
gets its own /run (its reverse tests take the lock file and read the statistics file there).

Used inside the device:  import linkpair; p = linkpair.Pair(); p.start_pktgen('srv'); ...
Used by the host:        vdevlib.run(..., setup=linkpair.SETUP, require=linkpair.REQUIRE)
"""
import json
import os
import signal
import subprocess
import time

SETUP = '''
ip netns add srv
ip link add eth0 address 02:00:00:00:0a:01 type veth peer name eth0 netns srv address 02:00:00:00:0b:01
ip link add br0 address 02:00:00:00:0a:0b type bridge
ip link set eth0 master br0
ip link set eth0 up; ip link set br0 up
ip addr add 192.0.2.1/24 dev br0
ip -n srv link set lo up
ip -n srv link add br0 address 02:00:00:00:0b:0b type bridge
ip -n srv link set eth0 master br0
ip -n srv link set eth0 up; ip -n srv link set br0 up
ip -n srv addr add 192.0.2.2/24 dev br0
'''
REQUIRE = ['veth', 'bridge']

MAC = {'cli': {'br0': '02:00:00:00:0A:0B', 'eth0': '02:00:00:00:0A:01'},
       'srv': {'br0': '02:00:00:00:0B:0B', 'eth0': '02:00:00:00:0B:01'}}
IP = {'cli': '192.0.2.1', 'srv': '192.0.2.2'}
OTHER = {'cli': 'srv', 'srv': 'cli'}
BUILD = os.environ.get('VDEV_BUILD', '/mnt/vdev/build')
FAKEPKTGEN = BUILD + '/tests/fakepktgen/fakepktgen'


def netns(side):
    """Command prefix that runs in the side's network namespace (and the device's mounts)."""
    return [] if side == 'cli' else ['nsenter', '--net=/run/netns/srv']


def wait_for(pred, timeout=10.0, what='condition'):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return
        time.sleep(0.02)
    raise RuntimeError('timed out waiting for ' + what)


def wireless(peer_side, if_name='eth0', ip=None, name=None, extra=None):
    """A statistics file listing the other device as peer 1."""
    peer = {'mac': MAC[peer_side]['br0'], 'ipAddress': ip or IP[peer_side], 'peerIfName': if_name,
            'deviceName': name or 'dev-' + peer_side}
    doc = {'peers': [peer], 'vaps': [{'name': if_name, 'radio': 'wifi0'}],
           'radios': {'dev': {'wifi0': {'channelWidth': '40+', 'bitrate': 300}}}}
    if extra:
        doc.update(extra)
    return doc


class Pair:
    def __init__(self):
        self.procs = []
        for side in ('cli', 'srv'):
            os.makedirs('/tmp/%s/proc/net' % side, exist_ok=True)
            os.makedirs('/tmp/%s/run/stats' % side, exist_ok=True)
            os.makedirs('/tmp/%s/run/vdev' % side, exist_ok=True)

    def env(self, side, **more):
        e = dict(os.environ)
        e['MT_PROC_DIR'] = '/tmp/%s/proc' % side
        e.update(more)
        return e

    def log(self, side):
        return '/tmp/%s/pktgen.log' % side

    def start_pktgen(self, side, rx_base=None):
        mnt = '/tmp/%s/proc/net' % side
        cmd = netns(side) + [FAKEPKTGEN, mnt, '--log', self.log(side)]
        if rx_base:
            cmd += ['--rx-base', '%d:%d' % rx_base]
        # Its own messages (libfuse's included) go to a file beside the log.
        err = open('/tmp/%s/fakepktgen.err' % side, 'a')
        self.procs.append(subprocess.Popen(cmd, stderr=err))
        err.close()
        wait_for(lambda: os.path.exists(mnt + '/pktgen/pgctrl'), what='the stand-in generator of ' + side)

    def put_wireless(self, side, doc):
        path = '/run/stats/wireless.json' if side == 'cli' else '/tmp/srv/run/stats/wireless.json'
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'w') as f:
            json.dump(doc, f)

    def start_ltsd(self, side, args=(), expect_ok=True):
        """Starts ltsd (it daemonises); returns the finished start-up command."""
        ltsd = ' '.join(['ltsd'] + list(args))
        if side == 'cli':
            r = subprocess.run(ltsd, shell=True, env=self.env(side), capture_output=True, text=True, timeout=20)
        else:
            # Its own /run, with the harness's log folder kept in it.
            script = ('mount --bind /run/vdev /tmp/srv/run/vdev && mount --rbind /tmp/srv/run /run && '
                      'cd / && exec ' + ltsd)
            r = subprocess.run(['ip', 'netns', 'exec', 'srv', 'sh', '-c', script], env=self.env(side),
                               capture_output=True, text=True, timeout=20)
        if expect_ok and r.returncode != 0:
            raise RuntimeError('ltsd on %s: %r' % (side, r))
        if expect_ok:
            time.sleep(0.2)
        return r

    def linktest(self, args, side='cli', timeout=60, input=None, **env):
        cmd = ['linktest'] + list(args)
        if side == 'srv':
            raise ValueError('linktest runs on the client; the server runs it through ltsd')
        return subprocess.run(cmd, env=self.env(side, **env), capture_output=True, text=True, timeout=timeout,
                              input=input)

    def popen_linktest(self, args, **env):
        return subprocess.Popen(['linktest'] + list(args), env=self.env('cli', **env), stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)

    def capture(self, side, iface, path):
        """Starts dumpcap on the side's interface; returns a stop function."""
        p = subprocess.Popen(netns(side) + ['dumpcap', '-q', '-i', iface, '-B', '64', '-s', '128', '-w', path], stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True)
        # "Capturing on" comes before the interface is open; "File: ..." once it captures.
        seen = ''
        while 'File:' not in seen:
            line = p.stderr.readline()
            if not line:
                raise RuntimeError('dumpcap did not start: ' + seen)
            seen += line

        def stop():
            # The capture hands frames over in blocks retired up to a second late, and an interrupt
            # drops the block still open: stop only once the file has not grown for longer.
            size, still = -1, 0
            for _ in range(50):
                now = os.path.getsize(path) if os.path.exists(path) else 0
                still = still + 1 if now == size else 0
                if still >= 8:
                    break
                size = now
                time.sleep(0.2)
            p.send_signal(signal.SIGINT)
            p.wait(timeout=10)
        return stop

    def loss(self, percent):
        """Drops that share of the generator's frames leaving the client (nftables egress)."""
        rules = ('add table netdev lossy\n'
                 'add chain netdev lossy out { type filter hook egress device "eth0" priority 0; }\n'
                 'add rule netdev lossy out ip daddr 1.1.1.1 numgen random mod 100 lt %d drop\n' % percent)
        subprocess.run(['nft', '-f', '-'], input=rules, text=True, check=True)

    def no_loss(self):
        subprocess.run(['nft', 'delete', 'table', 'netdev', 'lossy'], check=False)

    def close(self):
        for p in self.procs:
            p.terminate()
        for p in self.procs:
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()


def tshark(pcap, display_filter, fields=('frame.len',)):
    """Rows of the fields of every frame matching the filter, dissected by tshark."""
    cmd = ['tshark', '-r', pcap, '-Y', display_filter, '-T', 'fields']
    for f in fields:
        cmd += ['-e', f]
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    if r.returncode != 0:
        raise RuntimeError('tshark: ' + r.stderr)
    return [ln.split('\t') for ln in r.stdout.splitlines() if ln]


def txqueuelen(side, iface):
    r = subprocess.run(netns(side) + ['cat', '/sys/class/net/%s/tx_queue_len' % iface], capture_output=True,
                       text=True)
    return int(r.stdout.strip())
