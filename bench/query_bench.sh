#!/usr/bin/env bash
# query_bench.sh [MIB]: scans a generated replication log (1100 MiB unless
# given) newest first with a string filter and a dttm range, with mirrorscan
# and with `tac | LC_ALL=C mawk` doing the same selection; checks that both
# select the same lines and prints the median time of each with its spread
# and the ratio. The two alternate (mirrorscan, mawk, mirrorscan, ...), on a
# warm page cache and then on a cold one (the log dropped from the page cache
# before every cold run). Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
mib=${1:-1100}

bench_build > /dev/null
command -v mawk >/dev/null || { echo "mawk is missing (scripts/deps.sh installs it)"; exit 1; }

bench_workdir query
log=$work/replication.log

read -r first last < <("$build/bench/query_loggen" "$log" $((mib * 1024 * 1024)))
span=$((last - first))
lo=$((first + span / 4))
hi=$((first + span * 3 / 4))
bench_banner "query: $(stat -c %s "$log") bytes, $(wc -l < "$log") lines; range $lo-$hi, host contains 'replica-0'"

run_mirrorscan() {
  "$build/tools/mirrorscan" --filter-string '2=*replica-0*' --filter-dttm "1=$lo-$hi" \
    --sort-dir desc --outfile "$work/mirrorscan.out" "$log"
}
run_mawk() {
  tac "$log" | LC_ALL=C mawk -F'|' -v lo="$lo" -v hi="$hi" \
    'NF == 4 && $1 + 0 >= lo && $1 + 0 <= hi && index(tolower($2), "replica-0") { print; n++ }
     END { print n + 0 }' > "$work/mawk.out"
}

# Drops the log's pages from the page cache (the file alone, not the
# machine's whole cache), so the next run reads it from the disk.
drop_log() {
  dd if="$log" iflag=nocache count=0 status=none
}

warm_ours() { timed "$work/results/warm-ours" run_mirrorscan; }
warm_peer() { timed "$work/results/warm-peer" run_mawk; }
cold_ours() { drop_log; timed "$work/results/cold-ours" run_mirrorscan; }
cold_peer() { drop_log; timed "$work/results/cold-peer" run_mawk; }

cat "$log" > /dev/null  # warm the page cache for both
interleave warm_ours warm_peer
same_output "$work/mirrorscan.out" "$work/mawk.out"
echo "   selected: $(tail -n 1 "$work/mirrorscan.out") lines, identical output"
sync
drop_log
echo "   cached after dropping: $(fincore -n -o PAGES "$log" 2>/dev/null || echo '?') pages"
interleave cold_ours cold_peer
same_output "$work/mirrorscan.out" "$work/mawk.out"
echo "load average after the runs: $(bench_load)"
compare_times "warm mirrorscan desc" "$work/results/warm-ours" "tac | mawk" "$work/results/warm-peer"
compare_times "cold mirrorscan desc" "$work/results/cold-ours" "tac | mawk" "$work/results/cold-peer"
