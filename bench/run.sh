#!/usr/bin/env bash
# Builds the relay benchmarks and runs them all: the reference relay, the real server window
# and kestrel-relay side by side under the load generator, then prints a markdown table.
#
#   bench/run.sh [BUILD_DIR] [--quick] [--repeat N] [--only throughput,latency,idle,log,client]
#   bench/run.sh [BUILD_DIR] --only flood,rules   (kestrel-relay's access rules and limits)
#
# BUILD_DIR defaults to build/ at the top of the checkout (configured if missing). Everything
# runs on loopback and ends by itself; run it on a quiet machine (see `uptime`).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
top="$(dirname "$here")"
build="$top/build"
if [[ $# -gt 0 && $1 != --* ]]; then
    build="$1"
    shift
fi
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cache="$build/CMakeCache.txt"
if grep -qE '^KESTREL_BUILD_BENCH:BOOL=(OFF|0|FALSE)' "$cache"; then
    echo "bench/run.sh: $build was configured without benchmarks (KESTREL_BUILD_BENCH=OFF)" >&2
    exit 2
fi
if grep -qE '^(KESTREL_SANITIZE|KESTREL_BUILD_FUZZ):BOOL=(ON|1|TRUE)' "$cache" ||
    grep -qE '^CMAKE_BUILD_TYPE:STRING=(Debug)?$' "$cache"; then
    echo "bench/run.sh: warning: $build is not an optimised plain build; figures will be off" >&2
fi
cmake --build "$build" -j"$(nproc)" --target bench_loadgen bench_refrelay bench_serverhost \
    bench_clienthost bench_logpane kestrel-relay >/dev/null
exec python3 "$here/driver.py" "$build" "$@"
