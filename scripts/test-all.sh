#!/usr/bin/env bash
# Runs every test of an already configured build and prints one summary line.
set -uo pipefail

build=${1:?usage: test-all.sh BUILD_DIR}
status=0

echo "== unit, window and network tests"
ctest --test-dir "$build" --output-on-failure --timeout 300 || status=1

if [ $status -eq 0 ]; then
    echo "kestrel tests: all passed"
else
    echo "kestrel tests: FAILED"
fi
exit $status
