#!/usr/bin/env python3
"""scoutd and the multool applet of the older protocol in the virtual device, answering a discovery
tool in a LAN namespace (scoutd_device.py does the work inside; see there).

usage: scoutd_e2e_test.py normal|boot|order|applet"""
import os
import sys

sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
import vdevlib  # noqa: E402

scenario = sys.argv[1]
if not os.path.exists(os.path.join(os.environ['MT_BUILD_DIR'], 'scoutd/scoutd')):
    vdevlib.skip('scoutd not built')
for tool in ('ping', 'dumpcap', 'tshark', 'ss'):
    if not any(os.access(os.path.join(d, tool), os.X_OK) for d in ('/usr/bin', '/bin', '/usr/sbin', '/sbin')):
        vdevlib.skip('%s missing (tools/install-deps.sh)' % tool)

stubs = {'boot': ['/sbin/reset_to_defaults=3'], 'applet': ['/sbin/reset_to_defaults=0']}.get(scenario, [])
r = vdevlib.run(['python3', '/mnt/vdev/src/scoutd/tests/scoutd_device.py', scenario], net=True, stubs=stubs,
                require=['veth', 'bridge'], timeout=120)
sys.stdout.write(r.stdout)
sys.stderr.write(r.stderr[-4000:])
failures = []
if r.returncode != 0:
    failures.append('device side: exit %d' % r.returncode)
# pid 1 receives no signal: the agent's pid file naming init (or nothing) is never signalled
if r.init_log:
    failures.append('signals reached pid 1: %s' % r.init_log)
calls = r.calls('/sbin/reset_to_defaults')
want = {'boot': 1, 'applet': 1}.get(scenario, 0)
if len(calls) != want or any(c[1:] for c in calls):
    failures.append('reset program runs: %s, want %d without arguments' % (calls, want))
for f in failures:
    print('FAIL:', f)
sys.exit(1 if failures else 0)
