#!/bin/bash
# The management agent: zelkd heartbeats to a management-server stand-in inside the virtual device.
#
# usage: tools/demo.d/40-agent.sh [BUILD_DIR]
#
# The server (python's http.server over TLS, a certificate made by openssl) answers the first
# heartbeat with a task, a requested statistic, an alarm to watch and a new interval; an alarm-daemon
# stand-in receives the subscription and raises the alarm; the next heartbeats carry the results.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-build}" && pwd)

DEVICE=$(cat <<'EOF_PY'
import base64, json, os, subprocess, sys, time
sys.path.insert(0, '/mnt/vdev/src/zelkd/tests')
from zelkpeer import *

def section(t):
    print('\n== ' + t, flush=True)

stats_fixture()
sys.path.insert(0, '/mnt/vdev/src/multool/lib/cfgstore/tests')
import cfgstore
blocks = [('config', b'{"system":{"hostname":"ap-roof"}}\n'), ('product', b'{"model":"KTRV-4100"}\n')]
put('/var/cfg/config.bin', cfgstore.store(cfgstore.part(1, blocks), cfgstore.part(2, blocks)), 0o600)
put('/tmp/config.json', json.dumps({'system': {'device': {'name': 'roof-east', 'location': 'mast 3',
                                                          'coordinate': {'latitude': 47.37, 'longitude': 8.54}}}}))
srv = Server(tls=True)
alertd = Alertd()
first = reply(interval=2, tasks=[{'id': 'job-17', 'type': 'config-upload'}],
              stats=[{'id': 'eth0-rx', 'oid': 'zelk.interface.rx_bytes.$if_index(eth0)'},
                     {'id': 'signal', 'oid': 'zelk.wireless.signal_level.7'}],
              alarms=[{'id': '5', 'name': 'rssi-low', 'threshold': '-80', 'op': 'below', 'ifname': 'ath0'}])
srv.replies = [{'body': first}]
srv.default = {'body': reply(interval=2, stats=[{'id': 'eth0-rx', 'oid': 'zelk.interface.rx_bytes.$if_index(eth0)'},
                                                {'id': 'signal', 'oid': 'zelk.wireless.signal_level.7'}],
                             alarms=[{'id': '5', 'name': 'rssi-low', 'threshold': '-80', 'op': 'below', 'ifname': 'ath0'}])}
agent = Agent({'heartbeat': {'url': srv.url}}, verbose=False, serial='KTRV0711A0042')

section('heartbeat 1, posted over HTTPS by zelkd to %s' % srv.url)
p = srv.wait_posts(1)[0]
print('User-Agent: %s, Content-Type: %s, %d bytes' % (p['headers']['User-Agent'], p['headers']['Content-Type'], len(p['body'])))
print(p['body'].decode())
section('the server answers')
print(first)

section('alarm daemon stand-in: the subscription it received after the round')
for f in alertd.wait_names(['hello', 'rssi-low', 'byebye']):
    print('  id=%d name=%s threshold=%d op=%d ifname=%s' % (f['id'], f['name'], f['threshold'], f['op'],
                                                           f['ifname'].rstrip(b'\0').decode()))
section('heartbeat 2 goes out at once: the result of the task (sysconf -r in Base64)')
p = srv.wait_posts(2)[1]
for e in parse(p['body']).iter('task-result'):
    print('  task-result id=%s status=%s type=%s' % (e.get('id'), e.get('status'), e.get('type')))
    print('  decoded: ' + base64.b64decode(e.text).decode().replace('\n', '\n           '))

section('the alarm daemon raises the alarm; the agent reports it at once')
alertd.send(Alertd.record(5, b'rssi-low', -84, 1, int(time.time()), b'ath0', PEER2.encode()))
n = len(srv.posts)
p = srv.wait_posts(n + 1)[n]
print('\t<alarms>\n' + ''.join('\t\t' + ET.tostring(e, encoding='unicode').strip() + '\n'
                               for e in parse(p['body']).find('alarms')) + '\t</alarms>')

section('a regular heartbeat (interval 2 s from the reply) answers the requested statistics')
while True:
    n = len(srv.posts)
    p = srv.wait_posts(n + 1)[n]
    st = parse(p['body']).find('statistics')
    if st is not None and len(st):
        break
for e in st:
    print('  stat id=%s value=%s' % (e.get('id'), e.text))
print('counter %s, %d posts so far' % (parse(p['body']).findtext('counter'), len(srv.posts)))

section('SIGTERM: zelkd removes its files and ends with 0; the last heartbeat stays for the discovery daemon')
print('exit status %d; /tmp/zelk now holds: %s' % (agent.stop(), ' '.join(sorted(os.listdir('/tmp/zelk')))))
srv.stop()
EOF_PY
)

"$here/tests/harness/vdev" --build "$build" -- python3 -c "$DEVICE"
