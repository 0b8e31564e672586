#!/bin/bash
# Hostile input to the configuration store, the board store and the firmware check: what each refuses or takes.
#
# usage: tools/demo.d/20-hostile-input.sh [BUILD_DIR]
#
# Fixtures are made on the host by the tests' independent builders (python struct/zlib, dtc, zip,
# openssl) into the folder $root, copied over the device's / before it starts.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-build}" && pwd)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

MT_SOURCE_DIR="$here" python3 - "$root" "$here" <<'PY'
import os, shutil, sys
root, src = sys.argv[1], sys.argv[2]
for d in ('cfgstore', 'board', 'firmware'):
    sys.path.insert(0, os.path.join(src, 'multool/lib', d, 'tests'))
import cfgstore, kbeefmt, fwdev, fwfix

def put(path, data, mode=0o644):
    dst = os.path.join(root, path.lstrip('/'))
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    with open(dst, 'wb') as f:
        f.write(data.encode() if isinstance(data, str) else data)
    os.chmod(dst, mode)

# A store whose active part carries the largest sequence number: the next write would wrap.
put('/var/cfg/config.bin', cfgstore.store(cfgstore.part(5, [('config', b'{"older":1}\n')]),
                                          cfgstore.part(0xFFFFFFFF, [('config', b'{"hostname":"ap-1"}\n')])), 0o600)
put('/usr/lib/default.json', '{"factory":true}\n')
# The board: its version and board store (factory mode off, the radio MAC the sealed files are bound to).
for path, content in fwdev.board().items():
    put(path, content)
# A board store on the art partition that is a header alone, at 0x8000, hiding an older one at 0xA000.
put('/dev/mtdblock5', kbeefmt.image([(0x8000, kbeefmt.store([])), (0xA000, kbeefmt.store([(2, b'stale')]))]))
put('/etc/mtd-table/mtd', 'dev:    size   erasesize  name\nmtd5: 00010000 00001000 "art"\n')
v = 'APCPE.QA-2.v7.52.1'
data = os.urandom(1 << 20)
put('/tmp/fw/many-hashes.bin', fwfix.fit_hashed(v, data, [('crc32', None), ('sha1', None)] * 1000))
put('/tmp/fw/forged-line.bin', fwfix.fit_hashed(v + '\\nImage type: OEM config', b'k' * 64, [('sha1', None)]))
control = '00:15:6d:10:20:00-00:15:6d:10:20:ff\n'
put('/tmp/fw/linked.bin', fwfix.sealed(v, None, control, files={'control': control}, links={'pf.json': '/etc/passwd'}))
put('/tmp/fw/sealed.bin', fwfix.sealed(v, '{"countryCode":"DE"}', control,
                                       files={'pf.json': '{"countryCode":"DE"}', 'control': control, 'run.sh': 'x'}))
put('/tmp/fw/short.bin', fwfix.sealed(v, '{}', control)[:80])
put('/etc/log4c/fwupdate.conf', 'fwupdate.common = debug\n')
shutil.rmtree(fwfix.WORK, True)
PY

DEVICE=$(cat <<'EOF'
section() { printf '\n== %s\n' "$*"; }
seqs() { python3 -c "
import struct; d = open('/var/cfg/config.bin', 'rb').read()
print('  sequences: part 0 %d, part 1 %d' % (struct.unpack_from('>I', d, 4)[0], struct.unpack_from('>I', d, 65536 + 4)[0]))"; }

section "sysconf: 5 MiB of zeros would inflate past what the reader takes: refused before anything is written"
head -c 5242880 /dev/zero > /tmp/big
cp /var/cfg/config.bin /tmp/before
sysconf --write big /tmp/big; echo "  --write: status $?"
cp /tmp/big /tmp/config.json; sysconf -w; echo "  -w: status $?"
cmp -s /tmp/before /var/cfg/config.bin && echo "  the store is byte for byte as it was"

section "sysconf: the active part holds sequence 4294967295; a write renumbers both parts, in order"
seqs
printf '{"hostname":"ap-2"}\n' | sysconf -o /dev/stdin
echo "  written from a pipe (-o /dev/stdin): status $?"
seqs
echo "  active: $(sysconf -r)   backup: $(sysconf -t backup -r)"

section "board store: a header alone is a valid, empty store (the older store behind it stays hidden)"
MT_PROC_DIR=/etc/mtd-table eeprom > /tmp/records 2>&1; echo "  eeprom: status $?, $(grep -c Type /tmp/records) records$(grep -q 'KBEE not found' /tmp/records && echo ', KBEE not found')"

section "fwupdate -c: 2000 hash nodes over 1 MiB cost one pass per digest"
cp /tmp/fw/many-hashes.bin /tmp/fwupdate.bin
fwupdate -c 2>&1 | grep -E 'digest passes|^APCPE' | sed 's/^/  /'

section "fwupdate -i: a version text with a line break cannot forge a second line"
cp /tmp/fw/forged-line.bin /tmp/fwupdate.bin
fwupdate -i 2>/dev/null | sed 's/^/  | /'

section "fwupdate -c: sealed product files"
for f in linked sealed short; do
    cp /tmp/fw/$f.bin /tmp/fwupdate.bin
    printf '  %-7s ' "$f:"; fwupdate -c >/dev/null 2>/tmp/err; echo "status $?, $(grep -v '^fwupdate\[' /tmp/err | paste -sd' ')"
done
echo "  left of the archives in /tmp: $(ls -a /tmp | grep -E 'pf.json|control|run.sh|product.zip|fwupdate-' || echo nothing)"
mkfifo /tmp/fifo; rm /tmp/fwupdate.bin; mv /tmp/fifo /tmp/fwupdate.bin
printf '  a FIFO as the image: '; timeout 5 fwupdate -c 2>&1; echo "  status $?"
EOF
)

"$here/tests/harness/vdev" --build "$build" --root "$root" -- /bin/sh -c "$DEVICE"
