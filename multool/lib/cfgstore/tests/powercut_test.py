#!/usr/bin/env python3
"""Power loss while sysconf writes the store.

A preloaded shim (cutshim.c) counts the bytes sysconf writes to the store through any write call and
kills it after N of them.  Every writer is cut: `sysconf -w` (at every 512-byte step of the part image,
every 8 bytes of the top header and at the end, each cut clean and with the rest of the sector
garbled), the write that renumbers the parts when the sequence would wrap, `-z` (two parts in a row),
the format step and the start-up OEM sync.  An uncut run first tells how many bytes the writer writes;
every cut below that count must have killed the writer (a writer that moved to a call the shim does
not see would otherwise pass every cut untouched).

After every cut the previous configuration must still be the active one (or, once the write completed,
the new one with the previous as backup), `sysconf -e` must still produce /tmp/config.json, and nothing
may crash.  A clean cut never leaves a torn header: the new top header differs from the one on flash
only in its sequence word, and the blocks under it are synced first.  A garbled sector under the top
header can break that header; the previous set is then still whole in the other part, which
`sysconf -e` and `-t backup` fall back to.  Those cases are counted as fall-backs, not losses.
"""
import os
import random
import shlex
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cfgstore as cs  # noqa: E402
from cfgdev import run  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
KILLED = 128 + 9


def config(seed, size):
    rnd = random.Random(seed)
    items = ['"k%05d": "%s"' % (i, ''.join(rnd.choice('abcdefgh0123') for _ in range(24))) for i in range(size // 36)]
    return ('{' + ', '.join(items) + '}\n').encode()


OLD, NEW = config(1, 50000), config(2, 50000)
OEM, OEM_NEW = b'{"o":1}', b'{"o":2}'
PRODUCT, PRODUCT_NEW = b'{"p":1}', b'{"p":2}'
# Part 0 holds the older set, part 1 the active one.
STORE = cs.store(cs.part(6, [('config', b'{"older":1}'), ('oem', OEM)]),
                 cs.part(7, [('config', OLD), ('product', PRODUCT), ('oem', OEM)]))


def with_seq(store, k, seq):
    b = bytearray(store)
    b[k * cs.PART + 4:k * cs.PART + 8] = seq.to_bytes(4, 'big')
    return bytes(b)


def unformatted(store, k):
    b = bytearray(store)
    b[k * cs.PART:(k + 1) * cs.PART] = bytes(cs.PART)
    return bytes(b)


# name: (store fixture, OEM file to install or None, the writer, lines that record the outcome)
OUTCOME = ('sysconf -r > /tmp/r; r=$?; sysconf -t backup -r > /tmp/b; b=$?; sysconf -e 2>/dev/null; e=$?; '
           'ra=$(what /tmp/r); rb=$(what /tmp/b); re=$(what /tmp/config.json)')
CASES = {
    'w': (STORE, None, 'cp /fx/new /tmp/config.json; sysconf -w', OUTCOME),
    'wrap': (with_seq(STORE, 1, 0xFFFFFFFF), None, 'cp /fx/new /tmp/config.json; sysconf -w', OUTCOME),
    'z': (STORE, None, 'sysconf -z /fx/product-new',
          OUTCOME + '; pa=$(sysconf -Z - | what -); pb=$(sysconf -t backup --read product - | what -)'),
    'format': (unformatted(STORE, 0), None, 'sysconf -C', OUTCOME),
    'oem': (STORE, OEM_NEW, 'sysconf -C', OUTCOME + '; oa=$(sysconf --read oem - | what -); '
            'ob=$(sysconf -t backup --read oem - | what -)'),
}
FIELDS = {'w': 'r b e ra rb re', 'wrap': 'r b e ra rb re', 'format': 'r b e ra rb re',
          'z': 'r b e ra rb re pa pb', 'oem': 'r b e ra rb re oa ob'}


def cut_points(total, dense):
    """Every 512 bytes and every 8 of the last header when dense; else 24 points spread over the whole
    write and the last 96 bytes (a top header, or the sequence word that ends a renumbering)."""
    if dense:
        points = list(range(0, total - 96, 512)) + [total - 96 + h for h in range(0, 97, 8)]
    else:
        points = [total * i // 16 for i in range(16)] + [total - 96 + h for h in range(0, 97, 12)]
    return sorted(set(p for p in points if 0 <= p <= total))


class PowerCut(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(dir=os.environ.get('MT_BUILD_DIR'))
        cls.shim = os.path.join(cls.tmp.name, 'cutshim.so')
        subprocess.run(['cc', '-shared', '-fPIC', '-O1', '-o', cls.shim, os.path.join(HERE, 'cutshim.c'), '-ldl'],
                       check=True)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def files(self):
        files = {'/fx/old': OLD, '/fx/new': NEW, '/fx/older': b'{"older":1}', '/fx/product-old': PRODUCT,
                 '/fx/product-new': PRODUCT_NEW, '/fx/oem-old': OEM, '/fx/oem-new': OEM_NEW,
                 '/usr/lib/default.json': b'{"factory":1}', '/usr/etc/oem.cfg': OEM_NEW}
        for name, (store, _, _, _) in CASES.items():
            files['/fx/%s.bin' % name] = store
        return files

    HELPERS = ('what() { if [ "$1" = - ]; then f=/tmp/w; cat > $f; else f=$1; fi; '
               'for k in old new older product-old product-new oem-old oem-new; do '
               'cmp -s $f /fx/$k && { echo $k; return; }; done; cmp -s $f /dev/null && echo none || echo bad; }\n'
               'prep() { cp /fx/$1.bin /var/cfg/config.bin; rm -f /tmp/config.json; '
               'if [ -n "$2" ]; then cp /fx/oem-new /usr/etc/oem.cfg; else rm -f /usr/etc/oem.cfg; fi; }\n'
               'shim() { CUT_PATH=/var/cfg/config.bin LD_PRELOAD=%s ASAN_OPTIONS=verify_asan_link_order=0 "$@"; }\n')

    def counting(self, name):
        """An uncut run: how many bytes this writer writes."""
        _, oem, writer, _ = CASES[name]
        # Every process of the writer adds its count: sysconf's is the one that writes the store.
        return ('prep %s "%s"; : > /tmp/count; export CUT_COUNT=/tmp/count; shim sh -c %s >/dev/null 2>&1; unset CUT_COUNT; '
                'cat /tmp/count > $OUT/total-%s 2>/dev/null' % (name, oem or '', shlex.quote(writer), name))

    def cutting(self, name):
        _, oem, writer, outcome = CASES[name]
        garbles = '"" 1' if name == 'w' else '""'
        return ('for garble in %s; do for n in $(cat /tmp/points-%s); do prep %s "%s"; '
                'export CUT_AT=$n CUT_GARBLE=$garble; shim sh -c %s >/dev/null 2>&1; w=$?; unset CUT_AT CUT_GARBLE; '
                '%s; echo "${garble:-0} $n $w %s" >> $OUT/res-%s; done; done'
                % (garbles, name, name, oem or '', shlex.quote(writer), outcome,
                   ' '.join('$' + f for f in FIELDS[name].split()), name))

    def rounds(self, names):
        """Two device runs: one learns each writer's byte count, the second cuts at points chosen from it."""
        files = self.files()
        helpers = self.HELPERS % self.shim
        r = run(helpers + '\n'.join(self.counting(n) for n in names), files=files, timeout=120)
        totals = {}
        for name in names:
            totals[name] = sum(int(x) for x in r.file('total-%s' % name).split())
            files['/tmp/points-%s' % name] = ' '.join(map(str, cut_points(totals[name], name == 'w')))
        r = run(helpers + '\n'.join(self.cutting(n) for n in names), files=files, timeout=1500)
        results = {}
        for name in names:
            keys = ['garble', 'n', 'w'] + FIELDS[name].split()
            lines = r.file('res-%s' % name).decode().split('\n')
            results[name] = [dict(zip(keys, ln.split())) for ln in lines if ln]
            self.assertEqual(len(results[name]), len(files['/tmp/points-%s' % name].split()) *
                             (2 if name == 'w' else 1), name)
            for res in results[name]:
                # Below the byte count the cut must have struck the writer; at it, the run is whole.
                self.assertEqual(int(res['w']), KILLED if int(res['n']) < totals[name] else 0, (name, res))
                for k in ('r', 'b', 'e'):
                    self.assertLess(int(res[k]), 128, (name, res))
        return totals, results

    def test_cuts_of_every_writer_lose_nothing(self):
        totals, results = self.rounds(['w', 'wrap', 'z', 'format', 'oem'])
        # What each writer must write: one part image (and the renumbered sequence word), or two.
        image = cs.read_part(cs.part(8, [('config', NEW), ('product', PRODUCT), ('oem', OEM)]), 0).end_offset
        self.assertEqual((totals['w'], totals['wrap']), (image, image + 4))
        for name in ('z', 'format', 'oem'):
            self.assertGreater(totals[name], 2 * image - 200, name)
        report = []
        for name in ('w', 'wrap'):
            losses, fallbacks = [], []
            for res in results[name]:
                before = res['ra'] == 'old' and res['re'] == 'old'
                after = res['ra'] == 'new' and res['rb'] == 'old' and res['re'] == 'new'
                if res['w'] == '0' and not after or res['w'] != '0' and not (before or after):
                    if res['garble'] == '1' and res['ra'] in ('bad', 'none') and res['rb'] == 'old' and res['re'] == 'old':
                        fallbacks.append(int(res['n']))
                    else:
                        losses.append(res)
            self.assertEqual(losses, [], name)
            # Only a garbled top header (the last 96 bytes written) may send a read to the backup.
            self.assertTrue(all(n >= totals[name] - 96 for n in fallbacks), (name, fallbacks))
            report.append('%s: %d cuts over %d bytes, %d fall-backs' % (name, len(results[name]), totals[name],
                                                                      len(fallbacks)))
        for res in results['z']:
            # The configuration is never touched; the product is the old or the new one, whole.
            self.assertEqual((res['ra'], res['re']), ('old', 'old'), res)
            self.assertIn(res['pa'], ('product-old', 'product-new'), res)
            if res['w'] == '0':
                self.assertEqual((res['pa'], res['pb']), ('product-new', 'product-new'), res)
        for res in results['format']:
            # The one formatted part's set survives in both parts once any later run finished the format.
            self.assertEqual((res['ra'], res['rb'], res['re']), ('old', 'old', 'old'), res)
        for res in results['oem']:
            # The next run finishes the sync; the configuration is the active one throughout.
            self.assertEqual((res['ra'], res['re']), ('old', 'old'), res)
            self.assertEqual(res['oa'], 'oem-new', res)
        report += ['%s: %d cuts over %d bytes' % (n, len(results[n]), totals[n]) for n in ('z', 'format', 'oem')]
        print('power cut: ' + '; '.join(report))


if __name__ == '__main__':
    unittest.main(verbosity=2)
