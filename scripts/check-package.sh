#!/usr/bin/env bash
# Builds the Debian package from a configured build folder and checks it: AppStream metadata,
# desktop entry, lintian (errors fail), the files it must hold, the manual pages and the
# systemd units. A check whose tool is missing is skipped with a line saying so.
#   scripts/check-package.sh BUILD_DIR
# The package is written to BUILD_DIR/package/.
set -uo pipefail

build=$(cd "${1:?usage: check-package.sh BUILD_DIR}" && pwd)
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
failed=()

fail() {
    echo "package check FAILED: $1"
    failed+=("$1")
}
# Runs a check when its tool is there: have TOOL NAME COMMAND...
have() {
    local tool=$1 name=$2
    shift 2
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "package check SKIPPED: $name ($tool is not installed)"
        return
    fi
    echo "-- $name"
    "$@" || fail "$name"
}

# Every file the package must install; the relay's only when the build installs the relay.
expected=(
    ./usr/bin/kestrel
    ./usr/share/applications/kestrel.desktop
    ./usr/share/icons/hicolor/16x16/apps/kestrel.png
    ./usr/share/icons/hicolor/48x48/apps/kestrel.png
    ./usr/share/icons/hicolor/scalable/apps/kestrel.svg
    ./usr/share/man/man1/kestrel.1.gz
    ./usr/share/metainfo/org.example.kestrel.metainfo.xml
    ./usr/share/doc/kestrel/copyright
    ./usr/share/doc/kestrel/changelog.gz
)
relay_expected=(
    ./usr/bin/kestrel-relay
    ./usr/share/man/man1/kestrel-relay.1.gz
    ./usr/lib/systemd/system/kestrel-relay.service
    ./usr/lib/systemd/system/kestrel-relay.socket
    ./usr/lib/systemd/system/kestrel-relay-tls.socket
)
if grep -rqs --include=cmake_install.cmake kestrel-relay "$build"; then
    expected+=("${relay_expected[@]}")
else
    echo "-- the build installs no kestrel-relay: its files are not expected"
fi

echo "-- building the package"
out="$build/package"
rm -rf "$out"
if ! log=$(cmake --build "$build" -j "$(nproc)" 2>&1 && cd "$build" && cpack -G DEB -B "$out" 2>&1)
then
    echo "$log"
    echo "package check FAILED: building the package"
    exit 1
fi
debs=("$out"/kestrel_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
    echo "package check FAILED: expected one kestrel_*.deb in $out"
    exit 1
fi
deb=${debs[0]}
echo "   $(basename "$deb")"
tree="$out/tree"
dpkg-deb -x "$deb" "$tree"

echo "-- contents"
contents=$(dpkg-deb --contents "$deb" | awk '{ print $NF }')
for file in "${expected[@]}"; do
    grep -qxF -- "$file" <<<"$contents" || fail "the package lacks $file"
done

metainfo=("$tree"/usr/share/metainfo/*.metainfo.xml)
have appstreamcli "appstreamcli validate" appstreamcli validate --no-net "${metainfo[@]}"
have appstreamcli "appstreamcli validate-tree" appstreamcli validate-tree --no-net "$tree"
have desktop-file-validate "desktop-file-validate" \
    desktop-file-validate "$tree"/usr/share/applications/*.desktop
# Warnings are printed for the record; only errors fail.
have lintian "lintian" lintian --fail-on error \
    "$deb"

check_man_pages() {
    local page warnings status=0
    for page in "$root"/packaging/*.1; do
        warnings=$(LC_ALL=C.UTF-8 groff -ww -z -man -Tutf8 "$page" 2>&1)
        if [ -n "$warnings" ]; then
            echo "$warnings"
            status=1
        fi
    done
    return $status
}
have groff "manual pages render without warnings" check_man_pages

verify_units() {
    # Against a copy of the package's tree, so the programs the units start are the packaged
    # ones; the system's own units go in with it, for the targets ours refer to. The manual
    # pages they name are among the expected contents.
    local vroot="$out/verify-root"
    rm -rf "$vroot"
    cp -a "$tree" "$vroot"
    mkdir -p "$vroot/etc/systemd/system"
    cp -a /lib/systemd/system/. "$vroot/etc/systemd/system/"
    # Programs of the system that the units call (ExecReload's /bin/kill) are no part of the
    # package; they come from this machine, as they would on the one it is installed on.
    local program
    grep -ho '^Exec[A-Za-z]*=[-@:+!]*/[^ ]*' "${units[@]/#/$root/packaging/}" |
        sed 's/^[^=]*=[-@:+!]*//' | sort -u | while read -r program; do
        # Ours must come from the package, never from an installed copy.
        case $program in */kestrel*) continue ;; esac
        if [ ! -e "$vroot$program" ] && [ -x "$program" ]; then
            mkdir -p "$vroot$(dirname "$program")"
            cp -L "$program" "$vroot$program"
        fi
    done
    systemd-analyze verify --man=no --root="$vroot" \
        "${units[@]/#/$vroot/usr/lib/systemd/system/}"
}
units=()
for unit in "$root"/packaging/*.service "$root"/packaging/*.socket; do
    [ -f "$unit" ] && units+=("$(basename "$unit")")
done
if [ ${#units[@]} -eq 0 ]; then
    echo "-- no systemd units to verify"
else
    have systemd-analyze "systemd-analyze verify ${units[*]}" verify_units
fi

if [ ${#failed[@]} -eq 0 ]; then
    echo "package check: all passed"
    exit 0
fi
echo "package check: FAILED (${#failed[@]})"
exit 1
