#!/usr/bin/env bash
# syslog_udp_bench.sh [SECONDS]: the highest rate of syslog datagrams over
# UDP on 127.0.0.1 that harvd takes without losing one, beside rsyslogd
# (imudp writing every message to a file with omfile) given the same socket
# receive buffer.
#
# harvd runs in its default configuration (buffer_als = 0, verbose = 0) with
# both syslog methods on one port and all five alert kinds loaded; the lines
# are BIND9 query-log lines behind the traditional syslog header (one ISC
# dhcpd line in every DHCP_EVERY as well, when set). Each trial is a fresh
# receiver fed for SECONDS (2 unless given) at a fixed rate, then stopped and
# its lines counted against the datagrams sent, which SENDERS threads (4)
# send from sockets of their own (one thread cannot send much more than
# 250,000 a second on loopback). A rate counts as loss-free for a side when 3
# trials of 3 lose nothing; the two sides' trials alternate (harvd,
# rsyslogd, harvd, ...). The rate starts at START_RATE (20000), doubles while
# it is loss-free and is then bisected STEPS times (4). A loss-free rate that
# the senders did not reach (a median more than 5% short) ends the search:
# the side took all the senders could give, which the table says. Reports
# both highest loss-free rates with the CPU time per datagram there, the
# lowest rate that lost (the threshold lies between the two), the ratio and
# the load before and after. harvd reads the port through a group of
# sockets, each granted the same buffer, which is what rsyslogd's one socket
# is given; so that the ratio shows both ways, a second rsyslogd row (an
# extra, labelled, in the same interleaving) gives its one socket the total
# of harvd's group. BUFFERED=1 adds harvd with buffer_als = 1 as an extra, labelled
# row; COMPARE_HARVD names another harvd (an earlier build, say) measured as
# an extra, labelled row in the same interleaving.
# Needs rsyslogd and root (rsyslogd runs in a mount namespace of its own, in
# which /dev/log, if any, is /dev/null). HARVD names another harvd to
# measure. Not part of CI.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"
secs=${1:-2}
port=${BENCH_PORT:-25514}
start_rate=${START_RATE:-20000}
steps=${STEPS:-4}
dhcp_every=${DHCP_EVERY:-0}
senders=${SENDERS:-4}
max_rate=4000000
trials=3

command -v rsyslogd >/dev/null || { echo "rsyslogd is missing (scripts/deps.sh installs it)"; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "syslog_udp_bench.sh needs root (a mount namespace for rsyslogd)"; exit 1; }
bench_build > /dev/null
flood=$build/bench/syslog_udp_flood
bench_workdir syslog-udp
mkdir -p "$work/harvd" "$work/harvd-buffered" "$work/harvd-compare" "$work/rsyslogd" "$work/rsyslogd-total"
harvd_syslog_conf "$work/harvd.conf" "$work/harvd" 1 "$port" 0
harvd_syslog_conf "$work/harvd-buffered.conf" "$work/harvd-buffered" 1 "$port" 1
harvd_syslog_conf "$work/harvd-compare.conf" "$work/harvd-compare" 1 "$port" 0

# The collector's socket buffer, as the kernel granted it, is rsyslogd's too.
harvd_start "$work/harvd.conf" "$work/harvd"
bench_on_exit 'kill "$harvd_pid" 2>/dev/null'
harvd_rb=$(socket_rcvbuf u "$port")
harvd_sockets=$(ss -ulnH "sport = :$port" | wc -l)
harvd_total=$(socket_rcvbuf_total u "$port")
stop_process "$harvd_pid"
if [ "$harvd_total" != "$((harvd_rb * harvd_sockets))" ]; then
  echo "FAIL: harvd's sockets were granted different buffers ($harvd_total bytes over $harvd_sockets sockets)"
  exit 1
fi
# rsyslogd asks for half of what it is to get, as the kernel doubles it.
rsyslog_conf "$work/rsyslog.conf" "$work/rsyslogd" imudp "$port" "rcvbufSize=\"$((harvd_rb / 2))\""
rsyslog_conf "$work/rsyslog-total.conf" "$work/rsyslogd-total" imudp "$port" \
  "rcvbufSize=\"$((harvd_total / 2))\""
rsyslog_pid=
bench_on_exit 'kill "$rsyslog_pid" 2>/dev/null'
for conf in rsyslog:rsyslogd:"$harvd_rb" rsyslog-total:rsyslogd-total:"$harvd_total"; do
  IFS=: read -r name dir want <<< "$conf"
  rsyslog_start "$work/$name.conf" "$work/$dir"
  rsyslog_rb=$(socket_rcvbuf u "$port")
  stop_process "$rsyslog_pid"
  if [ "$want" != "$rsyslog_rb" ]; then
    echo "FAIL: socket buffers differ: harvd $want bytes, rsyslogd ($name.conf) $rsyslog_rb bytes"
    exit 1
  fi
done

# trial SIDE RATE: one fresh receiver fed at RATE; appends "rate-reached
# received sent cpu-ns-per-datagram" to results/SIDE-RATE; true when nothing
# was lost.
trial() {
  local side=$1 rate=$2 count pid cpu0 cpu1 sent seconds failed got
  count=$(awk -v r="$rate" -v s="$secs" 'BEGIN { printf "%d", r * s }')
  case $side in
    harvd-compare) HARVD=$COMPARE_HARVD harvd_start "$work/$side.conf" "$work/$side"; pid=$harvd_pid ;;
    harvd*) harvd_start "$work/$side.conf" "$work/$side"; pid=$harvd_pid ;;
    rsyslogd) rsyslog_start "$work/rsyslog.conf" "$work/rsyslogd"; pid=$rsyslog_pid ;;
    rsyslogd-total) rsyslog_start "$work/rsyslog-total.conf" "$work/rsyslogd-total"; pid=$rsyslog_pid ;;
  esac
  cpu0=$(proc_cpu_ns "$pid")
  read -r sent seconds failed < <("$flood" 127.0.0.1 "$port" "$rate" "$count" "$dhcp_every" "$senders")
  sleep 1
  cpu1=$(proc_cpu_ns "$pid")
  stop_process "$pid"
  case $side in
    harvd*) got=$(harvd_lines "$work/$side") ;;
    rsyslogd*) got=$(rsyslog_lines "$work/$side") ;;
  esac
  awk -v r="$rate" -v n="$sent" -v s="$seconds" -v g="$got" -v c=$((cpu1 - cpu0)) 'BEGIN {
    printf "%.0f %d %d %.0f\n", n / s, g, n, (g > 0 ? c / g : 0) }' >> "$work/results/$side-$rate"
  echo "  $side at $rate/s: $got of $sent received (send failures $failed)"
  [ "$got" -eq "$sent" ] && [ "$failed" -eq 0 ]
}

# The searches of all sides advance together: at every step each side still
# searching runs up to 3 trials at its own rate, the sides alternating.
sides=(harvd rsyslogd rsyslogd-total)
[ "${BUFFERED:-0}" = 1 ] && sides+=(harvd-buffered)
[ -n "${COMPARE_HARVD:-}" ] && sides+=(harvd-compare)
declare -A rate good bad clean done_steps sender_bound
for s in "${sides[@]}"; do rate[$s]=$start_rate; good[$s]=0; bad[$s]=0; done_steps[$s]=0; sender_bound[$s]=0; done
searching() {
  local s
  for s in "${sides[@]}"; do
    if [ "${bad[$s]}" -eq 0 ] || [ "${done_steps[$s]}" -lt "$steps" ]; then echo "$s"; fi
  done
}

bench_banner "UDP syslog on 127.0.0.1:$port, ${secs}s per trial, $trials trials per rate, $senders sending threads"
echo "   socket receive buffer: $harvd_rb bytes for each socket (net.core.rmem_max = $(cat /proc/sys/net/core/rmem_max));" \
     "harvd's port has $harvd_sockets sockets, rsyslogd's 1;" \
     "the extra rsyslogd row's socket: $harvd_total bytes, the total of harvd's"
while :; do
  mapfile -t active < <(searching)
  [ "${#active[@]}" -gt 0 ] || break
  for s in "${active[@]}"; do clean[$s]=1; done
  for _ in $(seq 1 "$trials"); do
    for s in "${active[@]}"; do
      if [ "${clean[$s]}" = 1 ]; then trial "$s" "${rate[$s]}" || clean[$s]=0; fi
    done
  done
  for s in "${active[@]}"; do
    # A rate between a loss-free one and a lossy one is a bisection step.
    if [ "${good[$s]}" -gt 0 ] && [ "${bad[$s]}" -gt 0 ]; then done_steps[$s]=$((done_steps[$s] + 1)); fi
    if [ "${clean[$s]}" = 1 ]; then good[$s]=${rate[$s]}; else bad[$s]=${rate[$s]}; fi
    if [ "${clean[$s]}" = 1 ] && awk -v r="${rate[$s]}" -v m="$(median "$work/results/$s-${rate[$s]}" 1)" \
         'BEGIN { exit !(m < 0.95 * r) }'; then
      # The senders fell short: higher rates would only ask them for more.
      sender_bound[$s]=1; bad[$s]=${rate[$s]}; done_steps[$s]=$steps
    elif [ "${bad[$s]}" -eq 0 ]; then
      rate[$s]=$((rate[$s] * 2))
      if [ "${rate[$s]}" -gt "$max_rate" ]; then bad[$s]=${rate[$s]}; done_steps[$s]=$steps; fi
    else
      rate[$s]=$(((good[$s] + bad[$s]) / 2))
      if [ "${good[$s]}" -eq 0 ] && [ "${rate[$s]}" -lt 1000 ]; then done_steps[$s]=$steps; fi
    fi
  done
done

echo "load average after the runs: $(bench_load)"
printf '%-40s %-24s %-14s %-18s %s\n' side "loss-free datagrams/s" "lost at" "reached (median)" \
  "CPU us per datagram there"
for s in "${sides[@]}"; do
  label=$s
  [ "$s" = harvd-buffered ] && label="harvd buffer_als = 1 (extra)"
  [ "$s" = harvd-compare ] && label="harvd COMPARE_HARVD (extra)"
  [ "$s" = harvd ] && label="harvd (default configuration)"
  [ "$s" = rsyslogd ] && label="rsyslogd imudp -> omfile"
  [ "$s" = rsyslogd-total ] && label="rsyslogd, harvd's total buffer (extra)"
  f=$work/results/$s-${good[$s]}
  lost_at=${bad[$s]}
  [ "${sender_bound[$s]}" = 1 ] && lost_at="-"
  if [ "${good[$s]}" -gt 0 ] && [ -f "$f" ]; then
    shown=${good[$s]}
    reached=$(awk -v m="$(median "$f" 1)" 'BEGIN { printf "%.0f", m }')
    [ "${sender_bound[$s]}" = 1 ] && shown="all sent ($reached)"
    printf '%-40s %-24s %-14s %-18s %s\n' "$label" "$shown" "$lost_at" "$reached" "$(figure "$f" 4 0.001 2)"
  else
    printf '%-40s %-24s\n' "$label" "none (lost at $start_rate/s)"
  fi
done
# A side the senders could not overload counts with the rate they reached.
effective() {
  if [ "${sender_bound[$1]}" = 1 ]; then median "$work/results/$1-${good[$1]}" 1; else echo "${good[$1]}"; fi
}
awk -v h="$(effective harvd)" -v r="$(effective rsyslogd)" 'BEGIN {
  if (r > 0) printf "harvd / rsyslogd loss-free rate: %.2f\n", h / r }'
awk -v h="$(effective harvd)" -v r="$(effective rsyslogd-total)" -v b="$harvd_total" 'BEGIN {
  if (r > 0) printf "harvd / rsyslogd loss-free rate, rsyslogd given harvd'"'"'s total buffer (%d bytes): %.2f\n", b, h / r }'
if [ -n "${COMPARE_HARVD:-}" ]; then
  awk -v h="$(effective harvd)" -v c="$(effective harvd-compare)" -v r="$(effective rsyslogd)" 'BEGIN {
    if (c > 0) printf "harvd / COMPARE_HARVD loss-free rate: %.2f\n", h / c
    if (r > 0) printf "COMPARE_HARVD / rsyslogd loss-free rate: %.2f\n", c / r }'
fi
if [ "${sender_bound[harvd]}" = 1 ] || [ "${sender_bound[rsyslogd]}" = 1 ] || [ "${sender_bound[rsyslogd-total]}" = 1 ]; then
  echo "(\"all sent\": the side lost nothing at the highest rate the senders reached, the median shown;" \
       "its loss-free rate is at least that: raise SENDERS to search further)"
fi
