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
if [ ! -x "$kestrel" ]; then
    echo "check-atspi: no $kestrel; build it first" >&2
    exit 1
fi
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

# A display number nobody holds, away from the low ones that desktops and other runs take;
# Xvfb refuses one whose lock another server holds, and the next is tried.
display=
for _ in $(seq 20); do
    number=$((200 + RANDOM % 700))
    [ -e "/tmp/.X$number-lock" ] || [ -e "/tmp/.X11-unix/X$number" ] && continue
    # -noreset: a server that resets as its last client leaves refuses the next one meanwhile
    Xvfb ":$number" -screen 0 1280x1024x24 -nolisten tcp -noreset 2>"$work/xvfb.log" &
    xvfb_pid=$!
    for _ in $(seq 50); do
        kill -0 "$xvfb_pid" 2>/dev/null || break
        if [ -S "/tmp/.X11-unix/X$number" ]; then
            display=$number
            break
        fi
        sleep 0.1
    done
    [ -n "$display" ] && break
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=
done
if [ -z "$display" ]; then
    echo "check-atspi: Xvfb did not start" >&2
    cat "$work/xvfb.log" >&2
    exit 1
fi
export DISPLAY=":$display"
unset WAYLAND_DISPLAY QT_QPA_PLATFORM
mkdir -m 700 "$work/run"
export XDG_RUNTIME_DIR=$work/run

# Inside the session: the accessibility bus first, then the driver; the launcher ends with it.
# A program that asked for the bus before the launcher owned its name would start a second
# one by activation and might go without, so the driver waits for the name (asking whether it
# has an owner activates nothing).
timeout -k 5 180 dbus-run-session -- bash -c '
    "$1" --launch-immediately &
    launcher_pid=$!
    shift
    for _ in $(seq 100); do
        dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner string:org.a11y.Bus 2>/dev/null |
            grep -q "boolean true" && break
        sleep 0.1
    done
    /usr/bin/python3 "$@"
    status=$?
    kill "$launcher_pid" 2>/dev/null
    wait "$launcher_pid" 2>/dev/null
    exit $status
' check-atspi "$launcher" "$root/scripts/check-atspi.py" "$kestrel" "$@"
