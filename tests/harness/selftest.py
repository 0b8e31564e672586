#!/usr/bin/env python3
"""Checks of the virtual device itself: what the end-to-end tests of every area rely on."""

import importlib.machinery
import os
import subprocess
import sys
import types
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import vdevlib  # noqa: E402

BUILD = os.environ.get('MT_BUILD_DIR', 'build')
MULTOOL = os.path.join(BUILD, 'multool', 'multool')


def host_mounts():
    with open('/proc/self/mountinfo') as f:
        return sorted(line.split()[4] for line in f)


def vdev_module():
    # vdev is a script without a .py name, so it is loaded by hand as a module of its own
    m = types.ModuleType('vdev')
    m.__file__ = vdevlib.VDEV
    importlib.machinery.SourceFileLoader('vdev', vdevlib.VDEV).exec_module(m)
    return m


def applet_listing():
    r = subprocess.run([MULTOOL], stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, text=True)
    lines = r.stderr.splitlines()
    names = ' '.join(lines[1:-1]).split()
    return names, int(lines[-1].split(':')[1])


class Isolation(unittest.TestCase):
    def test_writes_stay_inside(self):
        before = host_mounts()
        marks = ['/tmp/vdev-mark', '/etc/vdev-mark', '/usr/sbin/vdev-mark', '/usr/lib/vdev-mark',
                 '/usr/share/vdev-mark', '/var/vdev-mark', '/data/vdev-mark', '/run/vdev-mark']
        script = 'set -e; for f in %s; do echo x > $f; done; mkdir -p /sys/class/vdev-mark; ' \
                 'if touch /usr/bin/vdev-mark 2>/dev/null; then echo host-bind-writable; fi; ' \
                 'ls /proc | grep -c "^[0-9]"' % ' '.join(marks)
        r = vdevlib.run(script)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertNotIn('host-bind-writable', r.stdout)
        # pid 1, the shell and ls/grep: nothing of the host's process list shows through.
        self.assertLessEqual(int(r.stdout.split()[-1]), 4)
        for f in marks + ['/usr/bin/vdev-mark', '/sys/class/vdev-mark']:
            self.assertFalse(os.path.exists(f), f)
        self.assertFalse(os.path.exists('/data') and os.path.exists('/data/vdev-mark'))
        self.assertEqual(host_mounts(), before)

    def test_guard_refuses_outside_a_pid_namespace(self):
        # The set-up code called in an ordinary process must stop before touching anything.
        code = ('import importlib.machinery, os, sys, types\n'
                'm = types.ModuleType("vdev"); m.__file__ = sys.argv[1]\n'
                'importlib.machinery.SourceFileLoader("vdev", sys.argv[1]).exec_module(m)\n'
                'sys.exit(m.init_main({"host_pidns": os.stat("/proc/self/ns/pid").st_ino}))\n')
        before = host_mounts()
        r = subprocess.run([sys.executable, '-c', code, vdevlib.VDEV], capture_output=True, text=True)
        self.assertEqual(r.returncode, 2)
        self.assertIn('refusing to run', r.stderr)
        self.assertEqual(host_mounts(), before)


class Init(unittest.TestCase):
    def test_reboot_ends_only_the_namespace(self):
        with open('/proc/sys/kernel/random/boot_id') as f:
            boot_id = f.read()
        for cmd in (0x01234567, 0x4321FEDC):      # restart, power off
            r = vdevlib.run([sys.executable, '-c',
                             'import ctypes, sys; ctypes.CDLL(None).reboot(%d); sys.exit(3)' % cmd])
            self.assertEqual(r.returncode, 199, r.stderr)
            self.assertTrue(r.rebooted)
            self.assertIn('vdev: device rebooted', r.stderr)
        with open('/proc/sys/kernel/random/boot_id') as f:
            self.assertEqual(f.read(), boot_id)

    def test_signals_to_pid1_are_recorded_and_status_passes_through(self):
        r = vdevlib.run('kill -TERM 1; kill -USR2 1; kill -HUP 1; echo $$ > /mnt/vdev/out/pid; exit 5')
        self.assertEqual(r.returncode, 5, r.stderr)
        with open(os.path.join(r.out, 'pid')) as f:
            pid = f.read().strip()
        self.assertEqual(sorted(r.init_log), ['SIGHUP from ' + pid, 'SIGTERM from ' + pid, 'SIGUSR2 from ' + pid])
        self.assertEqual(vdevlib.run('kill -KILL $$').returncode, 128 + 9)

    def test_syslog_messages_are_caught(self):
        # The last message right before the command ends must not be lost with the namespace.
        r = vdevlib.run([sys.executable, '-c', 'import syslog\n'
                         'syslog.openlog("probe", syslog.LOG_PID, syslog.LOG_DAEMON)\n'
                         'for i in range(3): syslog.syslog(syslog.LOG_NOTICE, "line %d" % i)'])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(len(r.syslog), 3, r.syslog)
        for i, line in enumerate(r.syslog):
            self.assertRegex(line, r'^<29>.* probe\[\d+\]: line %d$' % i)

    def test_orphans_are_reaped(self):
        # Daemon-style double fork: the grandchild is re-parented to pid 1, which must wait for it.
        r = vdevlib.run('(sleep 0.2 &) ; sleep 0.5; ps -eo stat,comm | grep -c "^Z" || true')
        self.assertEqual(r.stdout.strip(), '0', r.stdout + r.stderr)


class Install(unittest.TestCase):
    def test_applet_links_run_multool(self):
        names, total = applet_listing()
        self.assertEqual(len(names), total)
        # A program of its own with an applet's name (scoutd) takes the applet's place in /usr/sbin.
        own = {os.path.basename(rel) for rel, _ in vdev_module().find_built(os.path.realpath(BUILD))}
        script = 'for a in %s; do echo "$a $(readlink /usr/sbin/$a)"; done; /sbin/logctl' % ' '.join(names)
        r = vdevlib.run(script)
        self.assertEqual(r.stdout.splitlines(), ['%s %s' % (n, '' if n in own else 'multool') for n in names])
        # Dispatch by link name: the applet answers under its own name.
        self.assertTrue(r.stderr.startswith('logctl: '), r.stderr)
        self.assertEqual(r.returncode, 1)

    def test_roots_stubs_and_out(self):
        root = {'/etc/product': 'board-x\n',
                '/usr/lib/version': 'v1\n',
                '/usr/bin/rrdtool': ('#!/bin/sh\necho graph "$@"\n', 0o755),
                '/sys/qlix/all-stats': b'\x00\x01',
                '/usr/sbin/sysconf': ('#!/bin/sh\necho fixture-sysconf\n', 0o755)}
        stubs = ['/usr/sbin/fw_setenv=3', '/usr/lib/miniroot/miniroot_init']
        script = ('cat /etc/product /usr/lib/version; rrdtool a b; sysconf; od -An -tx1 /sys/qlix/all-stats; '
                  'printf "k v\\0\\377" | fw_setenv -s - "x y"; echo status=$?; '
                  '/usr/lib/miniroot/miniroot_init </dev/null; /sbin/reboot -f; '
                  'cp /etc/product /mnt/vdev/out/')
        r = vdevlib.run(script, roots=[root], stubs=stubs)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines(),
                         ['board-x', 'v1', 'graph a b', 'fixture-sysconf', ' 00 01', 'status=3'])
        self.assertEqual([(s['argv'], s['stdin']) for s in r.stubs],
                         [(['/usr/sbin/fw_setenv', '-s', '-', 'x y'], b'k v\x00\xff'),
                          (['/usr/lib/miniroot/miniroot_init'], b''),
                          (['/sbin/reboot', '-f'], b'')])
        self.assertEqual(r.calls('/usr/sbin/reboot'), [['/sbin/reboot', '-f']])
        with open(os.path.join(r.out, 'product')) as f:
            self.assertEqual(f.read(), 'board-x\n')


    def test_files_in_folders_the_host_lacks(self):
        # /usr is a read-only host bind with the sandbox's own overlays below it (/usr/sbin, /usr/lib):
        # a folder the host lacks there (/usr/etc on a fresh machine) must still take files and stubs,
        # and the overlays below must stay in place.
        absent = '/usr/vdev-absent-%d' % os.getpid()
        self.assertFalse(os.path.lexists(absent))
        root = {absent + '/etc/oem.cfg': 'oem\n', '/vdev-absent-top/x': 'top\n'}
        script = ('cat %s/etc/oem.cfg /vdev-absent-top/x; %s/bin/tool; echo status=$?; '
                  'readlink /usr/sbin/sysconf; /usr/sbin/multool x --log4c-info >/dev/null; echo info=$?; '
                  'cat /usr/lib/vdev-root-file' % (absent, absent))
        before = host_mounts()
        r = vdevlib.run(script, roots=[root, {'/usr/lib/vdev-root-file': 'lib\n'}],
                        stubs=[absent + '/bin/tool=4'])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines(), ['oem', 'top', 'status=4', 'multool', 'info=1', 'lib'])
        self.assertEqual(r.calls(absent + '/bin/tool'), [[absent + '/bin/tool']])
        self.assertFalse(os.path.lexists(absent))
        self.assertFalse(os.path.lexists('/vdev-absent-top'))
        self.assertEqual(host_mounts(), before)


class Network(unittest.TestCase):
    SETUP = ('ip link add veth0 type veth peer name veth1; ip netns add peer; ip link set veth1 netns peer; '
             'ip addr add 198.18.0.1/24 dev veth0; ip link set veth0 up; '
             'ip -n peer addr add 198.18.0.2/24 dev veth1; ip -n peer link set veth1 up; '
             'ip -n peer link set lo up')
    ECHO = ('import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); '
            's.bind(("198.18.0.2", 9999)); d, a = s.recvfrom(64); s.sendto(d.upper(), a)')
    SEND = ('import socket, time; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.settimeout(0.3)\n'
            'for _ in range(20):\n'
            '    s.sendto(b"ping", ("198.18.0.2", 9999))\n'
            '    try:\n'
            '        print(s.recv(64).decode()); break\n'
            '    except socket.timeout:\n'
            '        pass\n')

    def test_device_has_only_its_own_loopback(self):
        r = vdevlib.run('ip -o link show | cut -d: -f2; ip -o addr show lo | grep -c "inet 127.0.0.1"')
        self.assertEqual(r.stdout.split(), ['lo', '1'], r.stderr)
        # named as the device names it, also where the host's root has no hosts file
        r = vdevlib.run(['python3', '-c', 'import socket; print(socket.gethostbyname("localhost"))'])
        self.assertEqual(r.stdout.split(), ['127.0.0.1'], r.stderr)

    def test_veth_pair_to_a_peer_namespace(self):
        script = ('ip netns exec peer python3 -c \'%s\' & python3 -c \'%s\'; wait; ip -br link show lo'
                  % (self.ECHO, self.SEND))
        r = vdevlib.run(script, setup=self.SETUP, require=['veth'])
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines()[0], 'PING')
        self.assertIn('UP', r.stdout.splitlines()[1])
        self.assertNotEqual(subprocess.run(['ip', 'link', 'show', 'veth0'], capture_output=True).returncode, 0)


if __name__ == '__main__':
    if not os.path.isfile(MULTOOL):
        vdevlib.skip('no multool in %s' % BUILD)
    probe = vdevlib.run('true')
    if probe.returncode != 0:
        sys.stderr.write(probe.stderr)
        sys.exit(1)
    unittest.main(verbosity=2)
