#!/usr/bin/env bash
# Checks kestrel's windows as a screen reader sees them, under a private X server on a free
# display and a private D-Bus session whose accessibility bus starts as the first program asks
# for it. Needs the test packages of scripts/setup.sh; stops by itself.
#   tests/atspi/check-atspi.sh BUILD_DIR
set -euo pipefail
kestrel=${1:?usage: check-atspi.sh BUILD_DIR}/src/kestrel
[ -x "$kestrel" ] || { echo "check-atspi: no $kestrel; build it first" >&2; exit 1; }
XDG_RUNTIME_DIR=$(mktemp -d)
trap 'rm -rf "$XDG_RUNTIME_DIR"' EXIT
export XDG_RUNTIME_DIR QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 QT_QPA_PLATFORM=xcb LANG=C.UTF-8
# -noreset: a server that resets as its last client leaves refuses the next one meanwhile
timeout -k 5 180 xvfb-run -a -f "$XDG_RUNTIME_DIR/Xauthority" \
    -s '-screen 0 1280x1024x24 -nolisten tcp -noreset' \
    dbus-run-session -- /usr/bin/python3 "$(dirname "$0")/check-atspi.py" "$kestrel"
