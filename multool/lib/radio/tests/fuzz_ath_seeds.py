"""Seeds for fuzz_ath_codec: a channel-list answer with two entries (native order, packed with struct)
and the argument texts of the tool."""
import os
import struct
import sys

entry = struct.pack('=HIHBbbbxx', 5180, 0x20140, 0x2, 36, 23, 30, 0)
with open(os.path.join(sys.argv[1], 'channels'), 'wb') as f:
    f.write(struct.pack('=IIII', 2, 20, 20, 0) + b'US' + entry * 2)
for name, text in (('xelto', b'2 1 100 10 5 3 200 20 7'), ('chan', b'20:20:0:US'), ('rate', b'1f:abcd:9')):
    with open(os.path.join(sys.argv[1], name), 'wb') as f:
        f.write(text)
