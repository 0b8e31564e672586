#!/usr/bin/env python3
"""spectralscan on the virtual device: the stand-in radio driver answers the spectral request from a
fixture; /tmp/spectrum.json is checked against the samples computed here."""
import json
import os
import sys

sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
import vdevlib  # noqa: E402

BUILD = os.environ['MT_BUILD_DIR']
if not os.path.exists(os.path.join(BUILD, 'tests/fakewifi/libfakewifi.so')):
    vdevlib.skip('stand-in radio driver not built')
FAKEWIFI = '/mnt/vdev/build/tests/fakewifi/libfakewifi.so'

SAMPLES = [{'tsf': 1000, 'freq': 5180, 'nf': -96, 'rssi': -60, 'bins': [10, 20, 30, 41]},
           {'tsf': 2000, 'freq': 5180, 'nf': -95, 'rssi': -61, 'bins': [0, 5, 50, 1]},
           {'tsf': 3000, 'freq': 5200, 'nf': -97, 'rssi': -70, 'bins': [3, 3, 3, 3, 99]}]
FIXTURE = {'interfaces': {
    'wifi0': {'spectral': {'bins': 4, 'samples': SAMPLES}},
    'wifi1': {'spectral': {'bins': 200, 'count': 1000, 'samples': SAMPLES[:1]}},
    'wifi2': {},
}}
SETUP = 'for i in wifi0 wifi1 wifi2; do ip tuntap add $i mode tap; done'
SCRIPT = r'''
O=/mnt/vdev/out
run() { LD_PRELOAD=%s FAKEWIFI_CONFIG=/etc/fakewifi.json FAKEWIFI_LOG=$O/req.log spectralscan "$@"; }
run -n 2 -w 10; echo "rc=$?"; cp /tmp/spectrum.json $O/two_rounds.json
run -i wifi1; echo "rc=$?"; cp /tmp/spectrum.json $O/bounded.json
run -i wifi2 2>$O/err; echo "rc=$?"; cmp -s /tmp/spectrum.json $O/bounded.json && echo kept
run -n 0 2>>$O/err; echo "rc=$?"
run extra 2>>$O/err; echo "rc=$?"
''' % FAKEWIFI

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


def expected(samples, rounds, bins):
    out, chans = [], {}
    for _ in range(rounds):
        for s in samples:
            power = [s['nf'] + b for b in (s['bins'] + [0] * 64)[:bins]]
            out.append({'tsf': s['tsf'], 'frequency': s['freq'], 'noiseFloor': s['nf'], 'rssi': s['rssi'],
                        'power': power})
            chans.setdefault(s['freq'], []).append(power)
    summary = []
    for f in sorted(chans):
        allp = [p for ps in chans[f] for p in ps]
        avg = abs(sum(allp)) // len(allp) * (-1 if sum(allp) < 0 else 1)
        summary.append({'frequency': f, 'samples': len(chans[f]), 'maxPower': max(allp), 'avgPower': avg})
    return out, summary


r = vdevlib.run(['/bin/sh', '-c', SCRIPT], roots=[{'/etc/fakewifi.json': json.dumps(FIXTURE)}], setup=SETUP)
check(r.stdout.split() == ['rc=0', 'rc=0', 'rc=1', 'kept', 'rc=1', 'rc=1'], 'exit statuses: %r %r' % (r.stdout, r.stderr))
doc = json.load(open(os.path.join(r.out, 'two_rounds.json')))
want_samples, want_channels = expected(SAMPLES, 2, 4)
check(doc['interface'] == 'wifi0' and doc['bins'] == 4, 'header %r' % {k: doc.get(k) for k in ('interface', 'bins')})
check(isinstance(doc['timestamp'], int) and doc['timestamp'] > 1600000000, 'timestamp %r' % doc.get('timestamp'))
check(doc['samples'] == want_samples, 'samples %r' % doc['samples'])
check(doc['channels'] == want_channels, 'channels %r want %r' % (doc['channels'], want_channels))
# the driver claims 1000 samples of 200 bins: only what its answer holds, 64 bins at most
b = json.load(open(os.path.join(r.out, 'bounded.json')))
check(len(b['samples']) == 1 and b['bins'] == 64 and len(b['samples'][0]['power']) == 64, 'bounded %r' % b)
check(b['samples'][0]['power'][:5] == [-86, -76, -66, -55, -96], 'bounded power %r' % b['samples'][0]['power'][:5])
err = open(os.path.join(r.out, 'err')).read()
check('wifi2: spectral data not available: Operation not supported' in err, 'error text %r' % err)
check('rounds must be 1 to 100' in err and 'Usage:' in err, 'option errors %r' % err)
reqs = [json.loads(ln) for ln in open(os.path.join(r.out, 'req.log'))]
check([(q['ifname'], q['req'], q['length_in']) for q in reqs] ==
      [('wifi0', '0x89F8', 5128)] * 2 + [('wifi1', '0x89F8', 5128), ('wifi2', '0x89F8', 5128)], 'requests %r' % reqs)
if failures:
    print('\n'.join(failures))
    sys.exit(1)
print('spectralscan: %d samples checked' % len(doc['samples']))
