#!/bin/bash
# The factory line and the radio's regulatory tool: factoryd's setters, a test station speaking its TCP protocol, athtool through the stand-in radio driver.
#
# usage: tools/demo.d/40-factory.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-build}" && pwd)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# The board store on the art partition, a Factory partition, stand-ins for the boot scripts, a product
# file and the radio driver's answers; built with the tests' independent encoders.
python3 - "$root" "$here" <<'PY'
import json, os, struct, sys
root, src = sys.argv[1], sys.argv[2]
sys.path.insert(0, os.path.join(src, 'multool/lib/board/tests'))
import kbeefmt

def put(path, data, mode=0o644):
    dst = os.path.join(root, path.lstrip('/'))
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    with open(dst, 'wb') as f:
        f.write(data.encode() if isinstance(data, str) else data)
    os.chmod(dst, mode)

put('/dev/mtdblock5', kbeefmt.image([(0x8000, kbeefmt.store([(2, b'fw-1.2'), (11, b'\x01'), (14, b'7777')]))]))
put('/dev/mtdblock6', b'\xff' * 4096)
put('/etc/mtd-table/mtd', 'dev:    size   erasesize  name\nmtd5: 00010000 00001000 "art"\n'
    'mtd6: 00001000 00001000 "Factory"\n')
for script in ('/usr/lib/atas/start', '/usr/lib/atas/stop', '/usr/sbin/fw_setenv'):
    put(script, '#!/bin/sh\necho "  [stand-in] $0 $*" >&2\n', 0o755)
put('/usr/sbin/sysconf', '#!/bin/sh\necho "{}"\n', 0o755)
put('/etc/product', json.dumps({'countryCode': 'LT', 'dfsRegion': 'etsi', 'radios': {'wifi0': {
    'band2GHz': {'frequencyRanges': [{'begin': 2402, 'end': 2482, 'width': 20, 'eirp': 20, 'power': 20, 'flags': 'none'}]},
    'band5GHz': {'frequencyRanges': [{'begin': 5470, 'end': 5725, 'width': 40, 'eirp': 30, 'power': 27, 'flags': 'dfs'}]}}}}))
put('/usr/lib/countries.txt', 'LT;Lithuania;440\nUS;United States;840\n')
HT20, HT40P, G2, G5 = 0x10000, 0x20000, 0x80, 0x100
put('/tmp/fakewifi.json', json.dumps({'interfaces': {'wifi0': {'athtool': {
    'channels': [{'freq': 2412, 'flags': G2 | HT20, 'chan': 1, 'eirp': 20, 'max': 20, 'min': 0},
                 {'freq': 5500, 'flags': G5 | HT40P, 'extra': 0x2, 'chan': 100, 'eirp': 30, 'max': 27, 'min': 0},
                 {'freq': 5600, 'flags': G5 | HT20, 'extra': 0x102, 'chan': 120, 'eirp': 30, 'max': 27, 'min': 0}],
    'countries': [['LT', 20, 0, 30, 36], ['US', 30, 36, 30, 36]]}}}}))
PY

DEVICE=$(cat <<'EOF'
section() { printf '\n== %s\n' "$*"; }
export MT_PROC_DIR=/etc/mtd-table

section "factoryd: factory-state records set from the command line, written to the board store at once"
factoryd -P
factoryd -F 2 2>&1
factoryd -Q /usr/lib/hwtest/burn-in.sh
factoryd -q

section "factoryd -t: the boot decision (ATAS is on in the store, so the service starts)"
mkfifo /tmp/console; exec 3<>/tmp/console
factoryd -t < /tmp/console > /tmp/factoryd.out 2> /tmp/factoryd.err &
sleep 0.5
cat /tmp/factoryd.err

section "a test station on port 7777 (python socket/struct): records, a shell command, files, the Factory partition"
python3 - <<'PY'
import socket, struct, time
s = socket.create_connection(('::1', 7777))
def ask(data, what):
    s.sendall(data)
    answer = b''
    while not answer.endswith(b'$END'):
        answer += s.recv(65536)
    print('  %-44s -> %r' % (what, answer[:60]))
ask(b'KBFA' + struct.pack('>HH', 2, 0), 'KBFA type 2 (firmware id)')
ask(b'KBEE' + struct.pack('>HH', 4 + 8, 12) + b'10.0.0.9', 'KBEE type 12 = "10.0.0.9"')
ask(b'KCMD' + struct.pack('>I', 4) + b'save', 'KCMD "save"')
ask(b'uname -s\n', 'text line "uname -s"')
ask(b'KPUT' + struct.pack('>I', 68) + b'/tmp/station.txt'.ljust(64, b'\0') + struct.pack('>I', 6) + b'hello\n',
    'KPUT /tmp/station.txt (6 bytes)')
ask(b'KGET' + struct.pack('>I', 64) + b'/tmp/station.txt'.ljust(64, b'\0'), 'KGET /tmp/station.txt')
ask(b'RTEE' + struct.pack('>I', 8) + bytes(range(8)), 'RTEE 8 bytes to the Factory partition')
ask(b'KPUT' + struct.pack('>I', 69), 'KPUT with a length that is not 68')
s2 = socket.create_connection(('127.0.0.1', 7777))
s2.sendall(b'KCMD' + struct.pack('>I', 8) + b'continue')
print('  %-44s -> %r' % ('KCMD "continue" (second connection)', s2.recv(16)))
PY
wait
echo "factoryd's console:"; sed 's/^/  /' /tmp/factoryd.out; echo; sed -n '3,$s/^/  /p' /tmp/factoryd.err
echo "Factory partition: $(head -c 12 /dev/mtdblock6 | od -An -tx1)"
echo "board store now:"; eeprom 2>/dev/null | sed -n '/^Type/{N;s/\n/ /;p}' | sed 's/^/  /'

section "athtool: channels of wifi0 for step 20, width 20, IEEE mode, country LT (text, full, JSON)"
export LD_PRELOAD=/mnt/vdev/build/tests/fakewifi/libfakewifi.so FAKEWIFI_CONFIG=/tmp/fakewifi.json FAKEWIFI_LOG=/tmp/req.log
athtool -c 20:20:0:LT
athtool -f -c 20:20:0:LT
athtool -j -c 20:20:0:LT
section "athtool: countries, regulatory ranges from /etc/product, name and Xelto limits set and read back in one run"
athtool -L
athtool -C -N roof-ap -n -P "1 8 50000000 4000 2" -p
athtool -P "11 $(yes 1 | head -44 | paste -sd' ')" || true
echo "requests the radio driver saw (command, payload length, first bytes):"
python3 -c '
import json
for line in open("/tmp/req.log"):
    e = json.loads(line)
    print("  cmd %2d len %5d  %s" % (e["cmd"], e["length"], e["request"][16:56]))
'
EOF
)

"$here/tests/harness/vdev" --build "$build" --root "$root" -- /bin/sh -c "$DEVICE"
