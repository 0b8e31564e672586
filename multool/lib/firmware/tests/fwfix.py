"""Firmware test fixtures, made by independent peers: legacy and FIT images by mkimage, sealed product
files by openssl enc and zip, EEPROM stores and headers by python struct/zlib."""

import os
import re
import struct
import subprocess
import tempfile
import zlib

SRC = os.environ.get('MT_SOURCE_DIR', os.path.abspath(os.path.join(os.path.dirname(__file__), '../../../..')))
WORK = tempfile.mkdtemp(prefix='fwfix.')


def path(name):
    return os.path.join(WORK, name)


def write(name, data):
    with open(path(name), 'wb') as f:
        f.write(data)
    return path(name)


def mkimage(args, epoch=1457730000):
    env = dict(os.environ, SOURCE_DATE_EPOCH=str(epoch))
    subprocess.run(['mkimage'] + args, check=True, env=env, stdout=subprocess.DEVNULL)


def legacy(version, payload, kind='kernel', epoch=1457730000):
    src = write('payload.legacy', payload)
    out = path('legacy.bin')
    mkimage(['-A', 'mips', '-O', 'linux', '-T', kind, '-C', 'none', '-n', version, '-d', src, out], epoch)
    with open(out, 'rb') as f:
        return f.read()


def legacy_typed(version, type_byte, doc):
    """A legacy image of a type the image tool does not know (OEM 128, product 129): zlib payload,
    header CRCs recomputed here."""
    data = zlib.compress(doc)
    name = version.encode().ljust(32, b'\0')
    hdr = struct.pack('>IIIIIIIBBBB32s', 0x27051956, 0, 0, len(data), 0, 0, zlib.crc32(data), 5, 5,
                      type_byte, 0, name)
    hcrc = zlib.crc32(hdr)
    return hdr[:4] + struct.pack('>I', hcrc) + hdr[8:] + data


ITS = '''/dts-v1/;
/ {
	description = "%(version)s";
	#address-cells = <1>;
	images {
		kernel {
			description = "kernel";
			data = /incbin/("%(kernel)s");
			type = "kernel"; arch = "mips"; os = "linux"; compression = "none";
			load = <0x80060000>; entry = <0x80060000>;
			hash-1 { algo = "crc32"; };
			hash-2 { algo = "sha1"; };
		};
		rootfs {
			description = "rootfs";
			data = /incbin/("%(rootfs)s");
			type = "filesystem"; arch = "mips"; compression = "none";
			%(rootfs_hash)s
		};
	};
	configurations {
		default = "conf-1";
		conf-1 { kernel = "kernel"; };
	};
};
'''


def fit(version, kernel, rootfs, epoch=1457730000, rootfs_hash='sha1'):
    k = write('kernel.raw', kernel)
    r = write('rootfs.raw', rootfs)
    hash_node = 'hash-1 { algo = "%s"; };' % rootfs_hash if rootfs_hash else ''
    its = write('fit.its', (ITS % {'version': version, 'kernel': k, 'rootfs': r,
                                   'rootfs_hash': hash_node}).encode())
    out = path('fit.bin')
    mkimage(['-f', its, out], epoch)
    with open(out, 'rb') as f:
        return f.read()


def dtc(source):
    """Compiles a device tree source to a blob (for malformed trees the image tool refuses)."""
    src = write('tree.dts', source.encode())
    return subprocess.run(['dtc', '-I', 'dts', '-O', 'dtb', '-q', src], check=True,
                          stdout=subprocess.PIPE).stdout


def sealed_key():
    """The key as the program derives it, from the two tables in its header."""
    with open(os.path.join(SRC, 'multool/lib/firmware/fw_key.h')) as f:
        text = f.read()
    tables = []
    for name in ('fw_key_table_a', 'fw_key_table_b'):
        body = re.search(name + r'\[32\] = \{(.*?)\};', text, re.S).group(1)
        tables.append([int(x, 16) for x in re.findall(r'0x[0-9a-fA-F]{2}', body)])
    return bytes(a ^ b for a, b in zip(*tables))


def sealed(version, pf_json, control, iv=bytes(range(16)), files=None, links=None):
    """links: {member: target} stored as symbolic links (zip -y)."""
    d = tempfile.mkdtemp(dir=WORK)
    members = dict(files if files is not None else {'pf.json': pf_json, 'control': control})
    for name, content in members.items():
        with open(os.path.join(d, name), 'wb') as f:
            f.write(content.encode() if isinstance(content, str) else content)
    for name, target in (links or {}).items():
        members.pop(name, None)
        os.symlink(target, os.path.join(d, name))
    names = list(members) + list(links or {})
    zpath = os.path.join(d, 'product.zip')
    subprocess.run(['zip', '-q', '-j', '-y', zpath] + [os.path.join(d, n) for n in names], check=True)
    ct = subprocess.run(['openssl', 'enc', '-aes-256-cbc', '-K', sealed_key().hex(), '-iv', iv.hex(),
                         '-in', zpath], check=True, stdout=subprocess.PIPE).stdout
    head = struct.pack('>II', 0x1B706630, 16 + len(ct)) + bytes(24)
    return head + version.encode().ljust(64, b'\0') + iv + ct


def kbee(records, offset=0x8000, size=65536):
    """A board EEPROM fallback file holding one store of {type: payload bytes} at offset."""
    body = b''
    for t, payload in sorted(records.items()):
        rec = struct.pack('>HH', 4 + len(payload), t) + payload
        body += rec + bytes(-len(rec) % 4)
    store = b'KBEE' + struct.pack('>IHHI', 16 + len(body), 1, 0, 0) + body
    img = bytearray(b'\xff' * size)
    img[offset:offset + len(store)] = store
    return bytes(img)


def proc_mtd(parts):
    """Text of the kernel's partition table from [(name, size, erasesize)], minors in order."""
    lines = ['dev:    size   erasesize  name']
    for i, (name, size, erase) in enumerate(parts):
        lines.append('mtd%d: %08x %08x "%s"' % (i, size, erase, name))
    return '\n'.join(lines) + '\n'


def fit_hashed(version, data, hashes, timestamp='<1457730000>', name='kernel'):
    """A FIT made by the tree compiler alone, whose one subimage carries the hash nodes given as
    [(algo, value bytes or None for the right digest)]; digests by python zlib/hashlib."""
    import hashlib
    src = write('hashed.data', data)
    right = {'crc32': struct.pack('>I', zlib.crc32(data)), 'sha1': hashlib.sha1(data).digest()}
    nodes = ''.join('hash-%d { algo = "%s"; value = [%s]; };\n' % (i + 1, algo, (right[algo] if v is None else v).hex())
                    for i, (algo, v) in enumerate(hashes))
    return dtc('/dts-v1/;\n/ { description = "%s"; timestamp = %s;\n images { %s { data = /incbin/("%s"); '
               'compression = "none";\n%s }; }; };\n' % (version, timestamp, name, src, nodes))
