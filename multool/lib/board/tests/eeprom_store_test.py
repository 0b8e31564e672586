#!/usr/bin/env python3
"""Board store on a stand-in art partition and in the fallback file, checked with kbeefmt.py."""
import os
import stat
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '../../board/tests'))
sys.path.insert(0, os.path.join(HERE, '../../cfgstore/tests'))
import kbeefmt as kf  # noqa: E402
import cfgdev  # noqa: E402
from cfgdev import vdevlib  # noqa: E402

TOOL = os.path.join(os.environ.get('MT_BUILD_DIR', ''), 'multool/lib/board/tests/eeprom_tool')
MTD = 'dev:    size   erasesize  name\nmtd0: 00040000 00010000 "u-boot"\nmtd3: 00010000 00001000 "art"\n'


def art_run(art, args, var_cfg=False, extra=''):
    """Runs eeprom_tool ARGS with ART at /dev/mtdblock3; returns (stdout lines, art image after)."""
    root = {'/etc/mtd-table/mtd': MTD, '/dev/mtdblock3': art}
    if var_cfg:
        root['/var/cfg/.keep'] = ''
    script = '%s %s > $OUT/o; cp /dev/mtdblock3 $OUT/art; %s' % (TOOL, ' '.join(args), extra)
    r = vdevlib.run(['/bin/sh', '-c', 'OUT=/mnt/vdev/out; ' + script], roots=[root],
                    env={'MT_PROC_DIR': '/etc/mtd-table'}, text=False)
    with open(os.path.join(r.out, 'o'), 'rb') as f:
        out = f.read().decode().splitlines()
    with open(os.path.join(r.out, 'art'), 'rb') as f:
        img = f.read()
    return out, img, r


class Scan(unittest.TestCase):
    def test_first_valid_candidate_wins(self):
        good = kf.store([(2, b'fw-good')])
        other = kf.store([(2, b'fw-other')])
        bad_record = kf.store([(2, b'fw-bad')])[:16] + b'\x00\x02\x00\x02'  # length below 4
        bad_record = bad_record[:4] + (20).to_bytes(4, 'big') + bad_record[8:]
        cases = [
            ('garbage at 0x8000, store at 0x9000', [(0x8000, b'KBEE' + b'\xff' * 12), (0x9000, good)], '9000'),
            ('valid at 0x8000 hides 0xA000', [(0x8000, good), (0xA000, other)], '8000'),
            ('bad record skipped', [(0x8000, bad_record), (0xB000, good)], 'B000'),
            ('reserved word set', [(0x8000, kf.store([(2, b'x')], reserved=1)), (0xC000, good)], 'C000'),
            ('size 16 is no store', [(0x8000, kf.store([])), (0xD000, good)], 'D000'),
        ]
        for what, stores, off in cases:
            out, _, _ = art_run(kf.image(stores), ['init', 'get', '2'])
            self.assertEqual(out, ['init 0 offset %s' % off, 'get 1 7 fw-good'], what)

    def test_nothing_found(self):
        out, _, _ = art_run(kf.image([]), ['init', 'write'])
        self.assertEqual(out, ['init -1 offset A000', 'write 1'])


class Write(unittest.TestCase):
    def test_update_write_reload_in_type_order(self):
        old = kf.store([(2, b'fw-1'), (6, b'KTRV-0711'), (61, b'2024-01-01'), (20, b'\x01\x02\x03')])
        art = kf.image([(0x9000, old)])
        out, img, _ = art_run(art, ['init', 'set', '2', 'fw-22', 'del', '61', 'set', '300', 'big', 'set', '5', 'abc',
                                    'write', 'free', 'get', '2', 'init', 'get', '2', 'get', '300', 'get', '62'])
        self.assertEqual(out, ['init 0 offset 9000', 'set 0', 'set 0', 'set 0', 'write 0', 'get 0 0 (null)',
                               'init 0 offset 9000', 'get 1 5 fw-22', 'get 0 0 (null)', 'get 0 0 (null)'])
        version, recs = kf.parse(img, 0x9000)
        self.assertEqual(version, 1)
        self.assertEqual(recs, {2: b'fw-22', 5: b'abc', 6: b'KTRV-0711', 20: b'\x01\x02\x03', 300: b'big'})
        # Type order on flash, and nothing outside the new store touched.
        new_total = int.from_bytes(img[0x9004:0x9008], 'big')
        self.assertEqual([img[0x9010 + 2:0x9010 + 4]], [(2).to_bytes(2, 'big')])
        self.assertEqual(img[:0x9000], art[:0x9000])
        self.assertEqual(img[0x9000 + new_total:], art[0x9000 + new_total:])

    def test_refuses_stores_that_do_not_fit_or_would_not_load(self):
        near_end = kf.image([(0xF000, kf.store([(2, b'x')]))])
        for what, art, args in [
            ('past the partition end', near_end, ['init', 'setsize', '40', '5000', 'write']),
            ('65536 bytes or more', kf.image([(0x8000, kf.store([(2, b'x')]))]),
             ['init', 'setsize', '40', '40000', 'setsize', '41', '40000', 'write']),
        ]:
            out, img, _ = art_run(art, args)
            self.assertEqual(out[-1], 'write -1', what)
            self.assertEqual(img, art, what)
        out, _, _ = art_run(kf.image([]), ['init', 'set', '65535', 'x', 'set', '65536', 'x', 'write', 'init', 'get', '2'])
        self.assertEqual(out[:4], ['init -1 offset A000', 'set 0', 'set -1', 'write 0'])


class LoopDevice(unittest.TestCase):
    def test_store_on_a_real_block_device(self):
        art = kf.image([(0x8000, kf.store([(2, b'fw-1'), (20, b'\x01\x02')]))])
        script = (
            'OUT=/mnt/vdev/out; loop=$(losetup -f --show /art.img) || exit 77; trap "losetup -d $loop" EXIT;'
            'mknod /dev/mtdblock3 b $(stat -c "0x%%t 0x%%T" $loop); '
            '%s init set 2 fw-2 write get 2 > $OUT/o; %s init get 2 get 20 >> $OUT/o; sync; '
            'dd if=$loop of=$OUT/art bs=64k count=1 2>/dev/null' % (TOOL, TOOL))
        r = vdevlib.run(['/bin/sh', '-c', script], roots=[{'/etc/mtd-table/mtd': MTD, '/art.img': art}],
                        env={'MT_PROC_DIR': '/etc/mtd-table'})
        if r.returncode == 77:
            vdevlib.skip('no loop device')
        with open(os.path.join(r.out, 'o')) as f:
            self.assertEqual(f.read().splitlines(), ['init 0 offset 8000', 'set 0', 'write 0', 'get 1 4 fw-2',
                                                     'init 0 offset 8000', 'get 1 4 fw-2', 'get 1 2 \x01\x02'])
        with open(os.path.join(r.out, 'art'), 'rb') as f:
            self.assertEqual(kf.parse(f.read(), 0x8000)[1], {2: b'fw-2', 20: b'\x01\x02'})


class Fallback(unittest.TestCase):
    def test_file_created_only_where_var_cfg_exists(self):
        root = {'/var/cfg/.eeprom': (b'short', 0o600)}
        r = vdevlib.run(['/bin/sh', '-c', '%s init set 23 "\\001" write > /mnt/vdev/out/o; cp /var/cfg/.eeprom /mnt/vdev/out/;'
                         'stat -c %%a /var/cfg/.eeprom > /mnt/vdev/out/mode' % TOOL], roots=[root], text=False)
        with open(os.path.join(r.out, 'o')) as f:
            self.assertEqual(f.read().split('\n')[:3], ['init -1 offset A000', 'set 0', 'write 0'])
        with open(os.path.join(r.out, '.eeprom'), 'rb') as f:
            img = f.read()
        self.assertEqual(len(img), 65536)
        self.assertEqual(kf.parse(img, 0xA000)[1], {23: b'\\001'})
        with open(os.path.join(r.out, 'mode')) as f:
            self.assertEqual(f.read(), '644\n')
        r = vdevlib.run(['/bin/sh', '-c', '%s init set 2 x write > /mnt/vdev/out/o; ls /var > /mnt/vdev/out/ls' % TOOL],
                        text=False)
        with open(os.path.join(r.out, 'o')) as f:
            self.assertEqual(f.read().split('\n')[:3], ['init -1 offset A000', 'set 0', 'write -1'])
        with open(os.path.join(r.out, 'ls')) as f:
            self.assertNotIn('cfg', f.read())


class FactoryMacs(unittest.TestCase):
    def test_setmacs_writes_raw_bytes_at_art_offsets(self):
        art = bytes(65536)
        out, img, _ = art_run(art, ['setmacs', '00:11:22:33:44:55', 'a0:b1:c2:d3:e4:f5', '0A:0B:0C:0D:0E:0F'],
                              extra='%s getmacs > $OUT/g' % TOOL)
        self.assertEqual(out, ['setmacs 0'])
        self.assertEqual(img[0:12], bytes.fromhex('a0b1c2d3e4f5 0a0b0c0d0e0f'))
        self.assertEqual(img[4098:4104], bytes.fromhex('001122334455'))
        self.assertEqual(img[12:4098] + img[4104:], bytes(65536 - 18))
        for args, msg in [(['00:11:22:33:44', '00:11:22:33:44:55'], 'Bad mac of wifi0'),
                          (['00:11:22:33:44:55', 'zz:11:22:33:44:55'], 'Bad mac of eth0'),
                          (['00:11:22:33:44:55', '00:11:22:33:44:55', '00:11:22:33:44'], None),
                          (['00:11:22:33:44:55'], 'Usage: wifi0mac eth0mac [eth1mac]')]:
            out, img2, _ = art_run(art, ['setmacs'] + args)
            self.assertEqual(out[-1], 'setmacs -1', args)
            if msg:
                self.assertEqual(out[0], msg)
            self.assertEqual(img2, art, args)


if __name__ == '__main__':
    if not os.path.exists(TOOL):
        vdevlib.skip('eeprom_tool not built')
    unittest.main(verbosity=2)
