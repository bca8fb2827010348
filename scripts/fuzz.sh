#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each one for a bounded time on its
# committed seed corpus. New inputs go to a scratch folder, never into the
# committed corpus; a crashing input is kept under build/fuzz/artifacts.
#   FUZZ_SECONDS  seconds per target (default 20)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
seconds=${FUZZ_SECONDS:-20}
dir=build/fuzz

CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -G Ninja -DHARVD_FUZZ=ON -DHARVD_BUILD_TESTS=OFF \
  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

targets=()
for src in fuzz/*_fuzz.cpp; do
  name=$(basename "$src" _fuzz.cpp)
  targets+=("$name")
done
cmake --build "$dir" -j"${JOBS:-4}" --target "${targets[@]/#/fuzz_}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$dir/artifacts"
for name in "${targets[@]}"; do
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  echo "fuzzing $name for ${seconds}s"
  "$dir/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/$name-" "$scratch" "fuzz/corpus/$name" 2>"$dir/fuzz_$name.log" \
    || { tail -n 60 "$dir/fuzz_$name.log"; exit 1; }
  grep -E '^stat::number_of_executed_units|^Done' "$dir/fuzz_$name.log" || true
  rm -rf "$scratch"
  trap - EXIT
done
