#!/usr/bin/env bash
# many_files_memory.sh [COUNT] [KIB]: peak memory of the tools that hold
# many files open at once, by `/usr/bin/time -v` (maximum resident set size):
#   flagscan merging COUNT alert logs (1,000 unless given) of about KIB KiB
#   each (1,500 unless given), newest first and oldest first;
#   tallyfuse merging COUNT report data files of about KIB KiB each into one
#   dataset.
# With COMPARE_BUILD_DIR set to another build tree (its tools/ are used), the
# two builds run interleaved, three pairs, and both are reported; the outputs
# of the two must agree. Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
count=${1:-1000}
kib=${2:-1500}

bench_build
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (Debian package 'time')"; exit 1; }
ulimit -n $((count + 64))

bench_workdir many-files

# Alert log i of n holds the times 1700000000 + j*n + i, oldest first.
mawk -v n="$count" -v kib="$kib" -v dir="$work" 'BEGIN {
  per = int(kib * 1024 / 60)
  for (i = 0; i < n; i++) {
    f = dir "/alert" i ".log"
    for (j = 0; j < per; j++)
      printf "%d|%d|rule-%d|node-%d|dns-query-watch|host%06d.example.test\n", 1700000000 + j * n + i, j % 97, i, j % 5, j >> f
    close(f)
    print f > (dir "/alert.list")
    # Long lines, few records: the pick walks every open file per record.
    r = dir "/report" i
    for (j = 0; j < per / 5; j++) {
      printf "k%08d|%d=1", j * 2 + (i % 2), i % 13 > r
      for (p = 1; p < 30; p++)
        printf " %d=%d", p * 100 + j % 7, p > r
      printf "\n" > r
    }
    close(r)
    print r > (dir "/report.list")
  }
}'
: > "$work/dataset.orig"
echo "$work/dataset" > "$work/dataset.list"
echo "$(wc -l < "$work/alert.list") alert logs and report data files, $(du -sh "$work" | cut -f1) in all"

peak() {  # LABEL CMD...: runs the command, prints the label, seconds and peak MB
  local label=$1; shift
  /usr/bin/time -v -o "$work/time.txt" "$@" > /dev/null
  mawk -v l="$label" -F': ' '
    /Maximum resident set size/ { kb = $2 }
    /Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = p[n] + (n > 1 ? p[n - 1] * 60 : 0) }
    END { printf "%-44s %8.1f MB peak   %6.2f s\n", l, kb / 1024, s }' "$work/time.txt"
}

run_set() {  # NAME BUILD
  local name=$1 bin=$2/tools
  local dir
  for dir in desc asc; do
    peak "$name flagscan $dir, $count logs" "$bin/flagscan" --sort-dir $dir --outfile "$work/out" "$work/alert.list"
    md5sum < "$work/out" > "$work/$name.$dir"
  done
  cp "$work/dataset.orig" "$work/dataset"
  peak "$name tallyfuse, $count report files" "$bin/tallyfuse" "$work/report.list" "$work/dataset.list" 1
  md5sum < "$work/dataset" > "$work/$name.dataset"
}

echo "load: $(uptime)"
if [ -n "${COMPARE_BUILD_DIR:-}" ]; then
  for _ in 1 2 3; do
    run_set other "$COMPARE_BUILD_DIR"
    run_set this "$build"
  done
  for f in desc asc dataset; do
    cmp -s "$work/other.$f" "$work/this.$f" || { echo "FAIL: the two builds' $f outputs differ"; exit 1; }
  done
  echo "outputs of both builds agree"
else
  run_set this "$build"
fi
echo "load: $(uptime)"
