#!/bin/bash
# Process supervision in the virtual device: launchd running services from their files, and resetd
# turning button presses into a reboot or a factory reset (the GPIO tree is the FUSE stand-in).
#
# usage: tools/demo.d/40-supervise.sh [BUILD_DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-build}" && pwd)
[ -x "$build/tests/fakegpio/fakegpio" ] || { echo "supervise demo: $build/tests/fakegpio/fakegpio not built" >&2; exit 1; }

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
python3 - "$root" "$here" <<'PY'
import json, os, struct, sys
root, src = sys.argv[1], sys.argv[2]
sys.path.insert(0, os.path.join(src, 'multool/lib/board/tests'))
import kbeefmt

def put(path, data):
    dst = os.path.join(root, path.lstrip('/'))
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    with open(dst, 'wb') as f:
        f.write(data.encode() if isinstance(data, str) else data)

# the reset button: line 5, low while pressed (board record 9, big-endian)
put('/var/cfg/.eeprom', kbeefmt.image([(0x8000, kbeefmt.store([(9, struct.pack('>HH', 5, 0))]))]))
put('/etc/product', json.dumps({'firmwareId': 'AP.QA-2', 'leds': {'power': {'ledName': ['Power']}}}))
put('/sys/class/leds/power/trigger', 'default-on')
put('/etc/log4c/launchd.conf', 'launchd = info\n')
PY

DEVICE=$(cat <<'EOF'
section() { printf '\n== %s\n' "$*"; }
svc() { printf '{"service":{"name":"%s","exec":"%s","period":"%s"%s}}\n' "$2" "$3" "$4" "${5:-}" > "$1"; }

section "launchd: two services in /tmp/launchd/periodic, loaded at start"
mkdir -p /tmp/launchd/periodic
svc /tmp/launchd/periodic/uptime uptime 'cut -d\" \" -f1 /proc/uptime' 500 ',"stdout":"/tmp/uptime.txt"'
svc /tmp/launchd/periodic/slow slow 'sleep 1.2' 500
launchd 2>/tmp/launchd.log &
launchd=$!
sleep 1.4
echo "published by 'uptime' (replaced whole after each run): $(cat /tmp/uptime.txt)"
section "a file dropped into /tmp/launchd/services is loaded by its event; one deleted stops"
svc /tmp/launchd/services/hello hello 'echo hello from launchd >> /tmp/hello.txt' 400 ',"delayFirstRun":true'
sleep 1.0
rm /tmp/launchd/services/hello
sleep 0.6
echo "hello.txt: $(wc -l < /tmp/hello.txt) lines, no more after the delete: $(sleep 0.8; wc -l < /tmp/hello.txt)"
kill -INT $launchd; wait $launchd && echo "launchd: SIGINT, exit status 0"
echo "its log (category launchd at info):"
sed 's/^/  /' /tmp/launchd.log

section "resetd: the button on GPIO 5, read through the stand-in sysfs GPIO tree"
mkdir -p /sys/class/gpio; mkfifo /tmp/ctl
/mnt/vdev/build/tests/fakegpio/fakegpio --log /tmp/gpio.log --ctl /tmp/ctl --line 5=1 /sys/class/gpio &
while [ ! -e /sys/class/gpio/export ]; do sleep 0.05; done
resetd && echo "resetd detached; the line is exported: $(ls /sys/class/gpio | paste -sd' ')"
calls() { python3 -c 'import json,sys; [print("  ran:", " ".join(json.loads(l)["argv"])) for l in open("/run/vdev/stubs.log")]' 2>/dev/null || true; }
echo "short press (0.3 s):"; echo "5 0" > /tmp/ctl; sleep 0.3; echo "5 1" > /tmp/ctl; sleep 0.5; calls
echo "long press (6.5 s): power LED trigger at 4 s: $(echo '5 0' > /tmp/ctl; sleep 4; cat /sys/class/leds/power/trigger), at 6.5 s: $(sleep 2.5; cat /sys/class/leds/power/trigger)"
echo "5 1" > /tmp/ctl; sleep 0.5; calls
kill -TERM "$(pidof resetd)"; sleep 0.3
echo "after SIGTERM: $(ls /sys/class/gpio | paste -sd' ') (gpio5 unexported)"
EOF
)

"$here/tests/harness/vdev" --build "$build" --root "$root" --stub /sbin/reset_to_defaults --require overlay-sys \
	-- /bin/sh -c "$DEVICE"
