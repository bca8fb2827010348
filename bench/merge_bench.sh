#!/usr/bin/env bash
# merge_bench.sh [FILES KEYS DATASETS LINES IDS]: merges FILES sorted report
# data files of KEYS lines into DATASETS datasets of LINES lines (count lists
# of IDS pairs) with tallyfuse, and the same inputs with `LC_ALL=C sort -m`
# into a streaming `LC_ALL=C gawk` that sums the counts per key and id (one
# pipeline per dataset). tallyfuse syncs the datasets it writes, so the
# peer's outputs are synced too. The two alternate (tallyfuse, peer,
# tallyfuse, ...), each run on fresh copies of the datasets; both must give
# the same sums for every dataset. Prints the median time, lines per second
# and peak memory of each, with spreads.
# Then, as an extra row, tallyfuse alone with every dataset given a ctime
# number: what those datasets receive is gathered per rebuilt key in memory,
# so its peak memory grows with the number of distinct rebuilt keys.
# Defaults: 24 files of 100,000 keys, 3 datasets of 1,000,000 lines, 3 ids
# (a fifth of the sizes the merge is meant for, to keep the peer's run near a
# minute). Then a run with 1,000 ids per line (24 x 500 keys, 3 x 5,000
# lines) unless NO_WIDE=1. Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
files=${1:-24}; keys=${2:-100000}; datasets=${3:-3}; lines=${4:-1000000}; ids=${5:-3}

bench_build > /dev/null
command -v gawk >/dev/null || { echo "gawk is missing"; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (scripts/deps.sh installs it)"; exit 1; }

bench_workdir merge
bench_banner "merge"

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

# measure RESULT CMD...: appends "wall-seconds peak-KiB" of a program run.
measure() {
  local _out=$1 _t0 _t1
  shift
  _t0=$(now_ns)
  /usr/bin/time -f "%M" -o "$work/time" "$@"
  _t1=$(now_ns)
  awk -v a="$_t0" -v b="$_t1" -v m="$(tail -n 1 "$work/time")" 'BEGIN { printf "%.6f %d\n", (b - a) / 1e9, m }' >> "$_out"
}

fresh_datasets() {  # the datasets as generated, for the next run
  local d
  for d in "$dir"/pristine/d?; do cp "$d" "$dir/"; done
  rm -f "$dir"/d?.new "$dir"/d?.old
}

one_run() {  # one_run NAME FILES KEYS DATASETS LINES IDS
  local name=$1 f=$2 k=$3 n=$4 l=$5 i=$6
  dir=$work/$name
  rm -rf "$dir"; mkdir -p "$dir/pristine" "$dir/peer" "$dir/ours"
  "$build/bench/merge_gen" "$dir" "$f" "$k" "$n" "$l" "$i"
  ls "$dir"/r?? > "$dir/files"; ls "$dir"/d? > "$dir/datasets"
  cp "$dir"/d? "$dir/pristine/"
  local report_lines=$((f * k))
  local bytes; bytes=$(cat "$dir"/r?? "$dir"/d? | wc -c)
  cat "$dir"/r?? "$dir"/d? > /dev/null  # warm the page cache for both
  echo "$name: $f report files x $k lines, $n datasets x $l lines, $i ids a line, $((bytes / 1048576)) MiB"

  fsyncs "$build/tools/tallyfuse" "$dir/files" "$dir/datasets" 1 && peer_sync=sync || peer_sync=true
  fresh_datasets
  # The peer: one sort -m | gawk pipeline per dataset, outputs synced as ours are.
  cat > "$dir/peer.sh" <<PEER
set -e
cd "$dir"
for d in d?; do
  LC_ALL=C sort -m r?? "pristine/\$d" | LC_ALL=C gawk '$aggregate' > peer/\$d
done
$peer_sync peer/d?
PEER
  ours() { fresh_datasets; measure "$work/results/$name-ours" "$build/tools/tallyfuse" "$dir/files" "$dir/datasets" 1; }
  peer() { measure "$work/results/$name-peer" bash "$dir/peer.sh"; }
  interleave ours peer
  local d
  for d in "$dir"/pristine/d?; do
    d=$(basename "$d")
    LC_ALL=C gawk "$normalise" "$dir/$d" > "$dir/ours/$d"
    LC_ALL=C gawk "$normalise" "$dir/peer/$d" > "$dir/peer/$d.norm"
    same_output "$dir/ours/$d" "$dir/peer/$d.norm"
  done
  sed 's/^/7=/' "$dir/datasets" > "$dir/datasets.ctime"
  ctime_run() { fresh_datasets; measure "$work/results/$name-ctime" "$build/tools/tallyfuse" "$dir/files" "$dir/datasets.ctime" 1; }
  for _ in $(seq 1 "$pairs"); do ctime_run; done
  merged[$name]=$((n * (report_lines + l)))  # lines each side takes in, over all datasets
  synced[$name]=$peer_sync
  rm -f "$dir"/r?? "$dir"/d? "$dir"/pristine/* "$dir"/peer/* "$dir"/ours/*
}

row() {  # LABEL RESULT LINES
  printf '  %-34s %-38s %-26s peak %s\n' "$1" "$(figure "$2" 1 1 2 s)" \
    "$(awk -v m="$3" -v t="$(median "$2" 1)" 'BEGIN { printf "%.0f lines/s", m / t }')" "$(figure "$2" 2 0.0009765625 1 MiB)"
}

declare -A merged synced
one_run narrow "$files" "$keys" "$datasets" "$lines" "$ids"
names=(narrow)
if [ "${NO_WIDE:-0}" != 1 ]; then
  one_run wide 24 500 3 5000 1000
  names+=(wide)
fi
echo "load average after the runs: $(bench_load)"
for name in "${names[@]}"; do
  echo "$name (same sums for every dataset; peer outputs synced: ${synced[$name]})"
  row "tallyfuse" "$work/results/$name-ours" "${merged[$name]}"
  row "sort -m | gawk (largest process)" "$work/results/$name-peer" "${merged[$name]}"
  awk -v a="$(median "$work/results/$name-ours" 1)" -v b="$(median "$work/results/$name-peer" 1)" \
    'BEGIN { printf "  speed ratio tallyfuse/peer: %.2f\n", b / a }'
  row "extra: tallyfuse, ctime datasets" "$work/results/$name-ctime" "${merged[$name]}"
done
