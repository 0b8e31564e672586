#!/usr/bin/env python3
"""Power loss during a configuration write.

A preloaded shim kills sysconf after N bytes of its writes to the store, for N at every 512-byte
step of the part image, every 8 bytes of the top header and at the end; each cut is tried clean and
with the rest of the sector garbled.  After every cut the previous configuration must still be the
active one (or, once the write completed, the new one with the previous as backup), `sysconf -e`
must still produce /tmp/config.json, and nothing may crash.

A clean cut never leaves a torn header: the new top header differs from the one on flash only in
its sequence word, and the blocks under it are synced first.  A garbled sector under the top
header can break that header; the previous set is then still whole in the other part, which
`sysconf -e` and `-t backup` fall back to.  Those cases are counted as fall-backs, not losses.
"""
import os
import random
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cfgstore as cs  # noqa: E402
from cfgdev import run  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def config(seed, size):
    rnd = random.Random(seed)
    items = ['"k%05d": "%s"' % (i, ''.join(rnd.choice('abcdefgh0123') for _ in range(24))) for i in range(size // 36)]
    return ('{' + ', '.join(items) + '}\n').encode()


class PowerCut(unittest.TestCase):
    def test_cut_at_every_step_loses_nothing(self):
        old, new = config(1, 50000), config(2, 50000)
        store = cs.store(cs.part(6, [('config', b'{"older":1}'), ('oem', b'{"o":1}')]),
                         cs.part(7, [('config', old), ('product', b'{"p":1}'), ('oem', b'{"o":1}')]))
        body = cs.part(8, [('config', new), ('product', b'{"p":1}'), ('oem', b'{"o":1}')])
        image_len = cs.read_part(body, 0).end_offset
        cuts = sorted(set(list(range(0, image_len - 96, 512)) + [image_len - 96 + h for h in range(0, 97, 8)]))

        with tempfile.TemporaryDirectory(dir=os.environ.get('MT_BUILD_DIR')) as tmp:
            shim = os.path.join(tmp, 'cutshim.so')
            subprocess.run(['cc', '-shared', '-fPIC', '-O1', '-o', shim, os.path.join(HERE, 'cutshim.c'), '-ldl'],
                           check=True)
            with open(os.path.join(tmp, 'old'), 'wb') as f:
                f.write(old)
            with open(os.path.join(tmp, 'new'), 'wb') as f:
                f.write(new)
            script = '''
cp /var/cfg/config.bin /tmp/pristine
printf '%%s' "$NEWCONF" > /dev/null
for garble in "" 1; do
for n in %s; do
    cp /tmp/pristine /var/cfg/config.bin
    cp %s/new /tmp/config.json
    CUT_AT=$n CUT_GARBLE=$garble LD_PRELOAD=%s ASAN_OPTIONS=verify_asan_link_order=0 sysconf -w 2>/dev/null
    w=$?
    rm -f /tmp/config.json
    sysconf -r > /tmp/r; r=$?
    sysconf -t backup -r > /tmp/b; b=$?
    sysconf -e 2>/dev/null; e=$?
    ra=old; cmp -s /tmp/r %s/old || { cmp -s /tmp/r %s/new && ra=new || ra=bad; }
    rb=old; cmp -s /tmp/b %s/old || { cmp -s /tmp/b %s/new && rb=new || rb=other; }
    re=old; cmp -s /tmp/config.json %s/old || { cmp -s /tmp/config.json %s/new && re=new || re=bad; }
    echo "${garble:-0} $n $w $r $b $e $ra $rb $re" >> $OUT/results
done
done
''' % (' '.join(map(str, cuts)), tmp, shim, tmp, tmp, tmp, tmp, tmp, tmp)
            # The shim and fixtures live in the build tree, which the device sees at the same path.
            r = run(script, store=store, timeout=1500)
            lines = r.file('results').decode().split('\n')
        results = [ln.split() for ln in lines if ln]
        self.assertEqual(len(results), 2 * len(cuts))
        losses, fallbacks = [], []
        for garble, n, w, rr, rb, re, ra, bb, ee in results:
            # Killed once the sequence word is down, the write counts as done: the new set is whole.
            before = ra == 'old' and ee == 'old'
            after = ra == 'new' and bb == 'old' and ee == 'new'
            ok = int(rr) < 128 and int(rb) < 128 and int(re) < 128 and (after if w == '0' else before or after)
            fell_back = w != '0' and garble == '1' and ra == 'bad' and bb == 'old' and ee == 'old'
            if fell_back:
                fallbacks.append(n)
            elif not ok:
                losses.append((garble, n, w, ra, bb, ee))
        print('power cut: %d cuts over a %d-byte part image, %d losses, %d fall-backs to backup (garbled top header)'
              % (len(results), image_len, len(losses), len(fallbacks)))
        self.assertTrue(all(int(n) >= image_len - 96 for n in fallbacks), fallbacks)
        self.maxDiff = None
        self.assertEqual(losses, [])


if __name__ == '__main__':
    unittest.main(verbosity=2)
