#!/bin/bash
# The module in a real kernel: two QEMU guests (TCG, no KVM needed) running the kernel whose headers
# the module builds against, joined by an emulated Ethernet link (UDP on loopback between the two
# QEMU processes), one guest the master and one the client.  Each guest pings the other with small,
# large and fragmented payloads over its peer device, reads the /sys/qlix files, deletes its peer,
# unloads the module and checks its kernel log for BUG, WARNING or oops.
# Exits 77 (skipped) where QEMU, the kernel image, its modules or a static busybox are missing.
set -euo pipefail
skip() { echo "qemu_test: SKIP: $*"; exit 77; }

src=$(cd "$(dirname "$0")/.." && pwd)
out=${1:?usage: qemu_test.sh BUILD_DIR}/qlix-qemu
headers=$(ls -d /usr/src/linux-headers-*-amd64 2>/dev/null | sort -V | tail -n 1 || true)
[ -n "$headers" ] || skip "no /usr/src/linux-headers-*-amd64"
kver=${headers#/usr/src/linux-headers-}
kernel=/boot/vmlinuz-$kver
mods=/lib/modules/$kver
qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || skip "qemu-system-x86_64 not installed (qemu-system-x86)"
[ -r "$kernel" ] || skip "$kernel not readable (linux-image-$kver)"
[ -d "$mods/kernel" ] || skip "no modules in $mods"
busybox=/bin/busybox
[ -x "$busybox" ] && ! readelf -l "$busybox" 2>/dev/null | grep -q INTERP || skip "no static $busybox (busybox-static)"
command -v cpio >/dev/null || skip "cpio not installed"

rm -rf "$out"
mkdir -p "$out/ko"
sources=(Kbuild qlix_compat.h qlix.h qlix_int.h qlix_wire.h qlix_wire.c qlix_stats_rec.h qlix_stats_rec.c module.c peer.c
	txq.c token.c rx.c autorate.c wrr.c sysfs.c qlix_class.h qlix_class.c qos.c)
for f in "${sources[@]}"; do cp "$src/$f" "$out/ko/"; done
make -s -C "$headers" M="$out/ko" modules >"$out/kbuild.log" 2>&1 || { cat "$out/kbuild.log"; exit 1; }

# The link: the guest's e1000 (an Ethernet NIC with a 1500-byte MTU, dropping longer frames), and
# llc and psnap for the SNAP registrations.
guest_mods=(kernel/drivers/net/ethernet/intel/e1000/e1000.ko kernel/net/llc/llc.ko kernel/net/802/psnap.ko)
mac_m=52:54:00:71:00:01
mac_c=52:54:00:71:00:02

# $1 role name, $2 master flag, $3 own address, $4 other's address, $5 other's MAC
make_initrd() {
	local root=$out/$1/root
	mkdir -p "$root/bin" "$root/m"
	cp "$busybox" "$root/bin/busybox"
	for m in "${guest_mods[@]}"; do cp "$mods/$m" "$root/m/"; done
	cp "$out/ko/qlix.ko" "$root/m/"
	cat >"$root/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mkdir -p /proc /sys /dev /tmp
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
say() { echo "QTEST \$*"; }
fail() { say FAIL "\$*"; }
for m in e1000 llc psnap; do insmod /m/\$m.ko || fail insmod \$m; done
ip link set lo up
ip link set eth0 up
insmod /m/qlix.ko ifname=eth0 master=$2 || fail insmod qlix
echo "+$5" > /sys/qlix/peers || fail peer add
ip link set peer0 up || fail peer up
ip addr add $3/24 dev peer0
say mtu \$(cat /sys/class/net/peer0/mtu)
i=0
until ping -c 1 -W 1 $4 >/dev/null 2>&1; do
	i=\$((i + 1))
	[ \$i -lt 60 ] || { fail first ping; break; }
done
for size in 56 1400 3000; do
	got=\$(ping -c 5 -w 30 -s \$size $4 | sed -n 's/.* \([0-9]*\) packets received.*/\1/p')
	[ "\$got" = 5 ] && say ok ping \$size || fail ping \$size got "\$got" of 5
done
echo 20MHz > /sys/qlix/autorate/bw || fail bw write
[ "\$(cat /sys/qlix/autorate/bw)" = "3 - 20MHz" ] && say ok autorate || fail bw reads \$(cat /sys/qlix/autorate/bw)
echo 24 > /sys/qlix/autorate/max_mcs 2>/dev/null && fail max_mcs 24 accepted
echo 1 > /sys/qlix/autorate/state || fail state write
for f in /sys/qlix/* /sys/qlix/autorate/* /sys/qlix/peer0/*; do
	[ -f "\$f" ] || continue
	case \$(stat -L -c %a "\$f") in 2*) continue ;; esac
	cat "\$f" >/dev/null || fail read \$f
done
[ -s /sys/qlix/stats ] && say ok sysfs || fail stats empty
modes=\$(stat -c %a /sys/qlix/stats /sys/qlix/peers /sys/qlix/all-stats /sys/qlix/devel_options/cep1 \
	/sys/qlix/devel_options/queue_len /sys/class/net/peer0/qlix/weight /sys/class/net/peer0/qlix/stats \
	/sys/module/qlix/parameters/* | tr '\n' ' ')
[ "\$modes" = "444 200 444 644 444 644 444 644 644 644 644 644 644 644 644 " ] && say ok modes || fail modes \$modes
upper=\$(echo $5 | tr a-f A-F)
[ -L /sys/qlix/peer0 ] && [ -L /sys/qlix/\$upper ] && [ -f /sys/qlix/\$upper/train_stats ] && say ok links || fail links
records=\$(cat /sys/qlix/all-stats | wc -c)
[ "\$records" -eq 56 ] && say ok all-stats || fail all-stats \$records bytes for one peer
if [ $2 = 1 ]; then
	timeout 90 nc -l -p 7000 >/tmp/done
	grep -q done /tmp/done || fail no word from the client
else
	i=0
	until echo done | nc -w 2 $4 7000; do
		i=\$((i + 1))
		[ \$i -lt 30 ] || { fail telling the master; break; }
		sleep 1
	done
fi
echo "-$5" > /sys/qlix/peers || fail peer delete
rmmod qlix || fail rmmod
if dmesg | grep -E 'BUG|WARNING|[Oo]ops|Call Trace|general protection'; then
	fail kernel log
else
	say ok kernel log
fi
say DONE
poweroff -f
EOF
	chmod +x "$root/init"
	(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out/$1/initrd.gz"
}

make_initrd master 1 10.77.0.1 10.77.0.2 $mac_c
make_initrd client 0 10.77.0.2 10.77.0.1 $mac_m

# two UDP ports on loopback, one per guest
port_m=$((20000 + RANDOM % 20000))
port_c=$((port_m + 1))
run_guest() { # role, mac, own port, other port
	timeout 150 "$qemu" -accel tcg -m 256 -smp 1 -nodefaults -display none -no-reboot \
		-serial "file:$out/$1/console.log" -kernel "$kernel" -initrd "$out/$1/initrd.gz" \
		-append "console=ttyS0 rdinit=/init panic=-1 quiet mitigations=off" \
		-netdev "socket,id=n0,udp=127.0.0.1:$4,localaddr=127.0.0.1:$3" \
		-device "e1000,netdev=n0,mac=$2" >"$out/$1/qemu.log" 2>&1
}
start=$(date +%s)
run_guest master $mac_m $port_m $port_c &
pid_m=$!
run_guest client $mac_c $port_c $port_m &
pid_c=$!
rc_m=0 rc_c=0
wait $pid_m || rc_m=$?
wait $pid_c || rc_c=$?
echo "qemu_test: guests ran $(($(date +%s) - start)) s"

status=0
for role in master client; do
	log=$out/$role/console.log
	echo "--- $role"
	grep -a 'QTEST' "$log" || true
	if grep -aq 'QTEST FAIL' "$log" || ! grep -aq 'QTEST DONE' "$log"; then
		status=1
		echo "--- $role console"
		tail -n 60 "$log"
		cat "$out/$role/qemu.log"
	fi
	for want in 'ok ping 56' 'ok ping 1400' 'ok ping 3000' 'ok sysfs' 'ok autorate' 'ok modes' 'ok links' 'ok all-stats' \
		'ok kernel log'; do
		grep -aq "QTEST $want" "$log" || { echo "qemu_test: $role: missing \"$want\""; status=1; }
	done
done
[ $rc_m = 0 ] && [ $rc_c = 0 ] || { echo "qemu_test: qemu exit $rc_m/$rc_c"; status=1; }
exit $status
