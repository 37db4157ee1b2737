#!/usr/bin/env bash
# Runs every test: the formatting of every tracked C++ file, the suite on the given build, its
# fixed-port programs once more on the machine's own loopback (namespaces refused), the suite
# again under AddressSanitizer and UndefinedBehaviorSanitizer (leak checking on), and a short run
# of each fuzz harness. The last line says whether all passed and how many tests were skipped.
#   scripts/test-all.sh BUILD_DIR
# The sanitizer build goes to build-asan and the fuzz build to build-fuzz unless
# KESTREL_ASAN_BUILD or KESTREL_FUZZ_BUILD name other directories.
set -uo pipefail

build=${1:?usage: test-all.sh BUILD_DIR}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
failed=()
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
# The fixed-port test cases write a line there for each case skipped and one for the cause.
export KESTREL_TEST_SKIP_LOG=$logs/skips
touch "$KESTREL_TEST_SKIP_LOG"

echo "== formatting (clang-format, .clang-format at the root)"
(cd "$root" && git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror) ||
    failed+=(formatting)
# Each src/ folder reaches another only through the libraries it links, which an include by a
# relative path would get round.
if grep -rnE '#include "\.\./' "$root/src"; then
    failed+=(includes)
fi

echo "== tests"
ctest --test-dir "$build" --output-on-failure --timeout 300 || failed+=(tests)

# The tests take the machine's own loopback only where no namespace can be had (a container):
# refused here on purpose, so that way is tried on every run. It binds the real ports 555, 777
# and 778, one program at a time.
echo "== fixed-port tests on this machine's own loopback"
loopback_note=
KESTREL_TEST_SKIP_LOG=$logs/loopback KESTREL_TEST_NO_NAMESPACES=1 \
    ctest --test-dir "$build" -L fixed-ports -j1 --output-on-failure --timeout 300 |
    tee "$logs/loopback.log"
[ "${PIPESTATUS[0]}" -eq 0 ] || failed+=(loopback)
if grep -q '\*\*\*Skipped' "$logs/loopback.log"; then
    loopback_note="; the loopback pass needs the right to bind ports below 1024 and was skipped"
fi

echo "== screen reader view (AT-SPI under Xvfb)"
"$root/tests/atspi/check-atspi.sh" "$build" || failed+=(atspi)

echo "== Debian package"
"$root/scripts/check-package.sh" "$build" || failed+=(package)

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
asan=${KESTREL_ASAN_BUILD:-$root/build-asan}
if cmake -S "$root" -B "$asan" -DCMAKE_BUILD_TYPE=Debug -DKESTREL_SANITIZE=ON \
        -DKESTREL_BUILD_BENCH=OFF >/dev/null &&
    cmake --build "$asan" -j "$(nproc)"; then
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
        LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir "$asan" --output-on-failure --timeout 600 || failed+=(sanitizers)
else
    failed+=(sanitizer-build)
fi

echo "== fuzzing"
"$root/scripts/fuzz.sh" 20 || failed+=(fuzzing)

skipped=$(grep -c '^skipped: ' "$KESTREL_TEST_SKIP_LOG")
grep -h '^cause: ' "$KESTREL_TEST_SKIP_LOG" | sort -u | cut -d' ' -f2-
if [ ${#failed[@]} -eq 0 ]; then
    echo "kestrel tests: all passed ($skipped skipped$loopback_note)"
    exit 0
fi
echo "kestrel tests: FAILED (${failed[*]}; $skipped skipped$loopback_note)"
exit 1
