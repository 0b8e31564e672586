"""Independent reader and writer of the configuration container, written from the format table.

A part is 65536 bytes at k*65536: a 96-byte top header, blocks (96-byte header + stored zlib bytes),
an end header.  Header: >I magic, >I seq, 64 reserved, 16 name, >I length, >I crc.
"""
import struct
import zlib

PART = 65536
FILE_SIZE = 262144
HDR = struct.Struct('>II64s16sII')
TOP, BLOCK, END = 0x1111EEEE, 0xABCD1234, 0x12ABCD34


def header(magic, name, seq=0, length=0, crc=0, reserved=b''):
    return HDR.pack(magic, seq, reserved.ljust(64, b'\0'), name.ljust(16, b'\0'), length, crc)


def block(name, content, level=9, crc=None, stored=None):
    """Header + stored bytes of one block."""
    name = name.encode() if isinstance(name, str) else name
    data = zlib.compress(content, level) if stored is None else stored
    return header(BLOCK, name, length=len(data), crc=zlib.crc32(data) if crc is None else crc) + data


def part(seq, blocks, raw_blocks=b''):
    """A part image: blocks is a list of (name, content) pairs."""
    body = header(TOP, b'begin', seq) + b''.join(block(n, c) for n, c in blocks) + raw_blocks
    body += header(END, b'end')
    assert len(body) <= PART, 'fixture does not fit a part'
    return body.ljust(PART, b'\0')


def store(p0, p1):
    return (p0 + p1).ljust(FILE_SIZE, b'\0')


class Part:
    def __init__(self, seq, blocks, stored, ok, end_offset):
        self.seq = seq
        self.blocks = blocks        # {name: content} of blocks with a good CRC
        self.stored = stored        # [(name, stored bytes)] in order
        self.ok = ok
        self.end_offset = end_offset

    def __repr__(self):
        return 'Part(seq=%d, ok=%r, blocks=%r)' % (self.seq, self.ok, sorted(self.blocks))


def read_part(data, k):
    """Decodes part k of a store image; never raises on corrupt data."""
    buf = data[k * PART:(k + 1) * PART]
    magic, seq, _, name, length, crc = HDR.unpack_from(buf, 0)
    blocks, stored, pos = {}, [], HDR.size
    if magic != TOP:
        return Part(seq, blocks, stored, False, 0)
    while pos + HDR.size <= len(buf):
        magic, _, _, name, length, crc = HDR.unpack_from(buf, pos)
        pos += HDR.size
        nm = name.split(b'\0', 1)[0].decode('latin-1')
        if magic == END:
            return Part(seq, blocks, stored, True, pos)
        if magic != BLOCK or pos + length > len(buf):
            break
        data_ = buf[pos:pos + length]
        pos += length
        stored.append((nm, data_))
        if zlib.crc32(data_) == crc:
            try:
                blocks[nm] = zlib.decompress(data_)
            except zlib.error:
                pass
    return Part(seq, blocks, stored, False, pos)


def read_store(path):
    with open(path, 'rb') as f:
        data = f.read()
    return data, read_part(data, 0), read_part(data, 1)


def active_index(data):
    s0 = struct.unpack_from('>I', data, 4)[0]
    s1 = struct.unpack_from('>I', data, PART + 4)[0]
    return 1 if s1 >= s0 else 0
