#!/usr/bin/env bash
# merge_bench.sh [COUNTS [REPORT_LINES [DATASET_LINES [IDS]]]]: the three
# merge tools with few and many report data files. For each count of COUNTS
# ("10 100 1000"), REPORT_LINES report lines in all (2,000,000), spread
# evenly over that many sorted report data files, are merged into one
# dataset of DATASET_LINES lines (1,000,000):
#   tallyfuse and peakfuse (count lists of IDS pairs, 3) beside
#   `LC_ALL=C sort -m` into a streaming `LC_ALL=C gawk` that sums the counts
#   per key and id;
#   recentfuse (one integer a line) beside the same pipeline keeping the
#   greatest value per key.
# sort merges all files in one pass (--batch-size), as the tools do, with
# the open-file limit raised for both. The tools sync the datasets they
# write, so the peer's outputs are synced too. Ours and the peer alternate
# (ours, peer, ours, ...), each of our runs on a fresh copy of the dataset;
# both must give the same dataset. Prints the median time, lines per second
# and peak memory of each, with spreads, and the ratio of the medians.
# Extra rows, ours alone: tallyfuse with the dataset given a ctime number
# (its records are gathered per rebuilt key in memory, so peak memory grows
# with the number of distinct rebuilt keys), and unless NO_WIDE=1 a run with
# 1,000 ids a line (24 files of 500 keys into 5,000 lines) beside the peer.
# TOOLS=DIR measures the tools of another build. Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
counts=${1:-"10 100 1000"}; report_lines=${2:-2000000}; lines=${3:-1000000}; ids=${4:-3}

bench_build > /dev/null
command -v gawk >/dev/null || { echo "gawk is missing"; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is missing (scripts/deps.sh installs it)"; exit 1; }
most=24
for n in $counts; do [ "$n" -gt "$most" ] && most=$n; done
[ "$(ulimit -n)" -ge $((most + 64)) ] || ulimit -n $((most + 64))

bench_workdir merge
bench_banner "merge"

# Sums per key and id of a sorted stream of "key|id=count ..." lines, one
# output line per key.
sums='
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

# The greatest value per key of a sorted stream of "key|value" lines.
greatest='
  {
    bar = match($0, /\|[^|]*$/); v = substr($0, bar + 1) + 0; k = substr($0, 1, bar - 1)
    if (have && k != cur) { print cur "|" best; have = 0 }
    if (!have || v > best) best = v
    cur = k; have = 1
  }
  END { if (have) print cur "|" best }'

# One form for both count outputs, to compare them: ids of a line in
# ascending order.
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

fresh_dataset() {  # the dataset as generated, for the next run
  cp "$dir/pristine/d0" "$dir/d0"
  rm -f "$dir"/d0.new "$dir"/d0.old "$dir"/d0.commit "$dir"/d0.commit.tmp
}

declare -A label merged synced
sections=()

# one_run NAME FILES KEYS LINES IDS TOOL...: FILES report data files of KEYS
# lines into one dataset of LINES lines (IDS 0: one integer a line), each
# TOOL beside the peer.
one_run() {
  local name=$1 f=$2 k=$3 l=$4 i=$5
  shift 5
  dir=$work/$name
  rm -rf "$dir"; mkdir -p "$dir/pristine" "$dir/peer" "$dir/ours"
  "$build/bench/merge_gen" "$dir" "$f" "$k" 1 "$l" "$i"
  ls "$dir"/r???? > "$dir/files"; echo "$dir/d0" > "$dir/datasets"
  cp "$dir/d0" "$dir/pristine/"
  local bytes; bytes=$(cat "$dir"/r???? "$dir/d0" | wc -c)
  cat "$dir"/r???? "$dir/d0" > /dev/null  # warm the page cache for both
  local what="$f report files x $k lines into 1 dataset of $l lines"
  if [ "$i" = 0 ]; then what+=", one integer a line"; else what+=", $i ids a line"; fi
  echo "$name: $what, $((bytes / 1048576)) MiB"

  local program=$sums
  [ "$i" = 0 ] && program=$greatest
  local first=$1
  local args=("$dir/files" "$dir/datasets")
  [ "$first" = tallyfuse ] && args+=(1)
  fsyncs "$tools/$first" "${args[@]}" && synced[$name]=sync || synced[$name]=true
  cat > "$dir/peer.sh" <<PEER
set -e
cd "$dir"
LC_ALL=C sort -m --batch-size=$((f + 1)) r???? pristine/d0 | LC_ALL=C gawk '$program' > peer/d0
${synced[$name]} peer/d0
PEER

  local tool
  for tool in "$@"; do
    args=("$dir/files" "$dir/datasets")
    [ "$tool" = tallyfuse ] && args+=(1)
    ours() { fresh_dataset; measure "$work/results/$name-$tool-ours" "$tools/$tool" "${args[@]}"; }
    peer() { measure "$work/results/$name-$tool-peer" bash "$dir/peer.sh"; }
    interleave ours peer
    if [ "$i" = 0 ]; then
      same_output "$dir/d0" "$dir/peer/d0"
    else
      LC_ALL=C gawk "$normalise" "$dir/d0" > "$dir/ours/d0"
      LC_ALL=C gawk "$normalise" "$dir/peer/d0" > "$dir/peer/d0.norm"
      same_output "$dir/ours/d0" "$dir/peer/d0.norm"
    fi
    label[$name-$tool]="$tool, $what"
    merged[$name-$tool]=$((f * k + l))  # lines each side takes in
    synced[$name-$tool]=${synced[$name]}
    sections+=("$name-$tool")
  done
  if [ "$first" = tallyfuse ] && [ "${NO_CTIME:-0}" != 1 ]; then
    echo "$dir/d0" | sed 's/^/7=/' > "$dir/datasets.ctime"
    ctime_run() { fresh_dataset; measure "$work/results/$name-ctime" "$tools/tallyfuse" "$dir/files" "$dir/datasets.ctime" 1; }
    for _ in $(seq 1 "$pairs"); do ctime_run; done
  fi
  rm -rf "$dir"
}

row() {  # LABEL RESULT LINES
  printf '    %-32s %-38s %-18s peak %s\n' "$1" "$(figure "$2" 1 1 3 s)" \
    "$(awk -v m="$3" -v t="$(median "$2" 1)" 'BEGIN { printf "%.0f lines/s", m / t }')" "$(figure "$2" 2 0.0009765625 1 MiB)"
}

for n in $counts; do
  per=$((report_lines / n))
  one_run "n$n" "$n" "$per" "$lines" "$ids" tallyfuse peakfuse
  one_run "n$n-value" "$n" "$per" "$lines" 0 recentfuse
done
if [ "${NO_WIDE:-0}" != 1 ]; then
  NO_CTIME=1 one_run wide 24 500 5000 1000 tallyfuse
fi

echo "load average after the runs: $(bench_load)"
for s in "${sections[@]}"; do
  echo "  ${label[$s]} (same dataset from both; peer output synced: ${synced[$s]})"
  row "${s##*-}" "$work/results/$s-ours" "${merged[$s]}"
  row "sort -m | gawk (largest process)" "$work/results/$s-peer" "${merged[$s]}"
  awk -v a="$(median "$work/results/$s-ours" 1)" -v b="$(median "$work/results/$s-peer" 1)" \
    'BEGIN { printf "    speed ratio peer/ours: %.2f\n", b / a }'
  if [ "${s##*-}" = tallyfuse ] && [ -s "$work/results/${s%-tallyfuse}-ctime" ]; then
    row "extra: tallyfuse, ctime dataset" "$work/results/${s%-tallyfuse}-ctime" "${merged[$s]}"
  fi
done
