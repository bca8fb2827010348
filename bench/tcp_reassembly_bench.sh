#!/usr/bin/env bash
# tcp_reassembly_bench.sh [QUERIES]: DNS over TCP through the collector's
# frame handler and reassembly, with 10 and with 10,000 connections open at
# once (QUERIES queries in all, 200000 unless given), beside `tshark -r`
# reassembling the same capture files and writing the query names. Both are
# timed as whole processes reading the same file from the page cache; they
# alternate (ours, tshark, ours, ...) and must find the same number of
# queries. Prints the median time of each with its spread, segments per
# second and the ratio. Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
total=${1:-200000}

bench_build > /dev/null
command -v tshark >/dev/null || { echo "tshark is missing (scripts/deps.sh installs it)"; exit 1; }
bin=$build/bench/tcp_reassembly_bench

bench_workdir tcp
bench_banner "DNS over TCP reassembly: $total queries"

for conns in 10 10000; do
  file=$work/dns_tcp_$conns.pcap
  frames=$("$bin" gen "$file" "$conns" $((total / conns)) | awk '{ print $1 }')
  cat "$file" > /dev/null
  echo "$conns open connections: $frames segments, $(stat -c %s "$file") bytes"
  ours_run() { "$bin" run "$file" > "$work/ours.out"; }
  tshark_run() {
    tshark -r "$file" -o tcp.desegment_tcp_streams:TRUE -o tcp.analyze_sequence_numbers:TRUE \
      -Y 'dns.flags.response == 0' -T fields -e dns.qry.name > "$work/tshark.out" 2>/dev/null
  }
  ours() { timed "$work/results/ours-$conns" ours_run; }
  peer() { timed "$work/results/tshark-$conns" tshark_run; }
  interleave ours peer
  found_ours=$(sed -n 's/.* queries \([0-9]*\).*/\1/p' "$work/ours.out")
  found_tshark=$(wc -l < "$work/tshark.out")
  echo "   queries found: harvd $found_ours, tshark $found_tshark"
  if [ "$found_ours" != "$found_tshark" ]; then
    echo "FAIL: harvd and tshark found different numbers of queries"
    exit 1
  fi
  seg[$conns]=$frames
done
echo "load average after the runs: $(bench_load)"
for conns in 10 10000; do
  compare_times "harvd, $conns connections" "$work/results/ours-$conns" "tshark -r" "$work/results/tshark-$conns"
  awk -v f="${seg[$conns]}" -v a="$(median "$work/results/ours-$conns")" -v b="$(median "$work/results/tshark-$conns")" \
    'BEGIN { printf "   segments/s: harvd %.0f, tshark %.0f\n", f / a, f / b }'
done
