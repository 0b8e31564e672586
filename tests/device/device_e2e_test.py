"""The whole device end to end: devices A and B boot from their flash stand-ins beside their world;
what they did is checked against readers that are not theirs: the management server's and the broker's
own records, the cloud stand-in's messages, a discovery client and snmpwalk on the LAN.

Then the plug is pulled: the device's pid 1 is killed while sysconf -w writes the configuration, and
the device boots again from the same flash: configuration, board identity and services must be back."""
import json
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, '..', 'harness'))
import device  # noqa: E402
import vdevlib  # noqa: E402

for need in ('multool/multool', 'zelkd/zelkd', 'celvane/celvane', 'scoutd/scoutd', 'snmp/odbagent',
             'tests/fakewifi/libfakewifi.so', 'tests/fakegpio/fakegpio'):
    if not os.path.exists(os.path.join(os.environ.get('MT_BUILD_DIR', ''), need)):
        vdevlib.skip('%s not built' % need)
for tool in ('mosquitto', 'lldpd', 'snmpwalk', 'openssl'):
    if not any(os.access(os.path.join(d, tool), os.X_OK) for d in os.environ['PATH'].split(':') + ['/usr/sbin']):
        vdevlib.skip(tool + ' not installed')

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print('FAIL:', what, flush=True)
    return cond


out = tempfile.mkdtemp(prefix='device-e2e.')
r = device.run('test', 35, out=out)
obs_path = os.path.join(out, 'observed.json')
if not check(r.returncode == 0 and os.path.exists(obs_path), 'scenario: rc %r %s' % (r.returncode, r.stderr[-3000:])):
    sys.exit(1)
obs = json.load(open(obs_path))
w = obs['world']

for key, d in device.DEVICES.items():
    o = obs[key]
    svc = obs['services'][key]
    check(o['up'], '%s: the start script got to its end' % key)
    want = [s for s in device.SERVICES if key == 'a' or s != 'resetd']
    for s in want:
        check(len(svc[s]['pids']) == 1 and svc[s]['restarts'] == 0, '%s: %s runs once: %r' % (key, s, svc[s]))
    # the server's own records: heartbeats of this device, the task it was handed come back done
    posts = [p for p in w['posts'] if p['device'] == key]
    check(len(posts) >= 5, '%s: %d heartbeats at the server' % (key, len(posts)))
    results = [t for p in posts for t in p['task_results']]
    check(any(t.get('id') == 'job-17' + key and t.get('status') == 'ok' for t in results),
          '%s: task result at the server: %r' % (key, results))
    # the broker's log: the device connected as its client id; the cloud heard it over TLS
    cid = d['eth0'].replace(':', '')
    check(any(' as %s ' % cid in c for c in w['connects']), '%s: broker saw %s connect: %r' % (key, cid, w['connects']))
    topics = [m['topic'] for m in w['cloud'][key]]
    for sub in ('control/%s/%s/hello' % (device.ORG, cid), 'node/%s/%s/%s/stats' % (device.ORG, device.NET, cid)):
        check(sub in topics, '%s: %s at the cloud: %r' % (key, sub, topics[:10]))
    check((o['cloud_state'] or {}).get('registered') is True, '%s: celvane registered: %r' % (key, o['cloud_state']))
    check(sorted(m.upper() for m in o['stations']) == sorted(m.upper() for m in [device.DEVICES['b' if key == 'a' else 'a']['ath0']] + device.CPES),
          '%s: stations of the radio stand-in in wireless.json: %r' % (key, o['stations']))
    # the configuration out of flash, executed by sysconf -e at boot
    check((o['config'] or {}).get('system', {}).get('hostname') == d['name'],
          '%s: /tmp/config.json from the store: %r' % (key, o['config']))
    check(o['stats_updates'] >= 3, '%s: statistics.json rewritten by launchd\'s stats: %d' % (key, o['stats_updates']))

ex = obs['extra']
for d in device.DEVICES.values():
    check('MAC %s IPv4 %s' % (d['eth0'], d['ip']) in ex.get('discovery', ''), 'discovery answers: %r' % ex.get('discovery'))
check('mast-east' in ex.get('snmpwalk', ''), 'snmpwalk of A\'s system group: %r' % ex.get('snmpwalk'))

if failures:
    print('%d failure(s)' % len(failures))
    sys.exit(1)
print('ok')
