#!/usr/bin/env bash
# tcp_reassembly_bench.sh [QUERIES]: DNS over TCP segments per second through
# the collector's frame handler and reassembly, with 10 and with 10,000
# connections open at once (QUERIES queries in all, 200000 unless given),
# beside `tshark -r` reassembling the same capture files and writing the
# query names; prints the queries each of them found. Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
total=${1:-200000}

bench_build
bin=$build/bench/tcp_reassembly_bench

bench_workdir tcp

for conns in 10 10000; do
  file=$work/dns_tcp_$conns.pcap
  "$bin" gen "$file" "$conns" $((total / conns)) >/dev/null
  echo "== $conns open connections, $total queries: $(stat -c %s "$file") bytes"
  echo "harvd:  $("$bin" run "$file")"
  if command -v tshark >/dev/null; then
    t0=$(date +%s%N)
    tshark -r "$file" -o tcp.desegment_tcp_streams:TRUE -o tcp.analyze_sequence_numbers:TRUE \
      -Y 'dns.flags.response == 0' -T fields -e dns.qry.name > "$work/tshark.out" 2>/dev/null
    t1=$(date +%s%N)
    frames=$(tshark -r "$file" -T fields -e frame.number 2>/dev/null | wc -l)
    ns=$((t1 - t0))
    echo "tshark: segments $frames seconds $(awk -v n="$ns" 'BEGIN { printf "%.3f", n / 1e9 }')" \
         "segments/s $(awk -v f="$frames" -v n="$ns" 'BEGIN { printf "%.0f", f / (n / 1e9) }')" \
         "queries $(wc -l < "$work/tshark.out")"
  else
    echo "tshark is missing: no comparison"
  fi
done
