#!/usr/bin/env python3
"""cpustat on the machine's own /proc/stat: options, report shapes, timing and the stop signal.
Exact figures from given counters are checked by the unit tests of the share arithmetic."""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../spine/tests'))
import spinelib  # noqa: E402
from spinelib import MULTOOL  # noqa: E402

USAGE = (b'Usage: cpustat [-h] [-l] [-c count] [delay]\n'
         b'\t-c count -- how many results to display (default: infinity)\n'
         b'\t-l       -- display only cpu load\n'
         b'\t-h       -- display this and exit\n')
SHARES = re.compile(r'^user: (\d+\.\d\d) niced: (\d+\.\d\d) sys: (\d+\.\d\d) idle: (\d+\.\d\d) '
                    r'iowait: (\d+\.\d\d) irq: (\d+\.\d\d)$')
LOAD = re.compile(r'^[01]\.\d{4}$')


def cpustat(*args):
    start = time.monotonic()
    r = spinelib.run(['cpustat'] + list(args))
    return r, time.monotonic() - start


class Cpustat(unittest.TestCase):
    def test_usage(self):
        for args in (['-h'], ['-x'], ['-c'], ['-l', '-h', '5']):
            r, _ = cpustat(*args)
            self.assertEqual((r.returncode, r.stdout, r.stderr), (0, USAGE, b''), args)

    def test_load_reports_each_over_its_own_window(self):
        r, took = cpustat('-l', '-c', '2', '1')
        self.assertEqual((r.returncode, r.stderr), (0, b''))
        lines = r.stdout.decode().splitlines()
        self.assertEqual(len(lines), 2)
        for line in lines:
            self.assertRegex(line, LOAD)
            self.assertLessEqual(float(line), 1.0)
        self.assertGreaterEqual(took, 2.0)

    def test_shares(self):
        r, _ = cpustat('-c', '1', '1')
        self.assertEqual((r.returncode, r.stderr), (0, b''))
        m = SHARES.match(r.stdout.decode().rstrip('\n'))
        self.assertTrue(m, r.stdout)
        self.assertAlmostEqual(sum(float(v) for v in m.groups()), 100.0, delta=0.1)

        # The count's absolute value; a zero interval reports zeros, never "nan", and never sleeps:
        # twenty rounds well inside the ten seconds a one-second sleep per round would pass.
        r, took = cpustat('-c', '-20', '0')
        self.assertEqual(r.returncode, 0)
        lines = r.stdout.decode().splitlines()
        self.assertEqual(len(lines), 20)
        for line in lines:
            self.assertRegex(line, SHARES)
        self.assertLess(took, 10.0)

    def test_interrupt_ends_after_the_current_report(self):
        p = subprocess.Popen([MULTOOL, 'cpustat', '-l', '30'], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(0.5)
        start = time.monotonic()
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=10)
        # Far inside the 30 s interval it would otherwise finish.
        self.assertLess(time.monotonic() - start, 10.0)
        self.assertEqual((p.returncode, err), (0, b''))
        self.assertRegex(out.decode(), r'^[01]\.\d{4}\n$')

    def test_bad_numbers(self):
        for args, text in ((['-c', 'x'], 'x'), (['2s'], '2s'), (['-c', '3', ''], '')):
            r, _ = cpustat(*args)
            self.assertEqual((r.returncode, r.stdout, r.stderr),
                             (1, b'', b"cpustat: Cannot parse '%s' as number.\n" % text.encode()), args)


if __name__ == '__main__':
    spinelib.enter_device()
    spinelib.main()
