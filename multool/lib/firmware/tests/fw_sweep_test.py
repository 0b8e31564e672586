#!/usr/bin/env python3
"""Every truncation and single-byte corruptions of each image format, run through a full fwupdate:
nothing may crash, a refused image may leave no temporary file and start no writer."""

import json
import os
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

# Every header offset and the last bytes, and a sample of the rest, which the fuzz target covers at
# far higher rates anyway: every fourth offset, every sixteenth under the sanitizers (each run costs
# ten times as much there).  bench/fw-sweep.sh sets FW_SWEEP_ALL=1 for every offset.
SANITIZED = os.environ.get('MT_SANITIZED') == '1'
STRIDE = 1 if os.environ.get('FW_SWEEP_ALL') == '1' else 16 if SANITIZED else 4


def offsets(length):
    return [n for n in range(length) if n < 96 or n % STRIDE == 0 or n >= length - 16]


SWEEP = r'''
import glob, json, os, subprocess, sys
image = open(sys.argv[1], 'rb').read()
plan = json.load(open(sys.argv[2]))
out = open(sys.argv[3], 'w')
variants = [('trunc', n) for n in plan['truncs']] + [('flip', i) for i in plan['flips']]
for kind, n in variants:
    data = image[:n] if kind == 'trunc' else image[:n] + bytes([image[n] ^ 0xFF]) + image[n + 1:]
    with open('/tmp/fwupdate.bin', 'wb') as f:
        f.write(data)
    p = subprocess.run(['/usr/sbin/fwupdate'], stdin=subprocess.DEVNULL, capture_output=True, text=True, errors='replace')
    left = [p for p in ('/tmp/pf.json', '/tmp/control', '/tmp/product.zip') if os.path.exists(p)]
    left += glob.glob('/tmp/data-*')
    for p2 in ('/tmp/.fwupdate.bin', '/tmp/pf.json', '/tmp/control'):
        if os.path.exists(p2):
            os.unlink(p2)
    out.write(json.dumps({'kind': kind, 'n': n, 'rc': p.returncode, 'err': p.stderr, 'left': left}) + '\n')
'''


class Sweep(unittest.TestCase):
    """Every truncation and single-byte corruptions of each format, run as a full install: a refused
    image must exit 1 through the refusal, leave no temporary file and start no writer."""

    def sweep(self, image, flips, extra=None):
        files = fwdev.board()
        files.update(extra or {})
        files['/usr/lib/fwtest/image.bin'] = image
        files['/usr/lib/fwtest/plan.json'] = json.dumps({'truncs': offsets(len(image)),
                                                        'flips': sorted(set(flips) & set(offsets(len(image))))})
        files['/usr/lib/fwtest/sweep.py'] = SWEEP
        r = fwdev.run(['python3', '/usr/lib/fwtest/sweep.py', '/usr/lib/fwtest/image.bin',
                       '/usr/lib/fwtest/plan.json', '/mnt/vdev/out/results.json'],
                      files, stubs=fwdev.FW_STUBS + ['/usr/sbin/sysconf'], timeout=2400)
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(os.path.join(r.out, 'results.json')) as f:
            results = [json.loads(line) for line in f]
        crashes = [x for x in results if x['rc'] not in (0, 1) or 'Sanitizer' in x['err'] or 'runtime error' in x['err']]
        self.assertEqual(crashes, [])
        self.assertEqual([x for x in results if x['left']], [])
        accepted = [x for x in results if x['rc'] == 0]
        sys.stderr.write('sweep: %d variants, %d refused, %d accepted, %d crashes\n' % (
            len(results), len(results) - len(accepted), len(accepted), len(crashes)))
        return results, accepted, r

    def test_legacy(self):
        image = fwfix.legacy(V_NEW, KERNEL[:700])
        results, accepted, r = self.sweep(image, list(range(len(image))))
        self.assertEqual(accepted, [])
        self.assertEqual(r.stubs, [])
        for x in results:
            self.assertIn(x['err'].splitlines()[-1], ('fwupdate: Unsupported image format', 'fwupdate: Invalid image',
                                                      'fwupdate: mmap() on file failed: Invalid argument (22)'))

    def test_fit(self):
        image = fwfix.fit(V_NEW, KERNEL[:600], ROOTFS[:900])
        k, rf = image.find(KERNEL[:600]), image.find(ROOTFS[:900])
        protected = list(range(0, 40)) + list(range(k, k + 600, 3)) + list(range(rf, rf + 900, 5))
        results, accepted, r = self.sweep(image, protected)
        self.assertEqual([x for x in accepted if x['kind'] == 'trunc'], [])
        data_hits = [x for x in accepted if x['n'] >= 40]
        self.assertEqual(data_hits, [])
        # Header words the tree check does not rely on (version, boot cpu) may change harmlessly.
        sys.stderr.write('fit header flips accepted: %s\n' % sorted(x['n'] for x in accepted))

    def test_sealed(self):
        image = fwfix.sealed(V_NEW, PF, CONTROL)
        results, accepted, r = self.sweep(image, list(range(len(image))))
        self.assertEqual([x for x in accepted if x['kind'] == 'trunc'], [])
        # Magic and length word are always refused.
        self.assertEqual([x for x in accepted if x['n'] < 8], [])
        sys.stderr.write('sealed flips accepted at offsets: %s\n' % sorted(x['n'] for x in accepted))
        self.assertEqual(len(r.calls('/usr/sbin/sysconf')), len(accepted))


if __name__ == '__main__':
    unittest.main(verbosity=2)
