"""Verification cost of fwupdate -c against sha1sum/md5sum of the same 16 MiB file (wall clock,
median of several runs, all inside one virtual device so both sides see the same page cache)."""

import json
import os
import sys

build = sys.argv[1]
src = os.path.abspath(os.path.join(os.path.dirname(__file__), '..'))
os.environ.setdefault('MT_SOURCE_DIR', src)
os.environ['MT_BUILD_DIR'] = build
sys.path.insert(0, os.path.join(src, 'multool/lib/firmware/tests'))
import fwdev  # noqa: E402
import fwfix  # noqa: E402

MIB = 1 << 20
INSIDE = r'''
import json, shutil, statistics, subprocess, sys, time
def t(cmd):
    runs = []
    for _ in range(7):
        s = time.perf_counter()
        subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        runs.append(time.perf_counter() - s)
    return statistics.median(runs)
res = {}
shutil.copy('/usr/lib/fwbench/tiny.bin', '/tmp/fwupdate.bin')
floor = t(['/usr/sbin/fwupdate', '-c'])
pyfloor = t(['python3', '-c', 'import zlib'])
for name in ('legacy', 'fit'):
    shutil.copy('/usr/lib/fwbench/%s.bin' % name, '/tmp/fwupdate.bin')
    rc = subprocess.run(['/usr/sbin/fwupdate', '-c'], stdout=subprocess.DEVNULL).returncode
    crc = t(['python3', '-c', 'import zlib; zlib.crc32(open("/tmp/fwupdate.bin", "rb").read())'])
    res[name] = {'rc': rc, 'fwupdate': t(['/usr/sbin/fwupdate', '-c']),
                 'sha1sum': t(['sha1sum', '/tmp/fwupdate.bin']), 'md5sum': t(['md5sum', '/tmp/fwupdate.bin']),
                 'crc32': crc - pyfloor, 'floor': floor}
json.dump(res, open('/mnt/vdev/out/bench.json', 'w'))
'''

version = 'APCPE.QA-2.v7.52.1'
files = fwdev.board()
files['/usr/lib/fwbench/legacy.bin'] = fwfix.legacy(version, os.urandom(16 * MIB - 64))
files['/usr/lib/fwbench/fit.bin'] = fwfix.fit(version, os.urandom(2 * MIB), os.urandom(14 * MIB - 4096))
files['/usr/lib/fwbench/tiny.bin'] = fwfix.legacy(version, b'x' * 64)
files['/usr/lib/fwbench/run.py'] = INSIDE
r = fwdev.run(['python3', '/usr/lib/fwbench/run.py'], files, timeout=600)
if r.returncode:
    sys.exit('fwupdate bench failed: %s' % r.stderr)
with open(os.path.join(r.out, 'bench.json')) as f:
    res = json.load(f)
# The legacy check is one CRC-32 pass: its baseline is md5sum (one hashing pass over the file) and the
# bare zlib CRC-32 of the file read into memory (python start-up subtracted).  The FIT check hashes
# the file with SHA-1 and the kernel part with CRC-32 too: its baseline is sha1sum + md5sum.
for name, x in res.items():
    base = x['md5sum'] if name == 'legacy' else x['sha1sum'] + x['md5sum']
    label = 'md5sum' if name == 'legacy' else 'sha1sum+md5sum'
    print('fwupdate -c %-6s 16 MiB: %.1f ms (exit %d; start-up floor %.1f ms), %s %.1f ms, ratio %.2f, %.0f MB/s' % (
        name, x['fwupdate'] * 1e3, x['rc'], x['floor'] * 1e3, label, base * 1e3, x['fwupdate'] / base,
        16.0 / x['fwupdate']))
    if name == 'legacy':
        print('  bare zlib crc32 of the file: %.1f ms, ratio %.2f' % (x['crc32'] * 1e3, x['fwupdate'] / x['crc32']))
