#!/usr/bin/env python3
"""The management agent end to end: one virtual device per scenario of zelkd_device.py, with the
real zelkd at /usr/sbin, its libraries in /usr/lib and the peers of zelkpeer.py inside.

usage: zelkd_e2e_test.py SCENARIO"""
import os
import sys

sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
import vdevlib  # noqa: E402

if not os.path.exists(os.path.join(os.environ['MT_BUILD_DIR'], 'zelkd/zelkd')):
    vdevlib.skip('zelkd not built')
scenario = sys.argv[1]
r = vdevlib.run(['python3', '/mnt/vdev/src/zelkd/tests/zelkd_device.py', scenario], timeout=150)
sys.stdout.write(r.stdout)
sys.stderr.write(r.stderr[-4000:])
sys.exit(0 if r.returncode == 0 else 1)
