#!/usr/bin/env bash
# capture_bench.sh [PACKETS]: the capture's loss-free packet rate, side by
# side with `tcpdump -w /dev/null` and the same capture filter.
#
# Two network namespaces joined by a veth pair; PARALLEL tcpreplay processes
# (2 unless set; one cannot drive a veth much beyond 150-200k packets a
# second) together replay PACKETS (1,000,000 unless given) distinct DNS
# queries from one end at each rate of RATES (packets a second in all, or
# "topspeed"), while on the other end either harvd
# (default configuration: unbuffered logs, verbose off, one dnsq-req-raw
# method) or tcpdump captures. Reports per rate the rate tcpreplay reached
# and the packets each one lost. Needs root. Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
count=${1:-1000000}
rates=${RATES:-"100000 200000 300000 400000 topspeed"}
parallel=${PARALLEL:-2}

[ "$(id -u)" -eq 0 ] || { echo "capture_bench.sh needs root (namespaces, capture)"; exit 1; }
for p in tcpreplay tcpdump ip python3; do
  command -v "$p" >/dev/null || { echo "$p is missing (scripts/deps.sh installs it)"; exit 1; }
done
# HARVD names another harvd to measure (an earlier build, say) instead.
harvd=${HARVD:-}
if [ -z "$harvd" ]; then
  bench_build
  harvd=$build/collector/harvd
fi

work=$(mktemp -d /tmp/harvd-capture-bench-XXXXXX)
nsa=hvbench-a-$$; nsb=hvbench-b-$$; ifa=hvba$$; ifb=hvbb$$
mac_a=02:00:00:00:0b:01; mac_b=02:00:00:00:0b:02
cleanup() {
  ip netns del "$nsa" 2>/dev/null || true
  ip netns del "$nsb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
ip netns add "$nsa"; ip netns add "$nsb"
ip link add "$ifa" type veth peer name "$ifb"
ip link set "$ifa" netns "$nsa"; ip link set "$ifb" netns "$nsb"
ip -n "$nsa" link set "$ifa" address $mac_a; ip -n "$nsb" link set "$ifb" address $mac_b
ip -n "$nsa" addr add 10.99.0.1/24 dev "$ifa"; ip -n "$nsb" addr add 10.99.0.2/24 dev "$ifb"
for ns in "$nsa" "$nsb"; do ip -n "$ns" link set lo up; done
ip -n "$nsa" link set "$ifa" up; ip -n "$nsb" link set "$ifb" up

share=$((count / parallel)); count=$((share * parallel))
for k in $(seq 0 $((parallel - 1))); do
  python3 "$root/bench/make_dns_burst.py" "$work/burst-$k.pcap" "$share" $mac_a $mac_b 10.99.0.1 10.99.0.2 \
    $((k * share))
done
filter="(ether dst $mac_a and dst port 53) or (ether src $mac_a and src port 53) or (udp and (dst port 67 or dst port 68))"

# Replays the burst at a rate (shared by the replaying processes); prints
# the sum of the packet rates they report.
replay() {
  local opt=--topspeed k pids=()
  [ "$1" = topspeed ] || opt=--pps=$(($1 / parallel))
  for k in $(seq 0 $((parallel - 1))); do
    ip netns exec "$nsb" tcpreplay -i "$ifb" $opt "$work/burst-$k.pcap" > "$work/replay-$k.out" 2>&1 &
    pids+=($!)
  done
  wait "${pids[@]}"
  cat "$work"/replay-*.out | sed -n 's/.*Rated: .* \([0-9.]*\) pps.*/\1/p' | cut -d. -f1 |
    awk '{ s += $1 } END { print s + 0 }'
}

wait_for_text() {  # file text: up to 10 s
  for _ in $(seq 1 200); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "timed out waiting for '$2' in $1" >&2; return 1
}

# One harvd run: prints "replayed-pps lines drop-warnings".
run_harvd() {
  local d=$work/harvd-$1
  mkdir -p "$d"
  printf 'al_dir = %s\nalert_dir = %s\nrotate_interval = 1000000000\nmethod = id:1 node_id:1 type:dnsq-req-raw interface:%s\n' \
    "$d" "$d" "$ifa" > "$d/h.conf"
  ip netns exec "$nsa" "$harvd" --run-console "$d/h.log" "$d/h.conf" > /dev/null 2>&1 &
  local pid=$!
  wait_for_text "$d/h.log" "starting method"
  sleep 0.5
  local pps; pps=$(replay "$1")
  sleep 1.5
  kill -TERM $pid; wait $pid || true
  echo "$pps $(cat "$d"/dnsq-req.al* | wc -l) $(grep -c 'packets dropped by the capture' "$d/h.log" || true)"
}

# One tcpdump run: prints "replayed-pps captured".
run_tcpdump() {
  local d=$work/tcpdump-$1
  mkdir -p "$d"
  ip netns exec "$nsa" tcpdump -i "$ifa" -n -w /dev/null "$filter" 2> "$d/err" &
  local pid=$!
  wait_for_text "$d/err" "listening on"
  sleep 0.5
  local pps; pps=$(replay "$1")
  sleep 1.5
  kill -INT $pid; wait $pid || true
  echo "$pps $(sed -n 's/^\([0-9]*\) packets captured.*/\1/p' "$d/err")"
}

echo "packets per run: $count, replayed by $parallel tcpreplay processes; load: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-10s | %-12s %-10s %-8s | %-12s %-10s\n' rate harvd-pps lost warned tcpdump-pps lost
best_h=none; best_t=none
for rate in $rates; do
  read -r hpps hlines hwarn < <(run_harvd "$rate")
  read -r tpps tcap < <(run_tcpdump "$rate")
  hlost=$((count - hlines)); tlost=$((count - tcap))
  printf '%-10s | %-12s %-10s %-8s | %-12s %-10s\n' "$rate" "$hpps" "$hlost" "$hwarn" "$tpps" "$tlost"
  [ "$hlost" -eq 0 ] && best_h="$rate ($hpps pps)"
  [ "$tlost" -eq 0 ] && best_t="$rate ($tpps pps)"
done
echo "highest loss-free rate: harvd $best_h; tcpdump $best_t"
