#!/usr/bin/env bash
# tools_bench.sh [LINES] [ACTIVITY_MIB] [ALERT_MIB]: times rowsift, trailshape
# and flagtrim beside peer commands doing the same work, checks that each
# pair gives identical output, and prints the median time of each with its
# spread and the ratio. Each pair alternates (ours, peer, ours, ...) on a
# warm page cache; a peer's output is synced to the disk when our tool syncs
# its own (flagtrim does). Defaults: 5 million dataset lines, a 256 MiB
# activity log and a 2048 MiB alert log. Not part of CI.
#   rowsift        beside LC_ALL=C sort -s -t'|' -k2,2n --parallel=1 (| tac for desc)
#   trailshape     beside gawk with strftime (| gzip -6 for --compress)
#   flagtrim N     beside tail -n N
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
lines=${1:-5000000}
activity_mib=${2:-256}
alert_mib=${3:-2048}

bench_build > /dev/null
command -v gawk >/dev/null || { echo "gawk is missing"; exit 1; }

bench_workdir tools
tools=$build/tools
gen=$build/bench/tools_datagen
res=$work/results
bench_banner "tools: $lines dataset lines, $activity_mib MiB activity log, $alert_mib MiB alert log"

# peer_sync OURS_PROGRAM ARGS...: "sync" when the program syncs its output.
peer_sync() {
  if fsyncs "$@"; then echo sync; else echo true; fi
}

# rowsift
data=$work/data
"$gen" dataset "$data" "$lines"
cat "$data" > /dev/null
echo "dataset: $(stat -c %s "$data") bytes, $lines lines"
rs_sync=$(peer_sync "$tools/rowsift" --field 2 --sort-dir asc --outfile "$work/rs.asc" "$data")
rs_asc()  { timed "$res/rs-asc" "$tools/rowsift" --field 2 --sort-dir asc --outfile "$work/rs.asc" "$data"; }
rs_desc() { timed "$res/rs-desc" "$tools/rowsift" --field 2 --outfile "$work/rs.desc" "$data"; }
sort_asc() { LC_ALL=C sort -s -t'|' -k2,2n --parallel=1 "$data" > "$work/so.asc"; $rs_sync "$work/so.asc"; }
sort_desc() { LC_ALL=C sort -s -t'|' -k2,2n --parallel=1 "$data" | tac > "$work/so.desc"; $rs_sync "$work/so.desc"; }
so_asc()  { timed "$res/so-asc" sort_asc; }
so_desc() { timed "$res/so-desc" sort_desc; }
interleave rs_asc so_asc
same_output "$work/rs.asc" "$work/so.asc"
interleave rs_desc so_desc
same_output "$work/rs.desc" "$work/so.desc"
rm -f "$data" "$work"/rs.* "$work"/so.*

# trailshape
log=$work/dnsq-req.al
"$gen" activity "$log" $((activity_mib * 1024 * 1024))
cat "$log" > /dev/null
echo "activity log: $(stat -c %s "$log") bytes, $(wc -l < "$log") lines"
nodes=(--node 1=alpha --node 2=beta)
ts_sync=$(TZ=Europe/Berlin peer_sync "$tools/trailshape" "${nodes[@]}" --outfile "$work/ts.plain" "$log")
ts_plain() { TZ=Europe/Berlin timed "$res/ts-plain" "$tools/trailshape" "${nodes[@]}" --outfile "$work/ts.plain" "$log"; }
ts_gz()    { TZ=Europe/Berlin timed "$res/ts-gz" "$tools/trailshape" --compress "${nodes[@]}" --outfile "$work/ts.gz" "$log"; }
gawk_fmt() {
  TZ=Europe/Berlin LC_ALL=C gawk -F'|' -v RS='\r?\n' '
    function ip(h) {
      return strtonum("0x" substr(h, 1, 2)) "." strtonum("0x" substr(h, 3, 2)) "." \
             strtonum("0x" substr(h, 5, 2)) "." strtonum("0x" substr(h, 7, 2))
    }
    BEGIN { name[1] = "alpha"; name[2] = "beta" }
    NF == 8 {
      node = ($2 in name) ? name[$2] : $2
      print node "|" strftime("%Y/%m/%d %H:%M:%S", $3) "|" ip($4) "|" ip($5) "|" $6 "|" $7 "|" $8
    }' "$log"
}
gawk_plain() { timed "$res/gawk-plain" eval 'gawk_fmt > "$work/gawk.plain"; $ts_sync "$work/gawk.plain"'; }
gawk_gz()    { timed "$res/gawk-gz" eval 'gawk_fmt | gzip -6 > "$work/gawk.gz"; $ts_sync "$work/gawk.gz"'; }
interleave ts_plain gawk_plain
same_output "$work/ts.plain" "$work/gawk.plain"
interleave ts_gz gawk_gz
zcat "$work/ts.gz" > "$work/ts.unz"; same_output "$work/ts.unz" "$work/gawk.plain"
zcat "$work/gawk.gz" > "$work/gawk.unz"; same_output "$work/gawk.unz" "$work/gawk.plain"
rm -f "$log" "$work"/ts.* "$work"/gawk.*

# flagtrim: each run trims a fresh name of the same file (a hard link), so
# the original stays for the next run.
alerts=$work/alerts.keep
"$gen" alerts "$alerts" $((alert_mib * 1024 * 1024))
cat "$alerts" > /dev/null
echo "alert log: $(stat -c %s "$alerts") bytes"
ln -f "$alerts" "$work/alerts.log"
ft_sync=$(peer_sync "$tools/flagtrim" "$work/alerts.log" 10)
for n in 10 100000; do
  ft() { ln -f "$alerts" "$work/alerts.log"; timed "$res/ft-$n" "$tools/flagtrim" "$work/alerts.log" "$n"; }
  tail_n() { tail -n "$n" "$alerts" > "$work/tail.out"; $ft_sync "$work/tail.out"; }
  tl() { timed "$res/tail-$n" tail_n; }
  interleave ft tl
  same_output "$work/alerts.log" "$work/tail.out"
done

echo "load average after the runs: $(bench_load)"
echo "peer outputs synced to disk: rowsift $rs_sync, trailshape $ts_sync, flagtrim $ft_sync (true: no)"
compare_times "rowsift asc" "$res/rs-asc" "sort -s -k2,2n" "$res/so-asc"
compare_times "rowsift desc" "$res/rs-desc" "sort -s -k2,2n | tac" "$res/so-desc"
compare_times "trailshape" "$res/ts-plain" "gawk strftime" "$res/gawk-plain"
compare_times "trailshape --compress" "$res/ts-gz" "gawk strftime | gzip -6" "$res/gawk-gz"
compare_times "flagtrim 10" "$res/ft-10" "tail -n 10" "$res/tail-10"
compare_times "flagtrim 100000" "$res/ft-100000" "tail -n 100000" "$res/tail-100000"
