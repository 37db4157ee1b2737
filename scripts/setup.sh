#!/usr/bin/env bash
# Sets up a Debian 12 machine for kestrel, builds it, and then either starts it or runs every
# test. Installs only what is missing; works as root or as a user with sudo.
#
#   scripts/setup.sh run [kestrel arguments...]   build and start the program
#   scripts/setup.sh test                         build and run the whole test suite
set -euo pipefail

mode=${1:-run}
shift || true
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"

if [ "$(id -u)" -eq 0 ]; then
    sudo=()
elif command -v sudo >/dev/null 2>&1; then
    sudo=(sudo)
else
    echo "kestrel setup: run this as root or install sudo" >&2
    exit 1
fi

packages=(build-essential cmake qt6-base-dev libgl-dev fonts-ipafont-gothic libcap2-bin)
packages+=(libssl-dev) # kestrel-relay makes its own TLS certificate with libcrypto
if [ "$mode" = test ]; then
    packages+=(xvfb xauth clang libclang-rt-14-dev clang-format)
    packages+=(qt6-base-private-dev dbus-daemon dbus-bin at-spi2-core python3-pyatspi) # accessibility
    # The TLS clients the relay's interoperability tests talk to it with.
    packages+=(openssl socat ncat)
fi
if [ "$mode" = test ]; then
    # The tests build the Debian package and check it (scripts/check-package.sh).
    packages+=(dpkg-dev file lintian appstream desktop-file-utils groff-base systemd)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "kestrel setup: installing ${missing[*]}"
    if ! { "${sudo[@]}" apt-get update &&
        "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y --no-install-recommends "${missing[@]}"; }; then
        [ "$mode" != test ] || echo "kestrel tests: FAILED (installing ${missing[*]})"
        exit 1
    fi
fi

# Starting the program needs the program alone; the tests and benchmarks are built for test.
if [ "$mode" = run ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
    cmake --build "$build" -j "$(nproc)" --target kestrel
elif ! { cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build "$build" -j "$(nproc)"; }; then
    echo "kestrel tests: FAILED (build)"
    exit 1
fi

# The server's default port 555 and the UDP ports 777 and 778 lie below 1024: let the built
# program bind them without running as root. Undo with: setcap -r build/src/kestrel
grant_low_ports() {
    if ! "${sudo[@]}" setcap cap_net_bind_service=+ep "$1"; then
        echo "kestrel setup: could not grant $1 the right to bind ports below 1024" >&2
    fi
}
grant_low_ports "$build/src/kestrel"

case "$mode" in
run)
    exec "$build/src/kestrel" "$@"
    ;;
test)
    exec "$root/scripts/test-all.sh" "$build"
    ;;
*)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac
