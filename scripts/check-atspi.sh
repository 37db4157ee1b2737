#!/usr/bin/env bash
# Checks kestrel's windows as a screen reader sees them: a private X server (Xvfb on a free
# display), a private D-Bus session with its own accessibility bus, and scripts/check-atspi.py
# driving the windows over AT-SPI. Needs xvfb, dbus, at-spi2-core and python3-pyatspi
# (scripts/setup.sh test installs them). Works as root and without a display; stops by itself.
#
#   scripts/check-atspi.sh BUILD_DIR [--trees-only]
set -euo pipefail

build=${1:?usage: check-atspi.sh BUILD_DIR [--trees-only]}
shift
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kestrel=$build/src/kestrel
launcher=/usr/libexec/at-spi-bus-launcher
[ -x "$launcher" ] || launcher=/usr/lib/at-spi2-core/at-spi-bus-launcher

work=$(mktemp -d)
xvfb_pid=
cleanup() {
    if [ -n "$xvfb_pid" ]; then
        kill "$xvfb_pid" 2>/dev/null || true
        wait "$xvfb_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a display nobody uses and writes its number to the descriptor given.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
for _ in $(seq 100); do
    [ -s "$work/display" ] && break
    sleep 0.1
done
if [ ! -s "$work/display" ]; then
    echo "check-atspi: Xvfb did not start" >&2
    cat "$work/xvfb.log" >&2
    exit 1
fi
export DISPLAY=":$(head -n1 "$work/display")"
mkdir -m 700 "$work/run"
export XDG_RUNTIME_DIR=$work/run
unset WAYLAND_DISPLAY QT_QPA_PLATFORM

# Inside the session: the accessibility bus first, then the driver; the launcher ends with it.
timeout -k 5 180 dbus-run-session -- bash -c '
    "$1" --launch-immediately &
    launcher_pid=$!
    shift
    /usr/bin/python3 "$@"
    status=$?
    kill "$launcher_pid" 2>/dev/null
    wait "$launcher_pid" 2>/dev/null
    exit $status
' check-atspi "$launcher" "$root/scripts/check-atspi.py" "$kestrel" "$@"
