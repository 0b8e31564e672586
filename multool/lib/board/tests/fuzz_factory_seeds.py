"""Seeds for fuzz_factory_codec: one connection's worth of every request kind, built with struct."""
import os
import struct
import sys


def req(tag, word, body=b''):
    return tag + struct.pack('>I', word) + body


path = b'/tmp/file'.ljust(64, b'\0')
stream = b''.join([
    req(b'KBEE', (10 << 16) | 33, b'abcdef'),
    req(b'KBFA', 30 << 16), req(b'KBDA', 21 << 16),
    req(b'KCMD', 4, b'save'), req(b'RTEE', 5, b'\x01\x02\x03\x04\x05'),
    req(b'KPUT', 68, path + struct.pack('>I', 3) + b'xyz'), req(b'KGET', 64, path),
    b'ls /tmp\n',
])
with open(os.path.join(sys.argv[1], 'session'), 'wb') as f:
    f.write(stream)
with open(os.path.join(sys.argv[1], 'erase'), 'wb') as f:
    f.write(req(b'KBEA', 0, b'tail'))
