#!/usr/bin/env python3
"""fwupdate installs: the two-stage bank write for each flash layout (the bank is a file, the UBI
tools and the RAM root are recording stubs, the boot-loader variables live in an environment file
handled by the real fw_setenv), and OEM, product and sealed installs through a recording sysconf and
through the real one."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fwdev  # noqa: E402
import fwfix  # noqa: E402

V_NEW = 'APCPE.QA-2.v7.52.1'
MINIROOT = '/usr/lib/miniroot/miniroot_init'
HANDOVER = '/bin/sh -c "/usr/sbin/fwupdate -m; /sbin/reboot"'
BANK = 0x100000
ENV_SIZE = 0x4000

# The real environment tool on a file in the results folder, so the variables survive the reboot.
SETENV = '#!/bin/sh\nexec /usr/bin/fw_setenv -c /etc/fwtest-env.config "$@"\n'
FIRST_STAGE = '''
set -e
cp /etc/fwtest.env /mnt/vdev/out/env.bin
python3 -c "open('/mnt/vdev/out/bank2', 'wb').write(b'\\xa5' * %(bank)d)"
fwupdate
i=0; until grep -q miniroot_init /run/vdev/stubs.log 2>/dev/null; do i=$((i+1)); [ $i -lt 200 ]; sleep 0.05; done
test -f /tmp/.fwupdate.bin && test ! -e /tmp/fwupdate.bin
exec fwupdate -m
'''


def env_image(text):
    src = fwfix.write('env.txt', text.encode())
    out = fwfix.path('env.bin')
    subprocess.run(['mkenvimage', '-s', str(ENV_SIZE), '-o', out, src], check=True)
    with open(out, 'rb') as f:
        return f.read()


def printenv(out_dir):
    cfg = fwfix.write('host-env.config', ('%s 0x0 0x%x\n' % (os.path.join(out_dir, 'env.bin'), ENV_SIZE)).encode())
    r = subprocess.run(['fw_printenv', '-c', cfg], check=True, stdout=subprocess.PIPE, text=True)
    return dict(line.split('=', 1) for line in r.stdout.splitlines())


def extract(fit, index):
    """Subimage index of a FIT, taken out by the image tool itself."""
    src = fwfix.write('extract.fit', fit)
    out = fwfix.path('sub.%d' % index)
    subprocess.run(['dumpimage', '-T', 'flat_dt', '-p', str(index), '-o', out, src], check=True,
                   stdout=subprocess.DEVNULL)
    with open(out, 'rb') as f:
        return f.read()


def flaky_flash(size, flip_at, minor):
    """Shell lines that put the flash stand-in at /dev/mtdblock<minor>: SIZE bytes, the cell at FLIP_AT
    stores the wrong bit (-1: none)."""
    tool = '/mnt/vdev/build/multool/lib/firmware/tests/flakyflash'
    return ('mkdir -p /tmp/flaky; %s /tmp/flaky %d %d & i=0; until [ -e /tmp/flaky/flash ]; do i=$((i+1)); '
            '[ $i -lt 200 ] || exit 3; sleep 0.05; done; ln -sf /tmp/flaky/flash /dev/mtdblock%d\n'
            % (tool, size, flip_at, minor))


def flash(parts, cmdline, image):
    files = fwdev.board(image=image)
    files['/etc/fwtest.mtd'] = fwfix.proc_mtd(parts)
    files['/etc/fwtest.cmdline'] = cmdline
    return files


class TwoStage(unittest.TestCase):
    def test_raw_banks_full_update(self):
        image = fwfix.legacy(V_NEW, os.urandom(200000), kind='filesystem')
        files = flash([('u-boot', 0x40000, 0x10000), ('firmware1', BANK, 0x10000), ('firmware2', BANK, 0x10000)],
                      'console=ttyS0 mtd:rootfs1', image)
        files.update({'/etc/fwtest.env': env_image('active=1\nchanged=1\nbootcount=3\n'),
                      '/etc/fwtest-env.config': '/mnt/vdev/out/env.bin 0x0 0x%x\n' % ENV_SIZE,
                      '/usr/sbin/fw_setenv': (SETENV, 0o755)})
        r = fwdev.run(['/bin/sh', '-c', 'ln -sf /mnt/vdev/out/bank2 /dev/mtdblock2\n' + FIRST_STAGE % {'bank': BANK}],
                      files, stubs=[MINIROOT], cmdline='console=ttyS0 mtd:rootfs1')
        self.assertTrue(r.rebooted, (r.returncode, r.stderr))
        self.assertEqual(r.calls(MINIROOT), [[MINIROOT, HANDOVER]])
        self.assertIn('\nfwupdate: done!\nrebooting system!\n', r.stderr)
        with open(os.path.join(r.out, 'bank2'), 'rb') as f:
            bank = f.read()
        self.assertEqual(bank[:len(image)], image)
        self.assertEqual(bank[len(image):], b'\xa5' * (BANK - len(image)))
        env = printenv(r.out)
        self.assertEqual((env['active'], env['changed'], env['bootcount']), ('2', '0', '0'))

    def second_stage(self, parts, cmdline, image, stubs=fwdev.FW_STUBS, sysfs=None, setup_cmd=''):
        files = flash(parts, cmdline, None)
        files['/tmp/.fwupdate.bin'] = image
        files.update(sysfs or {})
        r = fwdev.run(['/bin/sh', '-c', setup_cmd + 'exec fwupdate -m'], files, stubs=stubs, cmdline=cmdline,
                      require=['overlay-sys'] if sysfs else ())
        self.assertTrue(r.rebooted, (r.returncode, r.stderr))
        return r

    def ubi_sysfs(self):
        base = '/sys/devices/virtual/ubi/ubi0/'
        names = ['kernel1', 'rootfs1', 'kernel2', 'rootfs2']
        files = {base + 'ubi0_%d/name' % i: n + '\n' for i, n in enumerate(names)}
        files[base + '.hidden/name'] = 'kernel1\n'
        return files

    def test_ubi_volumes_later_marker_wins(self):
        kernel, rootfs = os.urandom(70000), os.urandom(150000)
        fit = fwfix.fit(V_NEW, kernel, rootfs)
        r = self.second_stage([('ubi', 0x800000, 0x20000)], 'root=ubi0:rootfs1 quiet root=ubi0:rootfs2', fit,
                              sysfs=self.ubi_sysfs())
        upd = [c for c in r.stubs if c['argv'][0] == '/usr/sbin/ubiupdatevol']
        self.assertEqual([c['argv'] for c in upd],
                         [['/usr/sbin/ubiupdatevol', '/dev/ubi0_0', '-', '-s', str(len(kernel))],
                          ['/usr/sbin/ubiupdatevol', '/dev/ubi0_1', '-', '-s', str(len(rootfs))]])
        self.assertEqual(upd[0]['stdin'], extract(fit, 0))
        self.assertEqual(upd[1]['stdin'], extract(fit, 1))
        self.assertEqual(r.calls('/usr/sbin/fw_setenv'), [['/usr/sbin/fw_setenv', 'active', '1'],
                                                          ['/usr/sbin/fw_setenv', 'changed', '0'],
                                                          ['/usr/sbin/fw_setenv', 'bootcount', '0']])

    def test_ubi_tool_failure_is_reported_and_env_untouched(self):
        fit = fwfix.fit(V_NEW, os.urandom(300000), os.urandom(1000))
        stubs = ['/usr/sbin/ubiupdatevol=1', '/usr/sbin/fw_setenv']
        # A tool that quits without reading must not kill us with SIGPIPE.
        files_stub = {'/usr/sbin/ubiupdatevol': ('#!/bin/sh\nexit 1\n', 0o755)}
        r = self.second_stage([('ubi', 0x800000, 0x20000)], 'root=ubi0:rootfs1', fit, stubs=stubs[1:],
                              sysfs=dict(self.ubi_sysfs(), **files_stub))
        self.assertIn("'/usr/sbin/ubiupdatevol /dev/ubi0_2 - -s 300000' failed,  exit status: '1'\n", r.stderr)
        self.assertIn('Failed to update kernel\nFirmware write to flash failed!\n\nfwupdate: failed!\n'
                      'rebooting system!\n', r.stderr)
        self.assertEqual(r.calls('/usr/sbin/fw_setenv'), [])

    def test_ubi_per_bank_formats_inactive_partition(self):
        rootfs = os.urandom(90000)
        fit = fwfix.fit(V_NEW, b'k' * 100, rootfs)
        parts = [('u-boot', 0x40000, 0x10000), ('kernel', 0x200000, 0x10000), ('firmware1', 0x800000, 0x20000),
                 ('firmware2', 0x800000, 0x20000)]
        r = self.second_stage(parts, 'ubi.mtd=2 rootfstype=ubifs', fit)
        fmt = [c for c in r.stubs if c['argv'][0] == '/usr/sbin/ubiformat']
        self.assertEqual([c['argv'] for c in fmt], [['/usr/sbin/ubiformat', '/dev/mtd3', '-f', '-', '-S',
                                                     str(len(rootfs)), '-y', '-s', '2048']])
        self.assertEqual(fmt[0]['stdin'], rootfs)
        self.assertEqual(r.calls('/usr/sbin/fw_setenv')[0], ['/usr/sbin/fw_setenv', 'active', '2'])

    def test_only_verified_bytes_reach_the_bank(self):
        # Bytes appended behind what the checks cover pass -c (they are not covered) but are never written.
        tail = os.urandom(150000)
        payload = os.urandom(40000)
        legacy = fwfix.legacy(V_NEW, payload, kind='filesystem')
        ubi = [('firmware1', 0x800000, 0x20000), ('firmware2', 0x800000, 0x20000)]
        r = self.second_stage(ubi, 'ubi.mtd=2', legacy + tail)
        [fmt] = [c for c in r.stubs if c['argv'][0] == '/usr/sbin/ubiformat']
        self.assertEqual((fmt['argv'][5], fmt['stdin']), (str(len(payload)), payload))
        fit = fwfix.fit(V_NEW, b'k' * 100, os.urandom(3000))
        raw = [('firmware1', BANK, 0x10000), ('firmware2', BANK, 0x10000)]
        fill = ("python3 -c \"open('/mnt/vdev/out/bank2', 'wb').write(b'\\\\xa5' * %d)\"; "
                "ln -sf /mnt/vdev/out/bank2 /dev/mtdblock1\n" % BANK)
        for name, image, want in [('legacy', legacy + tail, legacy), ('fit', fit + tail, fit)]:
            with self.subTest(name):
                r = self.second_stage(raw, 'mtd:rootfs1', image, setup_cmd=fill)
                self.assertIn('\nfwupdate: done!\n', r.stderr)
                with open(os.path.join(r.out, 'bank2'), 'rb') as f:
                    bank = f.read()
                self.assertEqual(bank[:len(want)], want)
                self.assertEqual(bank[len(want):], b'\xa5' * (BANK - len(want)))

    def test_raw_read_back_compares_with_the_flash(self):
        # A bank with one cell that does not hold what is written (tests/flakyflash.c): the read-back
        # must see it, refuse the bank and leave the boot loader alone.
        if not os.path.exists('/dev/fuse'):
            self.skipTest('no /dev/fuse')
        image = fwfix.legacy(V_NEW, os.urandom(20000), kind='filesystem')
        raw = [('firmware1', BANK, 0x10000), ('firmware2', BANK, 0x10000)]
        for flip, want, setenv in [(-1, '\nfwupdate: done!\n', 3),
                                   (9000, 'Firmware verification failed\nFirmware write to flash failed!\n', 0)]:
            with self.subTest(flip):
                r = self.second_stage(raw, 'mtd:rootfs1', image, setup_cmd=flaky_flash(BANK, flip, 1))
                self.assertIn(want, r.stderr)
                self.assertEqual(len(r.calls('/usr/sbin/fw_setenv')), setenv)

    def test_missing_subimage_is_reported_on_standard_output(self):
        no_rootfs = fwfix.dtc('/dts-v1/;\n/ { description = "%s"; timestamp = <1457730000>;\n'
                              '    images { kernel { data = [01 02 03]; compression = "none"; }; }; };' % V_NEW)
        r = self.second_stage([('firmware1', 0x800000, 0x20000), ('firmware2', 0x800000, 0x20000)], 'ubi.mtd=2',
                              no_rootfs)
        self.assertTrue(r.stdout.endswith("\nCan't find 'rootfs' FIT subimage\n"), r.stdout)
        self.assertNotIn("Can't find", r.stderr)
        self.assertIn('Invalid rootfs image\nFirmware write to flash failed!\n', r.stderr)

    def test_refusals_still_reboot(self):
        image = fwfix.legacy(V_NEW, os.urandom(5000), kind='filesystem')
        raw = [('firmware1', len(image) - 1, 0x10000), ('firmware2', len(image) - 1, 0x10000)]
        cases = [
            ('partition one byte short', raw, 'mtd:rootfs2', 'partition is smaller than firmware\n'),
            ('no layout marker', raw, 'console=ttyS0', 'Unsupported system\n'),
            ('legacy image on UBI volumes', [('ubi', 0x800000, 0x20000)], 'root=ubi0:rootfs1',
             'Invalid kernel image\n'),
        ]
        for name, parts, cmdline, err in cases:
            with self.subTest(name):
                r = self.second_stage(parts, cmdline, image,
                                      setup_cmd='head -c %d /dev/zero > /dev/mtdblock0\n' % (len(image) - 1))
                self.assertIn(err + 'Firmware write to flash failed!\n\nfwupdate: failed!\nrebooting system!\n',
                              r.stderr)
                self.assertEqual(r.calls('/usr/sbin/fw_setenv'), [])


SYSCONF = '''#!/bin/sh
echo "$*" >> /mnt/vdev/out/sysconf.args
[ "$1" = --write ] && cp "$3" /mnt/vdev/out/block.$2
exit %d
'''


class ConfigInstalls(unittest.TestCase):
    def install(self, image, sysconf_exit=0, **board):
        files = fwdev.board(image=image, **board)
        files['/usr/sbin/sysconf'] = (SYSCONF % sysconf_exit, 0o755)
        r = fwdev.run(['/bin/sh', '-c', 'fwupdate; echo rc=$?; ls -a /tmp'], files)
        self.assertFalse(r.rebooted)
        rc = int(r.stdout.split('rc=')[1].split()[0])
        left = r.stdout.split('rc=')[1].split()[1:]
        args = ''
        if os.path.exists(os.path.join(r.out, 'sysconf.args')):
            with open(os.path.join(r.out, 'sysconf.args')) as f:
                args = f.read()
        return r, rc, left, args

    def test_oem_and_product_blocks(self):
        doc = b'{"oem": {"ssid": "x"}}'
        for name, type_byte, block in [('oem', 128, 'oem'), ('product', 129, 'product')]:
            with self.subTest(name):
                r, rc, left, args = self.install(fwfix.legacy_typed(V_NEW, type_byte, doc))
                self.assertEqual(rc, 0, r.stderr)
                self.assertRegex(args, r'^--write %s /tmp/data-\w{6}\n$' % block)
                with open(os.path.join(r.out, 'block.' + block), 'rb') as f:
                    self.assertEqual(f.read(), doc)
                self.assertEqual([x for x in left if x.startswith('data-')], [])
                self.assertEqual(r.stubs, [])

    def test_kernel_image_alone_is_not_installed(self):
        files = fwdev.board(image=fwfix.legacy(V_NEW, os.urandom(5000)))
        r = fwdev.run(['/bin/sh', '-c', 'fwupdate; echo rc=$?'], files)
        self.assertFalse(r.rebooted)
        self.assertIn('rc=1\n', r.stdout)
        self.assertTrue(r.stderr.endswith('fwupdate: Unknown image type: 2\n'), r.stderr)
        self.assertEqual(r.stubs, [])

    def test_failed_block_write(self):
        r, rc, left, _ = self.install(fwfix.legacy_typed(V_NEW, 128, b'{}'), sysconf_exit=3)
        self.assertEqual(rc, 1)
        self.assertRegex(r.stderr, r"'sysconf --write oem /tmp/data-\w{6}' failed,  exit status: '3'\n"
                                   r"fwupdate: failed to write oem to flash\n$")
        self.assertEqual([x for x in left if x.startswith('data-')], [])

    def test_sealed_install_exit_status_is_sysconfs(self):
        image = fwfix.sealed(V_NEW, '{"countryCode": "DE"}', '00:15:6d:10:20:30\n')
        r, rc, left, args = self.install(image, sysconf_exit=5)
        self.assertEqual(rc, 5)
        self.assertEqual(args, '-z /tmp/pf.json\n')
        self.assertIn("'sysconf' failed,  exit status: '5'\n", r.stderr)
        for gone in ('pf.json', 'control', 'product.zip'):
            self.assertNotIn(gone, left)

    def test_real_store_takes_the_blocks(self):
        doc = '{"countryCode": "DE", "name": "x"}'
        cases = [
            ('oem', fwfix.legacy_typed(V_NEW, 128, doc.encode()), 'sysconf --read oem -'),
            ('product', fwfix.legacy_typed(V_NEW, 129, doc.encode()), 'sysconf --read product -'),
            ('sealed', fwfix.sealed(V_NEW, doc, '00:15:6d:10:20:30\n'), 'sysconf -Z -'),
        ]
        for name, image, read in cases:
            with self.subTest(name):
                r = fwdev.run(['/bin/sh', '-c', 'fwupdate && echo installed && %s' % read], fwdev.board(image=image))
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertTrue(r.stdout.endswith('installed\n' + doc), r.stdout)


if __name__ == '__main__':
    unittest.main(verbosity=2)
