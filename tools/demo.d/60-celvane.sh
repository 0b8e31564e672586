#!/bin/bash
# The cloud agent: a local mosquitto with TLS in the virtual device, celvane fetching its certificate,
# authenticating and registering, then a few commands from the cloud and the agent's answers.
#
# usage: tools/demo.d/60-celvane.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-build}" && pwd)
if [ ! -x "$build/celvane/celvane" ] || ! command -v mosquitto >/dev/null; then
	echo "celvane or mosquitto missing: skipped"
	exit 0
fi

DEVICE=$(cat <<'EOF2'
import json, os, signal, sys, time
sys.path.insert(0, '/mnt/vdev/src/celvane/tests')
from cloud import Agent, Broker, Cloud, install_lua, stub

CID, ORG, NET = '02000000c001', 'acme', 'roof'
def section(t):
    print('\n== ' + t, flush=True)

section('broker: mosquitto on 127.0.0.1, plain 1883 and TLS 8883 (CA and server certificate by openssl)')
b = Broker(users={'%s-%s' % (ORG, CID): 'fleet-secret'})
b.start()
install_lua()
stub('/usr/sbin/linktest', "size = sys.argv[sys.argv.index('-s') + 1]\n"
     "print(json.dumps({'size': int(size), 'throughput_mbps': 87.5, 'loss': 0.0}))")
c = Cloud(b, ORG, CID, secret='fleet-secret', interval=11, network=NET)
c.start()
print('the cloud service listens on the plain port and answers certificate requests and hellos')

section('celvane -o acme -n roof: certificate, authentication, operational session')
t0 = time.time()
a = Agent(['-o', ORG, '-n', NET, '-v']).start()
c.wait_msg(c.node(NET, 'stats'), t0, 20)
for m in c.got('init/crt/request') + c.got('init/crt/response')[:1]:
    print('  %-44s qos %d  %s' % (m.topic, m.qos, (m.payload[:40] + b'...') if m.payload else "''"))
for l in b.connects(CID):
    print('  broker: ' + l.split(': ', 1)[1])
for m in c.msgs:
    if m.topic.endswith(('/hello', '/ack', '/info', '/stats')):
        print('  %-44s qos %d  %s' % (m.topic, m.qos, m.payload[:90].decode()))
print('  state file: ' + json.dumps(json.load(open('/var/run/celvane-cloud.json'))))

section('commands: ping, a site survey, a link test at two packet sizes')
t = time.time()
c.send(c.node(NET, 'ping'), {})
c.send('control/%s/%s/sitesurvey' % (ORG, CID), {'trigger': 'demo'})
c.send(c.node(NET, 'linktest_start'), {'action': 'start', 'packetsize': [500, 1400], 'iterations': 2,
                                       'trafficdirection': 'localtoremote', 'stationid': '00:11:22:33:44:55'})
c.wait_msg(c.node(NET, 'linktest'), t, 10, count=2)
for m in c.msgs:
    if m.t >= t and not m.topic.endswith(('/ping', '/sitesurvey', '/linktest_start')):
        print('  %-44s qos %d  %s' % (m.topic, m.qos, m.payload[:90].decode()))
for l in open('/tmp/calls.log'):
    print('  ran: ' + ' '.join(json.loads(l)))

section('a shell in a command is refused: radio "wifi0;reboot"')
c.send(c.node(NET, 'scan'), {'type': 'spectrum', 'action': 'start', 'radio': 'wifi0;reboot'})
a.wait_log('not an interface name', 5)
print('  ' + [l for l in a.log().splitlines() if 'not an interface name' in l][0])

section('the broker restarts: the agent comes back by itself')
b.stop()
t = time.time()
b.start()
c.wait_msg(c.node(NET, 'stats'), t, 30)
print('  registered again %.1f s after the restart' % (time.time() - t))

section('stop: status down, unsubscribe, disconnect')
t = time.time()
a.signal(signal.SIGTERM)
print('  exit status %s' % a.wait_exit(15))
for m in c.got('control/%s/%s/status' % (ORG, CID), t):
    print('  %-44s qos %d  %s' % (m.topic, m.qos, m.payload.decode()))
EOF2
)

"$here/tests/harness/vdev" --build "$build" \
	--setup 'ip link add eth0 address 02:00:00:00:c0:01 type veth peer name eth0p; ip link set eth0 up' \
	-- /usr/bin/python3 -c "$DEVICE"
