#!/usr/bin/env python3
"""athtool on the virtual device with the stand-in radio driver preloaded: every request the driver
saw is compared with bytes written here with struct (the driver's native order), and the output of
each view with the texts and JSON the tool must print."""
import json
import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
import vdevlib  # noqa: E402

FAKEWIFI = '/mnt/vdev/build/tests/fakewifi/libfakewifi.so'
OUT = '/mnt/vdev/out'

HT20, HT40P, HT40M = 0x10000, 0x20000, 0x40000
G2, G5, OFDM, CCK, PASSIVE = 0x80, 0x100, 0x40, 0x20, 0x200
DFS, DISABLED, INDOOR = 0x2, 0x100, 0x200

CHANNELS = [
    {'freq': 2412, 'flags': G2 | OFDM | HT20, 'chan': 1, 'eirp': 20, 'max': 27, 'min': -3},
    {'freq': 2422, 'flags': G2 | HT40P, 'chan': 3, 'eirp': 20, 'max': 27, 'min': 0},
    {'freq': 2484, 'flags': G2 | CCK, 'chan': 14, 'eirp': 10, 'max': 17, 'min': 0},
    {'freq': 5180, 'flags': G5 | HT40P, 'extra': INDOOR, 'chan': 36, 'eirp': 23, 'max': 30, 'min': 0},
    {'freq': 5200, 'flags': G5 | HT40M | PASSIVE, 'extra': DFS, 'chan': 40, 'eirp': 23, 'max': 30, 'min': 1},
    {'freq': 5500, 'flags': G5 | HT20, 'extra': DISABLED | DFS, 'chan': 100, 'eirp': 30, 'max': 30, 'min': 0},
    {'freq': 5745, 'flags': G5 | OFDM, 'chan': 149, 'eirp': 30, 'max': 30, 'min': 0},
]
COUNTRIES = [['US', 30, 36, 30, 36], ['LT', 20, 0, 23, 0], ['ZZ', 1, 2, 3, 4]]
NAMES = 'US;United States;840\nLT;Lithuania;440\n\nDE;Germany;276\n'

PRODUCT_V1 = {
    'countryCode': 'US', 'dfsRegion': 'fcc',
    'radios': {'wifi0': {
        'band2GHz': {'frequencyRanges': [{'begin': 2402, 'end': 2482, 'width': 20, 'eirp': 30, 'power': 27,
                                          'flags': 'none'}]},
        'band5GHz': {'frequencyRanges': [
            {'begin': 5170, 'end': 5250, 'width': 80, 'eirp': 23, 'power': 20, 'flags': 'dfs'},
            {'begin': 5250, 'end': 5330, 'eirp': 23, 'power': 20, 'flags': 'dfs'},   # no width
            {'begin': 5490, 'width': 20, 'eirp': 30, 'power': 27, 'flags': 'dfs'},    # no end
        ]}}},
}
PRODUCT_V2 = {'radios': {'wifi0': {'band5GHz': {}, 'frequencyRanges': {
    'LT': {'dfsRegion': 'etsi', 'frequencies': [
        {'begin': 5470, 'end': 5725, 'width': 40, 'eirp': 30, 'power': 27, 'flags': 'dfs'}]},
    'JP': {'dfsRegion': 'jp', 'frequencies': [
        {'begin': 4910, 'end': 4990, 'width': 20, 'eirp': 23, 'power': 20, 'flags': 'weird'},
        {'begin': 5150, 'end': 5250, 'width': 20, 'eirp': 23, 'power': 20, 'flags': 'none'}]},
}}}}

SIZES = {1: 516, 2: 516, 4: 33, 5: 17940, 7: 2104, 8: 6, 9: 6, 17: 164, 18: 164, 20: 100, 22: 16}


def env(cmd, payload):
    return struct.pack('=II', cmd, len(payload)) + payload


def pad(data, size):
    return data + bytes(size - len(data))


def reg(cc, dfs, ranges, complete):
    head = cc.encode() + b'\0\0' + struct.pack('=III', dfs, len(ranges), complete)
    return head + b''.join(struct.pack('=HHBBBBxx', *r) for r in ranges)


# The runs: name -> (arguments, product file, fixture override)
MASK = '5180\n5200\nabc\n123456789\n2412\n'
MASK_300 = ''.join('%d\n' % (4900 + i) for i in range(300))
RUNS = {
    'all': ('--get-remoteid --set-remoteid r1 -n -N dev1 -p -P "1 2 3 4 5" -m -M /tmp/mask --get-circuitid '
            '--set-circuitid c1 -R 1f:abcd:9 -r 2:3:4 -L -C -c 20:10:1:LT -i wifi0', 'v1', {}),
    'text': ('-c 20:20:0:US', 'v1', {}),
    'narrow': ('-c 5:5:2:--', 'v1', {}),
    'band5': ('-c -', 'v2', {}),
    'full': ('-f -c -', 'v1', {}),
    'json': ('-j -c 0:10:0:US -L', 'v1', {}),
    'countries': ('-L', 'v1', {}),
    'v2': ('-C', 'v2', {}),
    'mask300': ('-M /tmp/mask300 -m', 'v1', {}),
    'clamp': ('-f -c - -L -p -n --get-circuitid --get-remoteid', 'v1',
              {'channel_count': 5000, 'country_count': 100000, 'xelto_count': 11,
               'name': 'N' * 40, 'circuit': 'C' * 120, 'remote': 'R' * 20,
               'xelto': [[i, i * 10, i * 100, i * 1000] for i in range(1, 11)]}),
    'scenario': ('-s whatever', 'v1', {}),
    'no_args': ('', 'v1', {}),
    'unknown': ('-x', 'v1', {}),
    'xelto11': ('-P "11 ' + ' '.join(['1'] * 44) + '"', 'v1', {}),
    'xelto_count': ('-P "2 1 1 1 1"', 'v1', {}),
    'chan5': ('-c 20:20:0:US:1', 'v1', {}),
    'step3': ('-c 3:20:0:US', 'v1', {}),
    'rate_bad': ('-R 1:2', 'v1', {}),
    'circuit_long': ('--set-circuitid ' + 'c' * 101, 'v1', {}),
    'remote_long': ('--set-remoteid ' + 'r' * 21, 'v1', {}),
    'ioctl_fail': ('-n -c -', 'v1', {'fail': {'5': 5}}),
    'no_product': ('-C', None, {}),
    'no_radio': ('-n -i ath9', 'v1', {}),
}


class Athtool(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        root = {'/usr/lib/countries.txt': NAMES, '/tmp/mask': MASK, '/tmp/mask300': MASK_300,
                '/tmp/v1.json': json.dumps(PRODUCT_V1), '/tmp/v2.json': json.dumps(PRODUCT_V2)}
        script = ['echo "athtool = debug" > /tmp/log4c']
        for name, (args, product, over) in RUNS.items():
            ifc = {'athtool': dict({'channels': CHANNELS, 'countries': COUNTRIES}, **over)}
            if 'fail' in over:
                ifc['fail'] = over['fail']
            root['/tmp/%s.fixture' % name] = json.dumps({'interfaces': {'wifi0': ifc}})
            script.append('rm -f /etc/product; %s' % ('cp /tmp/%s.json /etc/product' % product if product else 'true'))
            script.append('LOG4CONF=/tmp/log4c FAKEWIFI_CONFIG=/tmp/{0}.fixture FAKEWIFI_LOG=$OUT/{0}.log '
                          'athtool {1} > $OUT/{0}.out 2> $OUT/{0}.err; echo $? > $OUT/{0}.rc'.format(name, args))
        cls.r = vdevlib.run(['/bin/sh', '-c', 'OUT=%s\n%s' % (OUT, '\n'.join(script))], roots=[root],
                            env={'LD_PRELOAD': FAKEWIFI, 'ASAN_OPTIONS': 'verify_asan_link_order=0'})

    def run_of(self, name):
        def read(ext):
            path = os.path.join(self.r.out, '%s.%s' % (name, ext))
            if not os.path.exists(path):
                return ''
            with open(path) as f:
                return f.read()
        log = [json.loads(line) for line in read('log').splitlines()]
        return int(read('rc') or -1), read('out'), read('err'), log

    def requests(self, log):
        return [bytes.fromhex(e['request']) for e in log]

    def test_fixed_order_and_request_bytes(self):
        rc, out, err, log = self.run_of('all')
        self.assertEqual(rc, 0, err)
        self.assertEqual([e['cmd'] for e in log], [3, 4, 1, 2, 5, 6, 7, 8, 9, 17, 18, 19, 20, 21, 22])
        self.assertTrue(all(e['rc'] == 0 and e['ifname'] == 'wifi0' for e in log))
        mask = struct.pack('=I6H', 1, 5180, 5200, 0, 0, 89, 2412)
        expected = [
            env(3, b'dev1\0'),
            env(4, bytes(33)),
            env(1, pad(mask, 516)),
            env(2, bytes(516)),
            env(5, pad(struct.pack('=IIII', 1280, 20, 10, 1) + b'LT', 17940)),
            env(6, reg('US', 1, [(2402, 2482, 20, 30, 27, 0), (5170, 5250, 80, 23, 20, 0x10),
                                 (5250, 5330, 0, 23, 20, 0x10), (0, 0, 0, 0, 0, 0)], 0)),
            env(7, pad(struct.pack('=I', 300), 2104)),
            env(8, bytes([0x1f, 0]) + struct.pack('=H', 0xabcd) + bytes([9, 0])),
            env(9, bytes([2, 0]) + struct.pack('=H', 3) + bytes([4, 0])),
            env(17, pad(struct.pack('=5I', 1, 2, 3, 4, 5), 164)),
            env(18, bytes(164)),
            env(19, b'c1'),
            env(20, bytes(100)),
            env(21, b'r1'),
            env(22, bytes(16)),
        ]
        for got, want in zip(self.requests(log), expected):
            self.assertEqual(got.hex(), want.hex())
        # what was set is read back, in the same run
        self.assertEqual(out.splitlines()[0], 'device: dev1')
        self.assertIn('status: enabled\nchannel[0]: 5180 MHz\nchannel[1]: 5200 MHz\nChan\t', out)
        self.assertIn('rate code: 0x1F, rate rssi: 9\n', out)  # the driver answers the rate that was set
        self.assertTrue(out.endswith('xelto_limit[0]: num_active=2, bps=3, pps=4, delay=5\n'
                                     'Circuit-ID: c1\nRemote-ID: r1\n'), out)
        self.assertIn('wrong frequency number: abc\n', err)
        self.assertIn('wrong frequency number: 1234567\n', err)
        self.assertIn('Product file v1 found. Country code US', err)

    def test_channel_views(self):
        rc, out, _, log = self.run_of('text')
        self.assertEqual(rc, 0)
        self.assertEqual(out, 'Chan\tFreq\tMode\tEirp\tMax\tMin\tPass\tDfs\tIndoor\n'
                              '1\t2412\tht20\t20\t27\t-3\tn\tn\tn\n'
                              '3\t2422\tht40+\t20\t27\t0\tn\tn\tn\n'
                              '36\t5180\tht40+\t23\t30\t0\tn\tn\ty\n'
                              '40\t5200\tht40-\t23\t30\t1\ty\ty\tn\n')
        _, out, _, log = self.run_of('narrow')
        self.assertIn('1\t2412\tht5\t', out)
        self.assertEqual(self.requests(log)[0][8:26], struct.pack('=IIII', 1280, 5, 5, 2) + b'--')
        # a product that declares only the 5 GHz band hides the 2.4 GHz channels
        _, out, _, log = self.run_of('band5')
        self.assertEqual([line.split('\t')[1] for line in out.splitlines()[1:]], ['5180', '5200'])
        self.assertEqual(self.requests(log)[0][8:26], struct.pack('=IIII', 1280, 0, 0, 0) + b'--')
        _, out, _, _ = self.run_of('full')
        self.assertEqual(out, 'Chan\tFreq\tMode\tEirp\tMax\tMin\tPass\tDfs\tDisabled\tIndoor\n'
                              '1\t2412\tnght\t20\t27\t-3\tn\tn\tn\t\tn\n'
                              '3\t2422\tnght+\t20\t27\t0\tn\tn\tn\t\tn\n'
                              '14\t2484\t11b\t10\t17\t0\tn\tn\tn\t\tn\n'
                              '36\t5180\tnaht+\t23\t30\t0\tn\tn\tn\t\ty\n'
                              '40\t5200\tnaht-\t23\t30\t1\ty\ty\tn\t\tn\n'
                              '100\t5500\tnaht\t30\t30\t0\tn\ty\ty\t\tn\n'
                              '149\t5745\t11a\t30\t30\t0\tn\tn\tn\t\tn\n')

    def test_json_views(self):
        rc, out, _, _ = self.run_of('json')
        self.assertEqual(rc, 0)
        chans, countries = out.splitlines()
        self.assertTrue(chans.startswith('[{"freq":2412,"chan":1,"eirp":20,"max":27,"min":-3,"passive":false,'
                                         '"dfs":false,"mode":"ht10","indoor":false},'), chans)
        self.assertEqual([(c['freq'], c['mode'], c['passive'], c['dfs'], c['indoor']) for c in json.loads(chans)],
                         [(2412, 'ht10', False, False, False), (2422, 'ht40+', False, False, False),
                          (5180, 'ht40+', False, False, True), (5200, 'ht40-', True, True, False)])
        self.assertEqual(countries, '[{"code":"US","name":"United States","eirp2g":30,"eirp5g":30,"eirp2gPTP":36,'
                                    '"eirp5gPTP":36},{"code":"LT","name":"Lithuania","eirp2g":20,"eirp5g":23}]')
        _, out, _, _ = self.run_of('countries')
        self.assertEqual(out, 'US  30  36 -  30  36 United States\nLT  20   0 -  23   0 Lithuania\n')

    def test_product_v2_one_request_per_country(self):
        rc, _, err, log = self.run_of('v2')
        self.assertEqual(rc, 0, err)
        self.assertIn('Product file v2 found', err)
        self.assertEqual([r.hex() for r in self.requests(log)], [
            env(6, reg('LT', 2, [(5470, 5725, 40, 30, 27, 0x10)], 1)).hex(),
            env(6, reg('JP', 4, [(0, 0, 0, 0, 0, 0), (5150, 5250, 20, 23, 20, 0)], 0)).hex()])

    def test_mask_of_300_lines_sends_256(self):
        rc, out, _, log = self.run_of('mask300')
        self.assertEqual(rc, 0)
        self.assertEqual(self.requests(log)[0], env(1, struct.pack('=I256H', 1, *range(4900, 5156))))
        self.assertEqual(out.count('MHz\n'), 256)
        self.assertTrue(out.endswith('channel[255]: 5155 MHz\n'))

    def test_driver_answers_are_bounded(self):
        rc, out, _, log = self.run_of('clamp')
        self.assertEqual(rc, 0)
        lines = out.splitlines()
        # 5000 channels announced: only the 1280 the request had room for are read
        self.assertEqual(lines[1], 'Chan\tFreq\tMode\tEirp\tMax\tMin\tPass\tDfs\tDisabled\tIndoor')
        self.assertEqual(sum(1 for line in lines if line.count('\t') == 10), 1280)
        self.assertIn('US  30  36 -  30  36 United States', lines)
        xelto = [line for line in lines if line.startswith('xelto_limit')]
        self.assertEqual(len(xelto), 10)
        self.assertEqual(xelto[9], 'xelto_limit[9]: num_active=10, bps=100, pps=1000, delay=10000')
        self.assertIn('device: ' + 'N' * 33, lines)
        self.assertIn('Circuit-ID: ' + 'C' * 100, lines)
        self.assertIn('Remote-ID: ' + 'R' * 16, lines)
        answer = bytes.fromhex([e for e in log if e['cmd'] == 4][0]['answer'])
        self.assertEqual(answer, b'N' * 33)  # the driver's text had no terminator

    def test_no_sanitizer_report(self):
        for name in RUNS:
            err = self.run_of(name)[2]
            self.assertNotIn('Sanitizer', err, name)
            self.assertNotIn('runtime error', err, name)

    def test_refusals(self):
        usage = 'Usage: athtool\n  -i, --interface  [interface-name]     Default is wifi0\n'
        cases = [
            ('no_args', usage), ('unknown', usage),
            ('xelto11', 'athtool: invalid xelto flags\n'), ('xelto_count', 'athtool: invalid xelto flags\n'),
            ('chan5', 'athtool: invalid channel flags\n'), ('step3', 'athtool: invalid channel flags\n'),
            ('rate_bad', 'athtool: invalid channel flags\n'),
            ('circuit_long', 'athtool: Argument too long\n'), ('remote_long', 'athtool: Argument too long\n'),
            ('ioctl_fail', 'athtool: ioctl() on wifi0: Input/output error (5)\n'),
            ('no_product', 'athtool: input file error in line -1, column -1: unable to open /etc/product'),
            ('no_radio', 'athtool: ioctl() on ath9: No such device (19)\n'),
        ]
        for name, text in cases:
            rc, _, err, log = self.run_of(name)
            self.assertEqual(rc, 1, name)
            self.assertTrue(text in err, '%s: %r' % (name, err))
            # nothing reaches the driver after a refusal (the failing request itself aside)
            self.assertEqual([e['cmd'] for e in log if e['rc'] == 0], [4] if name == 'ioctl_fail' else [], name)
        self.assertTrue(self.run_of('no_args')[2].endswith('  --get-remoteid                        Get dhcp82 remote id\n'))
        rc, out, err, log = self.run_of('scenario')
        self.assertEqual((rc, out, log), (0, '', []))
        self.assertIn('detected "empty" parameter, it is not an error!', err)


if __name__ == '__main__':
    unittest.main(verbosity=2)
