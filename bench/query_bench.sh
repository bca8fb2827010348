#!/usr/bin/env bash
# query_bench.sh [MIB]: scans a generated replication log (1100 MiB unless
# given) newest first with a string filter and a dttm range, once with
# mirrorscan and once with `tac | LC_ALL=C mawk` doing the same selection;
# checks that both select the same lines and prints both times and the ratio.
# Best of three runs each, on a warm page cache and on a cold one (the log
# dropped from the page cache before every cold run). Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
mib=${1:-1100}

bench_build
command -v mawk >/dev/null || { echo "mawk is missing (scripts/deps.sh installs it)"; exit 1; }

bench_workdir query
log=$work/replication.log

read -r first last < <("$build/bench/query_loggen" "$log" $((mib * 1024 * 1024)))
span=$((last - first))
lo=$((first + span / 4))
hi=$((first + span * 3 / 4))
bytes=$(stat -c %s "$log")
echo "log: $bytes bytes, $(wc -l < "$log") lines; range $lo-$hi, host contains 'replica-0'"
cat "$log" > /dev/null  # warm the page cache for both

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
cold() { drop_log; "$@"; }

t_ms=$(best run_mirrorscan)
t_awk=$(best run_mawk)
if ! cmp -s "$work/mirrorscan.out" "$work/mawk.out"; then
  echo "FAIL: mirrorscan and mawk selected different lines"
  exit 1
fi
echo "selected: $(tail -n 1 "$work/mirrorscan.out") lines, identical output"
sync
drop_log
echo "cached after dropping: $(fincore -n -o PAGES "$log" 2>/dev/null || echo '?') pages"
c_ms=$(best cold run_mirrorscan)
c_awk=$(best cold run_mawk)
mawk -v a="$t_ms" -v b="$t_awk" -v c="$c_ms" -v d="$c_awk" 'BEGIN {
  printf "warm  mirrorscan (desc):     %.3f s\n", a / 1e9
  printf "warm  tac | mawk:            %.3f s\n", b / 1e9
  printf "warm  ratio mawk/mirrorscan: %.2f\n", b / a
  printf "cold  mirrorscan (desc):     %.3f s\n", c / 1e9
  printf "cold  tac | mawk:            %.3f s\n", d / 1e9
  printf "cold  ratio mawk/mirrorscan: %.2f\n", d / c
}'
