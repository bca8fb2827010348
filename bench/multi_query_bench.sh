#!/usr/bin/env bash
# multi_query_bench.sh [LINES]: the two query tools that read many logs.
#   flagscan merging 2, 16 and 1,000 alert logs (LINES lines in all,
#   2,000,000 unless given) oldest first, beside `LC_ALL=C sort -m -s -t'|'
#   -k1,1n` of the same files (times are unique, so both outputs must agree
#   line for line). sort gets what flagscan has: 32 MiB of buffer (-S, the
#   read blocks flagscan's open logs share), every log open at once
#   (--batch-size, the open-file limit raised for both), its output to a
#   file as flagscan's --outfile;
#   trailscan over 1,000 rotated activity logs (LINES lines in all) with a
#   number filter, beside `cat` of the same files into `LC_ALL=C mawk`.
# Each pair alternates (ours, peer, ours, ...) on a warm page cache; medians
# with their spreads. Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
lines=${1:-2000000}

bench_build > /dev/null
command -v mawk >/dev/null || { echo "mawk is missing (scripts/deps.sh installs it)"; exit 1; }

counts="2 16 1000"
[ "$(ulimit -n)" -ge 1100 ] || ulimit -n 1100

bench_workdir multi-query
bench_banner "multi-log queries: $lines lines in all"

# Alert logs: log i of n holds the times 1700000000 + j*n + i, oldest first.
for n in $counts; do
  dir=$work/alerts$n
  mkdir -p "$dir"
  mawk -v n="$n" -v total="$lines" -v dir="$dir" 'BEGIN {
    per = int(total / n)
    for (i = 0; i < n; i++) {
      f = dir "/alert" i ".log"
      for (j = 0; j < per; j++)
        printf "%d|%d|rule-%d|node-%d|dns-query-watch|host%d.example.test\n", 1700000000 + j * n + i, j % 97, i, j % 5, j >> f
      close(f)
      print f > (dir "/list")
    }
  }'
  files=$(cat "$dir/list")
  # shellcheck disable=SC2086
  cat $files > /dev/null
  run_flagscan() { "$tools/flagscan" --sort-dir asc --outfile "$work/flagscan.out" "$dir/list"; }
  # shellcheck disable=SC2086
  run_sort() { LC_ALL=C sort -m -s -t'|' -k1,1n -S 32M --batch-size="$n" $files > "$work/sort.out"; }
  ours() { timed "$work/results/flagscan-$n" run_flagscan; }
  peer() { timed "$work/results/sort-$n" run_sort; }
  interleave ours peer
  head -n -1 "$work/flagscan.out" | cmp -s - "$work/sort.out" || { echo "FAIL: flagscan and sort -m differ ($n logs)"; exit 1; }
  rm -rf "$dir"
done

# Rotated activity logs: 1,000 dnsq-req logs, one in five queries of type 28.
dir=$work/al
mkdir -p "$dir"
mawk -v total="$lines" -v dir="$dir" 'BEGIN {
  per = int(total / 1000)
  for (i = 0; i < 1000; i++) {
    f = dir "/dnsq-req.al." (1700000000 + i * 300)
    for (j = 0; j < per; j++)
      printf "1|0|%d|0a000035|c0a8%04x|host%d.example.test|%d|1\r\n", 1700000000 + i * 300 + j % 300, j % 65536, j % 1000, (j % 5 == 0 ? 28 : 1) > f
    close(f)
    print f > (dir "/list")
  }
}'
files=$(cat "$dir/list")
# shellcheck disable=SC2086
cat $files > /dev/null
run_trailscan() { "$tools/trailscan" --sort-dir asc --filter-number 7=28 --outfile "$work/trailscan.out" "$dir/list"; }
# shellcheck disable=SC2086
run_mawk() {
  cat $files | LC_ALL=C mawk -F'|' '{ sub(/\r$/, "") } NF == 8 && $7 + 0 == 28 { print; n++ } END { print n + 0 }' \
    > "$work/mawk.out"
}
ours() { timed "$work/results/trailscan" run_trailscan; }
peer() { timed "$work/results/mawk" run_mawk; }
interleave ours peer
same_output "$work/trailscan.out" "$work/mawk.out"

echo "load average after the runs: $(bench_load)"
for n in $counts; do
  compare_times "flagscan asc, $n logs" "$work/results/flagscan-$n" "sort -m -k1,1n" "$work/results/sort-$n"
done
compare_times "trailscan asc, 1000 logs" "$work/results/trailscan" "cat | mawk" "$work/results/mawk"
