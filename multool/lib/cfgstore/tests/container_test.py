#!/usr/bin/env python3
"""Container behaviour through the real sysconf, checked with the independent reader in cfgstore.py."""
import hashlib
import os
import struct
import sys
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cfgstore as cs  # noqa: E402
from cfgdev import run  # noqa: E402

P0 = [('config', b'{"part":0}\n'), ('product', b'{"p":0}\n'), ('oem', b'{"oem":0}\n')]
P1 = [('config', b'{"part":1}\n'), ('product', b'{"p":1}\n'), ('oem', b'{"oem":1}\n')]
DEFAULT = b'{"factory":true}\n'


def two_parts(s0, s1, b0=P0, b1=P1):
    return cs.store(cs.part(s0, b0), cs.part(s1, b1))


class Selection(unittest.TestCase):
    def test_reads_follow_sequences_and_ties_go_to_part1(self):
        for s0, s1, active, backup in [(4, 5, 1, 0), (5, 4, 0, 1), (7, 7, 1, 1), (0, 0xFFFFFFFF, 1, 0)]:
            r = run('sysconf -r > $OUT/a; sysconf -t BackUp -r > $OUT/b', store=two_parts(s0, s1))
            self.assertEqual(r.file('a'), b'{"part":%d}\n' % active, (s0, s1))
            self.assertEqual(r.file('b'), b'{"part":%d}\n' % backup, (s0, s1))

    def test_write_lands_in_older_part_above_both_sequences(self):
        # Both parities, and a default-state write (read from the older part) that must become active.
        cases = [(4, 5, 'sysconf -w', b'{"new":1}\n'), (5, 4, 'sysconf -w', b'{"new":1}\n'),
                 (4, 5, 'sysconf -t default -w', b'{"oemjson":1}\n'),
                 (5, 4, 'sysconf -t default -w', b'{"oemjson":1}\n'),
                 (4, 5, 'rm /etc/oem.json; sysconf -t default -w', DEFAULT)]
        for s0, s1, cmd, want in cases:
            before = two_parts(s0, s1)
            r = run('echo \'{"new":1}\' > /tmp/config.json; %s; sysconf -r > $OUT/a' % cmd, store=before,
                    files={'/etc/oem.json': '{"oemjson":1}\n', '/usr/lib/default.json': DEFAULT})
            self.assertEqual(r.file('a'), want, (s0, s1, cmd))
            target = 0 if s0 < s1 else 1
            other = 1 - target
            p = cs.read_part(r.store, target)
            self.assertTrue(p.ok)
            self.assertEqual(p.seq, max(s0, s1) + 1)
            self.assertEqual(p.blocks['config'], want)
            source = target if 'default' in cmd else other
            self.assertEqual(p.blocks['oem'], b'{"oem":%d}\n' % source, 'carried from the image read')
            for name, stored in p.stored:
                self.assertEqual(stored[:2], b'\x78\xda', name)
            # The other part and everything past both parts are untouched.
            self.assertEqual(r.store[other * cs.PART:(other + 1) * cs.PART],
                             before[other * cs.PART:(other + 1) * cs.PART])
            self.assertEqual(r.store[2 * cs.PART:], before[2 * cs.PART:])

    def test_default_read_substitutes_oem_or_factory_file(self):
        r = run('sysconf -t default -r > $OUT/a', store=two_parts(1, 2),
                files={'/usr/lib/default.json': DEFAULT})
        self.assertEqual(r.file('a'), b'{"oem":0}\n')
        noem = [('config', b'{"c":1}\n')]
        r = run('sysconf -t default -r > $OUT/a 2>$OUT/e', store=two_parts(1, 2, noem, noem),
                files={'/usr/lib/default.json': DEFAULT})
        self.assertEqual(r.file('a'), DEFAULT)
        self.assertEqual(r.file('e'), b"'oem' is empty, using /usr/lib/default.json.\n")


class Reading(unittest.TestCase):
    def list_of(self, store, state='active'):
        r = run('sysconf -t %s --list > $OUT/l; echo $? > $OUT/rc' % state, store=store)
        return int(r.file('rc')), r.file('l').decode().splitlines()

    def test_damaged_blocks_are_dropped_and_the_rest_read(self):
        good = cs.block(b'config', b'{"c":1}')
        bad_crc = cs.block(b'oem', b'x', crc=1)
        bad_zlib = cs.block(b'brand', b'', stored=b'\x78\xda\x00\x01garbage')
        tail = cs.block(b'product', b'{"p":2}')
        p1 = cs.part(9, [], raw_blocks=good + bad_crc + bad_zlib + tail)
        rc, lines = self.list_of(cs.store(cs.part(1, P0), p1))
        self.assertEqual(rc, 0)
        self.assertEqual([ln.split()[0] for ln in lines[1:-1]], ['config', 'product'])

    def test_seventeenth_block_is_dropped(self):
        blocks = [('b%02d' % i, b'%d' % i) for i in range(16)] + [('config', b'{"17th":1}')]
        rc, lines = self.list_of(cs.store(cs.part(1, P0), cs.part(2, blocks)))
        self.assertEqual(rc, 0)
        self.assertEqual([ln.split()[0] for ln in lines[1:-1]], ['b%02d' % i for i in range(16)])
        # The heartbeat's config-only read drops it too; as the 16th block it is served.
        for n, want in [(16, b''), (15, b'{"17th":1}')]:
            r = run('sysconf -r > $OUT/r', store=cs.store(cs.part(1, P0), cs.part(2, blocks[:n] + blocks[16:])))
            self.assertEqual(r.file('r'), want, n)

    def test_config_only_reads_count_slots_as_full_reads(self):
        # A block whose data passes its CRC but inflates to nothing a full read keeps (broken, empty,
        # over the limit) takes no slot: behind 15 others "config" is the 16th block kept, and -r and -C
        # must serve it as --read and -e do.  Behind 16 others every read drops it.
        odd = {'broken': b'\x78\xda\x00\x01garbage', 'empty': zlib.compress(b'', 9),
               'over the limit': zlib.compress(bytes((4 << 20) + 1), 9)}
        conf = b'{"c":"behind the odd block"}'
        for what, stored in odd.items():
            for others, want in [(15, conf), (16, b'')]:
                raw = b''.join(cs.block('b%02d' % i, b'%d' % i) for i in range(others))
                raw += cs.block(b'odd', b'', stored=stored) + cs.block(b'config', conf)
                r = run('sysconf -r > $OUT/r; sysconf -C > $OUT/c; sysconf --read config - > $OUT/full; sysconf -e; '
                        'cp /tmp/config.json $OUT/e', store=cs.store(cs.part(1, P0), cs.part(2, [], raw_blocks=raw)))
                self.assertEqual(r.file('full'), want, (what, others))
                self.assertEqual(r.file('r'), want, (what, others))
                self.assertEqual(r.file('c'), hashlib.md5(want).hexdigest().upper().encode() + b'\n' if want else b'',
                                 (what, others))
                self.assertEqual(r.file('e'), want or P0[0][1], (what, others))

    def test_bad_headers_fail_the_part_and_unpack_falls_back_to_backup(self):
        cases = {
            'name starts with NUL': cs.header(cs.BLOCK, b'\0abc', length=0),
            'name without NUL': cs.HDR.pack(cs.BLOCK, 0, b'\0' * 64, b'A' * 16, 0, 0),
            'unknown magic': cs.header(0xDEADBEEF, b'x'),
            'length past part': cs.header(cs.BLOCK, b'x', length=70000),
        }
        for what, hdr in cases.items():
            p1 = cs.part(5, [('config', b'{"lost":1}')], raw_blocks=hdr)
            r = run('sysconf -r > $OUT/a; sysconf -e; cp /tmp/config.json $OUT/c; sysconf --list; echo $? > $OUT/rc',
                    store=cs.store(cs.part(1, P0), p1))
            self.assertEqual(r.file('a'), b'{"lost":1}', what + ': blocks before the damage still serve -r')
            self.assertEqual(r.file('rc'), b'255\n', what)
            self.assertEqual(r.file('c'), b'{"lost":1}', what)

        # Damage before the config block: -e takes the backup's.
        p1 = cs.part(5, [], raw_blocks=cases['name without NUL'])
        r = run('sysconf -r > $OUT/a; sysconf -e; cp /tmp/config.json $OUT/c', store=cs.store(cs.part(1, P0), p1))
        self.assertEqual(r.file('a'), b'')
        self.assertEqual(r.file('c'), b'{"part":0}\n')

    def test_block_named_end_ends_the_part(self):
        hidden = cs.block(b'end', b'zzz') + cs.block(b'product', b'{"hidden":1}')
        rc, lines = self.list_of(cs.store(cs.part(1, P0), cs.part(2, [('config', b'{}')], raw_blocks=hidden)))
        self.assertEqual([ln.split()[0] for ln in lines[1:-1]], ['config'])


class Writing(unittest.TestCase):
    def test_largest_sequence_renumbers_in_order(self):
        # The next sequence would wrap: the write still lands and becomes active, the previous set
        # stays the backup, and writes after it go on counting from there.
        top = 0xFFFFFFFF
        for s0, s1 in [(5, top), (top, 5), (top, top)]:
            target = 1 if s0 >= s1 else 0
            r = run('for n in 1 2; do echo "{\\"n\\":$n}" > /tmp/config.json; sysconf -w; echo $? >> $OUT/rc; '
                    'sysconf -r >> $OUT/a; sysconf -t backup -r >> $OUT/b; cp /var/cfg/config.bin $OUT/s$n; done',
                    store=two_parts(s0, s1))
            self.assertEqual(r.file('rc'), b'0\n0\n', (s0, s1))
            self.assertEqual(r.file('a'), b'{"n":1}\n{"n":2}\n', (s0, s1))
            self.assertEqual(r.file('b'), b'{"part":%d}\n{"n":1}\n' % (1 - target), (s0, s1))
            first, second = r.file('s1'), r.file('s2')
            self.assertEqual((cs.read_part(first, target).seq, cs.read_part(first, 1 - target).seq), (1, 0))
            self.assertEqual(cs.read_part(first, 1 - target).blocks, dict(P0 if target else P1), 'kept whole')
            self.assertEqual((cs.read_part(second, 1 - target).seq, cs.read_part(second, target).seq), (2, 1))

    def test_names_that_would_break_a_part_are_refused(self):
        before = two_parts(1, 2)
        for name in ['', 'end', 'sixteen-chars-xx']:
            r = run("echo data > /tmp/f; sysconf --write '%s' /tmp/f; echo $? > $OUT/rc" % name, store=before)
            self.assertEqual(r.file('rc'), b'255\n', repr(name))
            self.assertEqual(r.store, before, repr(name))
        r = run("echo data > /tmp/f; sysconf --write fifteen-chars-x /tmp/f; sysconf --read fifteen-chars-x -",
                store=before, text=True)
        self.assertEqual(r.stdout, 'data\n')

    def test_part_overflow_fails_without_touching_the_store(self):
        before = two_parts(1, 2)
        for size, msg in [(131072, b''), (131073, b"subpart 'brand' (131073) exceeds max(131072) limit.\n")]:
            r = run('head -c %d /dev/urandom > /tmp/b; sysconf --write brand /tmp/b 2>$OUT/e; echo $? > $OUT/rc' % size,
                    store=before)
            self.assertEqual(r.file('rc'), b'255\n', size)
            self.assertEqual(r.file('e'), msg)
            self.assertEqual(r.store, before, size)

    def test_write_after_failed_active_read_keeps_backup_blocks(self):
        broken = cs.part(9, [('config', b'{"c":9}')], raw_blocks=cs.header(cs.BLOCK, b'\0'))
        backup = cs.part(8, [('config', b'{"c":8}'), ('product', b'{"p":8}'), ('brand', b'tar')])
        r = run('echo \'{"new":1}\' > /tmp/config.json; sysconf -w', store=cs.store(backup, broken))
        active = cs.read_part(r.store, cs.active_index(r.store))
        self.assertEqual(active.seq, 10)
        self.assertEqual(active.blocks, {'config': b'{"new":1}\n', 'product': b'{"p":8}', 'brand': b'tar'})

    def test_backup_write_after_failed_backup_read_stays_backup(self):
        # The backup set is rebuilt from the active blocks; it must not take over the active seat.
        active = cs.part(9, [('config', b'{"c":9}'), ('product', b'{"p":9}')])
        broken = cs.part(8, [('config', b'{"c":8}')], raw_blocks=cs.header(cs.BLOCK, b'\0'))
        before = cs.store(active, broken)
        r = run('echo \'{"new":1}\' > /tmp/config.json; sysconf -t backup -w', store=before)
        self.assertEqual(cs.active_index(r.store), 0)
        self.assertEqual(r.store[:cs.PART], before[:cs.PART])
        backup = cs.read_part(r.store, 1)
        self.assertEqual(backup.seq, 8)
        self.assertEqual(backup.blocks, {'config': b'{"new":1}\n', 'product': b'{"p":9}'})

    def test_empty_brand_block_is_not_written(self):
        p1 = cs.part(2, [('config', b'{}')], raw_blocks=cs.header(cs.BLOCK, b'brand', length=0, crc=0))
        r = run('echo \'{"x":1}\' > /tmp/config.json; sysconf -w', store=cs.store(cs.part(1, P0), p1))
        self.assertEqual([n for n, _ in cs.read_part(r.store, 0).stored], ['config'])


class Conversion(unittest.TestCase):
    def test_empty_file_is_formatted_from_fallback_files(self):
        r = run('sysconf -r; stat -c %a /var/cfg/config.bin > $OUT/mode', store=b'', files={'/usr/lib/default.json': DEFAULT, '/etc/product': '{"prod":1}'})
        self.assertEqual(len(r.store), cs.FILE_SIZE)
        self.assertEqual(r.file('mode'), b'600\n')
        p0, p1 = cs.read_part(r.store, 0), cs.read_part(r.store, 1)
        self.assertEqual((p0.seq, p1.seq), (1, 0))
        for p in (p0, p1):
            self.assertEqual(p.blocks, {'config': DEFAULT, 'product': b'{"prod":1}'})

    def test_one_formatted_part_is_carried_whole(self):
        full = [('config', b'{"c":1}'), ('product', b'{"p":1}'), ('oem', b'{"o":1}'), ('brand', b'tarball'),
                ('persist', b'keep')]
        for k in (0, 1):
            img = bytearray(cs.FILE_SIZE)
            img[k * cs.PART:(k + 1) * cs.PART] = cs.part(3, full)
            r = run('sysconf -t backup -r >/dev/null', store=bytes(img),
                    files={'/usr/lib/default.json': DEFAULT})
            for i in (0, 1):
                self.assertEqual(cs.read_part(r.store, i).blocks, dict(full), (k, i))
            self.assertEqual(cs.active_index(r.store), 0)


if __name__ == '__main__':
    unittest.main(verbosity=2)
