#!/usr/bin/env bash
# syslog_tcp_bench.sh [LINES]: syslog lines per second over TCP on 127.0.0.1
# through one and through eight connections, harvd beside rsyslogd (imtcp
# writing every message to a file with omfile), and the CPU time each takes
# per line.
#
# harvd runs in its default configuration (buffer_als = 0, verbose = 0) with
# both syslog methods on one port and all five alert kinds loaded; the lines
# are BIND9 query-log lines behind the traditional syslog header (one ISC
# dhcpd line in every DHCP_EVERY as well, when set). Each run is a fresh
# receiver to which LINES lines (1,000,000 unless given) are sent over the
# connections as fast as it takes them; the run lasts from the first line
# sent to the last line in the receiver's output file (its size watched every
# 20 ms), and the lines in the file are counted against those sent. The two
# receivers alternate (harvd, rsyslogd, harvd, ...). BUFFERED=1 adds harvd
# with buffer_als = 1 as an extra, labelled row. Needs rsyslogd and root
# (rsyslogd runs in a mount namespace of its own, in which /dev/log, if
# any, is /dev/null). HARVD names another harvd to measure. Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
lines=${1:-1000000}
port=${BENCH_PORT:-25515}
dhcp_every=${DHCP_EVERY:-0}

command -v rsyslogd >/dev/null || { echo "rsyslogd is missing (scripts/deps.sh installs it)"; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "syslog_tcp_bench.sh needs root (a mount namespace for rsyslogd)"; exit 1; }
bench_build > /dev/null
flood=$build/bench/syslog_tcp_flood
bench_workdir syslog-tcp
mkdir -p "$work/harvd" "$work/harvd-buffered" "$work/rsyslogd"
harvd_syslog_conf "$work/harvd.conf" "$work/harvd" 2 "$port" 0
harvd_syslog_conf "$work/harvd-buffered.conf" "$work/harvd-buffered" 2 "$port" 1
rsyslog_conf "$work/rsyslog.conf" "$work/rsyslogd" imtcp "$port"
bench_on_exit 'kill "$harvd_pid" "$rsyslog_pid" 2>/dev/null'
harvd_pid=; rsyslog_pid=

output_bytes() {  # SIDE: bytes in the receiver's output files so far
  case $1 in
    harvd*) stat -c %s "$work/$1"/al/*.al* 2>/dev/null | awk '{ s += $1 } END { print s + 0 }' ;;
    rsyslogd) stat -c %s "$work/rsyslogd/lines.log" 2>/dev/null || echo 0 ;;
  esac
}

# run SIDE CONNECTIONS: appends "lines-per-second cpu-ns-per-line received
# sent" to results/SIDE-CONNECTIONS.
run() {
  local side=$1 conns=$2 pid t0 last size prev=-1 flood_pid cpu0 cpu1 sent secs failed got still=0
  case $side in
    harvd*) harvd_start "$work/$side.conf" "$work/$side"; pid=$harvd_pid ;;
    rsyslogd) rsyslog_start "$work/rsyslog.conf" "$work/rsyslogd"; pid=$rsyslog_pid ;;
  esac
  [ "$side" = rsyslogd ] || rb_harvd=$(socket_rcvbuf t "$port")
  [ "$side" != rsyslogd ] || rb_rsyslog=$(socket_rcvbuf t "$port")
  cpu0=$(proc_cpu_ns "$pid")
  t0=$(now_ns); last=$t0
  "$flood" 127.0.0.1 "$port" "$conns" "$lines" "$dhcp_every" > "$work/flood.out" &
  flood_pid=$!
  # Done when the sender has finished and the output has not grown for 1 s.
  while :; do
    size=$(output_bytes "$side")
    if [ "$size" != "$prev" ]; then prev=$size; last=$(now_ns); still=0; else still=$((still + 1)); fi
    if ! kill -0 "$flood_pid" 2>/dev/null && [ "$still" -ge 50 ]; then break; fi
    sleep 0.02
  done
  cpu1=$(proc_cpu_ns "$pid")
  wait "$flood_pid" || true
  read -r sent secs failed < "$work/flood.out"
  stop_process "$pid"
  case $side in
    harvd*) got=$(harvd_lines "$work/$side") ;;
    rsyslogd) got=$(rsyslog_lines "$work/rsyslogd") ;;
  esac
  awk -v g="$got" -v t0="$t0" -v t1="$last" -v c=$((cpu1 - cpu0)) -v n="$sent" 'BEGIN {
    printf "%.0f %.0f %d %d\n", g / ((t1 - t0) / 1e9), (g > 0 ? c / g : 0), g, n }' \
    >> "$work/results/$side-$conns"
  echo "  $side, $conns connection(s): $got of $sent lines (failed connections: $failed)"
  if [ "$got" -ne "$lines" ] || [ "$sent" -ne "$lines" ]; then
    echo "FAIL: $side received $got of $lines lines: its figures would mean nothing"
    exit 1
  fi
}

bench_banner "TCP syslog on 127.0.0.1:$port, $lines lines a run"
for conns in 1 8; do
  run_harvd() { run harvd "$conns"; }
  run_rsyslogd() { run rsyslogd "$conns"; }
  interleave run_harvd run_rsyslogd
  if [ "${BUFFERED:-0}" = 1 ]; then
    for _ in $(seq 1 "$pairs"); do run harvd-buffered "$conns"; done
  fi
done
echo "   listening socket receive buffers: harvd $rb_harvd bytes, rsyslogd $rb_rsyslog bytes" \
     "(net.ipv4.tcp_rmem = $(cat /proc/sys/net/ipv4/tcp_rmem | tr '\t' ' '))"
echo "load average after the runs: $(bench_load)"
printf '%-30s %-5s %-40s %s\n' side conns "lines/s median [range] spread" "CPU us per line"
for conns in 1 8; do
  for s in harvd rsyslogd harvd-buffered; do
    f=$work/results/$s-$conns
    [ -f "$f" ] || continue
    label=$s
    [ "$s" = harvd ] && label="harvd (default configuration)"
    [ "$s" = harvd-buffered ] && label="harvd buffer_als = 1 (extra)"
    [ "$s" = rsyslogd ] && label="rsyslogd imtcp -> omfile"
    printf '%-30s %-5s %-40s %s\n' "$label" "$conns" "$(figure "$f" 1 1 0)" "$(figure "$f" 2 0.001 2)"
  done
  awk -v h="$(median "$work/results/harvd-$conns")" -v r="$(median "$work/results/rsyslogd-$conns")" -v c="$conns" \
    'BEGIN { if (r > 0) printf "harvd / rsyslogd lines/s, %d connection(s): %.2f\n", c, h / r }'
done
awk -v a="$(median "$work/results/harvd-1")" -v b="$(median "$work/results/harvd-8")" \
  'BEGIN { if (a > 0) printf "harvd 8 connections / 1 connection: %.2f\n", b / a }'
