#!/bin/bash
# Link test between two virtual devices: ltsd on the server, linktest on the client, over LLC and UDP.
#
# usage: tools/demo.d/40-linktest.sh [BUILD_DIR]
#
# One virtual device (tests/harness/vdev) holds both: the client in its own network namespace, the
# server in the namespace "srv", joined by a veth pair (see multool/lib/linktest/tests/linkpair.py).
# The packet generator of each is the stand-in tests/fakepktgen, which sends and counts real frames;
# tshark counts them on the server's bridge on its own.
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-build}" && pwd)
[ -x "$build/tests/fakepktgen/fakepktgen" ] || { echo "linktest demo: no stand-in generator in $build"; exit 0; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/etc"
cat > "$root/etc/linktest-demo.py" <<'PY'
import subprocess, sys
sys.path.insert(0, '/mnt/vdev/src/multool/lib/linktest/tests')
import linkpair

def section(text):
    print('\n== ' + text, flush=True)

def show(r):
    sys.stdout.write(r.stdout)
    sys.stdout.write(''.join('  stderr: ' + ln + '\n' for ln in r.stderr.splitlines()))
    sys.stdout.flush()

FRAMES = 'udp.dstport == 9 && ip.dst == 1.1.1.1 && eth.dst == 02:00:00:00:0b:0b'
p = linkpair.Pair()
try:
    p.start_pktgen('cli')
    p.start_pktgen('srv')
    p.put_wireless('cli', linkpair.wireless('srv'))
    p.put_wireless('srv', linkpair.wireless('cli'))
    section('the server: ltsd on its bridge br0 (LLC) and on UDP port 37256')
    p.start_ltsd('srv')
    print('linktest -l (peers from /var/run/stats/wireless.json):')
    show(p.linktest(['-l']))

    section('linktest -t 3 -c 1000: three sessions to the server; tshark counts on the server')
    stop = p.capture('srv', 'br0', '/tmp/a.pcapng')
    show(p.linktest(['-t', '3', '-c', '1000']))
    stop()
    print('tshark: %d generated frames reached the server' % len(linkpair.tshark('/tmp/a.pcapng', FRAMES)))
    print('control frames of the first session, as tshark dissects them:')
    for row in linkpair.tshark('/tmp/a.pcapng', 'llc', ('eth.src', 'eth.dst', 'eth.len', 'llc.dsap', 'llc.ssap',
                                                        'llc.control'))[2:8]:
        print('  %s -> %s  length %s  DSAP %s SSAP %s control %s' % tuple(row))

    section('the same over a lossy link (nftables drops 20% of the generated frames)')
    p.loss(20)
    stop = p.capture('srv', 'br0', '/tmp/b.pcapng')
    show(p.linktest(['-t', '3', '-c', '1000']))
    stop()
    p.no_loss()
    print('tshark: %d of 3000 generated frames reached the server' % len(linkpair.tshark('/tmp/b.pcapng', FRAMES)))

    section('linktest -j -t 2 -c 500 (one JSON object per line)')
    show(p.linktest(['-j', '-t', '2', '-c', '500']))

    section('linktest -r -t 2 -c 1000: the server tests toward us, its output relayed (our ltsd answers it)')
    p.start_ltsd('cli')
    show(p.linktest(['-r', '-t', '2', '-c', '1000']))

    section('what a shell would have run is refused: RUN "-t 1;reboot" over UDP')
    import socket
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(2)
    s.sendto(b'RUN -t 1;reboot', (linkpair.IP['srv'], 37256))
    print('  ltsd answers %r' % s.recv(512))
finally:
    p.close()
PY

setup=$(cd "$here/multool/lib/linktest/tests" && python3 -c 'import linkpair; print(linkpair.SETUP)')
"$here/tests/harness/vdev" --build "$build" --root "$root" --stub /sbin/modprobe=0 --setup "$setup" -- \
	python3 /etc/linktest-demo.py 2>&1 | grep -v '^Ignoring invalid max threads'
