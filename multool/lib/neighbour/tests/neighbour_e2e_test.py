#!/usr/bin/env python3
"""lldp, cdp and lldpdd in the virtual device against the real lldpd, lldpcli and tshark in a peer
namespace (neighbour_device.py does the work inside; see there).

usage: neighbour_e2e_test.py send|listen"""
import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
import vdevlib  # noqa: E402

scenario = sys.argv[1]
for tool in ('lldpd', 'lldpcli', 'tshark', 'dumpcap', 'unshare'):
    if not shutil.which(tool, path='/usr/sbin:/usr/bin:/sbin:/bin'):
        vdevlib.skip('%s missing (tools/install-deps.sh)' % tool)
here = os.path.dirname(os.path.abspath(__file__))
device = os.path.join('/mnt/vdev/src', os.path.relpath(here, os.environ['MT_SOURCE_DIR']), 'neighbour_device.py')
r = vdevlib.run(['python3', device, scenario], net=True, require=['veth'], timeout=150)
sys.stdout.write(r.stdout)
sys.stderr.write(r.stderr[-4000:])
if r.returncode != 0:
    print('FAIL: device side: exit %d' % r.returncode)
sys.exit(1 if r.returncode else 0)
