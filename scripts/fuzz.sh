#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang and runs each for the given number of seconds.
# Findings are written to fuzz/findings/; a crash makes the script fail.
# Seeds in fuzz/seeds/<harness>/ (inputs that once failed among them) are run first, every time.
#   scripts/fuzz.sh [seconds-per-harness]
# The build goes to build-fuzz unless KESTREL_FUZZ_BUILD names another directory.
set -euo pipefail

seconds=${1:-20}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${KESTREL_FUZZ_BUILD:-$root/build-fuzz}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
    -DKESTREL_BUILD_FUZZ=ON -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_BENCH=OFF >/dev/null
harnesses=$(sed -n 's/^kestrel_add_fuzzer(\([a-z_]*\) .*$/\1/p' "$root/fuzz/CMakeLists.txt")
# shellcheck disable=SC2086
cmake --build "$build" -j "$(nproc)" --target $harnesses

mkdir -p "$root/fuzz/findings"
status=0
for harness in $harnesses; do
    corpus=$(mktemp -d)
    seeds="$root/fuzz/seeds/$harness"
    [ -d "$seeds" ] && cp "$seeds"/* "$corpus"/ 2>/dev/null || true
    echo "== fuzzing $harness for ${seconds}s"
    if ! "$build/fuzz/$harness" -max_total_time="$seconds" -rss_limit_mb=2048 \
        -artifact_prefix="$root/fuzz/findings/$harness-" "$corpus" 2>"$corpus.log"; then
        status=1
        tail -n 40 "$corpus.log"
    fi
    grep -E '^Done [0-9]+ runs' "$corpus.log" || true
    rm -rf "$corpus" "$corpus.log"
done
exit $status
