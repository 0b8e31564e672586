"""Seeds for fuzz_lldp_frame: neighbour frames built with struct from the TLV layout, as a switch or
another access point sends them, and a few that end early."""
import os
import struct
import sys


def tlv(t, value):
    return struct.pack('>H', t << 9 | len(value)) + value


def frame(dst, body, src=b'\x00\x1a\x2b\x3c\x4d\x5e'):
    return dst + src + b'\x88\xcc' + body


NEAREST = bytes.fromhex('0180c200000e')
NON_TPMR = bytes.fromhex('0180c2000003')
CUSTOMER = bytes.fromhex('0180c2000000')
chassis = tlv(1, b'\x04' + bytes.fromhex('001a2b3c4d5e'))
port = tlv(2, b'\x05' + b'gi0/1')
ttl = tlv(3, struct.pack('>H', 120))
name = tlv(5, b'switch-01')
descr = tlv(6, 'Linux 6.1 \u20ac'.encode())
caps = tlv(7, struct.pack('>HH', 0x14, 0x14))
mgmt4 = tlv(8, struct.pack('>BB4sBIB', 5, 1, bytes([192, 0, 2, 9]), 2, 3, 0))
mgmt6 = tlv(8, struct.pack('>BB16sBIB', 17, 2, bytes.fromhex('20010db8' + '00' * 11 + '09'), 2, 3, 0))
ap = tlv(127, bytes.fromhex('001122') + b'\x01\x02')
dot1 = tlv(127, bytes.fromhex('0080c2') + b'\x01' + struct.pack('>H', 1))
end = tlv(0, b'')

seeds = {
    'switch': frame(NEAREST, chassis + port + ttl + name + descr + caps + mgmt4 + mgmt6 + dot1 + end),
    'access-point': frame(NON_TPMR, chassis + port + ttl + name + mgmt4 + ap + end),
    'customer-bridge': frame(CUSTOMER, chassis + ttl + tlv(5, b'\xff\xfe\x00name') + end),
    'cut-in-a-tlv': frame(NEAREST, chassis + ttl + name[:5]),
    'length-past-end': frame(NEAREST, chassis + struct.pack('>H', 6 << 9 | 511) + b'x' * 20),
    'longest-values': frame(NEAREST, chassis + tlv(5, b'n' * 511) + tlv(6, b'd' * 511) + end),
}
for key, data in seeds.items():
    with open(os.path.join(sys.argv[1], key), 'wb') as f:
        f.write(data)
