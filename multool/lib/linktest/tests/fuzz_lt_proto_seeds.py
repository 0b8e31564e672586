"""Seeds for fuzz_lt_proto: real inputs of each reader, built here with python struct."""
import os
import struct
import sys

HDR = bytes([0x02, 0x6E, 0x41, 0x33, 0x33])
OWN = bytes.fromhex('02000000000b')
out = sys.argv[1]


def put(name, kind, data):
    with open(os.path.join(out, name), 'wb') as f:
        f.write(bytes([kind]) + data)


def frame(payload):
    f = OWN + bytes.fromhex('02000000000a') + struct.pack('>HBBB', 3 + len(payload), 0xAC, 0xAC, 3) + payload
    return f + bytes(max(0, 60 - len(f)))


put('request', 0, b'RUN -t 60 -c 1000 -d -1 -s 64 -j\r\n')
put('udp', 1, b'4294967297 123456 02:00:00:00:0B:0B\0')
put('snmp', 2, b'Ip: Forwarding DefaultTTL\nIp: 2 64' + b' 0' * 17 + b' 4294967297 123456789012\n')
put('pgrx', 3, b'RECEPTION STATISTICS\nG 1000 64000 15321\n')
put('result', 4, b'Result: OK: 15021(c15021+d0) usec, 1000 (64byte,0frags)\n')
put('counters', 5, HDR + struct.pack('>QQQ', 1 << 32, 2, 3))
put('frame', 0x80, frame(HDR + b'RST'))
