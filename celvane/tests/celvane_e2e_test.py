#!/usr/bin/env python3
"""celvane in the virtual device against a real mosquitto with TLS: `celvane_e2e_test.py SCENARIO`
runs one scenario of scenarios.py there (eth0 is a veth with a known address)."""
import os
import sys

sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
import vdevlib  # noqa: E402

BUILD = os.environ['MT_BUILD_DIR']
if not os.path.exists(os.path.join(BUILD, 'celvane/celvane')):
    vdevlib.skip('celvane not built')
for tool in ('/usr/sbin/mosquitto', '/usr/bin/mosquitto_passwd', '/usr/bin/openssl'):
    if not os.path.exists(tool):
        vdevlib.skip('%s missing (tools/install-deps.sh)' % tool)
if os.system('/usr/bin/python3 -c "import paho.mqtt.client" 2>/dev/null') != 0:
    vdevlib.skip('python3-paho-mqtt missing (tools/install-deps.sh)')

SETUP = 'ip link add eth0 address 02:00:00:00:c0:01 type veth peer name eth0p; ip link set eth0 up; ip link set eth0p up'
scenario = sys.argv[1]
r = vdevlib.run(['/usr/bin/python3', '/mnt/vdev/src/celvane/tests/scenarios.py', scenario], setup=SETUP,
                require=['veth'], timeout=240)
sys.stdout.write(r.stdout)
sys.stderr.write(r.stderr)
sys.exit(0 if r.returncode == 0 else 1)
