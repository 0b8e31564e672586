#!/usr/bin/env python3
"""The statistics documents of two builds, byte for byte: the stats end-to-end fixtures and the bench
fixture (16 and 128 stations per VAP, three runs each) run in the virtual device by both builds, with
time() and sysinfo() fixed by a small preload and the interfaces' addresses fixed by the set-up.
For changes that must not change what is published (e.g. work on the collector's speed).

usage: python3 bench/stats_same.py BUILD_A BUILD_B"""
import filecmp
import json
import os
import subprocess
import sys
import tempfile

SRC = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(SRC, 'tests', 'harness'))
import vdevlib  # noqa: E402

FIXED = r'''
#include <string.h>
#include <sys/sysinfo.h>
#include <time.h>
time_t time(time_t *t) { if (t) *t = 1700000000; return 1700000000; }
int sysinfo(struct sysinfo *si)
{
	memset(si, 0, sizeof(*si));
	si->uptime = 4242; si->totalram = 1 << 28; si->freeram = 1 << 26; si->mem_unit = 1;
	return 0;
}
'''
# no link-local addresses, and every interface's address from its place in the list
FIX_SETUP = 'sysctl -qw net.ipv6.conf.default.addr_gen_mode=1 net.ipv6.conf.all.addr_gen_mode=1\n'
FIX_ADDRS = '''
n=0; for i in $(ls /sys/class/net); do n=$((n+1)); [ $i = lo ] || ip link set dev $i address 02:00:00:00:00:$(printf %02x $n); done
'''


def preload():
    d = tempfile.mkdtemp(prefix='stats-same.')
    c, so = os.path.join(d, 'fixed.c'), os.path.join(d, 'fixed.so')
    with open(c, 'w') as f:
        f.write(FIXED)
    subprocess.run(['cc', '-shared', '-fPIC', '-O2', '-o', so, c], check=True)
    with open(so, 'rb') as f:
        return f.read()


FIXED_SO = preload()
real_run = vdevlib.run
outs = []


def run(cmd, roots=(), setup=None, env=None, **kw):
    roots = list(roots) + [{'/tmp/fixed.so': (FIXED_SO, 0o755)}]
    env = dict(env or {})
    env['LD_PRELOAD'] = (env.get('LD_PRELOAD', '') + ' /tmp/fixed.so').strip()
    r = real_run(cmd, roots=roots, setup=FIX_SETUP + (setup or '') + FIX_ADDRS, env=env, **kw)
    outs.append(r.out)
    return r


vdevlib.run = run


def load(path, name, **extra):
    with open(path) as f:
        src = f.read().replace('\nmain()\n', '\n')
    g = {'__name__': name, '__file__': path}
    g.update(extra)
    exec(compile(src, path, 'exec'), g)
    return g


def e2e(build):
    """The end-to-end test's runs (its own checks of time-dependent values fail under the fixed clock)."""
    os.environ['MT_SOURCE_DIR'], os.environ['MT_BUILD_DIR'] = SRC, build
    g = load(os.path.join(SRC, 'multool/lib/stats/tests/stats_e2e_test.py'), 'e2e')
    rest = [n for n in ('without_preconfigured', 'peer_cache_runs', 'overlong_answer') if n in g]
    saved = {n: g[n] for n in rest}
    for n in rest:
        g[n] = lambda: None
    for f in [g['main']] + [saved[n] for n in rest]:
        try:
            f()
        except SystemExit:
            pass


def bench(build):
    sys.argv = ['stats_bench', build]
    g = load(os.path.join(SRC, 'bench/stats_bench.py'), 'bench')
    for n in (16, 128):
        roots = [{'/tmp/fakewifi.json': json.dumps(g['fixture'](n)), '/sys/qlix/all-stats': g['allstats'](n),
                  '/var/run/stats/preconfigured.json': json.dumps({'radios': {'wifi0': {}, 'wifi1': {}}})}]
        script = ('O=/mnt/vdev/out; for i in 1 2 3; do stats -w -p -l ath0:-60,ath2:-90; mkdir $O/r$i; '
                  'cp -a /var/run/stats/. $O/r$i/; done')
        vdevlib.run(script, roots=roots, net=True, setup=g['SETUP'], build=build, require=['tap', 'macvlan'],
                    env={'LD_PRELOAD': '/mnt/vdev/build/tests/fakewifi/libfakewifi.so',
                         'FAKEWIFI_CONFIG': '/tmp/fakewifi.json'}, timeout=600)


def main():
    a, b = (os.path.abspath(p) for p in sys.argv[1:3])
    res = {}
    for build in (a, b):
        outs.clear()
        e2e(build)
        bench(build)
        res[build] = list(outs)
    same, differ = 0, []
    for da, db in zip(res[a], res[b]):
        for dirpath, _, files in os.walk(da):
            for f in files:
                pa = os.path.join(dirpath, f)
                pb = os.path.join(db, os.path.relpath(pa, da))
                if os.path.exists(pb) and filecmp.cmp(pa, pb, shallow=False):
                    same += 1
                else:
                    differ.append(os.path.relpath(pa, da))
    for f in differ:
        print('differs:', f)
    print('stats documents of two builds: %d runs, %d files identical, %d differ' % (len(res[a]), same, len(differ)))
    sys.exit(1 if differ or len(res[a]) != len(res[b]) else 0)


main()
