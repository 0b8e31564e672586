"""Shared pieces of the multool entry, logging and logctl end-to-end tests.

A test module calls enter_device() first: outside the virtual device it runs itself again inside one
(tests/harness/vdev) and exits with the inner status, so the tests see multool at /usr/sbin/multool
with its applet links, a writable overlay over /etc and /root and their own /tmp.
"""

import os
import subprocess
import sys
import unittest

IN_DEVICE = os.environ.get('SPINE_IN_DEVICE') == '1'
BUILD = os.environ.get('MT_BUILD_DIR', '')
SOURCE = os.environ.get('MT_SOURCE_DIR', os.path.abspath(os.path.join(os.path.dirname(__file__), '../../../..')))
SANITIZED = os.environ.get('MT_SANITIZED') == '1'
MULTOOL = '/usr/sbin/multool' if IN_DEVICE else os.path.join(BUILD, 'multool', 'multool')
EXIT_SKIP = 77

APPLETS = [
    'logctl', 'cpustat', 'eeprom', 'factoryd', 'sysconf', 'fwupdate', 'fi-create', 'fi-write', 'resetd',
    'launchd', 'athtool', 'stats', 'setmacs', 'ltsd', 'linktest', 'scoutd', 'lldp', 'lldpdd', 'cdp',
    'statlog', 'watchirq', 'spectralscan', 'bwmonitor', 'peers', 'anti_theft_hash',
]

# Category name and the source file that declares it, in section order.
CATEGORIES = [
    ('logctl', 'logctl'), ('eeprom', 'eeprom'), ('sysconf.main', 'sysconf'),
    ('fwupdate.common', 'fwupdate-common'), ('fwupdate', 'fwupdate-ktrv4100'), ('fi-create', 'fi-create'),
    ('fi-write', 'fi-write'), ('resetd', 'resetd'), ('launchd.timing', 'launchd'), ('launchd', 'launchd'),
    ('athtool', 'athtool'), ('stats', 'stats'), ('setmacs', 'setmacs'), ('ltsd', 'ltsd'),
    ('statlog', 'statlog'), ('bwmonitor', 'bwmonitor'), ('logging', 'logging'), ('lib.iwpriv', 'iwpriv'),
    ('lib.utils', 'utils'), ('lib.eeprom', 'ar9300_eeprom'), ('lib.eeprom', 'qc98xx_eeprom'),
    ('sysconf.flash', 'flash'), ('sysconf.options', 'options'), ('sysconf.sysconf', 'sysconf'),
]
CATEGORY_NAMES = [c[0] for c in CATEGORIES]


def listing(name):
    """Standard error of multool for an unknown applet NAME, built from the table above."""
    text = "multool: applet '%s' not found.\n" % name
    for i, applet in enumerate(APPLETS):
        if i and i % 4 == 0:
            text += '\n'
        text += applet + ' '
    return (text + '\ntotal count: %d\n' % len(APPLETS)).encode()


def run(args, **kw):
    """Runs `multool ARGS...`; output as bytes."""
    kw.setdefault('stdout', subprocess.PIPE)
    kw.setdefault('stderr', subprocess.PIPE)
    kw.setdefault('stdin', subprocess.DEVNULL)
    kw.setdefault('timeout', 60)
    return subprocess.run([MULTOOL] + list(args), **kw)


def enter_device(roots=()):
    """Re-runs the calling script inside the virtual device (ROOTS as for vdevlib.run) and exits with its
    status; returns only when already inside.  Without the harness the script is skipped."""
    if IN_DEVICE:
        return
    sys.path.insert(0, os.path.join(SOURCE, 'tests', 'harness'))
    try:
        import vdevlib
    except ImportError:
        sys.stderr.write('SKIP: the virtual device harness is not available\n')
        sys.exit(EXIT_SKIP)
    script = os.path.abspath(sys.argv[0])
    r = vdevlib.run([sys.executable, script] + sys.argv[1:], roots=roots, env={'SPINE_IN_DEVICE': '1'},
                    timeout=600)
    sys.stdout.write(r.stdout)
    sys.stderr.write(r.stderr)
    sys.exit(r.returncode)


def main():
    unittest.main(verbosity=2)
