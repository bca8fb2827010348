#!/usr/bin/env bash
# merge_bench.sh [FILES KEYS DATASETS LINES IDS]: merges FILES sorted report
# data files of KEYS lines into DATASETS datasets of LINES lines (count lists
# of IDS pairs) with tallyfuse, and the same inputs with `LC_ALL=C sort -m`
# into a streaming `LC_ALL=C gawk` that sums the counts per key and id (one
# pipeline per dataset). Checks that both give the same sums for the first
# dataset and prints time, lines per second and peak memory of each.
# Then tallyfuse alone once more with every dataset given a ctime number:
# what those datasets receive is gathered per rebuilt key in memory, so its
# peak memory grows with the number of distinct rebuilt keys.
# Defaults: 24 files of 100,000 keys, 3 datasets of 1,000,000 lines, 3 ids
# (a fifth of the sizes the merge is meant for, to keep the peer's run near a
# minute). Then a run with 1,000 ids per line (24 x 500 keys, 3 x 5,000
# lines) unless NO_WIDE=1. Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
files=${1:-24}; keys=${2:-100000}; datasets=${3:-3}; lines=${4:-1000000}; ids=${5:-3}

bench_build
command -v gawk >/dev/null || { echo "gawk is missing"; exit 1; }

work=$(mktemp -d /tmp/harvd-merge-bench-XXXXXX)
trap '[ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT

# Sums per key and id of a sorted stream of "key|id=count ..." lines, one
# output line per key.
aggregate='
  function flush(   line, id, sep) {
    if (!have) return
    line = cur; sep = "|"
    for (id in sum) { line = line sep id "=" sum[id]; sep = " " }
    print line; delete sum; have = 0
  }
  {
    # the key is everything before the last "|"
    bar = match($0, /\|[^|]*$/); v = substr($0, bar + 1); k = substr($0, 1, bar - 1)
    if (have && k != cur) flush()
    cur = k; have = 1
    n = split(v, items, " ")
    for (i = 1; i <= n; i++) { eq = index(items[i], "="); if (eq > 1) sum[substr(items[i], 1, eq - 1)] += substr(items[i], eq + 1) }
  }
  END { flush() }'

# One form for both outputs, to compare them: ids of a line in ascending order.
normalise='{
    bar = match($0, /\|[^|]*$/); k = substr($0, 1, bar - 1); n = split(substr($0, bar + 1), items, " ")
    delete sum
    for (i = 1; i <= n; i++) { eq = index(items[i], "="); sum[substr(items[i], 1, eq - 1)] += substr(items[i], eq + 1) }
    m = asorti(sum, order, "@ind_num_asc"); line = k
    for (i = 1; i <= m; i++) line = line (i == 1 ? "|" : " ") order[i] "=" sum[order[i]]
    print line
  }'

measure() {  # measure NAME CMD...: wall seconds and peak RSS (KiB) into $secs, $peak
  /usr/bin/time -f "%e %M" -o "$work/time" "$@"
  read -r secs peak < "$work/time"
}

one_run() {  # one_run FILES KEYS DATASETS LINES IDS
  local f=$1 k=$2 n=$3 l=$4 i=$5 dir=$work/run
  rm -rf "$dir"; mkdir -p "$dir"
  "$build/bench/merge_gen" "$dir" "$f" "$k" "$n" "$l" "$i"
  ls "$dir"/r?? > "$dir/files"; ls "$dir"/d? > "$dir/datasets"
  mkdir -p "$dir/awk"; cp "$dir/d0" "$dir/awk/d0.in"
  local report_lines=$((f * k)) dataset_lines=$((n * l))
  local bytes; bytes=$(cat "$dir"/r?? "$dir"/d? | wc -c)
  cat "$dir"/r?? "$dir"/d? > /dev/null  # warm the page cache for both
  echo "inputs: $f report files x $k lines, $n datasets x $l lines, $i ids a line, $((bytes / 1048576)) MiB"

  measure "$build/tools/tallyfuse" "$dir/files" "$dir/datasets" 1
  local t_secs=$secs t_peak=$peak
  # The peer: one sort -m | gawk pipeline per dataset.
  cat > "$work/peer.sh" <<PEER
set -e
cd "$dir"
for d in d?; do
  src=\$d; [ "\$d" = d0 ] && src=awk/d0.in
  LC_ALL=C sort -m r?? "\$src" | LC_ALL=C gawk '$aggregate' > awk/\$d.out
done
PEER
  measure bash "$work/peer.sh"
  local a_secs=$secs a_peak=$peak
  LC_ALL=C gawk "$normalise" "$dir/d0" > "$dir/awk/d0.tallyfuse"
  LC_ALL=C gawk "$normalise" "$dir/awk/d0.out" > "$dir/awk/d0.peer"
  if ! cmp -s "$dir/awk/d0.tallyfuse" "$dir/awk/d0.peer"; then
    echo "FAIL: tallyfuse and sort -m | gawk give different sums for d0"; exit 1
  fi
  local merged=$((n * (report_lines + l)))  # lines each tool takes in, over all datasets
  gawk -v t="$t_secs" -v tp="$t_peak" -v a="$a_secs" -v ap="$a_peak" -v m="$merged" 'BEGIN {
    printf "  tallyfuse:          %7.2f s  %10.0f lines/s  peak %7.1f MiB\n", t, m / t, tp / 1024
    printf "  sort -m | gawk:     %7.2f s  %10.0f lines/s  peak %7.1f MiB (largest process)\n", a, m / a, ap / 1024
    printf "  same sums for d0; speed ratio tallyfuse/peer: %.2f\n", a / t
  }'
  sed 's/^/7=/' "$dir/datasets" > "$dir/datasets.ctime"
  measure "$build/tools/tallyfuse" "$dir/files" "$dir/datasets.ctime" 1
  gawk -v t="$secs" -v tp="$peak" -v m="$merged" 'BEGIN {
    printf "  tallyfuse, ctime:   %7.2f s  %10.0f lines/s  peak %7.1f MiB (rebuilt keys gathered)\n", t, m / t, tp / 1024
  }'
}

one_run "$files" "$keys" "$datasets" "$lines" "$ids"
if [ "${NO_WIDE:-0}" != 1 ]; then
  one_run 24 500 3 5000 1000
fi
