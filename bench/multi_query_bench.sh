#!/usr/bin/env bash
# multi_query_bench.sh [LINES]: the two query tools that read many logs.
#   flagscan merging 2, 16 and 256 alert logs (LINES lines in all, 2,000,000
#   unless given) oldest first, beside `sort -m -s -t'|' -k1,1n` of the same
#   files (times are unique, so both outputs must agree line for line);
#   trailscan over 1,000 rotated activity logs (LINES lines in all) with a
#   number filter, beside `cat` of the same files into `LC_ALL=C mawk`.
# Best of three runs each, on a warm page cache. Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
lines=${1:-2000000}

bench_build
command -v mawk >/dev/null || { echo "mawk is missing (scripts/deps.sh installs it)"; exit 1; }

bench_workdir multi-query

report() {  # name ours theirs
  mawk -v n="$1" -v a="$2" -v b="$3" 'BEGIN {
    printf "%-34s %8.3f s   peer %8.3f s   ratio peer/ours %.2f\n", n, a / 1e9, b / 1e9, b / a }'
}

# Alert logs: log i of n holds the times 1700000000 + j*n + i, oldest first.
for n in 2 16 256; do
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
  cat $files > /dev/null
  run_flagscan() { "$build/tools/flagscan" --sort-dir asc --outfile "$work/flagscan.out" "$dir/list"; }
  # shellcheck disable=SC2086
  run_sort() { sort -m -s -t'|' -k1,1n $files > "$work/sort.out"; }
  t_ours=$(best run_flagscan)
  t_peer=$(best run_sort)
  head -n -1 "$work/flagscan.out" | cmp -s - "$work/sort.out" || { echo "FAIL: flagscan and sort -m differ ($n logs)"; exit 1; }
  report "flagscan asc, $n logs" "$t_ours" "$t_peer"
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
cat $files > /dev/null
run_trailscan() { "$build/tools/trailscan" --sort-dir asc --filter-number 7=28 --outfile "$work/trailscan.out" "$dir/list"; }
# shellcheck disable=SC2086
run_mawk() {
  cat $files | LC_ALL=C mawk -F'|' '{ sub(/\r$/, "") } NF == 8 && $7 + 0 == 28 { print; n++ } END { print n + 0 }' \
    > "$work/mawk.out"
}
t_ours=$(best run_trailscan)
t_peer=$(best run_mawk)
cmp -s "$work/trailscan.out" "$work/mawk.out" || { echo "FAIL: trailscan and mawk selected different lines"; exit 1; }
report "trailscan asc, 1000 logs" "$t_ours" "$t_peer"
