#!/usr/bin/env python3
"""Instruction counts of the heartbeat commands against their bare floor; see cfgstore.sh."""
import os
import random
import re
import subprocess
import sys
import tempfile
import zlib

build = sys.argv[1]
src = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(src, 'multool/lib/cfgstore/tests'))
sys.path.insert(0, os.path.join(src, 'tests/harness'))
import cfgstore as cs  # noqa: E402
import vdevlib  # noqa: E402

FLOOR_C = r'''
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <zlib.h>
/* Bare inflate of one stored block (argv[1], content size argv[2]): the decompression floor. */
int main(int argc, char **argv)
{
	static unsigned char in[1 << 17], out[1 << 20];
	FILE *f = fopen(argv[1], "rb");
	size_t n = fread(in, 1, sizeof(in), f);
	uLongf len = strtoul(argv[2], NULL, 0);
	fclose(f);
	if (n && uncompress(out, &len, in, n) != Z_OK)
		return 1;
	return 0;
}
'''


def realistic_config(size):
    rnd = random.Random(7)
    parts, n = [], 0
    while sum(map(len, parts)) < size:
        n += 1
        parts.append('"iface%d":{"enabled":%s,"mtu":%d,"address":"10.%d.%d.%d/24","ssid":"net-%s",'
                     '"channel":%d,"txpower":%d,"vlan":%d}' % (
                         n, rnd.choice(['true', 'false']), rnd.choice([1500, 1492, 9000]), rnd.randrange(256),
                         rnd.randrange(256), rnd.randrange(256), ''.join(rnd.choice('abcdefxyz') for _ in range(8)),
                         rnd.choice([36, 40, 44, 149]), rnd.randrange(10, 28), rnd.randrange(4096)))
    return ('{' + ','.join(parts) + '}\n').encode()[:size - 2] + b'}\n'


def zlib_bomb():
    """About 64 KiB of zlib stream that inflates to about 64 MB (a 1000:1 run of zeros)."""
    z = zlib.compressobj(9)
    out, chunk = b'', bytes(1 << 20)
    while len(out) < 60000:
        out += z.compress(chunk)
    return out + z.flush()


def collected(stderr):
    m = re.search(r'Collected : (\d+)', stderr)
    if not m:
        raise SystemExit('no callgrind count in: ' + stderr[-2000:])
    return int(m.group(1))


def main():
    config = realistic_config(50000)
    product = b'{"model":"KTRV-4100","radios":2,"features":["poe","gps"]}\n' * 20
    oem = b'{"oem":{"vendor":"x","defaults":{"ssid":"setup","country":"US"}}}\n' * 40
    blocks = [('config', config), ('product', product), ('oem', oem)]
    store = cs.store(cs.part(1, blocks), cs.part(2, blocks))
    stored = dict(cs.read_part(store, 1).stored)['config']

    with tempfile.TemporaryDirectory(dir=build) as tmp:
        subprocess.run(['cc', '-O2', '-o', tmp + '/floor', '-x', 'c', '-', '-lz', '-lcrypto'], input=FLOOR_C.encode(),
                       check=True)
        for name, data in [('config.json', config), ('stored', stored), ('empty', b'')]:
            with open(os.path.join(tmp, name), 'wb') as f:
                f.write(data)
        cg = 'valgrind --tool=callgrind --callgrind-out-file=/dev/null'
        runs = {
            'sysconf -C': '%s sysconf -C > /dev/null' % cg,
            'sysconf -r': '%s sysconf -r > /dev/null' % cg,
            'start-up': '%s multool > /dev/null' % cg,
            'md5sum': '%s md5sum %s/config.json > /dev/null' % (cg, tmp),
            'md5sum empty': '%s md5sum %s/empty > /dev/null' % (cg, tmp),
            'inflate': '%s %s/floor %s/stored %d' % (cg, tmp, tmp, len(config)),
            'inflate empty': '%s %s/floor %s/empty 0' % (cg, tmp, tmp),
        }
        counts = {}
        for label, cmd in runs.items():
            r = vdevlib.run(['/bin/sh', '-c', cmd], build=build,
                            roots=[{'/var/cfg/config.bin': store, '/usr/etc/oem.cfg': oem,
                                    '/usr/lib/default.json': '{}'}], skip_unavailable=False)
            counts[label] = collected(r.stderr)
    # Two more shapes: a 100 KB configuration written (compress + part build + sync), and a part
    # holding one stored block of the worst ratio (64 KiB of zlib that inflates past the cap).
    big = realistic_config(100000)
    bomb = cs.block(b'brand', b'', stored=zlib_bomb())
    bomb_store = cs.store(cs.part(1, blocks), cs.part(2, [], raw_blocks=bomb))
    for label, st, cmd in [('write 100 KB', store, 'sysconf -w'), ('worst-ratio list', bomb_store, 'sysconf --list')]:
        r = vdevlib.run(['/bin/sh', '-c', 'valgrind --tool=callgrind --callgrind-out-file=/dev/null %s > /dev/null' % cmd],
                        build=build, roots=[{'/var/cfg/config.bin': st, '/tmp/config.json': big}], skip_unavailable=False)
        counts[label] = collected(r.stderr)
        runs[label] = cmd
    floor = (counts['md5sum'] - counts['md5sum empty']) + (counts['inflate'] - counts['inflate empty'])
    print('store: 50000-byte config (%d stored), %d-byte product, %d-byte oem; oem.cfg unchanged' % (
        len(stored), len(product), len(oem)))
    for label in runs:
        print('  %-14s %12d instructions' % (label, counts[label]))
    print('  floor (md5 + inflate, without their start-up): %d' % floor)
    for label in ('sysconf -C', 'sysconf -r'):
        work = counts[label] - counts['start-up']
        print('  %s beyond multool start-up: %d = %.2fx the floor' % (label, work, work / floor))


main()
