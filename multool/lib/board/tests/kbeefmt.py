"""Independent encoder and decoder of the board EEPROM store (big-endian TLV, 4-byte padding)."""
import struct


def record(rtype, payload):
    rec = struct.pack('>HH', len(payload) + 4, rtype) + payload
    return rec + b'\0' * (-len(rec) % 4)


def store(records, reserved=0):
    """records: list of (type, payload bytes) in the order wanted on flash."""
    body = b''.join(record(t, p) for t, p in records)
    return struct.pack('>4sIHHI', b'KBEE', 16 + len(body), 1, 0, reserved) + body


def image(stores, size=65536):
    """A partition/file image of SIZE 0xFF bytes holding each (offset, bytes) of stores."""
    img = bytearray(b'\xff' * size)
    for off, data in stores:
        img[off:off + len(data)] = data
    return bytes(img)


def parse(img, off):
    """(version, {type: payload}) of the store at OFF; raises ValueError when it is not valid."""
    magic, total, version, _, reserved = struct.unpack_from('>4sIHHI', img, off)
    if magic != b'KBEE' or not 16 < total < 65536 or reserved:
        raise ValueError('no store at 0x%x' % off)
    pos, end, recs = off + 16, off + total, {}
    while end - pos >= 4:
        length, rtype = struct.unpack_from('>HH', img, pos)
        step = (length + 3) & ~3
        if length < 4 or step > end - pos:
            raise ValueError('bad record at 0x%x' % pos)
        if length > 4:
            recs[rtype] = img[pos + 4:pos + length]
        pos += step
    if pos != end:
        raise ValueError('trailing bytes')
    return version, recs
