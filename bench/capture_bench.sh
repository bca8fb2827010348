#!/usr/bin/env bash
# capture_bench.sh [PACKETS]: the CPU time harvd's capture takes per packet
# and its loss-free packet rate, beside tcpdump capturing the same traffic
# with the same capture filter and the same kernel capture buffer (-B).
#
# First the capture path without the kernel: bench/capture_replay_bench
# feeds a capture file of distinct DNS queries from memory through the frame
# handler, the record callbacks and the activity log (CPU per packet,
# interleaved with REPLAY_BASE, an earlier build of capture_replay_bench,
# when given).
#
# Then live: two network namespaces joined by a veth pair; PARALLEL tcpreplay
# processes (2 unless set; one cannot drive a veth much beyond 150-200k
# packets a second) together replay PACKETS (1,000,000 unless given)
# distinct DNS queries from one end at each rate of RATES (packets a second
# in all, or "topspeed"), while on the other end harvd (default
# configuration: unbuffered logs, verbose off, one dnsq-req-raw method) or
# `tcpdump -w` into a file beside harvd's logs captures them; the two
# alternate (harvd, tcpdump, harvd, ...), `pairs` runs each per rate. Every
# run counts what tcpreplay sent (a run in which it failed to send packets is
# reported as such) against harvd's activity lines or tcpdump's "packets
# captured". A rate is loss-free for a side when none of its runs lost a
# packet. CPU per packet: the receiver's time on the CPU over the run (the
# kernel's nanosecond count of every thread, /proc/PID/task/*/schedstat,
# rather than the 10 ms ticks of user + system time) divided by the packets
# sent. HARVD names another harvd to measure (an earlier build, say);
# HARVD_BASE a second one run in the same rotation (harvd, base, tcpdump,
# harvd, ...), for a before and after beside the same tcpdump runs. Needs
# root. Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
count=${1:-1000000}
rates=${RATES:-"100000 200000 300000 400000 topspeed"}
parallel=${PARALLEL:-2}

[ "$(id -u)" -eq 0 ] || { echo "capture_bench.sh needs root (namespaces, capture)"; exit 1; }
for p in tcpreplay tcpdump ip python3; do
  command -v "$p" >/dev/null || { echo "$p is missing (scripts/deps.sh installs it)"; exit 1; }
done
bench_build > /dev/null
harvd=${HARVD:-$build/collector/harvd}
# The collector's kernel capture buffer, in KiB for tcpdump -B.
buffer_expr=$(sed -n 's/^constexpr int capture_buffer_bytes = \(.*\);$/\1/p' "$root/collector/methods/capture/capture.cpp")
[ -n "$buffer_expr" ] || { echo "capture_buffer_bytes not found in collector/methods/capture/capture.cpp"; exit 1; }
buffer_kib=$(($buffer_expr / 1024))

bench_workdir capture
bench_banner "capture: $count packets a run"
[ -z "${HARVD_BASE:-}" ] || echo "   base (HARVD_BASE): $HARVD_BASE"

# ---- the capture path from memory
python3 "$root/bench/make_dns_burst.py" "$work/replay.pcap" 200000 02:00:00:00:0b:01 02:00:00:00:0b:02 \
  10.99.0.1 10.99.0.2
replay_run() {  # BINARY RESULT
  local out
  out=$("$1" "$work/replay.pcap" 64 5)
  case $out in *"packets 1000000 lines 1000000 "*) ;; *) echo "FAIL: replay wrote a line per packet: $out"; exit 1 ;; esac
  echo "$out" | sed 's/.*cpu_ns_per_packet //' >> "$work/results/$2"
}
replay_ours() { replay_run "$build/bench/capture_replay_bench" replay-ours; }
if [ -n "${REPLAY_BASE:-}" ]; then
  replay_base() { replay_run "$REPLAY_BASE" replay-base; }
  interleave replay_ours replay_base
  echo "capture path from memory, CPU ns per packet (batches of 64): this build $(figure "$work/results/replay-ours" 1 1 0)," \
       "REPLAY_BASE $(figure "$work/results/replay-base" 1 1 0)"
else
  for i in $(seq 1 "$pairs"); do replay_ours; done
  echo "capture path from memory, CPU ns per packet (batches of 64): $(figure "$work/results/replay-ours" 1 1 0)"
fi

# ---- live, beside tcpdump
nsa=hvbench-a-$$; nsb=hvbench-b-$$; ifa=hvba$$; ifb=hvbb$$
mac_a=02:00:00:00:0b:01; mac_b=02:00:00:00:0b:02
bench_on_exit 'ip netns del "$nsa" 2>/dev/null; ip netns del "$nsb" 2>/dev/null'
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
# the sum of the packet rates they report, the packets sent and the packets
# they failed to send.
replay() {
  local opt=--topspeed k pids=()
  [ "$1" = topspeed ] || opt=--pps=$(($1 / parallel))
  for k in $(seq 0 $((parallel - 1))); do
    ip netns exec "$nsb" tcpreplay -i "$ifb" $opt "$work/burst-$k.pcap" > "$work/replay-$k.out" 2>&1 &
    pids+=($!)
  done
  wait "${pids[@]}"
  cat "$work"/replay-*.out | awk '
    /Rated:/ { for (i = 1; i <= NF; i++) if ($i == "pps") pps += $(i - 1) }
    /Successful packets:/ { ok += $3 }
    /Failed packets:/ { bad += $3 }
    END { printf "%.0f %d %d\n", pps, ok, bad }'
}

# Time on the CPU of every thread of a process, in nanoseconds: exact, where
# the user and system times of /proc/PID/stat are sampled in clock ticks.
# Every thread of both receivers lives until they are stopped.
task_cpu_ns() {
  cat /proc/"$1"/task/*/schedstat | awk '{ s += $1 } END { printf "%.0f\n", s }'
}

# run SIDE RATE: one capture run; appends "reached-pps lost cpu-ns-per-packet
# send-failures" to results/SIDE-RATE. SIDE: harvd, base (HARVD_BASE) or tcpdump.
run() {
  local side=$1 rate=$2 d=$work/$1 pid cpu0 cpu1 pps sent failed got binary=$harvd
  rm -rf "$d"; mkdir -p "$d"
  [ "$side" != base ] || binary=$HARVD_BASE
  if [ "$side" != tcpdump ]; then
    printf 'al_dir = %s\nalert_dir = %s\nmethod = id:1 node_id:1 type:dnsq-req-raw interface:%s\n' \
      "$d" "$d" "$ifa" > "$d/h.conf"
    ip netns exec "$nsa" "$binary" --run-console "$d/h.log" "$d/h.conf" > /dev/null 2>&1 &
    pid=$!
    bench_wait_for "$d/h.log" "starting method"
  else
    ip netns exec "$nsa" tcpdump -i "$ifa" -n -B "$buffer_kib" -w "$d/capture.pcap" "$filter" 2> "$d/err" &
    pid=$!
    bench_wait_for "$d/err" "listening on"
  fi
  sleep 0.5
  cpu0=$(task_cpu_ns "$pid")
  read -r pps sent failed < <(replay "$rate")
  sleep 1.5
  cpu1=$(task_cpu_ns "$pid")
  if [ "$side" != tcpdump ]; then
    stop_process "$pid"
    got=$(cat "$d"/dnsq-req.al* | wc -l)
  else
    stop_process "$pid" INT
    got=$(sed -n 's/^\([0-9]*\) packets captured.*/\1/p' "$d/err")
  fi
  rm -f "$d/capture.pcap" "$d"/dnsq-req.al*
  echo "$pps $((sent - got)) $(((cpu1 - cpu0) / (sent > 0 ? sent : 1))) $failed" >> "$work/results/$side-$rate"
  echo "  $side at $rate: tcpreplay sent $sent ($failed failed) at $pps pps, captured $got"
}

echo "live: $parallel tcpreplay processes over a veth pair; tcpdump -B $buffer_kib (KiB), as harvd's buffer"
sides="harvd${HARVD_BASE:+ base} tcpdump"
for rate in $rates; do
  for pair in $(seq 1 "$pairs"); do
    for side in $sides; do run "$side" "$rate"; done
  done
done

echo "load average after the runs: $(bench_load)"
header=$(printf '%-10s' rate)
for side in $sides; do
  header+=$(printf ' | %-8s %-12s %-10s %-34s' side reached-pps most-lost "CPU ns/packet median [range]")
done
echo "$header"
best_h=none; best_b=none; best_t=none
for rate in $rates; do
  row=$(printf '%-10s' "$rate")
  for side in $sides; do
    f=$work/results/$side-$rate
    lost=$(awk '{ if ($2 > m) m = $2 } END { print m + 0 }' "$f")
    sendfail=$(awk '{ s += $4 } END { print s + 0 }' "$f")
    [ "$sendfail" -eq 0 ] || lost="$lost (tcpreplay failed $sendfail)"
    row+=$(printf ' | %-8s %-12s %-10s %-34s' "$side" "$(median "$f" 1)" "$lost" "$(figure "$f" 3 1 0)")
    if [ "$lost" = 0 ]; then
      case $side in
        harvd) best_h="$rate ($(median "$f" 1) pps)" ;;
        base) best_b="$rate ($(median "$f" 1) pps)" ;;
        *) best_t="$rate ($(median "$f" 1) pps)" ;;
      esac
    fi
  done
  echo "$row"
done
echo "highest loss-free rate: harvd $best_h;${HARVD_BASE:+ base $best_b;} tcpdump $best_t"
