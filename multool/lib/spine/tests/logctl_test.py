#!/usr/bin/env python3
"""logctl against running multool processes.

What logctl wrote is read back independently: the category table is decoded straight from the target's
memory (/proc/PID/mem) at the address nm gives for __start_log4c, names through their pointers."""

import os
import re
import struct
import subprocess
import tempfile
import time
import unittest

import spinelib
from spinelib import MULTOOL, CATEGORY_NAMES


def nm_symbol(name):
    out = subprocess.run(['nm', MULTOOL], check=True, capture_output=True, text=True).stdout
    return int(re.search(r'^([0-9a-f]+) \w %s$' % re.escape(name), out, re.M).group(1), 16)


def elf_layout():
    with open(MULTOOL, 'rb') as f:
        ident = f.read(6)
    ptr = 8 if ident[4] == 2 else 4
    end = '<' if ident[5] == 1 else '>'
    return ptr, end


def logctl(*args, prefix=(), env=None):
    return subprocess.run(list(prefix) + [MULTOOL, 'logctl'] + [str(a) for a in args], capture_output=True,
                          stdin=subprocess.DEVNULL, timeout=60, env=env)


def proc_status(pid):
    with open('/proc/%d/status' % pid) as f:
        return dict(line.rstrip('\n').split(':\t', 1) for line in f if ':\t' in line)


class Logctl(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.start = nm_symbol('__start_log4c')
        cls.ptr, cls.end = elf_layout()
        cls.rec = (2 * cls.ptr + 8 + cls.ptr - 1) // cls.ptr * cls.ptr

    def spawn(self, argv):
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        self.addCleanup(p.wait)
        self.addCleanup(p.kill)
        # Running once its program file is in place.
        for _ in range(200):
            try:
                if os.readlink('/proc/%d/exe' % p.pid) == os.path.realpath(argv[0]):
                    break
            except OSError:
                pass
            time.sleep(0.01)
        time.sleep(0.05)
        return p.pid

    def target(self):
        return self.spawn([MULTOOL, 'cpustat', '1'])

    def table(self, pid):
        """(name, level, reserved) of every record, read from the live process."""
        rows = []
        with open('/proc/%d/mem' % pid, 'rb') as mem:
            mem.seek(self.start)
            raw = mem.read(len(CATEGORY_NAMES) * self.rec)
            for i in range(len(CATEGORY_NAMES)):
                at = i * self.rec
                name_ptr, = struct.unpack_from(self.end + ('Q' if self.ptr == 8 else 'I'), raw, at)
                level, reserved = struct.unpack_from(self.end + 'iI', raw, at + 2 * self.ptr)
                mem.seek(name_ptr)
                name = mem.read(128).split(b'\0')[0].decode()
                rows.append((name, level, reserved))
        return rows

    def levels(self, pid):
        rows = self.table(pid)
        self.assertEqual([r[0] for r in rows], CATEGORY_NAMES)
        self.assertEqual({r[2] for r in rows}, {0})
        return [r[1] for r in rows]

    def assert_running(self, pid):
        time.sleep(0.1)
        st = proc_status(pid)
        self.assertEqual(st['TracerPid'], '0')
        self.assertNotIn(st['State'][0], 'tT', st['State'])

    def test_levels_rewritten_in_place(self):
        pid = self.target()
        self.assertEqual(self.levels(pid), [7] * 24)
        r = logctl('-p', pid, 'sysconf.*=debug', ' lib.* = trace ', 'lib.utils=error', 'logctl=bogus')
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b'', b''))
        want = {'sysconf.main': 2, 'sysconf.flash': 2, 'sysconf.options': 2, 'sysconf.sysconf': 2,
                'lib.iwpriv': 1, 'lib.utils': 5, 'lib.eeprom': 1,
                # An unknown level name is written as 0, which lets every message through.
                'logctl': 0}
        self.assertEqual(self.levels(pid), [want.get(n, 7) for n in CATEGORY_NAMES])
        self.assert_running(pid)

        # A second run starts from what the first left.
        r = logctl('--pid', pid, '*=off', 'lib.eeprom=fatal')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.levels(pid), [6 if n == 'lib.eeprom' else 7 for n in CATEGORY_NAMES])
        self.assert_running(pid)

    def test_twenty_pairs_at_most(self):
        pid = self.target()
        levels = ['trace', 'debug', 'info', 'warn', 'error']
        pairs = ['logctl=%s' % levels[i % 5] for i in range(19)] + ['logctl=fatal']
        r = logctl('-p', pid, *pairs)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(self.levels(pid)[0], 6)

        # The limit is checked before the target's program is run: against a program that knows no
        # table, twenty pairs get as far as asking it, twenty-one do not.
        other = self.spawn(['/bin/sleep', '60'])
        r = logctl('-p', other, *(pairs + ['logctl=off']))
        self.assertEqual((r.returncode, r.stderr), (1, b'logctl: increase array size, max: 20\n'))
        r = logctl('-p', other, *pairs)
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stderr.endswith(b'logctl: parameters not found\n'), r.stderr)
        self.assert_running(other)

    def test_list(self):
        pid = self.target()
        r = logctl('-p', pid, '-l', '*=trace')
        self.assertEqual((r.returncode, r.stderr), (1, b''))
        self.assertEqual(r.stdout.decode(), ''.join(' %s\n' % n for n in CATEGORY_NAMES))
        self.assertEqual(self.levels(pid), [7] * 24)
        self.assert_running(pid)

    def test_refusals(self):
        pid = self.target()
        gone = subprocess.Popen(['/bin/true'])
        gone.wait()
        nobody = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups']
        cases = [
            ((), (), b'logctl: required parameter -p/--pid missing.\n'),
            (('-p', gone.pid, 'logctl=debug'), (), b'logctl: pid = %d is not running.\n' % gone.pid),
            (('-p', pid, 'logctl=debug'), nobody, b'logctl: pid = %d, permission denied.\n' % pid),
            (('-p', pid, 'logctl=debug', 'nolevel'), (), b"logctl: invalid 'nolevel' pattern.\n"),
            (('-p', pid, '=debug'), (), b"logctl: invalid '=debug' pattern.\n"),
            (('-p', pid, 'logctl= '), (), b"logctl: invalid 'logctl= ' pattern.\n"),
            (('-p', 'abc'), (), b"logctl: invalid pid 'abc'.\n"),
        ]
        for args, prefix, err in cases:
            r = logctl(*args, prefix=prefix)
            self.assertEqual((r.returncode, r.stdout, r.stderr), (1, b'', err), args)
        r = logctl('-p', pid, '--bogus')
        self.assertEqual(r.returncode, 1)
        self.assertEqual(self.levels(pid), [7] * 24)

    def test_interrupted_wait_is_retried(self):
        pid = self.target()
        trace = tempfile.mktemp(prefix='spine-strace.')
        self.addCleanup(lambda: os.path.exists(trace) and os.unlink(trace))
        strace = ['strace', '-qq', '-o', trace, '-e', 'trace=wait4']
        # The leak checker cannot run in a traced process.
        asan = [o for o in [os.environ.get('ASAN_OPTIONS'), 'detect_leaks=0'] if o]
        env = dict(os.environ, ASAN_OPTIONS=':'.join(asan))
        # Which wait4 call of logctl waits for the target (the others reap the table queries)?
        r = logctl('-p', pid, 'logctl=info', prefix=strace, env=env)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(trace) as f:
            calls = [line for line in f if line.startswith('wait4(')]
        nth = [i for i, line in enumerate(calls) if line.startswith('wait4(%d,' % pid)][0] + 1

        r = logctl('-p', pid, 'logctl=warn', prefix=strace + ['-e', 'inject=wait4:error=EINTR:when=%d' % nth],
                   env=env)
        self.assertEqual((r.returncode, r.stderr), (0, b''))
        with open(trace) as f:
            text = f.read()
        self.assertRegex(text, r'wait4\(%d,.*= -1 EINTR.*\(INJECTED\)' % pid)
        self.assertEqual(self.levels(pid)[0], 4)
        self.assert_running(pid)


if __name__ == '__main__':
    spinelib.enter_device()
    spinelib.main()
