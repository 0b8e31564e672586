"""Boots device A, device B and their world inside the virtual device, then watches them.

    scenario.py demo SECONDS   a live summary for SECONDS, then a clean stop
    scenario.py test SECONDS   the same boot; what was observed goes to /mnt/vdev/out/observed.json
    scenario.py boot SECONDS   device A alone (after a power cut): what it came back with
    scenario.py cut-config N   device A alone, writing its configuration over and over until the plug
                               is pulled (the host kills pid 1 once /mnt/vdev/out/cut-start exists)
    scenario.py cut-fw N       device A alone, installing a firmware image (/mnt/vdev/out/fw-new.bin)

Observations come from the devices' own files (read through /proc/<pid>/root for B) and from readers
outside them: the world's records, lldpcli, snmpwalk and a discovery client on the LAN."""
import json
import os
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import device  # noqa: E402
from device import DEVICES, OUT, read, read_json, sh, wait_for  # noqa: E402

SRC = device.SRC
sys.path.insert(0, os.path.join(SRC, 'scoutd/tests'))
import scoutnet  # noqa: E402

B_BOOT = r'''
set -e
mount --make-rprivate /
mount --bind /run/devb/etc /etc
for d in /tmp /run /var /data; do mount -t tmpfs -o mode=755 none $d; done
chmod 1777 /tmp
mkdir -p /var/cfg /run/vdev /var/run
mount --bind /mnt/vdev/out/flash-b /var/cfg
%s
mkdir -p /tmp/pktgen/proc/net
%s /tmp/pktgen/proc/net --log /tmp/pktgen/log 2>/tmp/pktgen/err &
i=0; while [ ! -e /tmp/pktgen/proc/net/pktgen/pgctrl ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done
exec /etc/init.d/rcS
'''


def hidden_tree_binds():
    """(tree, path) for the build and source trees the sandbox bound again at their host paths under a
    folder B mounts afresh (a clone under /tmp): the programs' libraries point there."""
    trees = {}
    for tree in (device.BUILD, device.SRC):
        st = os.stat(tree)
        trees[(st.st_dev, st.st_ino)] = tree
    binds = []
    with open('/proc/self/mountinfo') as f:
        for line in f:
            path = line.split()[4]
            if path.split('/')[1] not in ('tmp', 'run', 'var', 'data'):
                continue
            try:
                st = os.stat(path)
            except OSError:
                continue
            if (st.st_dev, st.st_ino) in trees:
                binds.append((trees[(st.st_dev, st.st_ino)], path))
    return binds


def b_boot():
    rebind = ''.join('mkdir -p %s && mount --bind %s %s\n' % (p, t, p) for t, p in hidden_tree_binds())
    return B_BOOT % (rebind, device.BUILD + '/tests/fakepktgen/fakepktgen')


class Lan:
    def __init__(self, only_a=False):
        self.procs = []
        self.only_a = only_a
        self.b = None
        self.t0 = time.monotonic()

    # -- the world -------------------------------------------------------------------------------
    def world(self):
        os.makedirs('/tmp/world', exist_ok=True)
        self.world_log = open('/tmp/world/world.log', 'w')
        p = subprocess.Popen(['ip', 'netns', 'exec', 'lan', '/usr/bin/python3', HERE + '/world.py'],
                             stdout=self.world_log, stderr=subprocess.STDOUT)
        self.world_proc = p
        wait_for(lambda: os.path.exists('/tmp/world/ready') or p.poll() is not None, 60, what='the world')
        if p.poll() is not None:
            raise RuntimeError('world: ' + open('/tmp/world/world.log').read()[-2000:])

    def capture(self):
        """dumpcap on the LAN's ports for the whole run (the test reads the file with tshark); the ports,
        not the bridge: LLDP's group address is not forwarded to it."""
        self.pcap = '/tmp/world/lan.pcapng'
        p = subprocess.Popen(['ip', 'netns', 'exec', 'lan', 'dumpcap', '-q', '-i', 'lan-a', '-i', 'lan-b', '-s', '2048',
                              '-w', self.pcap], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        seen = ''
        while 'File:' not in seen:
            line = p.stderr.readline()
            if not line:
                raise RuntimeError('dumpcap did not start: ' + seen)
            seen += line
        self.dumpcap = p

    def stop_capture(self):
        if getattr(self, 'dumpcap', None) and self.dumpcap.poll() is None:
            time.sleep(1.5)     # the capture hands over its last block up to a second late
            self.dumpcap.send_signal(signal.SIGINT)
            try:
                self.dumpcap.wait(10)
            except subprocess.TimeoutExpired:
                self.dumpcap.kill()
            shutil.copy(self.pcap, OUT)

    # -- the devices -----------------------------------------------------------------------------
    def flash(self, key):
        folder = os.path.join(OUT, 'flash-' + key)
        if not os.path.exists(os.path.join(folder, 'config.bin')):
            device.make_flash(folder, key)
        return folder

    def boot_a(self):
        # the cloud agent's scripts of the installation
        sys.path.insert(0, os.path.join(SRC, 'celvane/tests'))
        import cloud
        cloud.install_lua()
        sh('mkdir -p /var/cfg && mount --bind %s /var/cfg' % self.flash('a'))
        # the board: its kernel command line and its flash partitions
        sh('mount --bind /etc/board/cmdline /proc/cmdline')
        for n in (1, 2):
            sh('ln -sf /var/cfg/bank%d /dev/mtdblock%d && ln -sf /var/cfg/bank%d /dev/mtd%d' % (n, n, n, n))
        # the reset button's GPIO line, through the stand-in sysfs GPIO tree
        os.makedirs('/sys/class/gpio', exist_ok=True)
        os.mkfifo('/tmp/gpio.ctl')
        self.gpio = subprocess.Popen([device.BUILD + '/tests/fakegpio/fakegpio', '--log', '/tmp/gpio.log',
                                      '--ctl', '/tmp/gpio.ctl', '--line', '5=1', '/sys/class/gpio'],
                                     stderr=subprocess.DEVNULL)
        wait_for(lambda: os.path.exists('/sys/class/gpio/export'), 10, what='the GPIO stand-in')
        # the kernel's packet generator: the stand-in sends and counts real frames
        os.makedirs('/tmp/pktgen/proc/net', exist_ok=True)
        self.pktgen = subprocess.Popen([device.BUILD + '/tests/fakepktgen/fakepktgen', '/tmp/pktgen/proc/net', '--log',
                                        '/tmp/pktgen/log'], stderr=open('/tmp/pktgen/err', 'w'))
        wait_for(lambda: os.path.exists('/tmp/pktgen/proc/net/pktgen/pgctrl'), 10, what='the packet generator stand-in')
        self.a = subprocess.Popen(['/etc/init.d/rcS'], stdout=open('/tmp/rcS-a.log', 'w'), stderr=subprocess.STDOUT)

    def boot_b(self):
        self.flash('b')
        shutil.rmtree('/run/devb', True)
        shutil.copytree('/etc', '/run/devb/etc', symlinks=True)
        for path, text in device.etc_files('b').items():
            with open('/run/devb' + path, 'w') as f:
                f.write(text)
        self.b = subprocess.Popen(['ip', 'netns', 'exec', 'b', 'unshare', '-m', '-u', '-p', '-f', '--mount-proc',
                                   'sh', '-c', b_boot()], stdout=open('/tmp/rcS-b.log', 'w'), stderr=subprocess.STDOUT)

    def root(self, key):
        """Prefix of the device's own file system as this process sees it."""
        if key == 'a':
            return ''
        pid = self.b_init()
        return '/proc/%d/root' % pid if pid else '/nonexistent'

    def b_init(self):
        """Pid (here) of B's start script."""
        if not self.b:
            return None
        for p in _children(self.b.pid, deep=True):
            if _comm(p) == 'rcS':
                return p
        return None

    def file(self, key, path):
        return read(self.root(key) + path)

    def json(self, key, path):
        return read_json(self.root(key) + path)

    def up(self, key):
        return self.file(key, '/var/run/rcS.state') is not None

    # -- what runs where ------------------------------------------------------------------------------
    def processes(self):
        """{'a': {pid: comm}, 'b': {...}}: the devices' processes, told apart by network namespace."""
        mine = os.readlink('/proc/self/ns/net')
        bns = None
        if self.b_init():
            try:
                bns = os.readlink('/proc/%d/ns/net' % self.b_init())
            except OSError:
                pass
        out = {'a': {}, 'b': {}}
        for d in os.listdir('/proc'):
            if not d.isdigit() or int(d) == 1:
                continue
            try:
                ns = os.readlink('/proc/%s/ns/net' % d)
            except OSError:
                continue
            key = 'a' if ns == mine else 'b' if ns == bns else None
            if key:
                out[key][int(d)] = _name(int(d))
        return out

    def services(self, procs):
        """{'a': {service: [pids]}, ...} for the daemons of the device."""
        res = {}
        for key, ps in procs.items():
            res[key] = {s: sorted(p for p, c in ps.items() if c == s) for s in device.SERVICES}
        return res

    def close(self):
        for p in ([self.a] if getattr(self, 'a', None) else []) + ([self.b] if self.b else []):
            p.terminate()
        # B's pid namespace ends with its init; A's daemons end with the harness's namespace
        if getattr(self, 'world_proc', None):
            self.world_proc.terminate()
            try:
                self.world_proc.wait(15)
            except subprocess.TimeoutExpired:
                self.world_proc.kill()
        for p in ([self.b] if self.b else []):
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
        for p in (getattr(self, 'gpio', None), getattr(self, 'pktgen', None)):
            if p:
                p.terminate()


def _comm(pid):
    try:
        return open('/proc/%d/comm' % pid).read().strip()
    except OSError:
        return ''


def _name(pid):
    """The program's name as started: a daemon that re-executes itself through /proc/self/exe is
    'exe' to the kernel but keeps its argv[0]."""
    argv0 = _cmdline(pid).split(' ', 1)[0]
    return os.path.basename(argv0) if argv0 else _comm(pid)


def _cmdline(pid):
    try:
        return open('/proc/%d/cmdline' % pid, 'rb').read().replace(b'\0', b' ').decode(errors='replace')
    except OSError:
        return ''


def _children(pid, deep=False):
    out = []
    try:
        kids = [int(x) for x in open('/proc/%d/task/%d/children' % (pid, pid)).read().split()]
    except OSError:
        return out
    for k in kids:
        out.append(k)
        if deep:
            out += _children(k, True)
    return out


# -- readers outside the devices ---------------------------------------------------------------------
def lan_run(argv, timeout=20):
    return subprocess.run(['ip', 'netns', 'exec', 'lan'] + argv, capture_output=True, text=True, timeout=timeout)


def lldpcli():
    """[(LAN port, system name, chassis MAC)] of the neighbours the LAN's lldpd lists."""
    r = lan_run(['lldpcli', '-u', '/tmp/world/lldpd.sock', '-f', 'json', 'show', 'neighbors'])
    try:
        ifs = (json.loads(r.stdout).get('lldp') or {}).get('interface') or []
    except (ValueError, AttributeError):
        return []
    if isinstance(ifs, dict):
        ifs = [{k: v} for k, v in ifs.items()]
    out = []
    for entry in ifs:
        for port, v in entry.items():
            for name, ch in (v.get('chassis') or {}).items():
                mac = (ch.get('id') or {}).get('value') if isinstance(ch, dict) else None
                out.append((port, name, mac))
    return out


def snmpwalk(ip, oid='.1.3.6.1.2.1.1'):
    r = lan_run(['snmpwalk', '-v2c', '-c', 'public', '-t', '2', '-r', '1', ip, oid])
    return r.stdout.splitlines()


class _Lan(scoutnet.Netns):
    def __init__(self):
        if scoutnet.Netns._home is None:
            scoutnet.Netns._home = os.open('/proc/self/ns/net', os.O_RDONLY)
        self.name = 'lan'
        self.fd = os.open('/run/netns/lan', os.O_RDONLY)


_tool = None


def discover():
    """A dproto discovery request from the LAN to every device; the parsed answers."""
    global _tool
    if _tool is None:
        _tool = scoutnet.Client(_Lan(), 'br0', device.SERVER_IP)
    me = 0x00000A0B0C0D0E0F
    try:
        _tool.send(scoutnet.dproto(0, me, scoutnet.ALL))
        # both devices answer; wait long enough to hear each
        got = _tool.answers_to(me, _tool.listen(3))
    except Exception:
        return []
    return [scoutnet.parse_discovery(a.payload) for a in got]


def linktest():
    """One link-test session from A to B over the radio link (B's ltsd answers)."""
    subprocess.run(['ping', '-c', '2', '-W', '1', DEVICES['b']['radio_ip']], stdout=subprocess.DEVNULL)
    env = dict(os.environ, MT_PROC_DIR='/tmp/pktgen/proc')
    r = subprocess.run(['linktest', '-j', '-t', '1', '-c', '500'], env=env, capture_output=True, text=True, timeout=60)
    # a stray frame of the LLC type (the devices' own CDP, say) is reported on a line of its own
    lines = [ln for ln in r.stdout.splitlines() if '"test"' in ln]
    return lines[-1] if lines else (r.stdout.strip() or r.stderr.strip())[-300:]


# -- the observations --------------------------------------------------------------------------------
class Watch:
    """Samples the devices; keeps the pids seen per service to count restarts, and CPU time."""

    def __init__(self, lan):
        self.lan = lan
        self.seen = {'a': {}, 'b': {}}
        self.stats_stamps = {'a': set(), 'b': set()}
        self.cpu = []           # (monotonic, jiffies of A's processes)

    def sample(self):
        lan = self.lan
        ups = {k: lan.up(k) for k in ('a', 'b')}
        procs = lan.processes()
        svc = lan.services(procs)
        for key in svc:
            if not ups[key]:
                self.seen[key] = {}     # the boot-time scoutd is not a restart
            for s, pids in svc[key].items():
                counts = self.seen[key].setdefault(s, {})
                for p in pids:
                    counts[p] = counts.get(p, 0) + 1
        self.cpu.append((time.monotonic(), sum(_jiffies(p) for p in procs['a'] if p != os.getpid())))
        rec = read_json('/tmp/world/records.json') or {}
        obs = {'t': round(time.monotonic() - lan.t0, 1), 'services': {}, 'world': rec}
        for key in ('a', 'b'):
            o = obs.setdefault(key, {})
            # a pid seen in one sample only is a daemon's parent on its way out
            obs['services'][key] = {s: {'pids': svc[key][s], 'restarts': max(0, sum(
                1 for n in self.seen[key].get(s, {}).values() if n > 1) - 1)}
                                    for s in device.SERVICES}
            st = lan.json(key, '/var/run/stats/statistics.json') or {}
            o['statistics'] = {'timestamp': st.get('timestamp'), 'cpu_load': st.get('cpu_load'),
                               'memory_usage': st.get('memory_usage')}
            try:
                self.stats_stamps[key].add(os.stat(lan.root(key) + '/var/run/stats/statistics.json').st_mtime_ns)
            except OSError:
                pass
            o['stats_updates'] = len(self.stats_stamps[key])
            wl = lan.json(key, '/var/run/stats/wireless.json') or {}
            o['stations'] = [p.get('mac') for p in wl.get('peers', [])]
            o['neighbours'] = lan.json(key, '/var/run/stats/lldp-discovery.json')
            o['cloud_state'] = lan.json(key, '/var/run/celvane-cloud.json')
            o['config'] = lan.json(key, '/tmp/config.json')
            o['up'] = lan.up(key)
        return obs

    def cpu_share(self, since, until=None):
        pts = [c for c in self.cpu if c[0] >= since and (until is None or c[0] <= until)]
        if len(pts) < 2 or pts[-1][0] <= pts[0][0]:
            return None
        hz = os.sysconf('SC_CLK_TCK')
        return 100.0 * (pts[-1][1] - pts[0][1]) / hz / (pts[-1][0] - pts[0][0])


def _jiffies(pid):
    try:
        f = open('/proc/%d/stat' % pid).read().rsplit(')', 1)[1].split()
        return int(f[11]) + int(f[12]) + int(f[13]) + int(f[14])
    except (OSError, IndexError, ValueError):
        return 0


def private_kib(pids):
    total = 0
    for p in pids:
        try:
            for line in open('/proc/%d/smaps_rollup' % p):
                if line.startswith(('Private_Clean:', 'Private_Dirty:')):
                    total += int(line.split()[1])
        except OSError:
            pass
    return total


# -- the summary a person watches --------------------------------------------------------------------
def summary(obs, extra):
    w = obs['world']
    lines = ['the whole device, %5.1f s after power-on' % obs['t'], '']
    for key in ('a', 'b'):
        d = DEVICES[key]
        o = obs[key]
        svc = obs['services'][key]
        up = ' '.join('%s:%s%s' % (s, ','.join(map(str, v['pids'])) or '-',
                                   '(+%d)' % v['restarts'] if v['restarts'] else '')
                      for s, v in svc.items() if v['pids'] or s != 'resetd' or key == 'a')
        posts = [p for p in w.get('posts', []) if p['device'] == key]
        done = [r for p in posts for r in p['task_results']]
        msgs = w.get('cloud', {}).get(key, [])
        topics = {}
        for m in msgs:
            topics[m['topic'].rsplit('/', 1)[-1]] = topics.get(m['topic'].rsplit('/', 1)[-1], 0) + 1
        nb = o['neighbours'] if isinstance(o['neighbours'], dict) else {}
        nbs = ', '.join('%s (%s) on %s, IPv4 %s' % (v.get('name'), v.get('macAddress'), v.get('iface'), v.get('ip4'))
                        for v in nb.values() if isinstance(v, dict)) or '-'
        cs = o['cloud_state'] or {}
        state = ' '.join(k for k in ('connected', 'registered', 'monitoring') if cs.get(k)) or 'not connected'
        lines += ['== device %s  %s  %s (eth0 %s, ath0 %s)  %s' % (key.upper(), d['name'], d['serial'], d['ip'],
                                                                d['radio_ip'], 'booted' if o['up'] else 'booting'),
                  '  services   ' + up,
                  '  heartbeat  %d sent to %s, task %s' % (
                      len(posts), device.HB_URL, ', '.join('%s %s' % (r.get('id'), r.get('status')) for r in done)
                      or 'pending'),
                  '  cloud      %s; the cloud got %d messages: %s' % (state, len(msgs), ' '.join(
                      '%s=%d' % kv for kv in sorted(topics.items()))[:90]),
                  '  radio      stations %s' % ' '.join(o['stations'] or ['-']),
                  '  neighbour  %s' % nbs,
                  '  stats      statistics.json updated %d times, cpu_load %s, memory %s%%' % (
                      o['stats_updates'], o['statistics']['cpu_load'], _round(o['statistics']['memory_usage']))]
    for k, v in extra.items():
        lines.append('%-10s %s' % (k, v))
    return '\n'.join(lines)


def _round(x):
    return round(x, 1) if isinstance(x, float) else x


def alone(mode, seconds):
    """Device A without its neighbours: a boot after a power cut, or a write that the cut strikes."""
    lan = Lan()
    try:
        lan.boot_a()
        wait_for(lambda: lan.up('a'), 60, what='the start script')
        watch = Watch(lan)
        if mode == 'cut-config':
            # a different location each round, each a whole document
            open(OUT + '/cut-start', 'w').close()
            for i in range(100000):
                doc = device.config_of('a')
                doc['system']['device']['location'] = 'mast 1 rev %d' % i
                with open('/tmp/config.json', 'w') as f:
                    json.dump(doc, f)
                subprocess.run(['sysconf', '-w'], check=True, stdout=subprocess.DEVNULL)
                with open(OUT + '/written', 'a') as f:
                    f.write('%d\n' % i)
        if mode == 'cut-fw':
            shutil.copy(OUT + '/fw-new.bin', '/tmp/.fwupdate.bin')
            open(OUT + '/cut-start', 'w').close()
            env = dict(os.environ, MT_PROC_DIR='/etc/board/proc')
            os.makedirs('/etc/board/proc', exist_ok=True)
            shutil.copy('/etc/board/mtd', '/etc/board/proc/mtd')
            r = subprocess.run(['fwupdate', '-m'], env=env, capture_output=True, text=True)
            with open(OUT + '/fwupdate.out', 'w') as f:
                f.write('exit %d\n%s%s' % (r.returncode, r.stdout, r.stderr))
            time.sleep(30)
        # 'boot': every service given time to come up and be seen twice
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            obs = watch.sample()
            time.sleep(0.5)
        with open(OUT + '/observed.json', 'w') as f:
            json.dump(obs, f, indent=1, default=list)
    finally:
        lan.close()


def main():
    mode = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 60
    if mode in ('boot', 'cut-config', 'cut-fw'):
        return alone(mode, seconds)
    tty = sys.stdout.isatty()
    lan = Lan()
    stopping = []
    signal.signal(signal.SIGINT, lambda *a: stopping.append(1))
    signal.signal(signal.SIGTERM, lambda *a: stopping.append(1))
    extra = {}
    try:
        lan.world()
        if mode == 'test':
            lan.capture()
        lan.boot_a()
        lan.boot_b()
        watch = Watch(lan)
        end = time.monotonic() + seconds
        last_print = 0
        busy_from = idle_from = None
        lldp_seen = []
        obs = None
        while time.monotonic() < end and not stopping:
            obs = watch.sample()
            now = time.monotonic()
            if obs['a']['up'] and obs['b']['up'] and 'discovery' not in extra:
                extra['discovery'] = '; '.join('MAC %s IPv4 %s %s' % (a['mac'], a['ip'], a['line'].decode(
                    errors='replace').strip()) for a in discover()) or 'no answer'
                name = snmpwalk(DEVICES['a']['ip'], '.1.3.6.1.2.1.1.5')
                own = snmpwalk(DEVICES['a']['ip'], '.1.3.6.1.4.1.99999')
                extra['snmpwalk'] = '%s; odbagent\'s tree: %d objects, %s' % (
                    name[0] if name else 'no answer', len(own), own[0] if own else '-')
                busy_from = now
            if busy_from and not idle_from and now - busy_from > 12:
                extra['cpu busy'] = '%.1f%% of one core (heartbeat every second)' % (watch.cpu_share(busy_from) or 0)
                open('/tmp/world/mode', 'w').write('idle\n')
                idle_from = now + 3
            if idle_from and now - idle_from > 10 and 'cpu idle' not in extra:
                extra['cpu idle'] = '%.1f%% of one core (heartbeat every 60 s)' % (watch.cpu_share(idle_from) or 0)
            # the link test last: after it the two ltsd keep answering each other on the radio link (a reply
            # reaches the other side's daemon too, and any text it does not know asks for its counters)
            if busy_from and 'linktest' not in extra and ('cpu idle' in extra or end - now < 8):
                if idle_from and 'cpu idle' not in extra and watch.cpu_share(idle_from) is not None:
                    extra['cpu idle'] = '%.1f%% of one core (heartbeat every 60 s, %.0f s)' % (
                        watch.cpu_share(idle_from), now - idle_from)
                extra['linktest'] = linktest()
            if obs['a']['up']:
                procs = lan.processes()
                extra['memory'] = 'A %d KiB, B %d KiB private in %d/%d processes' % (
                    private_kib(p for p in procs['a'] if p != os.getpid()), private_kib(procs['b']),
                    len(procs['a']), len(procs['b']))
            if int(now - lan.t0) % 3 == 0:
                nb = lldp_seen[:] = lldpcli()
                extra['lldpd'] = 'the LAN\'s lldpd: ' + (
                    ', '.join('%s on %s (%s)' % (n, p, m) for p, n, m in nb) or '-')
            if mode == 'demo' and now - last_print >= (1.0 if tty else 10.0):
                if tty:
                    sys.stdout.write('\033[H\033[J')
                print(summary(obs, extra), flush=True)
                if not tty:
                    print()
                last_print = now
            time.sleep(0.5)
        lan.stop_capture()
        if obs is not None:
            procs = lan.processes()
            obs['cpu_jiffies'] = sorted(((_jiffies(p), p, n) for key in procs for p, n in procs[key].items()),
                                        reverse=True)[:6]
            obs['extra'] = extra
            obs['lldpcli'] = lldp_seen
            with open(OUT + '/observed.json', 'w') as f:
                json.dump(obs, f, indent=1, default=list)
            if mode == 'demo':
                if tty:
                    sys.stdout.write('\033[H\033[J')
                print(summary(obs, extra), flush=True)
    finally:
        for key in ('a', 'b'):
            for doc in ('wireless', 'statistics'):
                src = lan.root(key) + '/var/run/stats/%s.json' % doc
                if os.path.exists(src):
                    shutil.copy(src, '%s/%s-%s.json' % (OUT, doc, key))
            src = lan.root(key) + '/var/log'
            if os.path.isdir(src):
                shutil.copytree(src, '%s/logs-%s' % (OUT, key), dirs_exist_ok=True)
        for f in ('/tmp/world/world.log', '/tmp/world/lldpd.log', '/tmp/broker/mosquitto.log', '/tmp/rcS-a.log',
                  '/tmp/rcS-b.log'):
            if os.path.exists(f):
                shutil.copy(f, OUT)
        lan.close()


if __name__ == '__main__':
    main()
