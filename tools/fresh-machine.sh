#!/bin/bash
# The README's commands on a fresh machine: builds a minimal Debian 12 root (mmdebstrap, variant
# minbase: no make, no compiler, empty package lists), bind-mounts a clean copy of this tree into it at
# /src with the root made a mount point (the sandboxed virtual device pivots its own root inside), and
# runs there, as root, the commands of the README's first code block: getting make, `make demo` and
# `make test`.  It ends with the time each step took and the closing lines of the three test suites.
#
# Not part of `make test`: it needs root, the network (Debian's archive, as this machine's apt is
# configured) and most of an hour on two cores.
#
# usage: tools/fresh-machine.sh [WORKDIR]      (default /var/tmp/fresh-machine; emptied first)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/var/tmp/fresh-machine}
root=$work/root
tree=$work/tree
log=$work/run.log

[ "$(id -u)" -eq 0 ] || { echo "fresh-machine: needs root" >&2; exit 1; }
if ! command -v mmdebstrap >/dev/null; then
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap
fi

# The commands exactly as the README gives them: its first code block, comments removed.
mapfile -t commands < <(awk '/^```/ { if (++fence == 2) exit; next } fence == 1' "$here/README.md" |
	sed 's/[[:space:]]*#.*//' | sed '/^[[:space:]]*$/d')
[ ${#commands[@]} -gt 0 ] || { echo "fresh-machine: no commands in README.md" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work" "$tree"
exec > >(tee "$log") 2>&1

# A clean copy: the tracked and new files of the tree, none of its build trees.
(cd "$here" && git ls-files -z --cached --others --exclude-standard |
	while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
	tar -c --null -T - -f - | tar -x -f - -C "$tree")

# The archive as this machine's apt reaches it.
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
	[ -s "$f" ] && sources+=("$f")
done

t0=$(date +%s)
mmdebstrap --variant=minbase bookworm "$root" "${sources[@]}"
t1=$(date +%s)
mkdir -p "$root/src"
cp /etc/resolv.conf "$root/etc/resolv.conf"

# Each command runs even when one before it failed, so one run gives every figure.
script=$(printf 'cd /src; failed=0\n'; for c in "${commands[@]}"; do
	printf 'echo "fresh-machine: + %s"; s=$(date +%%s); st=0; %s || st=$?; [ $st -eq 0 ] || failed=1\n' "$c" "$c"
	printf 'echo "fresh-machine: %s took $(( $(date +%%s) - s )) s, status $st"\n' "$c"
done; printf 'exit $failed\n')

# A private mount and pid namespace: every mount below ends with it, and nothing in the root sees the
# host's processes.
status=0
unshare --mount --pid --fork --propagation private /bin/bash -euc '
	root=$1 tree=$2 script=$3
	mount --bind "$root" "$root"
	mount --bind "$tree" "$root/src"
	mount -t proc proc "$root/proc"
	mount -t sysfs sysfs "$root/sys"
	mount --rbind /dev "$root/dev"
	exec chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 \
		PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /bin/bash -o pipefail -c "$script"
' fresh "$root" "$tree" "$script" || status=$?
t2=$(date +%s)

echo
echo "== fresh-machine summary"
echo "minimal Debian 12 root: $((t1 - t0)) s"
grep -h '^fresh-machine: .* took ' "$log" || true
for b in build build-asan build-mips; do
	[ -f "$tree/$b/ctest-output.txt" ] || continue
	grep -h -E 'tests passed|Total Test time' "$tree/$b/ctest-output.txt" | sed "s|^|$b: |"
	sed -n '/The following tests FAILED/,/^$/p' "$tree/$b/ctest-output.txt" | sed "s|^|$b: |"
done
echo "commands in the root: $((t2 - t1)) s, status $status"
exit $status
