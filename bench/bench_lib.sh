# bench_lib.sh: what the benchmark scripts beside it share; each sources it
# right after `set -euo pipefail`. Sets `root` (the source tree) and `build`
# (BENCH_BUILD_DIR, else build/bench under the tree).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build/bench}

bench_build() {  # a Release build of the programs and the benchmarks into $build
  JOBS=${JOBS:-4} bash "$root/scripts/build.sh" "$build" none \
    -DCMAKE_BUILD_TYPE=Release -DHARVD_BUILD_BENCH=ON -DHARVD_BUILD_TESTS=OFF
}

bench_workdir() {  # NAME: a fresh folder in $work, removed when the script exits
  work=$(mktemp -d "/tmp/harvd-$1-bench-XXXXXX")
  trap 'rm -rf "$work"' EXIT
}

best() {  # best of three runs of "$@", in nanoseconds
  local b=0 t0 t1
  for _ in 1 2 3; do
    t0=$(date +%s%N); "$@"; t1=$(date +%s%N)
    if [ "$b" -eq 0 ] || [ $((t1 - t0)) -lt "$b" ]; then b=$((t1 - t0)); fi
  done
  echo "$b"
}
