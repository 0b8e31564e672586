#!/usr/bin/env python3
"""Where a running applet finds its logging configuration, and how its lines look on a terminal.

The probe is `logctl -p <this pid> x=y bad`: with the "logctl" category at trace it logs the first pair,
then the second argument ends it through the fatal path, before anything touches the process."""

import os
import pty
import pwd
import re
import shutil
import subprocess
import tempfile
import unittest

import spinelib
from spinelib import MULTOOL

TRACE = re.compile(rb'^logctl\[(\d+)\]: trace: pattern: x, level: y\n')
FATAL = b"logctl: invalid 'bad' pattern.\n"


class Sources(unittest.TestCase):
    def setUp(self):
        # Rewrites /etc/log4c and ~root/.log4c: only ever in the device's overlays.
        if not spinelib.IN_DEVICE:
            self.skipTest('needs the virtual device')
        self.work = tempfile.mkdtemp(prefix='spine-cwd.')
        self.home = tempfile.mkdtemp(prefix='spine-home.')
        self.pw_home = pwd.getpwuid(os.getuid()).pw_dir
        self.assertNotEqual(os.path.realpath(self.pw_home), os.path.realpath(self.home))
        # Stray files of the machine must not take part (removed in the device's overlay only).
        for d in ('/etc/log4c', os.path.join(self.pw_home, '.log4c'), os.path.join(self.home, '.log4c')):
            shutil.rmtree(d, ignore_errors=True)
            os.makedirs(d)
        self.log4conf = os.path.join(self.work, 'env.conf')
        # In the order they are applied.
        self.sources = [
            '/etc/log4c/logctl.conf',
            os.path.join(self.home, '.log4c', 'logctl'),
            os.path.join(self.pw_home, '.log4c', 'logctl'),
            os.path.join(self.work, 'logctl.conf'),
            os.path.join(self.work, 'multool.conf'),
            self.log4conf,
        ]

    def tearDown(self):
        for path in self.sources:
            if os.path.exists(path):
                os.unlink(path)
        shutil.rmtree(self.work, ignore_errors=True)
        shutil.rmtree(self.home, ignore_errors=True)

    def probe(self, files, argv=None):
        for path in self.sources:
            if os.path.exists(path):
                os.unlink(path)
        for path, text in files.items():
            with open(path, 'w') as f:
                f.write(text)
        env = dict(os.environ, HOME=self.home, LOG4CONF=self.log4conf)
        argv = argv or [MULTOOL, 'logctl']
        r = subprocess.run(argv + ['-p', str(os.getpid()), 'x=y', 'bad'], cwd=self.work, env=env,
                           capture_output=True, stdin=subprocess.DEVNULL, timeout=30)
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stderr.endswith(FATAL), r.stderr)
        head = r.stderr[:-len(FATAL)]
        if head:
            m = TRACE.match(head)
            self.assertTrue(m and m.end() == len(head), head)
        return bool(head)

    def test_nothing_without_a_file(self):
        self.assertFalse(self.probe({}))

    def test_each_source_alone(self):
        for path in self.sources:
            self.assertTrue(self.probe({path: 'logctl = trace\n'}), path)

    def test_later_source_overrides_earlier(self):
        for earlier, later in zip(self.sources, self.sources[1:]):
            self.assertFalse(self.probe({earlier: 'logctl=trace\n', later: 'logctl=error\n'}), later)
            self.assertTrue(self.probe({earlier: 'logctl=error\n', later: 'logctl=trace\n'}), later)

    def test_program_name_is_the_file_name(self):
        # Under its own link the program name is "logctl": multool.conf is not read, logctl.conf is.
        multool_conf, logctl_conf = self.sources[4], self.sources[3]
        self.assertFalse(self.probe({multool_conf: 'logctl=trace\n'}, ['/usr/sbin/logctl']))
        self.assertTrue(self.probe({logctl_conf: 'logctl=trace\n'}, ['/usr/sbin/logctl']))
        self.assertTrue(self.probe({multool_conf: 'logctl=trace\n'}))


class Terminal(unittest.TestCase):
    def setUp(self):
        fd, self.conf = tempfile.mkstemp(prefix='spine-conf.')
        os.write(fd, b'logctl=trace\n')
        os.close(fd)

    def tearDown(self):
        os.unlink(self.conf)

    def test_colours_only_on_a_terminal(self):
        env = dict(os.environ, LOG4CONF=self.conf)
        args = [MULTOOL, 'logctl', '-p', str(os.getpid()), 'x=y', 'bad']
        pid, fd = pty.fork()
        if pid == 0:
            os.execve(MULTOOL, args, env)
        out = b''
        while True:
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                break
            if not chunk:
                break
            out += chunk
        os.close(fd)
        os.waitpid(pid, 0)
        # The terminal turns each line break into CR LF.
        self.assertEqual(out, b'logctl[%d]: \x1b[0;36mtrace\x1b[0m: pattern: x, level: y\r\n' % pid +
                         FATAL.replace(b'\n', b'\r\n'))

        r = subprocess.run(args, env=env, capture_output=True, stdin=subprocess.DEVNULL, timeout=30)
        self.assertNotIn(b'\x1b', r.stderr)
        self.assertTrue(TRACE.match(r.stderr), r.stderr)


if __name__ == '__main__':
    spinelib.enter_device(roots=[{'/root/.log4c/.spine': ''}])
    spinelib.main()
