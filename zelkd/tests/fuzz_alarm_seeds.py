#!/usr/bin/env python3
"""Seeds for fuzz_zelkd_alarm: alarm records packed big-endian with python's struct."""
import os
import struct
import sys

ALARM = struct.Struct('>i32s256s128s20sqii24s')
out = sys.argv[1]
recs = [ALARM.pack(5, b'rssi-low', b'', b'', b'ath0', -85, 1, 1700000000, b'02:AA:BB:CC:DD:01'),
        ALARM.pack(-1, b'n' * 32, b'd' * 256, b'o' * 128, b'i' * 20, -2 ** 63, 3, -5, b'M' * 24)]
for i, r in enumerate(recs):
    with open(os.path.join(out, 'alarm-%d' % i), 'wb') as f:
        f.write(r)
