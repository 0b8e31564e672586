#!/usr/bin/env python3
"""fi-create / fi-write on a 16 MiB chip that is a file in the results folder."""

import os
import re
import shlex
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fwdev  # noqa: E402
import fwfix  # noqa: E402

CHIP = 0x01000000
ERASE = 0x10000
MINIROOT = '/usr/lib/miniroot/miniroot_init'
DEV_OFF = 255 * ERASE
HALF = ERASE // 2

# Chip and image contents differ in every block, the per-device block included.
MAKE = '''
import sys
chip = bytes((i * 7) & 0xFF for i in range(256)) * (%(chip)d // 256)
image = bytes((i * 13 + 5) & 0xFF for i in range(256)) * (%(chip)d // 256)
open('/mnt/vdev/out/chip', 'wb').write(chip)
open('/mnt/vdev/out/image.bin', 'wb').write(image[:%(image_len)d])
'''


def contents(image_len=CHIP):
    n = CHIP // 256
    return (bytes((i * 7) & 0xFF for i in range(256)) * n,
            (bytes((i * 13 + 5) & 0xFF for i in range(256)) * n)[:image_len])


def progress(tool, n):
    cycle = '|/-\\'
    return ''.join('\r%s: %c %2d%%' % (tool, cycle[(i + 1) % 4], 100 * i // n) for i in range(n))


def device(cmd, flash_size=CHIP, image_len=CHIP, stubs=()):
    files = {'/etc/fwtest.mtd': fwfix.proc_mtd([('flash', flash_size, ERASE), ('data', 0x100000, ERASE)]),
             '/usr/lib/fwtest/make.py': MAKE % {'chip': CHIP, 'image_len': image_len}}
    script = 'python3 /usr/lib/fwtest/make.py\nln -sf /mnt/vdev/out/chip /dev/mtdblock0\n' + cmd
    r = fwdev.run(['/bin/sh', '-c', script], files, stubs=list(stubs), timeout=300)
    with open(os.path.join(r.out, 'chip'), 'rb') as f:
        chip = f.read()
    return r, chip


class Create(unittest.TestCase):
    def test_skip_both_halves(self):
        r, chip = device('fi-create -a -w /mnt/vdev/out/copy.bin; echo rc=$?; stat -c %a /mnt/vdev/out/copy.bin')
        self.assertIn('rc=255\n600\n', r.stdout)
        want_err = (progress('fi-create', 256) + '\nfi-create: done!\nfi-create: verifying...OK\n'
                    'fi-create: skipping ART\nfi-create: skipping KBEE\n')
        self.assertTrue(r.stderr.startswith(want_err), r.stderr[-300:])
        # jffs2 cannot be mounted here; the failure is reported, after the image is complete.
        self.assertIn('mount() failed: ', r.stderr)
        with open(os.path.join(r.out, 'copy.bin'), 'rb') as f:
            copy = f.read()
        self.assertEqual(len(copy), CHIP)
        self.assertEqual(copy[:DEV_OFF], chip[:DEV_OFF])
        self.assertEqual(copy[DEV_OFF:], b'\xff' * ERASE)

    def test_data_not_mounted_is_no_reason_to_stop(self):
        r, chip = device('umount /data; fi-create -w /mnt/vdev/out/copy.bin; echo rc=$?')
        self.assertTrue(r.stderr.startswith('umount() failed: Invalid argument\n'), r.stderr[:100])
        with open(os.path.join(r.out, 'copy.bin'), 'rb') as f:
            copy = f.read()
        self.assertEqual(copy[:DEV_OFF + HALF], chip[:DEV_OFF + HALF])
        self.assertEqual(copy[DEV_OFF + HALF:], b'\xff' * HALF)


    def test_failures_after_unmount_still_remount(self):
        cases = [
            ('no such folder', 'fi-create /nonexistent/copy.bin', 'open() failed: No such file or directory\n'),
            # A file system too small for the image fails before the copy, not with a fault inside it.
            ('no space', 'mkdir /tmp/small && mount -t tmpfs -o size=1m small /tmp/small && '
                         'fi-create /tmp/small/copy.bin', 'posix_fallocate() failed: No space left on device\n'),
        ]
        for name, cmd, err in cases:
            with self.subTest(name):
                r, _ = device(cmd)
                self.assertEqual(r.returncode, 255)
                self.assertRegex(r.stderr, '^' + re.escape(err) + r'mount\(\) failed: .*\n$')


class Write(unittest.TestCase):
    def test_refusals_write_nothing(self):
        chip0, _ = contents()
        cases = [
            ('one byte short', CHIP, CHIP - 1, 'invalid file size: 16777215\n'),
            ('smaller chip', CHIP // 2, CHIP, 'fi-write: flash of 8388608 bytes in 65536-byte erase blocks '
                                              'does not match the image\n'),
        ]
        for name, flash_size, image_len, err in cases:
            with self.subTest(name):
                r, chip = device('fi-write -m /mnt/vdev/out/image.bin', flash_size, image_len, stubs=[MINIROOT])
                self.assertEqual((r.returncode, r.stderr), (255, err))
                self.assertEqual(chip, chip0)
                self.assertEqual(r.stubs, [])

    def test_hand_over_quotes_the_name(self):
        # A name that begins with "-" reaches the tool in the RAM root as "./-...", never as an option.
        for name, opts, path, passed in [('plain', '-a -w', '/tmp/img.bin', '/tmp/img.bin'),
                                         ('quote', '', "/tmp/it's $(x).bin", "/tmp/it's $(x).bin"),
                                         ('dash', '-w', '-a.bin', './-a.bin')]:
            with self.subTest(name):
                cmd = 'cd /tmp; cp /mnt/vdev/out/image.bin ./%s; fi-write %s -- %s' % (
                    shlex.quote(os.path.basename(path)), opts, shlex.quote(path))
                r, _ = device(cmd, stubs=[MINIROOT])
                self.assertEqual(r.returncode, 0, r.stderr)
                [call] = r.calls(MINIROOT)
                self.assertEqual(len(call), 2)
                words = shlex.split(call[1])
                self.assertEqual(words, ['/usr/lib/fi-write', '-m'] + opts.split() + [passed])
                if name == 'plain':
                    self.assertEqual(call[1], '/usr/lib/fi-write -m -a -w /tmp/img.bin')

    def test_miniroot_write(self):
        chip0, image = contents()
        for name, opts, tail in [
                ('keep device block', '-a -w', ''),
                ('whole image', '', 'fi-write: writing ART...done\nfi-write: verifying ART...OK\n'
                                    'fi-write: writing KBEE...done\nfi-write: verifying KBEE...OK\n')]:
            with self.subTest(name):
                r, chip = device('exec fi-write -m %s /mnt/vdev/out/image.bin' % opts)
                self.assertTrue(r.rebooted, r.stderr[-200:])
                self.assertEqual(r.stderr, progress('fi-write', 255) + '\nfi-write: done!\nfi-write: verifying...OK\n'
                                 + tail + 'rebooting system!\nvdev: device rebooted\n')
                self.assertEqual(chip[:DEV_OFF], image[:DEV_OFF])
                self.assertEqual(chip[DEV_OFF:], (chip0 if opts else image)[DEV_OFF:])

    def test_verify_reads_the_flash_back(self):
        # One cell of the chip keeps the wrong bit (tests/flakyflash.c): the verification that reads
        # the chip back must report it where it is, and only there.
        if not os.path.exists('/dev/fuse'):
            self.skipTest('no /dev/fuse')
        tool = '/mnt/vdev/build/multool/lib/firmware/tests/flakyflash'
        for flip, body, art, kbee in [(123456, 'FAILED', 'OK', 'OK'), (DEV_OFF + HALF + 77, 'OK', 'OK', 'FAILED')]:
            with self.subTest(flip):
                cmd = ('mkdir -p /tmp/flaky; %s /tmp/flaky %d %d & i=0; until [ -e /tmp/flaky/flash ]; do '
                       'i=$((i+1)); [ $i -lt 200 ] || exit 3; sleep 0.05; done; ln -sf /tmp/flaky/flash /dev/mtdblock0\n'
                       'exec fi-write -m /mnt/vdev/out/image.bin' % (tool, CHIP, flip))
                r, _ = device(cmd)
                self.assertTrue(r.rebooted, r.stderr[-300:])
                self.assertIn('\nfi-write: done!\nfi-write: verifying...%s\nfi-write: writing ART...done\n'
                              'fi-write: verifying ART...%s\nfi-write: writing KBEE...done\n'
                              'fi-write: verifying KBEE...%s\nrebooting system!\n' % (body, art, kbee), r.stderr)


if __name__ == '__main__':
    unittest.main(verbosity=2)
