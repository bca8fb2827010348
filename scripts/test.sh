#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole suite: the plain build
# (which also compiles the benchmarks, so that they cannot rot; none is run),
# the AddressSanitizer + UndefinedBehaviorSanitizer build, and the threaded
# tests under ThreadSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
echo "== layers (include lines, clocks)"
bash scripts/check_layers.sh
bash scripts/deps.sh

jobs=${JOBS:-$(nproc)}
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

echo "== plain build, benchmarks included"
bash scripts/build.sh build/plain none -DHARVD_BUILD_BENCH=ON
ctest --test-dir build/plain --output-on-failure -j"$jobs"

echo "== address + undefined sanitizer build"
bash scripts/build.sh build/asan address
ctest --test-dir build/asan --output-on-failure -j"$jobs"

echo "== thread sanitizer build (threaded tests)"
bash scripts/build.sh build/tsan thread
ctest --test-dir build/tsan --output-on-failure -j"$jobs" -L threads

if [ -x scripts/fuzz.sh ] || [ -f scripts/fuzz.sh ]; then
  echo "== fuzz targets (bounded)"
  bash scripts/fuzz.sh
fi
echo "all test builds passed"
