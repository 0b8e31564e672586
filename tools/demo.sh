#!/bin/bash
# Runs the device inside the sandboxed virtual device (tests/harness/vdev) and shows what it does.
#
# usage: tools/demo.sh [BUILD_DIR]
#
# The device side is one shell script (DEVICE below) made of sections; fixtures for it go into the
# folder $root, which is copied over the device's / before it starts.  To show a new part of the
# device, add its fixture files and append a section.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT

# -- fixtures ----------------------------------------------------------------------------------------
mkdir -p "$root/etc/log4c"
# cpustat's own logging configuration: found through the applet's name.
printf '# pattern = level\nlib.* = info\n' > "$root/etc/log4c/cpustat.conf"

# -- the device --------------------------------------------------------------------------------------
DEVICE=$(cat <<'EOF'
section() { printf '\n== %s\n' "$*"; }

section "multool: the applets it knows (shown for an unknown name)"
multool 2>&1 | sed 1d || true

section "each applet is a link in /usr/sbin"
for a in sysconf cpustat logctl; do echo "/usr/sbin/$a -> $(readlink /usr/sbin/$a)"; done

section "logging categories (table order) and where the table lies"
multool logctl --log4c-dump | paste -sd' ' || true
multool logctl --log4c-info || true

section "cpustat: three cpu samples, one second apart"
cpustat -c 3 1

section "levels of a running cpustat: /etc/log4c/cpustat.conf, then logctl from outside"
cat > /tmp/levels.py <<'PY'
# Reads the category levels out of the process memory, independently of logctl.
import struct, subprocess, sys
pid = sys.argv[1]
def multool(opt):
    return subprocess.run(['/usr/sbin/multool', 'x', opt], capture_output=True, text=True).stdout
start, stop, count = multool('--log4c-info').split(', ')
names = multool('--log4c-dump').split()
start, stride = int(start, 16), (int(stop, 16) - int(start, 16)) // int(count)
with open('/proc/%s/mem' % pid, 'rb') as mem:
    for i, name in enumerate(names):
        mem.seek(start + i * stride + stride - 8)
        level = struct.unpack('=i', mem.read(4))[0]
        if level != 7:
            print('  %-16s level %d' % (name, level))
PY
cpustat -l 1 > /tmp/load.txt &
pid=$!
sleep 0.3
echo "cpustat pid $pid, from its configuration file:"
python3 /tmp/levels.py "$pid"
logctl -p "$pid" 'sysconf*=debug' 'lib.utils=off'
echo "after logctl -p $pid 'sysconf*=debug' 'lib.utils=off':"
python3 /tmp/levels.py "$pid"
sleep 1.2
kill "$pid"
echo "cpu load samples: $(paste -sd' ' /tmp/load.txt)"
EOF
)

"$here/tests/harness/vdev" --build "$build" --root "$root" -- /bin/sh -c "$DEVICE"
