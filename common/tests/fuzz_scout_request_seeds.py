"""Seeds for fuzz_scout_request: one request of every kind, built with struct as a management tool would."""
import os
import struct
import sys

OWN = 0x0000020304050607
ASKER = 0x00000A0B0C0D0E0F
ALL = 0xFFFFFFFFFFFFFFFF


def dproto(version, cmd, src, dst, arg=b''):
    return struct.pack('>BBBBQQ', version, 0, cmd, 0, src, dst) + arg


seeds = {'legacy-discovery': struct.pack('>BBBB', 0, 0, 0, 0),
         'legacy-heartbeat': struct.pack('>BBBB', 0, 0, 1, 0),
         'discovery-all': dproto(1, 0, ASKER, ALL),
         'state': dproto(1, 3, ASKER, OWN),
         'extend': dproto(1, 4, ASKER, OWN, b'\x1e'),
         'serial': dproto(1, 7, ASKER, ALL),
         'older-state': dproto(2, 3, ASKER, OWN),
         'older-pin': dproto(2, 6, ASKER, OWN, b'1234')}
for name, data in seeds.items():
    with open(os.path.join(sys.argv[1], name), 'wb') as f:
        f.write(data)
