#!/usr/bin/env bash
# tools_bench.sh [LINES] [ACTIVITY_MIB] [ALERT_MIB]: times rowsift, trailshape
# and flagtrim beside peer commands doing the same work, checks that each
# pair gives identical output, and prints the times and ratios. Best of three
# runs each, on a warm page cache. Defaults: 5 million dataset lines, a
# 256 MiB activity log and a 2048 MiB alert log. Not part of CI.
#   rowsift        beside LC_ALL=C sort -s -t'|' -k2,2n --parallel=1 (| tac for desc)
#   trailshape     beside gawk with strftime (| gzip -6 for --compress)
#   flagtrim N     beside tail -n N
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
lines=${1:-5000000}
activity_mib=${2:-256}
alert_mib=${3:-2048}

bench_build
command -v gawk >/dev/null || { echo "gawk is missing"; exit 1; }

bench_workdir tools
tools=$build/tools
gen=$build/bench/tools_datagen

report() {  # report NAME OURS PEER_NAME PEER
  mawk -v n="$1" -v a="$2" -v p="$3" -v b="$4" 'BEGIN {
    printf "%-24s %8.3f s   %-34s %8.3f s   ratio %.2f\n", n, a / 1e9, p, b / 1e9, b / a }'
}
same() {
  cmp -s "$1" "$2" || { echo "FAIL: $1 and $2 differ"; exit 1; }
}

# rowsift
data=$work/data
"$gen" dataset "$data" "$lines"
cat "$data" > /dev/null
echo "dataset: $(stat -c %s "$data") bytes, $lines lines"
rs_asc()  { "$tools/rowsift" --field 2 --sort-dir asc --outfile "$work/rs.asc" "$data"; }
rs_desc() { "$tools/rowsift" --field 2 --outfile "$work/rs.desc" "$data"; }
so_asc()  { LC_ALL=C sort -s -t'|' -k2,2n --parallel=1 "$data" > "$work/so.asc"; }
so_desc() { LC_ALL=C sort -s -t'|' -k2,2n --parallel=1 "$data" | tac > "$work/so.desc"; }
a=$(best rs_asc); b=$(best so_asc); same "$work/rs.asc" "$work/so.asc"
report "rowsift asc" "$a" "sort -s -k2,2n" "$b"
a=$(best rs_desc); b=$(best so_desc); same "$work/rs.desc" "$work/so.desc"
report "rowsift desc" "$a" "sort -s -k2,2n | tac" "$b"
rm -f "$data" "$work"/rs.* "$work"/so.*

# trailshape
log=$work/dnsq-req.al
"$gen" activity "$log" $((activity_mib * 1024 * 1024))
cat "$log" > /dev/null
echo "activity log: $(stat -c %s "$log") bytes, $(wc -l < "$log") lines"
nodes=(--node 1=alpha --node 2=beta)
ts_plain() { TZ=Europe/Berlin "$tools/trailshape" "${nodes[@]}" --outfile "$work/ts.plain" "$log"; }
ts_gz()    { TZ=Europe/Berlin "$tools/trailshape" --compress "${nodes[@]}" --outfile "$work/ts.gz" "$log"; }
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
gawk_plain() { gawk_fmt > "$work/gawk.plain"; }
gawk_gz()    { gawk_fmt | gzip -6 > "$work/gawk.gz"; }
a=$(best ts_plain); b=$(best gawk_plain); same "$work/ts.plain" "$work/gawk.plain"
report "trailshape" "$a" "gawk strftime" "$b"
a=$(best ts_gz); b=$(best gawk_gz)
zcat "$work/ts.gz" > "$work/ts.unz"; same "$work/ts.unz" "$work/gawk.plain"
report "trailshape --compress" "$a" "gawk strftime | gzip -6" "$b"
rm -f "$log" "$work"/ts.* "$work"/gawk.*

# flagtrim: each run trims a fresh name of the same file (a hard link), so
# the original stays for the next run.
alerts=$work/alerts.keep
"$gen" alerts "$alerts" $((alert_mib * 1024 * 1024))
cat "$alerts" > /dev/null
echo "alert log: $(stat -c %s "$alerts") bytes"
for n in 10 100000; do
  ft() { ln -f "$alerts" "$work/alerts.log"; "$tools/flagtrim" "$work/alerts.log" "$n"; }
  tl() { tail -n "$n" "$alerts" > "$work/tail.out"; }
  a=$(best ft); b=$(best tl); same "$work/alerts.log" "$work/tail.out"
  report "flagtrim $n" "$a" "tail -n $n" "$b"
done
