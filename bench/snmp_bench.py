"""bench/snmp.sh: see there.  Everything runs in one virtual device."""
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '../tests/harness'))
import vdevlib  # noqa: E402

BUILD = sys.argv[1]
VAPS, PEERS = 4, 64


def mac(v, p):
    return '02:00:00:00:%02X:%02X' % (v, p)


wireless = {'radios': {'countryCode': 'DE', 'dev': {}}, 'vaps': [], 'peers': []}
root = {}
fake = {'interfaces': {}}
for v in range(VAPS):
    radio = 'wifi%d' % (v // 2)
    wireless['radios']['dev'][radio] = {'protocol': '11na,qlix', 'qlix': 4, 'frequency': 5180.0, 'channel': 36,
                                        'channelWidth': '40', 'txPower': 20, 'bitrate': 300, 'noise': [-95, -96]}
    wireless['vaps'].append({'name': 'ath%d' % v, 'mac': mac(v, 255), 'radio': radio, 'operationMode': 'master',
                             'ssid': 'bench%d' % v, 'security': 'wpapsk2', 'peerCount': PEERS, 'rxPackets': 1,
                             'rxErrors': 0, 'txPackets': 2, 'txRetries': 3})
    fake['interfaces']['ath%d' % v] = {'name': 'IEEE 802.11na', 'essid': 'bench%d' % v, 'mode': 3,
                                       'freq': {'m': 5180, 'e': 6, 'i': 36}, 'encode_flags': 0}
    for p in range(PEERS):
        wireless['peers'].append({'mac': mac(v, p), 'vap': 'ath%d' % v, 'vapIfIndex': v + 3,
                                  'signal': [-60 - p % 20, -62], 'txBytes': p * 1000, 'rxBytes': p * 2000,
                                  'ipAddress': '192.0.2.%d' % (p + 1)})
        root['/var/run/stats/remote-%s.json' % mac(v, p)] = json.dumps({'wireless': {'signal': [-50, -55]}})
root['/var/run/stats/wireless.json'] = json.dumps(wireless)
root['/var/run/stats/dhcp_status.json'] = json.dumps({'ath%d' % v: {'ssid': 's', 'result': 1, 'client_ip': '192.0.2.9'}
                                                      for v in range(VAPS)})
for i in range(16):
    root['/var/run/alertd/ping-stats-%d' % i] = json.dumps({'oid_fmt': '1.3.6.1.4.1.99999.3.1.1.%%d.%d' % i,
                                                            'time': i, 'host': 'h%d' % i})
root['/etc/serial-no'] = 'BENCH1\n'
root['/etc/product'] = json.dumps({'productName': 'AP', 'productVersion': '1', 'snmp': {'enterpriseName': 'M'}})
root['/etc/fakewifi.json'] = json.dumps(fake)
root['/etc/snmp-bench/snmpd.conf'] = ('master agentx\nagentXSocket /run/snmp-bench/agentx\n'
                                      'agentaddress udp:127.0.0.1:16161\nrocommunity public 127.0.0.1\n')

SETUP = ('ip link add br0 type bridge; ip addr add 192.0.2.1/24 dev br0; ip link set br0 up; '
         'ip link add eth0 type veth peer name eth0p; ' +
         '; '.join('ip link add ath%d type veth peer name ath%dp' % (v, v) for v in range(VAPS)))

INSIDE = r'''
import os, re, signal, subprocess, time
M = '/usr/lib/odbagent/'
PRE = {'LD_PRELOAD': '/mnt/vdev/build/tests/fakewifi/libfakewifi.so', 'FAKEWIFI_CONFIG': '/etc/fakewifi.json'}
env = dict(os.environ, **PRE)
print('refresh cost, instructions (callgrind, %d VAPs x %d stations):' % (VAPS, PEERS))
for m in ('mavowireless', 'mavodhcpstatus', 'mavogeneric', 'ieee802dot11'):
    out = '/tmp/cg.' + m
    r = subprocess.run(['valgrind', '--tool=callgrind', '--callgrind-out-file=' + out, '--toggle-collect=%s_run*' % m,
                        '/usr/sbin/odbagent', '-d', '-e', '99999', M + m + '.so'], env=env,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    ir = int(re.search(r'^summary: (\d+)', open(out).read(), re.M).group(1))
    print('  %-15s %10d instructions, %4d objects' % (m, ir, len(r.stdout.splitlines())))

os.makedirs('/run/snmp-bench', exist_ok=True)
def start_snmpd():
    p = subprocess.Popen(['snmpd', '-f', '-C', '-c', '/etc/snmp-bench/snmpd.conf', '-Lf', '/dev/null'])
    for _ in range(100):
        if os.path.exists('/run/snmp-bench/agentx'):
            break
        time.sleep(0.05)
    return p
snmpd = start_snmpd()
agent = subprocess.Popen(['/usr/sbin/odbagent', '-x', '/run/snmp-bench/agentx', '-e', '99999', '-i', '3600'] +
                         [M + m + '.so' for m in ('mavowireless', 'mavodhcpstatus', 'mavogeneric', 'ieee802dot11')],
                         env=env, stderr=subprocess.DEVNULL)
WALK = ['snmpwalk', '-v2c', '-c', 'public', '-On', '-t', '5', '127.0.0.1:16161', '.1.3.6.1.4.1.99999.3.10']
def walk():
    return subprocess.run(WALK, stdout=subprocess.PIPE, text=True).stdout.count('\n')
for _ in range(100):
    if walk() > 1000:
        break
    time.sleep(0.1)
times = []
for _ in range(5):
    t = time.monotonic()
    n = walk()
    times.append(time.monotonic() - t)
print('snmpwalk of the wireless subtree through snmpd: %d objects, best %.0f ms, median %.0f ms (5 walks)' %
      (n, min(times) * 1000, sorted(times)[2] * 1000))

def rss(pid):
    return int(re.search(r'VmRSS:\s+(\d+)', open('/proc/%d/status' % pid).read()).group(1))
rss0 = rss(agent.pid)
HUPS, RESTARTS = 3000, 2
for i in range(HUPS):
    agent.send_signal(signal.SIGHUP)
    time.sleep(0.004)
    if i % 1000 == 999 and i // 1000 < RESTARTS:
        snmpd.send_signal(signal.SIGTERM); snmpd.wait()
        snmpd = start_snmpd()
ok = 0
for _ in range(150):
    n = walk()
    if n > 1000:
        ok = n
        break
    time.sleep(0.1)
rss1 = rss(agent.pid)
agent.send_signal(signal.SIGTERM)
rc = agent.wait()
snmpd.send_signal(signal.SIGTERM); snmpd.wait()
print('soak: %d SIGHUP refreshes, %d master restarts: VmRSS %d kB -> %d kB (%+d kB), %d objects served after, exit %d' %
      (HUPS, RESTARTS, rss0, rss1, rss1 - rss0, ok, rc))
'''.replace('VAPS, PEERS', '%d, %d' % (VAPS, PEERS))

r = vdevlib.run(['python3', '-c', INSIDE], roots=[root], setup=SETUP, build=BUILD, timeout=600, text=True)
sys.stdout.write(r.stdout)
if r.returncode != 0:
    sys.stderr.write(r.stderr[-3000:])
    sys.exit(1)
