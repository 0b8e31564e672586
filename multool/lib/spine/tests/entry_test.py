#!/usr/bin/env python3
"""Choosing the applet: by link name, by `multool <applet>`, and the listing for an unknown name."""

import ctypes
import os
import subprocess
import sys
import tempfile
import unittest

import spinelib
from spinelib import MULTOOL, listing

USAGE_CPUSTAT = (b'Usage: cpustat [-h] [-l] [-c count] [delay]\n'
                 b'\t-c count -- how many results to display (default: infinity)\n'
                 b'\t-l       -- display only cpu load\n'
                 b'\t-h       -- display this and exit\n')
PID_MISSING = b'logctl: required parameter -p/--pid missing.\n'


def run_as(argv0_path, args):
    return subprocess.run([argv0_path] + args, capture_output=True, stdin=subprocess.DEVNULL, timeout=30)


class Entry(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix='spine-links.')
        for name in ('cpustat', 'Cpustat', 'foo', 'logctl'):
            os.symlink(MULTOOL, os.path.join(cls.dir, name))

    def test_unknown_names_list_the_applets(self):
        cases = [
            ([MULTOOL], 'multool'),
            ([MULTOOL, 'multool'], 'multool'),
            ([MULTOOL, '/usr/sbin/Logctl', '-p', '1'], 'Logctl'),
            ([os.path.join(self.dir, 'Cpustat'), '-h'], 'Cpustat'),
            ([os.path.join(self.dir, 'foo')], 'foo'),
        ]
        for argv, name in cases:
            r = run_as(argv[0], argv[1:])
            self.assertEqual((r.returncode, r.stdout, r.stderr), (1, b'', listing(name)), argv)

    def test_known_names_run_the_applet(self):
        cases = [
            # A link in any folder.
            ([os.path.join(self.dir, 'cpustat'), '-h'], 0, USAGE_CPUSTAT, b''),
            ([os.path.join(self.dir, 'logctl')], 1, b'', PID_MISSING),
            (['/usr/sbin/logctl'], 1, b'', PID_MISSING),
            # Selected by the last component of the second word, invoke name included.
            ([MULTOOL, '/some/where/logctl'], 1, b'', PID_MISSING),
            ([MULTOOL, 'cpustat', '-h'], 0, USAGE_CPUSTAT, b''),
            # The applet's argv[0] is the old second word, whole: getopt names it.
            ([MULTOOL, '/some/where/logctl', '-Z'], 1, b'', b"/some/where/logctl: invalid option -- 'Z'\n"),
        ]
        for argv, rc, out, err in cases:
            r = run_as(argv[0], argv[1:])
            self.assertEqual((r.returncode, r.stdout, r.stderr), (rc, out, err), argv)

    def test_empty_argument_vector(self):
        # execve with no arguments at all: argv[0] is NULL, which names no applet.
        rfd, wfd = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.dup2(wfd, 2)
            libc = ctypes.CDLL(None, use_errno=True)
            argv = (ctypes.c_char_p * 1)(None)
            envp = (ctypes.c_char_p * 1)(None)
            libc.execve(MULTOOL.encode(), argv, envp)
            os._exit(99)
        os.close(wfd)
        err = b''
        while True:
            chunk = os.read(rfd, 4096)
            if not chunk:
                break
            err += chunk
        os.close(rfd)
        _, status = os.waitpid(pid, 0)
        self.assertEqual((os.waitstatus_to_exitcode(status), err), (1, listing('')))


if __name__ == '__main__':
    spinelib.enter_device()
    spinelib.main()
