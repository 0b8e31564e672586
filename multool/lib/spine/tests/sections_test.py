#!/usr/bin/env python3
"""The applet and category tables as the linker laid them out in the multool file.

The records are decoded from the ELF file by this script and compared with the tables of the
contract (names, order, count); binutils give the symbols and section sizes the program prints."""

import re
import struct
import subprocess
import unittest

import spinelib
from spinelib import MULTOOL, APPLETS, CATEGORIES, CATEGORY_NAMES


class Elf:
    def __init__(self, path):
        with open(path, 'rb') as f:
            self.data = f.read()
        d = self.data
        assert d[:4] == b'\x7fELF'
        self.is64 = d[4] == 2
        self.end = '<' if d[5] == 1 else '>'
        self.ptr = 8 if self.is64 else 4
        if self.is64:
            self.type, = struct.unpack_from(self.end + 'H', d, 16)
            shoff, = struct.unpack_from(self.end + 'Q', d, 0x28)
            shentsize, shnum, shstrndx = struct.unpack_from(self.end + 'HHH', d, 0x3A)
            fmt = 'IIQQQQIIQQ'
        else:
            self.type, = struct.unpack_from(self.end + 'H', d, 16)
            shoff, = struct.unpack_from(self.end + 'I', d, 0x20)
            shentsize, shnum, shstrndx = struct.unpack_from(self.end + 'HHH', d, 0x2E)
            fmt = 'IIIIIIIIII'
        raw = [struct.unpack_from(self.end + fmt, d, shoff + i * shentsize) for i in range(shnum)]
        strtab = raw[shstrndx]
        self.sections = {}
        self.alloc = []
        for name, typ, flags, addr, off, size, *_ in raw:
            sname = d[strtab[4] + name:d.index(b'\0', strtab[4] + name)].decode()
            self.sections[sname] = (addr, off, size)
            if flags & 2 and typ != 8:  # SHF_ALLOC, not NOBITS
                self.alloc.append((addr, off, size))

    def read(self, addr, size):
        for base, off, length in self.alloc:
            if base <= addr and addr + size <= base + length:
                return self.data[off + addr - base:off + addr - base + size]
        raise KeyError(hex(addr))

    def cstr(self, addr):
        for base, off, length in self.alloc:
            if base <= addr < base + length:
                start = off + addr - base
                return self.data[start:self.data.index(b'\0', start)].decode()
        raise KeyError(hex(addr))

    def word(self, raw, at, size):
        return struct.unpack_from(self.end + ('Q' if size == 8 else 'I'), raw, at)[0]


def tool(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def symbols():
    syms = {}
    for line in tool('nm', MULTOOL).splitlines():
        parts = line.split()
        if len(parts) == 3:
            syms[parts[2]] = int(parts[0], 16)
    return syms


class Tables(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.elf = Elf(MULTOOL)
        p = cls.elf.ptr
        # The category record as a C compiler lays it out: two pointers, two 32-bit words, padded to
        # pointer alignment; on the board that is 16 bytes with the level at 8.
        cls.cat_size = (2 * p + 8 + p - 1) // p * p
        cls.level_at = 2 * p

    def test_fixed_addresses(self):
        # logctl pokes the addresses a new process prints: only right for a non-PIE link.
        self.assertEqual(self.elf.type, 2, 'multool must be linked as a fixed-address executable')

    def test_applet_records(self):
        addr, _, size = self.elf.sections['applet']
        rec = 2 * self.elf.ptr
        self.assertEqual(size % rec, 0)
        raw = self.elf.read(addr, size)
        names = [self.elf.cstr(self.elf.word(raw, i * rec, self.elf.ptr)) for i in range(size // rec)]
        self.assertEqual(names, APPLETS)

    def test_category_records(self):
        addr, _, size = self.elf.sections['log4c']
        self.assertEqual(size, len(CATEGORIES) * self.cat_size)
        raw = self.elf.read(addr, size)
        for i, (name, src) in enumerate(CATEGORIES):
            at = i * self.cat_size
            self.assertEqual(self.elf.cstr(self.elf.word(raw, at, self.elf.ptr)), name)
            self.assertEqual(self.elf.cstr(self.elf.word(raw, at + self.elf.ptr, self.elf.ptr)).rsplit('.', 1)[0],
                             src)

    def test_levels_start_off(self):
        # readelf's dump of the section: every level word 7, every reserved word 0.
        addr, _, size = self.elf.sections['log4c']
        out = tool('readelf', '-x', 'log4c', MULTOOL)
        raw = b''
        for line in out.splitlines():
            # "  0xADDRESS " then four columns of up to 8 hex digits, then the characters.
            if re.match(r'\s+0x[0-9a-f]+ ', line):
                raw += bytes.fromhex(''.join(line[13:13 + 4 * 9].split()))
        self.assertEqual(len(raw), size)
        for i in range(len(CATEGORIES)):
            level, reserved = struct.unpack_from(self.elf.end + 'iI', raw, i * self.cat_size + self.level_at)
            self.assertEqual((level, reserved), (7, 0), CATEGORIES[i][0])

    def test_info_matches_symbols_and_headers(self):
        syms = symbols()
        r = spinelib.run(['x', '--log4c-info'])
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr, b'')
        self.assertEqual(r.stdout.decode(), '%#x, %#x, %d\n' % (syms['__start_log4c'], syms['__stop_log4c'], 24))
        self.assertEqual(syms['__stop_applet'] - syms['__start_applet'], 25 * 2 * self.elf.ptr)
        m = re.search(r'^\s*\d+\s+log4c\s+([0-9a-f]+)\s+([0-9a-f]+)', tool('objdump', '-h', MULTOOL), re.M)
        self.assertEqual(int(m.group(1), 16), syms['__stop_log4c'] - syms['__start_log4c'])
        self.assertEqual(int(m.group(2), 16), syms['__start_log4c'])


class Options(unittest.TestCase):
    def test_first_option_acts_and_nothing_runs(self):
        dump = ''.join(n + '\n' for n in CATEGORY_NAMES)
        cases = [
            (['cpustat', '--log4c-dump'], dump),
            (['x', '--log4c-help'], 'usage\n'),
            # Anywhere after the first word, before the applet parses anything; the first one wins.
            (['cpustat', '-c', '1', '--log4c-help', '--log4c-dump'], 'usage\n'),
            (['logctl', '-p', '1', '--log4c-dump', '--log4c-info'], dump),
        ]
        for args, out in cases:
            r = spinelib.run(args)
            self.assertEqual((r.returncode, r.stdout.decode(), r.stderr), (1, out, b''), args)


if __name__ == '__main__':
    spinelib.main()
