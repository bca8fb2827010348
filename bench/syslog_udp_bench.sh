#!/usr/bin/env bash
# syslog_udp_bench.sh [SECONDS]: the highest rate of syslog datagrams over
# UDP on loopback that harvd takes without losing one, with both syslog
# methods on one port and all five alert rule kinds loaded; then the same for
# rsyslogd with its UDP input writing every datagram to a file. Each trial is
# a fresh receiver fed for SECONDS (2 unless given) at a fixed rate, stopped,
# and its lines counted; the rate doubles until a trial loses datagrams, then
# is bisected. The watch rules match (almost) nothing, as in normal running,
# so the rate measured is that of receiving, parsing and logging. Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
secs=${1:-2}
port=${BENCH_PORT:-25514}

bench_build >/dev/null
flood=$build/bench/syslog_udp_flood
harvd=$build/collector/harvd
rsyslogd=$(command -v rsyslogd || true)

bench_workdir syslog

cat > "$work/harvd.conf" <<CONF
verbose = 0
al_dir = $work/al
alert_dir = $work/alerts
buffer_als = 1
method = id:1 node_id:1 type:dnsq-req-bind9-syslog hostname:ns1 source_ip:127.0.0.1 server_ip:127.0.0.1 protocol:1 port:$port
method = id:2 node_id:1 type:dhcp-pkt-isc-syslog hostname:dhcp1 source_ip:127.0.0.1 protocol:1 port:$port
alert = id:10 type:dhcp-mac-watch mac:020000000001
alert = id:11 type:dns-query-watch query_name:*.example.invalid
alert = id:12 type:dns-rcode-watch rcode:3
alert = id:13 type:dhcp-packet-rate count:50 unit:3
alert = id:14 type:dns-query-rate count:50 unit:3
CONF

cat > "$work/rsyslog.conf" <<CONF
global(workDirectory="$work/rs")
module(load="imudp")
input(type="imudp" address="127.0.0.1" port="$port" ruleset="to_file")
ruleset(name="to_file") { action(type="omfile" file="$work/rs/lines.log") }
CONF

# trial ENGINE RATE -> prints "received sent"
trial() {
  local engine=$1 rate=$2 count pid got sent
  count=$(awk -v r="$rate" -v s="$secs" 'BEGIN { printf "%d", r * s }')
  rm -rf "$work/al" "$work/alerts" "$work/rs" "$work/harvd.log"
  mkdir -p "$work/al" "$work/alerts" "$work/rs"
  if [ "$engine" = harvd ]; then
    "$harvd" --run-console "$work/harvd.log" "$work/harvd.conf" >/dev/null 2>&1 &
    pid=$!
    until grep -q "udp syslog server listening" "$work/harvd.log" 2>/dev/null; do sleep 0.05; done
  else
    "$rsyslogd" -n -f "$work/rsyslog.conf" -i "$work/rs/pid" >/dev/null 2>&1 &
    pid=$!
    until [ -s "$work/rs/pid" ]; do sleep 0.05; done
    sleep 0.5
  fi
  sent=$("$flood" 127.0.0.1 "$port" "$rate" "$count" | awk '{ print $1 }')
  sleep 1
  kill -TERM "$pid"
  wait "$pid" || true
  if [ "$engine" = harvd ]; then
    got=$(cat "$work"/al/*.al 2>/dev/null | wc -l)
  else
    got=$(wc -l < "$work/rs/lines.log" 2>/dev/null || echo 0)
  fi
  echo "$got $sent"
}

search() {
  local engine=$1 rate=5000 good=0 bad=0 got sent mid
  while :; do
    read -r got sent < <(trial "$engine" "$rate")
    echo "  $engine $rate/s: $got of $sent" >&2
    if [ "$got" -eq "$sent" ]; then good=$rate; rate=$((rate * 2)); else bad=$rate; break; fi
    if [ "$rate" -gt 2000000 ]; then echo "$good"; return; fi
  done
  for _ in 1 2 3 4; do
    mid=$(((good + bad) / 2))
    read -r got sent < <(trial "$engine" "$mid")
    echo "  $engine $mid/s: $got of $sent" >&2
    if [ "$got" -eq "$sent" ]; then good=$mid; else bad=$mid; fi
  done
  echo "$good"
}

echo "UDP syslog on 127.0.0.1:$port, ${secs}s per trial, 3 BIND9 lines to 1 dhcpd line"
echo "net.core.rmem_max = $(cat /proc/sys/net/core/rmem_max) (caps both receivers' socket buffers)"
h=$(search harvd)
echo "harvd:    highest loss-free rate ${h} datagrams/s"
if [ -n "$rsyslogd" ]; then
  r=$(search rsyslogd)
  echo "rsyslogd: highest loss-free rate ${r} datagrams/s (imudp to omfile)"
else
  echo "rsyslogd: not installed, no comparison"
fi
