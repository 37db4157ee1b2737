#!/usr/bin/env bash
# Regenerates the README screenshots in docs/screenshots/ in one go: builds the screenshot
# driver if needed and runs it under a private Xvfb with a real Japanese font.
#
#   bash scripts/screenshots.sh            (build folder: build/, or $KESTREL_BUILD_DIR)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KESTREL_BUILD_DIR:-$root/build}
out=$root/docs/screenshots

missing=()
command -v xvfb-run >/dev/null || missing+=(xvfb xauth)
command -v xauth >/dev/null || missing+=(xauth)
fc-list :lang=ja family | grep -qi gothic || missing+=(fonts-ipafont-gothic)
if ((${#missing[@]})); then
    if [ "$(id -u)" = 0 ]; then
        apt-get install -y --no-install-recommends "${missing[@]}"
    else
        sudo apt-get install -y --no-install-recommends "${missing[@]}"
    fi
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
cmake --build "$build" --target kestrel_screenshots -j"$(nproc)"

if [ "$(id -u)" != 0 ]; then
    echo "screenshots: not root; the server falls back to a free port and the UDP window" \
         "needs cap_net_bind_service for ports 777/778" >&2
fi

mkdir -p "$out"
# -a picks a free display; xvfb-run stops its server when the driver ends.
xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" \
    env QT_QPA_PLATFORM=xcb LANG=C.UTF-8 LC_TIME=ja_JP.UTF-8 "$build/scripts/kestrel_screenshots" "$out"
echo "screenshots: written to $out"
