#!/usr/bin/env python3
"""anti_theft_hash on boards built with kbeefmt.py: the printed hash is python's own SHA-256 of the
documented identity text, the same on every run, different for another board."""
import hashlib
import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.environ['MT_SOURCE_DIR'], 'tests/harness'))
import kbeefmt as kf  # noqa: E402
import vdevlib  # noqa: E402

MTD = 'dev:    size   erasesize  name\nmtd5: 00010000 00001000 "art"\n'


def art(records, macs):
    img = bytearray(kf.image([(0x8000, kf.store(records))] if records else []))
    for off, mac in zip((0, 6, 4098), macs):
        if mac:
            img[off:off + 6] = bytes.fromhex(mac.replace(':', ''))
    return bytes(img)


def expected(pcb=b'', chip=b'', radio='', macs=('', '', '')):
    text = 'anti_theft_hash 1\npcb_serial=%s\nchip_serial=%s\nradio_mac=%s\neth0=%s\neth1=%s\nwifi0=%s\n' % (
        pcb.hex().upper(), chip.hex().upper(), radio.upper(), *(m.upper() for m in macs))
    return hashlib.sha256(text.encode()).hexdigest(), text


def device(img, script):
    root = {'/etc/mtd-table/mtd': MTD}
    if img is not None:
        root['/dev/mtdblock5'] = img
    return vdevlib.run(['/bin/sh', '-c', script], roots=[root], env={'MT_PROC_DIR': '/etc/mtd-table'})


MACS = ('00:15:6d:10:00:01', '00:15:6D:10:00:02', '00:15:6D:10:00:03')
RECORDS = [(20, bytes([0xde, 0xad, 0x01])), (30, b'00:15:6d:10:00:04'), (35, bytes([0xab, 0xcd]))]


class AntiTheftHash(unittest.TestCase):
    def test_identity_text_and_stability(self):
        want, text = expected(bytes([0xde, 0xad, 0x01]), bytes([0xab, 0xcd]), '00:15:6d:10:00:04', MACS)
        r = device(art(RECORDS, MACS), 'anti_theft_hash; anti_theft_hash; anti_theft_hash -v')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines(), [want] * 3)
        self.assertIn(text, r.stderr)

    def test_boards_differ_in_any_input(self):
        cases = [
            ('another eth0', RECORDS, (MACS[0][:-1] + '9',) + MACS[1:]),
            ('another wifi0', RECORDS, MACS[:2] + ('00:15:6D:10:00:13',)),
            ('another serial', [(20, b'\xde\xad\x02')] + RECORDS[1:], MACS),
            ('no chip serial', RECORDS[:2], MACS),
        ]
        base = device(art(RECORDS, MACS), 'anti_theft_hash').stdout
        for name, recs, macs in cases:
            with self.subTest(name):
                r = device(art(recs, macs), 'anti_theft_hash')
                self.assertEqual(r.returncode, 0, r.stderr)
                self.assertNotEqual(r.stdout, base)
                d = dict(recs)
                self.assertEqual(r.stdout.strip(), expected(d.get(20, b''), d.get(35, b''),
                                                            d.get(30, b'').decode(), macs)[0])

    def test_partial_and_missing_identity(self):
        # a blank factory MAC and a board without store still hash what there is
        r = device(art([], (MACS[0], None, None)), 'anti_theft_hash')
        self.assertEqual(r.stdout.strip(), expected(macs=(MACS[0], '', ''))[0], r.stderr)
        r = device(art([], (None, None, None)), 'anti_theft_hash; echo rc=$?')
        self.assertIn('no board identity', r.stderr)
        self.assertIn('rc=1', r.stdout)
        r = device(None, 'anti_theft_hash x; echo rc=$?')
        self.assertIn('Usage:', r.stderr)
        self.assertIn('rc=1', r.stdout)


if __name__ == '__main__':
    unittest.main()
