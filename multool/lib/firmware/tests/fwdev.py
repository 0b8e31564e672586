"""The virtual device for the firmware tests: a board with a version, a board EEPROM and, on request,
flash partitions, a kernel command line and UBI volumes."""

import os
import sys

sys.path.insert(0, os.path.join(os.environ.get('MT_SOURCE_DIR', os.path.abspath(
    os.path.join(os.path.dirname(__file__), '../../../..'))), 'tests/harness'))
import vdevlib  # noqa: E402
import fwfix  # noqa: E402

DEVICE_VERSION = 'APCPE.QA-2.v7.51.5'
RADIO_MAC = '00:15:6d:10:20:30'
FW_STUBS = ['/usr/lib/miniroot/miniroot_init', '/usr/sbin/ubiupdatevol', '/usr/sbin/ubiformat',
            '/usr/sbin/fw_setenv']


def board(version=DEVICE_VERSION, factory_mode=3, radio_mac=RADIO_MAC, product=None, image=None):
    records = {}
    if factory_mode is not None:
        records[24] = bytes([factory_mode])
    if radio_mac is not None:
        records[30] = radio_mac.encode()
    files = {'/usr/lib/version': version + '\n', '/var/cfg/.eeprom': fwfix.kbee(records)}
    if product is not None:
        files['/etc/product'] = product
    if image is not None:
        files['/tmp/fwupdate.bin'] = image
    return files


def run(cmd, files, stubs=FW_STUBS, extra_roots=(), cmdline=None, **kw):
    setup = None
    if cmdline is not None:
        files = dict(files, **{'/etc/fwtest.cmdline': cmdline + '\n'})
        setup = 'mount --bind /etc/fwtest.cmdline /proc/cmdline'
    env = dict(kw.pop('env', {}))
    env.setdefault('TZ', 'UTC')
    if '/etc/fwtest.mtd' in files:
        files = dict(files)
        files['/etc/fwtest-proc/mtd'] = files.pop('/etc/fwtest.mtd')
        env['MT_PROC_DIR'] = '/etc/fwtest-proc'
    return vdevlib.run(cmd, roots=[files] + list(extra_roots), stubs=stubs, setup=setup, env=env, **kw)


def no_crash(r):
    return r.returncode < 128 or r.returncode == vdevlib.EXIT_REBOOT
