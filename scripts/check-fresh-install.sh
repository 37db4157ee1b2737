#!/usr/bin/env bash
# Installs the Debian package into a fresh Debian 12 root made with debootstrap and checks it
# there: apt installs it with its dependencies, ldd finds every library, the program starts,
# getcap shows the capability, and apt remove (and purge) leaves nothing of it behind.
# Slow and needs the network, so the test command does not run it. Run as root.
#   scripts/check-fresh-install.sh PACKAGE.deb [MIRROR]
# MIRROR defaults to the Debian mirror this machine's apt already uses for bookworm.
set -euo pipefail

deb=$(realpath "${1:?usage: check-fresh-install.sh PACKAGE.deb [MIRROR]}")
suite=bookworm

# The first source of this machine's apt that serves the suite itself (not its updates).
host_mirror() {
    local file
    for file in /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] || continue
        awk -v suite="$suite" '
            /^[ \t]*$/ { if (ok && uri) { print uri; done = 1; exit } ok = 0; uri = "" }
            /^URIs:/ { uri = $2 }
            /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == suite) ok = 1 }
            END { if (!done && ok && uri) print uri }' "$file"
    done
    { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
        sed -n "s/^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\)[[:space:]]\+$suite[[:space:]].*/\2/p"
}
mirror=${2:-$(host_mirror | sed -n 1p)}
[ -n "$mirror" ] || { echo "no $suite mirror in this machine's apt sources; name one" >&2; exit 2; }

work=$(mktemp -d /tmp/kestrel-fresh.XXXXXX)
kroot="$work/root"
cleanup() {
    # Whatever is still mounted inside the root goes first, innermost first; and rm never
    # leaves the file system it starts on.
    findmnt -rn -o TARGET | grep "^$kroot/" | sort -r | xargs -r -n 1 umount -l || true
    rm -rf --one-file-system "$work"
}
trap cleanup EXIT

failed=()
check() {
    local name=$1
    shift
    echo "-- $name"
    "$@" || { echo "FAILED: $name"; failed+=("$name"); }
}
in_root() { chroot "$kroot" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"; }

echo "-- debootstrap $suite from $mirror"
debootstrap "$suite" "$kroot" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log"; exit 1; }
cp /etc/resolv.conf "$kroot/etc/resolv.conf"
mount -t proc proc "$kroot/proc"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$kroot/dev/pts"
cp "$deb" "$kroot/tmp/"
package=$(basename "$deb")

# Every file of the root, without what changes by itself.
snapshot() {
    in_root find / -xdev \( -path /proc -o -path /tmp -o -path /var/lib/apt -o -path /var/lib/dpkg \
        -o -path /var/cache -o -path /var/log -o -path /run -o -path /dev \) -prune -o -print |
        sort
}
in_root apt-get update -q >/dev/null
# The package's dependencies first, so that what the package itself adds and leaves can be
# told apart from what they bring.
needs=$(dpkg-deb -f "$deb" Depends Recommends | sed 's/^[A-Za-z]*: //' | paste -sd, -)
echo "-- apt-get satisfy $needs"
in_root apt-get satisfy -y -q "$needs" >"$work/satisfy.log" 2>&1 ||
    { tail -n 20 "$work/satisfy.log"; exit 1; }
snapshot >"$work/before"

check "apt install ./$package" in_root sh -c "cd /tmp && apt install -y ./$package"
for program in $(in_root dpkg -L kestrel | grep '^/usr/bin/.'); do
    check "ldd $program finds every library" \
        in_root sh -c "ldd $program; ! ldd $program | grep -q 'not found'"
done
check "getcap /usr/bin/kestrel shows cap_net_bind_service" \
    in_root sh -c 'getcap /usr/bin/kestrel; getcap /usr/bin/kestrel | grep -q cap_net_bind_service'
# An unknown first argument opens nothing and ends the program: it loads and starts.
check "kestrel starts and ends" in_root env QT_QPA_PLATFORM=offscreen /usr/bin/kestrel /x
check "no unit of the package is enabled" \
    in_root sh -c '! find /etc/systemd -name "kestrel*" | grep .'
check "the manual page is where man looks" in_root sh -c \
    'if command -v man >/dev/null; then man -w kestrel; else test -f /usr/share/man/man1/kestrel.1.gz; fi'

check "apt remove kestrel" in_root apt remove -y kestrel
if in_root dpkg-query -W -f='${Status}\n' kestrel 2>/dev/null | grep -qv not-installed; then
    check "apt purge kestrel" in_root apt purge -y kestrel
else
    echo "-- apt purge kestrel: nothing to purge, dpkg dropped kestrel on remove (no conffiles)"
fi
check "dpkg knows no kestrel" in_root sh -c \
    '! dpkg-query -W -f="\${Status}\n" kestrel 2>/dev/null | grep -qv not-installed'
check "no file named kestrel is left" \
    in_root sh -c '! find / -xdev \( -path /proc -o -path /tmp \) -prune -o -name "*kestrel*" -print | grep .'
snapshot >"$work/after"
check "every file is as it was before the install" diff "$work/before" "$work/after"

if [ ${#failed[@]} -eq 0 ]; then
    echo "fresh install check: all passed"
    exit 0
fi
echo "fresh install check: FAILED (${failed[*]})"
exit 1
