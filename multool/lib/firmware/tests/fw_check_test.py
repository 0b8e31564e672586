#!/usr/bin/env python3
"""fwupdate -c / -i: what each image format passes or fails with, and the acceptance rules of the
device."""

import json
import os
import re
import struct
import zlib
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fwdev  # noqa: E402
import fwfix  # noqa: E402

V_NEW = 'APCPE.QA-2.v7.52.1'
KERNEL = bytes((i * 7 + 3) & 0xFF for i in range(3000))
ROOTFS = bytes((i * 13 + 1) & 0xFF for i in range(5000))
CONTROL = '# factory batch 7\n00:15:6d:10:20:00-00:15:6d:10:20:ff\n'
PF = '{"countryCode": "DE", "name": "sealed"}'


def check(image, *args, **board):
    return fwdev.run(['/usr/sbin/fwupdate', '-c'] + list(args) if not args or args[0] != '-i'
                     else ['/usr/sbin/fwupdate', '-i'], fwdev.board(image=image, **board))


class Formats(unittest.TestCase):
    def test_valid_image_of_each_kind_is_accepted_without_install(self):
        cases = [
            ('legacy', fwfix.legacy(V_NEW, KERNEL), 'Image type: firmware upgrade\n'),
            ('fit', fwfix.fit(V_NEW, KERNEL, ROOTFS), 'Image type: firmware upgrade\n'),
            ('oem', fwfix.legacy_typed(V_NEW, 128, b'{"oem": 1}'), 'Image type: OEM config\n'),
            ('sealed', fwfix.sealed(V_NEW, PF, CONTROL), 'Image type: product file\n'),
        ]
        for name, image, line in cases:
            with self.subTest(name):
                cmd = ('fwupdate -c; echo rc=$?; ls -a /tmp')
                r = fwdev.run(['/bin/sh', '-c', cmd], fwdev.board(image=image))
                self.assertIn('rc=0', r.stdout, r.stderr)
                self.assertTrue(r.stdout.startswith(line + V_NEW + '\n'), r.stdout)
                listing = r.stdout.split('rc=0', 1)[1].split()
                # Checked in place, and nothing of the sealed check is left behind.
                self.assertIn('fwupdate.bin', listing)
                for gone in ('.fwupdate.bin', 'pf.json', 'control', 'product.zip'):
                    self.assertNotIn(gone, listing)
                self.assertEqual(r.stubs, [])

    def test_info_prints_type_and_version(self):
        r = check(fwfix.fit('PTMP.QA-1.v7.53.2', KERNEL, ROOTFS), '-i')
        self.assertEqual((r.returncode, r.stdout), (0, 'Image type: firmware upgrade\nPTMP.QA-1.v7.53.2\n'))
        r = check(fwfix.legacy_typed(V_NEW, 77, b'{}'), '-i')
        self.assertEqual((r.returncode, r.stderr), (1, 'Unknown image type\n'))

    def test_fit_refusals(self):
        sha256 = fwfix.fit(V_NEW, KERNEL, ROOTFS, rootfs_hash='sha256')
        no_value = fwfix.dtc('''/dts-v1/;
/ { description = "%s"; timestamp = <1457730000>;
    images { kernel { data = [01 02 03]; compression = "none"; hash-1 { algo = "crc32"; }; }; }; };''' % V_NEW)
        no_desc = fwfix.dtc('/dts-v1/;\n/ { timestamp = <1457730000>; images { }; };')
        bad_crc_len = fwfix.dtc('''/dts-v1/;
/ { description = "%s"; timestamp = <1>;
    images { rootfs { data = [01 02 03]; hash-9 { algo = "crc32"; value = [55 8A]; }; }; }; };''' % V_NEW)
        unhashed = fwfix.dtc('''/dts-v1/;
/ { description = "%s"; timestamp = <1457730000>;
    images { kernel { data = [01 02 03]; compression = "none"; notahash { algo = "md5"; }; }; }; };''' % V_NEW)
        truncated = fwfix.fit(V_NEW, KERNEL, ROOTFS)[:-1]
        cases = [
            ('sha256 refused even when right', sha256, 1, 'Unsupported hash algorithm\nImage file corrupted\n'),
            ('hash without value', no_value, 1, "Image 'kernel' hash 'hash-1' invalid\nImage file corrupted\n"),
            ('crc32 value of wrong length', bad_crc_len, 1,
             "Image 'rootfs' hash 'hash-9' invalid\nImage file corrupted\n"),
            ('no description', no_desc, 1, 'Bad image format\nImage file corrupted\n'),
            ('tree longer than file', truncated, 1, 'Image file too small\nImage file corrupted\n'),
            ('only hash* children are hashes', unhashed, 0, ''),
        ]
        for name, image, rc, err in cases:
            with self.subTest(name):
                r = check(image)
                self.assertEqual((r.returncode, r.stderr), (rc, err))

    def test_fit_property_length_from_the_tree_is_not_trusted(self):
        image = bytearray(fwfix.dtc('''/dts-v1/;
/ { description = "%s"; timestamp = <1457730000>;
    images { kernel { data = [01 02 03]; compression = "none"; hash-1 { algo = "crc32"; value = [55 8A 43 22]; }; }; }; };''' % V_NEW))
        # FDT_PROP, length 3, then the name offset: claim 0xffffffff bytes instead.
        at = bytes(image).index(bytes.fromhex('00000003 00000003'))
        image[at + 4:at + 8] = b'\xff\xff\xff\xff'
        for opt in ('-c', '-i'):
            with self.subTest(opt):
                r = fwdev.run(['/usr/sbin/fwupdate', opt], fwdev.board(image=bytes(image)))
                self.assertEqual(r.returncode, 1, r.stderr)
                self.assertIn('Image file corrupted', r.stderr)

    def test_fit_trees_that_break_the_tree_library_are_refused(self):
        # Found by the fuzz target: a structure block on which the subnode walk never ends, and an old
        # tree version whose full check reads out of bounds, and one on which that check never ends.
        for name in ('fit-looping-tree.bin', 'fit-old-version-tree.bin', 'fit-check-loops-tree.bin'):
            path = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'fixtures', name)
            with open(path, 'rb') as f:
                image = f.read()
            for opt in ('-c', '-i'):
                with self.subTest(name=name, opt=opt):
                    r = fwdev.run(['timeout', '20', '/usr/sbin/fwupdate', opt], fwdev.board(image=image))
                    self.assertEqual(r.returncode, 1, r.stderr)

    def test_legacy_refusals(self):
        good = fwfix.legacy(V_NEW, KERNEL)
        payload = bytearray(good)
        payload[64 + 1000] ^= 0x01
        header = bytearray(good)
        header[40] ^= 0x20
        for name, image, err in [('payload byte', payload, 'Image corrupted\n'),
                                 ('name byte', header, 'Image header corrupted\n'),
                                 ('63 bytes', good[:63], 'Image file too small\n'),
                                 ('30 bytes', good[:30], 'Image file too small\nUnknown image type\n'),
                                 ('31 bytes of type 129', fwfix.legacy_typed(V_NEW, 129, b'{}')[:31],
                                  'Image file too small\n')]:
            with self.subTest(name):
                r = check(bytes(image))
                self.assertEqual((r.returncode, r.stderr), (1, err))


class Hostile(unittest.TestCase):
    LOG = {'/etc/log4c/fwupdate.conf': 'fwupdate.common = debug\n'}

    def test_many_hash_nodes_cost_one_digest_pass_per_algorithm(self):
        data = os.urandom(1 << 20)
        hashes = [('crc32', None), ('sha1', None)] * 1000
        r = fwdev.run(['/usr/sbin/fwupdate', '-c'], dict(fwdev.board(image=fwfix.fit_hashed(V_NEW, data, hashes)),
                                                         **self.LOG))
        self.assertEqual(r.returncode, 0, r.stderr[-500:])
        self.assertIn("Image 'kernel': 2000 hash nodes, 2 digest passes over %d bytes" % len(data), r.stderr)
        # Every node is still compared: a wrong value deep in the list is found and named.
        hashes[1500] = ('crc32', b'\0\0\0\0')
        r = check(fwfix.fit_hashed(V_NEW, data, hashes))
        self.assertEqual((r.returncode, r.stderr), (1, "Image 'kernel' hash 'hash-1501' invalid\nImage file corrupted\n"))

    def test_crc32_alone_decides(self):
        data = bytes(range(256)) * 40
        good = fwfix.fit_hashed(V_NEW, data, [('crc32', None)])
        self.assertEqual(check(good).returncode, 0)
        for name, value in [('one bit', bytes(a ^ (i == 3) for i, a in enumerate(struct.pack('>I', zlib.crc32(data))))),
                            ('little-endian', struct.pack('<I', zlib.crc32(data)))]:
            with self.subTest(name):
                r = check(fwfix.fit_hashed(V_NEW, data, [('crc32', value)]))
                self.assertEqual((r.returncode, r.stderr), (1, "Image 'kernel' hash 'hash-1' invalid\n"
                                                               "Image file corrupted\n"))

    def test_eight_byte_timestamp_counts_as_none(self):
        image = fwfix.fit_hashed('PTMP.QA-1.v7.52.1', KERNEL, [('sha1', None)], timestamp='/bits/ 64 <1457730000>')
        r = check(image, version='PTMP.QA-1.v7.51.5')
        self.assertEqual((r.returncode, r.stderr), (1, 'fwupdate: no image timestamp - assuming damaged image\n'))
        other = fwfix.fit_hashed(V_NEW, KERNEL, [('sha1', None)], timestamp='/bits/ 64 <1457730000>')
        self.assertEqual(check(other).returncode, 0)

    def test_version_text_cannot_forge_a_line(self):
        image = fwfix.fit_hashed('APCPE.QA-2.v7.52.1\\nforged\\x1b[2J', KERNEL, [('sha1', None)])
        for opt in ('-c', '-i'):
            with self.subTest(opt):
                r = fwdev.run(['/usr/sbin/fwupdate', opt], fwdev.board(image=image))
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertEqual(r.stdout, 'Image type: firmware upgrade\nAPCPE.QA-2.v7.52.1\\x0Aforged\\x1B[2J\n')

    def test_short_sealed_file_and_fifo(self):
        short = fwfix.sealed(V_NEW, PF, CONTROL)[:95]
        for opt in ('-c', '-i'):
            r = fwdev.run(['/usr/sbin/fwupdate', opt], fwdev.board(image=short))
            self.assertEqual((r.returncode, r.stderr), (1, 'Image file too small\n'), opt)
        r = fwdev.run(['/bin/sh', '-c', 'mkfifo /tmp/fwupdate.bin; timeout 20 fwupdate -c'], fwdev.board())
        self.assertEqual((r.returncode, r.stderr), (1, 'fwupdate: /tmp/fwupdate.bin is not a regular file\n'))

    def test_sealed_members_by_name_and_regular_only(self):
        cases = [
            ('pf.json a link to a system file', fwfix.sealed(V_NEW, None, CONTROL, files={'control': CONTROL},
                                                             links={'pf.json': '/etc/passwd'}), 1,
             "product file member 'pf.json' is not a regular file\n"),
            ('control a link', fwfix.sealed(V_NEW, PF, None, files={'pf.json': PF},
                                            links={'control': '/etc/hostname'}), 1,
             "product file member 'control' is not a regular file\n"),
            ('other members stay in the archive', fwfix.sealed(V_NEW, PF, CONTROL, files={
                'pf.json': PF, 'control': CONTROL, 'evil.sh': '#!/bin/sh\n', 'fwupdate.bin': 'x'}), 0, ''),
        ]
        for name, image, rc, err in cases:
            with self.subTest(name):
                r = fwdev.run(['/bin/sh', '-c', 'fwupdate -c; echo rc=$?; ls -a /tmp; cat /tmp/fwupdate.bin | wc -c'],
                              fwdev.board(image=image))
                self.assertIn('rc=%d' % rc, r.stdout, r.stderr)
                self.assertTrue(r.stderr.endswith(err), r.stderr)
                listing = r.stdout.split('rc=', 1)[1].split()
                # a source or build tree kept under /tmp is bound there by the sandbox itself
                trees = {os.environ[v].split('/')[2] for v in ('MT_SOURCE_DIR', 'MT_BUILD_DIR')
                         if os.environ[v].startswith('/tmp/')}
                left = [n for n in listing[1:-1] if n not in trees]
                self.assertEqual(sorted(left), ['.', '..', 'fwupdate.bin'])
                self.assertEqual(int(listing[-1]), len(image), 'the image is not overwritten by a member')

    def test_control_files_past_64_ranges(self):
        # 64 ranges are kept; the radio MAC (00:15:6d:10:20:30) matches only the range on the line given.
        def control(match_at, lines=70):
            out = []
            for i in range(lines):
                lo = '00:15:6d:10:20:30' if i == match_at else '02:00:00:00:%02x:00' % i
                out.append('%s-%s' % (lo, lo if i == match_at else '02:00:00:00:%02x:ff' % i))
            return '\n'.join(out) + '\n'
        for match_at, rc in [(63, 0), (64, 1), (69, 1)]:
            with self.subTest(match_at):
                r = check(fwfix.sealed(V_NEW, PF, control(match_at)))
                self.assertEqual(r.returncode, rc, r.stderr)

    def test_board_eeprom_mac_before_art(self):
        # Both would match: the record decides and the art partition is not read.
        art = bytearray(8192)
        art[0:6] = bytes.fromhex('00156d102031')
        art_files = {'/etc/fwtest.mtd': fwfix.proc_mtd([('art', 0x10000, 0x10000)]), '/dev/mtdblock0': bytes(art)}
        control = '00:15:6d:10:20:00-00:15:6d:10:20:ff\n'
        for record, via in [('00:15:6d:10:20:30', 'KBEE'), ('00:15:6d:10:20:30\n', 'KBEE'),
                            ('0:15:6d:10:20:30', 'KBEE'), ('00:15:6d:10:20:300', 'eth0')]:
            with self.subTest(record):
                files = dict(fwdev.board(image=fwfix.sealed(V_NEW, PF, control), radio_mac=record), **self.LOG)
                files.update(art_files)
                r = fwdev.run(['/usr/sbin/fwupdate', '-c'], files)
                self.assertEqual(r.returncode, 0, r.stderr)
                tried = re.findall(r'debug: (\w+) mac 00:15', r.stderr)
                self.assertEqual(tried, [via], r.stderr)


class Acceptance(unittest.TestCase):
    def test_device_rules(self):
        fit = fwfix.fit
        locked_array = '{"countryCode": ["DE", "AT"]}'
        cases = [
            # name, image, board, rc, message on stderr
            ('platform', fwfix.legacy('APCPE.QA-3.v7.52.1', KERNEL), {}, 1, 'Firmware platform mismatch\n'),
            ('product', fwfix.legacy('PTMP.QA-2.v7.52.1', KERNEL), {}, 1, 'Firmware product mismatch\n'),
            ('major', fwfix.legacy('APCPE.QA-2.v8.52.1', KERNEL), {}, 1, 'Firmware major version mismatch\n'),
            ('unparsable', fwfix.legacy('APCPE.QA-2.v7', KERNEL), {}, 1, "Can't parse image firmware version\n"),
            ('lock blocks downgrade', fwfix.legacy('APCPE.QA-2.v7.50.9', KERNEL), {'product': locked_array}, 1,
             'Can not downgrade to less than v7.51 due to product file lock\n'),
            ('lock lets 51 pass', fwfix.legacy('APCPE.QA-2.v7.51-rc1.9', KERNEL), {'product': locked_array}, 0, ''),
            ('brand device refuses plain image', fwfix.legacy(V_NEW, KERNEL),
             {'version': 'APCPE.QA-2.v7.51.5.Qarven'}, 1, 'Qarvendis version mismatch \n'),
            ('brand device takes branded image', fwfix.legacy(V_NEW + '.Qarven', KERNEL),
             {'version': 'APCPE.QA-2.v7.51.5.Qarven'}, 0, ''),
            ('timestamp one second early', fit('PTMP.QA-1.v7.52.1', KERNEL, ROOTFS, epoch=1457729999),
             {'version': 'PTMP.QA-1.v7.51.5'}, 1,
             '\x1b[93mfwupdate: unsupported timestamp: Fri Mar 11 20:59:59 2016\n\x1b[0m'),
            ('timestamp on the limit', fit('PTMP.QA-1.v7.52.1', KERNEL, ROOTFS, epoch=1457730000),
             {'version': 'PTMP.QA-1.v7.51.5'}, 0, ''),
            ('legacy has no timestamp', fwfix.legacy('PTMP.QA-1.v7.52.1', KERNEL),
             {'version': 'PTMP.QA-1.v7.51.5'}, 1, 'fwupdate: no image timestamp - assuming damaged image\n'),
            ('other platform ignores timestamp', fit(V_NEW, KERNEL, ROOTFS, epoch=1457729999), {}, 0, ''),
            ('factory mode', fwfix.legacy(V_NEW, KERNEL), {'factory_mode': 1}, 255,
             "\ndenied: factory_mode=1 (required factory_mode=3, try run 'factoryd -F 3')\n"),
            ('no factory-mode record', fwfix.legacy(V_NEW, KERNEL), {'factory_mode': None}, 0, ''),
        ]
        for name, image, board, rc, err in cases:
            with self.subTest(name):
                r = check(image, **board)
                self.assertEqual((r.returncode, r.stderr), (rc, err))

    def test_factory_mode_gates_info_too(self):
        r = check(fwfix.legacy(V_NEW, KERNEL), '-i', factory_mode=0)
        self.assertEqual((r.returncode, r.stdout), (255, ''))

    def test_product_file_country_lock(self):
        def product(cc):
            return fwfix.legacy_typed(V_NEW, 129, json.dumps({'countryCode': cc}).encode())
        installed_string = '{"countryCode": "DE-1"}'
        cases = [
            ('unlocked', product('US'), None, 0, ''),
            ('same two letters', product('DE-2'), installed_string, 0, ''),
            ('other country', product('AT'), installed_string, 1, 'Product file is locked\n'),
            ('new code not a string', product(['DE']), installed_string, 1, 'Product file is locked\n'),
            ('array lock', product('DE'), '{"countryCode": ["DE"]}', 1, 'Product file is locked\n'),
            ('empty array', product('DE'), '{"countryCode": []}', 1, 'Product file is locked\n'),
        ]
        for name, image, installed, rc, err in cases:
            with self.subTest(name):
                r = check(image, product=installed)
                self.assertEqual((r.returncode, r.stderr), (rc, err))

    def test_sealed_binding(self):
        other = '00:15:6d:99:00:00-00:15:6d:99:00:ff\n'
        art = bytearray(8192)
        art[4098:4104] = bytes.fromhex('00156d990042')
        art_files = {'/etc/fwtest.mtd': fwfix.proc_mtd([('art', 0x10000, 0x10000)]), '/dev/mtdblock0': bytes(art)}
        cases = [
            ('radio MAC in range, art never needed', fwfix.sealed(V_NEW, PF, CONTROL), {}, 0, ''),
            ('single address line', fwfix.sealed(V_NEW, PF, 'junk\n00:15:6d:10:20:30\n'), {}, 0, ''),
            ('wifi0 MAC from art', fwfix.sealed(V_NEW, PF, other), art_files, 0, ''),
            ('no MAC in range', fwfix.sealed(V_NEW, PF, other), {}, 1, ''),
            ('no range at all', fwfix.sealed(V_NEW, PF, '# none\n'), {}, 1,
             'Failed to parse macs from control file\n'),
            ('no control file', fwfix.sealed(V_NEW, PF, None, files={'pf.json': PF}), {}, 1,
             'failed to read control file\n'),
            ('wrong major, stale files of an earlier check', fwfix.sealed('APCPE.QA-2.v6.52.1', PF, CONTROL),
             {'/tmp/control': CONTROL, '/tmp/pf.json': PF}, 1, 'Firmware major version mismatch\n'),
            ('branded device', fwfix.sealed(V_NEW, PF, CONTROL), {'version': 'APCPE.QA-2.v7.51.5.Qarven'}, 1,
             'Qarvendis version mismatch \n'),
        ]
        for name, image, extra, rc, err in cases:
            with self.subTest(name):
                files = fwdev.board(image=image, version=extra.get('version', fwdev.DEVICE_VERSION))
                files.update({k: v for k, v in extra.items() if k.startswith('/')})
                r = fwdev.run(['/bin/sh', '-c', 'fwupdate -c; echo rc=$?; ls -a /tmp'], files)
                self.assertIn('rc=%d' % rc, r.stdout, r.stderr)
                if err:
                    self.assertTrue(r.stderr.endswith(err), r.stderr)
                listing = r.stdout.split('rc=', 1)[1].split()
                for gone in ('pf.json', 'control', 'product.zip'):
                    self.assertNotIn(gone, listing)

    def test_sealed_length_field_never_wraps(self):
        good = bytearray(fwfix.sealed(V_NEW, PF, CONTROL))
        for name, l in [('below 16', 15), ('zero', 0), ('huge', 0xFFFFFFF0), ('partial block', len(good) - 96 - 8),
                        ('one past file', len(good) - 96 + 16)]:
            with self.subTest(name):
                image = bytearray(good)
                image[4:8] = l.to_bytes(4, 'big')
                r = check(bytes(image))
                self.assertEqual((r.returncode, r.stderr), (1, 'Image file too small\n'))


if __name__ == '__main__':
    unittest.main(verbosity=2)
