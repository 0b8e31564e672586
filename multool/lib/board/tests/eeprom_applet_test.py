#!/usr/bin/env python3
"""eeprom and setmacs applets on fixtures built with kbeefmt.py."""
import json
import os
import struct
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '../../board/tests'))
sys.path.insert(0, os.path.join(HERE, '../../cfgstore/tests'))
import kbeefmt as kf  # noqa: E402
from cfgdev import vdevlib  # noqa: E402

MTD = 'dev:    size   erasesize  name\nmtd5: 00010000 00001000 "art"\n'
T1, T2 = 1700000000, 1234567890
RECORDS = [
    (1, b'\x01'), (2, b'fw-1.2'), (5, struct.pack('>I', T1)), (6, b'KTRV-0711'),
    (7, struct.pack('>6H', 11, 1, 12, 0, 13, 1)), (8, struct.pack('>HH', 3, 4)),
    (9, struct.pack('>4H', 5, 0, 6, 1)), (10, struct.pack('>HH', 7, 1)), (11, b'\x01'), (14, b'7777'),
    (20, bytes([0xde, 0xad, 0x01])), (21, b'\x00'), (22, b'\x01'), (23, b'\x00'), (24, b'\x03'),
    (26, struct.pack('>I', T2)), (29, b'x'), (30, b'00:11:22:33:44:55'), (35, b'\xab\xcd'), (36, b'\x02'),
    (45, b'abc'), (52, b'\x00'), (56, b'cart2'), (300, b'0123456789abcdefghij'),
]


def ctime(t):
    os.environ['TZ'] = 'UTC'
    time.tzset()
    return time.ctime(t) + '\n'


EXPECTED = ''.join([
    'Type 1, length 5 bytes\n    status: enabled\n\n',
    'Type 2, length 10 bytes\n    firmware id: fw-1.2\n\n',
    'Type 5, length 8 bytes\n    PCB date: %s\n' % ctime(T1),
    'Type 6, length 13 bytes\n    PCB name: KTRV-0711\n\n',
    'Type 7, length 16 bytes\n    led1: gpio: 11, state:high\n    led2: gpio: 12, state:low\n'
    '    led3: gpio: 13, state:high\n\n',
    'Type 8, length 8 bytes\n    shift: data: 4, clock: 3\n\n',
    'Type 9, length 12 bytes\n    btn0: gpio: 5, state: low\n    btn1: gpio: 6, state: high\n\n',
    'Type 10, length 8 bytes\n    poe0: gpio: 7, state: high\n\n',
    'Type 11, length 5 bytes\n    ATAS: enabled(1)\n\n',
    'Type 14, length 8 bytes\n    ATAS port: 7777\n\n',
    'Type 20, length 7 bytes\n    PCB serial number: DEAD01\n\n',
    'Type 21, length 5 bytes\nCALIBRATION: disabled(0)\n\n',
    'Type 22, length 5 bytes\nPCBA CALIBRATED: true(1)\n\n',
    'Type 23, length 5 bytes\nPOST-PRODUCTION: disabled(0)\n\n',
    'Type 24, length 5 bytes\nFACTORY-MODE: 3\n\n',
    'Type 26, length 8 bytes\n    PCBA calibration date: %s\n' % ctime(T2),
    'Type 29, length 5 bytes\n\n',
    'Type 30, length 21 bytes\n    PCIe radio MAC: 00:11:22:33:44:55\n\n',
    'Type 35, length 6 bytes\n    ATSHA204 serial number: ABCD\n\n',
    'Type 36, length 5 bytes\n    HWTEST: enabled(2)\n\n',
    'Type 45, length 7 bytes\n    00 07 00 2D 61 62 63 \n\n',
    'Type 52, length 5 bytes\nPCBA CALIBRATED (2nd): false(0)\n\n',
    'Type 56, length 9 bytes\n    Cart binary version (ART2) (2nd): cart2\n\n',
    'Type 300, length 24 bytes\n    00 18 01 2C 30 31 32 33 34 35 36 37 38 39 61 62 \n'
    '    63 64 65 66 67 68 69 6A \n\n',
])


def device(records, script, art=None, net=False, setup=None, extra_root=None):
    root = {'/etc/mtd-table/mtd': MTD}
    img = bytearray(kf.image([(0x8000, kf.store(records))]) if art is None else art)
    root['/dev/mtdblock5'] = bytes(img)
    root.update(extra_root or {})
    return vdevlib.run(['/bin/sh', '-c', 'OUT=/mnt/vdev/out; ' + script], roots=[root], net=net, setup=setup,
                       env={'MT_PROC_DIR': '/etc/mtd-table', 'TZ': 'UTC'})


class Printing(unittest.TestCase):
    def test_every_record_kind(self):
        art = bytearray(kf.image([(0x8000, kf.store(RECORDS))]))
        art[4096:4096 + 1088] = bytes(range(256)) * 4 + bytes(64)
        r = device(None, 'eeprom; echo rc=$?', art=bytes(art))
        records, _, cal = r.stdout.partition('AR9300 calibration')
        self.assertEqual(records, EXPECTED)
        self.assertIn('    mac: 02:03:04:05:06:07\n', cal)
        self.assertIn('00000400: 00 00', cal)
        self.assertTrue(r.stdout.endswith('rc=0\n'))
        self.assertEqual(r.stderr, 'QC98XX eeprom not found.\n')

    def test_without_store_reports_and_still_dumps(self):
        r = device(None, 'eeprom -j; echo rc=$?; test -e /etc/kbee.json; echo json=$?', art=kf.image([]))
        self.assertEqual(r.stderr, 'KBEE not found.\nAR9300 eeprom not found.\nQC98XX eeprom not found.\n')
        self.assertEqual(r.stdout, 'rc=0\njson=1\n')


class Json(unittest.TestCase):
    def test_export(self):
        recs = RECORDS + [(60, b'bad \xff utf8'), (12, b'192.168.1.20/24')]
        r = device(recs, 'eeprom -j; echo rc=$?; cp /etc/kbee.json $OUT/')
        self.assertEqual(r.stdout, 'rc=0\n')
        with open(os.path.join(r.out, 'kbee.json')) as f:
            text = f.read()
        self.assertIn('"192.168.1.20\\/24"', text)  # escaped slashes
        self.assertIn('\n  "KBEE enabled": true', text)  # two-space indent
        doc = json.loads(text)
        self.assertEqual(doc, {
            'KBEE enabled': True, 'firmware id': 'fw-1.2', 'PCB date': ctime(T1), 'PCB name': 'KTRV-0711',
            'led': [{'gpio': 11, 'state': 1}, {'gpio': 12, 'state': 0}, {'gpio': 13, 'state': 1}],
            'shift': {'data': 4, 'clock': 3}, 'btn': [{'gpio': 5, 'state': 0}, {'gpio': 6, 'state': 1}],
            'poe': [{'gpio': 7, 'state': 1}], 'ATAS': True, 'ATAS IPv4 port': '7777',
            'ATAS IPv4 address': '192.168.1.20/24', 'PCB serial number': 'DEAD01', 'CALIBRATION': False,
            'PCBA CALIBRATED': True, 'POST-PRODUCTION': False, 'FACTORY-MODE': 3,
            'PCBA calibration date': ctime(T2), 'PCIe radio MAC': '00:11:22:33:44:55',
            'ATSHA204 serial number': 'ABCD', 'PCBA CALIBRATED (2nd)': False, 'Cart version (2nd)': 'cart2',
        })  # the text that is not UTF-8 (type 60) is left out, not mangled


TAP = r'''python3 - <<'PY'
import fcntl, os, struct
fd = os.open('/dev/net/tun', os.O_RDWR)
fcntl.ioctl(fd, 0x400454ca, struct.pack('16sH', b'wifi1', 0x0002 | 0x1000))  # TUNSETIFF, IFF_TAP|IFF_NO_PI
fcntl.ioctl(fd, 0x400454cd, 801)  # TUNSETLINK
fcntl.ioctl(fd, 0x400454cb, 1)    # TUNSETPERSIST
PY
'''


class SetMacs(unittest.TestCase):
    def run_setmacs(self, setup, records, after=''):
        return device(records, 'echo "setmacs=debug" > /tmp/l; LOG4CONF=/tmp/l setmacs; echo rc=$?; ' +
                      'ip -o link show wifi1 > $OUT/link; ' + after, net=True, setup=setup)

    def link(self, r):
        with open(os.path.join(r.out, 'link')) as f:
            return f.read()

    def test_radio_link_keeps_its_state_and_flags(self):
        mac = [(30, b'00:11:22:33:44:55')]
        r = self.run_setmacs(TAP, mac)
        if 'get interface info failed' in r.stderr:
            vdevlib.skip('no tap devices here')
        self.assertIn('rc=0', r.stdout)
        self.assertIn('PCIe mac address: 00:11:22:33:44:55', r.stderr)
        self.assertNotIn('UP', self.link(r).split('>')[0])
        self.assertIn('ieee802.11', self.link(r))
        r = self.run_setmacs(TAP + 'ip link set wifi1 promisc on up\n', mac)
        self.assertIn('rc=0', r.stdout)
        flags = self.link(r).split('<')[1].split('>')[0].split(',')
        self.assertIn('UP', flags)
        self.assertIn('PROMISC', flags)

    def test_record_text_as_the_factory_tools_read_it(self):
        # One or two digits a field and a trailing line break, as the factory daemon's -S takes them.
        # (This kernel's radio-type tap keeps no address to read back; the parse is what is checked.)
        for text in (b'00:11:22:33:44:55\n', b'a:b:c:d:e:f'):
            r = self.run_setmacs(TAP, [(30, text)])
            if 'get interface info failed' in r.stderr:
                vdevlib.skip('no tap devices here')
            self.assertIn('rc=0', r.stdout)
            self.assertNotIn('malformed', r.stderr)
            self.assertNotIn('setting mac failed', r.stderr)

    def test_failures(self):
        # Once the address is read, the applet's status is 0 whatever the interface said (it is logged).
        veth = 'ip link add wifi1 type veth peer name wifi1p\nip link set wifi1 up\n'
        cases = [
            (veth, [(30, b'00:11:22:33:44:55')], 'rc=0', 'set_mac_address 61 setting mac failed 22'),
            (veth, [(30, b'00:11:22:33:44')], 'rc=255', "PCIe radio mac '00:11:22:33:44' is malformed."),
            (veth, [(30, b'00:11:22:33:44:556')], 'rc=255', "PCIe radio mac '00:11:22:33:44:556' is malformed."),
            (veth, [(2, b'x')], 'rc=255', 'PCIe radio mac not found.'),
            ('', [(30, b'00:11:22:33:44:55')], 'rc=0', 'set_mac_address 41 get interface info failed'),
        ]
        for setup, recs, rc, msg in cases:
            r = self.run_setmacs(setup, recs)
            self.assertIn(rc, r.stdout, msg)
            self.assertIn(msg, r.stderr)
        # The veth was brought back up after the refused address.
        r = self.run_setmacs(veth, cases[0][1])
        self.assertIn('UP', self.link(r).split('>')[0])


if __name__ == '__main__':
    unittest.main(verbosity=2)
