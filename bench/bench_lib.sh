# bench_lib.sh: what the benchmark scripts beside it share; each sources it
# right after `set -euo pipefail`. Sets `root` (the source tree), `build`
# (BENCH_BUILD_DIR, else build/bench under the tree), `tools` (the tools
# measured: TOOLS names the tools/ folder of another build, an earlier one
# say, else $build/tools) and `pairs`.
#
# Every comparison runs our command and the peer's alternately, A B A B, for
# `pairs` pairs (PAIRS, at least 3), on the same inputs and resources, and
# reports the median of each side with its spread (lowest and highest, and
# (highest - lowest) / median). Each script checks the peer's output or
# counts against ours before it reports a figure.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD_DIR:-$root/build/bench}
tools=${TOOLS:-$build/tools}
pairs=${PAIRS:-3}
if [ "$pairs" -lt 3 ]; then
  echo "PAIRS=$pairs is too few to give a median and a spread: 3 pairs are run" >&2
  pairs=3
fi

bench_build() {  # a Release build of the programs and the benchmarks into $build
  JOBS=${JOBS:-4} bash "$root/scripts/build.sh" "$build" none \
    -DCMAKE_BUILD_TYPE=Release -DHARVD_BUILD_BENCH=ON -DHARVD_BUILD_TESTS=OFF
}

# Commands run when the script exits, last added first.
bench_exit_cmds=()
bench_on_exit() {
  bench_exit_cmds=("$1" "${bench_exit_cmds[@]}")
}
bench_exit() {
  local c
  for c in "${bench_exit_cmds[@]}"; do eval "$c" || true; done
}
trap bench_exit EXIT

bench_workdir() {  # NAME: a fresh folder in $work, removed when the script exits (kept with KEEP=1)
  work=$(mktemp -d "/tmp/harvd-$1-bench-XXXXXX")
  mkdir -p "$work/results"
  bench_on_exit '[ -n "${KEEP:-}" ] || rm -rf "$work"'
}

bench_load() {  # the load averages over 1, 5 and 15 minutes
  cut -d' ' -f1-3 /proc/loadavg
}

bench_banner() {  # TITLE: what runs where, and how busy the machine is
  echo "== $1"
  echo "   $(date -u '+%Y-%m-%d %H:%M:%S UTC'), $(nproc) cores, load average $(bench_load)" \
       "(the machine may be shared: compare figures only within one run)"
  echo "   source at $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo '?')${HARVD:+, measuring $HARVD}${TOOLS:+, measuring $TOOLS}," \
       "$pairs interleaved pairs per comparison"
}

now_ns() { date +%s%N; }

# CPU time (user + system) of a process, every thread included, ended ones
# too, in nanoseconds; the kernel counts it in clock ticks (10 ms at 100 Hz).
proc_cpu_ns() {
  awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); printf "%.0f\n", ($12 + $13) * 1e9 / hz }' "/proc/$1/stat"
}

# timed FILE CMD...: runs CMD (a program or a shell function) and appends its
# wall time in seconds to FILE.
# (Names local to these helpers start with '_': a function they call sees
# them in place of the caller's variables of the same name.)
timed() {
  local _out=$1 _t0 _t1
  shift
  _t0=$(now_ns)
  "$@"
  _t1=$(now_ns)
  awk -v a="$_t0" -v b="$_t1" 'BEGIN { printf "%.6f\n", (b - a) / 1e9 }' >> "$_out"
}

# interleave A B: calls the functions A and B alternately, `pairs` times
# each (A B A B ...), passing the pair's number; each records its figures.
interleave() {
  local _pair
  for _pair in $(seq 1 "$pairs"); do
    "$1" "$_pair"
    "$2" "$_pair"
  done
}

# stats FILE [COLUMN]: "median lowest highest" of a column of numbers (1).
stats() {
  awk -v c="${2:-1}" '{ print $c }' "$1" | sort -g | awk '
    { v[NR] = $1 }
    END {
      if (NR == 0) { print "nan nan nan"; exit }
      m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      printf "%.6g %.6g %.6g\n", m, v[1], v[NR]
    }'
}

# figure FILE [COLUMN] [SCALE] [DIGITS] [UNIT]: "median UNIT [lowest-highest]
# spread N%" of a column, each value multiplied by SCALE (1) and shown with
# DIGITS decimals (3); the spread is (highest - lowest) / median.
figure() {
  local m lo hi
  read -r m lo hi < <(stats "$1" "${2:-1}")
  awk -v m="$m" -v lo="$lo" -v hi="$hi" -v s="${3:-1}" -v d="${4:-3}" -v u="${5:+ $5}" 'BEGIN {
    if (m != m + 0) { print "n/a"; exit }
    f = "%." d "f"
    printf f u " [" f "-" f "] spread %.1f%%\n", m * s, lo * s, hi * s, (m != 0 ? 100 * (hi - lo) / m : 0) }'
}

median() {  # FILE [COLUMN]
  stats "$1" "${2:-1}" | cut -d' ' -f1
}

# compare_times LABEL OURS_FILE PEER_LABEL PEER_FILE: one line with the
# median wall time of each side, their spreads and the ratio of the medians.
compare_times() {
  local ours peer
  ours=$(median "$2"); peer=$(median "$4")
  printf '%-26s %-36s | %-26s %-36s | peer/ours %s\n' "$1" "$(figure "$2" 1 1 3 s)" "$3" "$(figure "$4" 1 1 3 s)" \
    "$(awk -v a="$ours" -v b="$peer" 'BEGIN { printf "%.2f", (a > 0 ? b / a : 0) }')"
}

# fsyncs CMD...: runs the program CMD once, untimed, and tells whether it
# forced a file to the disk (fsync, fdatasync, sync_file_range, syncfs or
# sync). When ours does, the peer's outputs are synced too (`sync FILE`), so
# that both pay for the disk alike.
fsyncs() {
  local log=$work/fsync-probe
  strace -f -qq --seccomp-bpf -e trace=fsync,fdatasync,sync_file_range,syncfs,sync -o "$log" "$@" > /dev/null
  grep -qE '^([0-9]+ +)?(fsync|fdatasync|sync_file_range|syncfs|sync)\(' "$log"
}

same_output() {  # OURS PEER: both files hold the same bytes, or the script fails
  cmp -s "$1" "$2" || { echo "FAIL: $1 and $2 differ: the comparison would be meaningless" >&2; exit 1; }
}

# ---- syslog benchmarks: the collector and rsyslogd on a loopback port ----

# harvd_syslog_conf FILE DIR PROTOCOL PORT BUFFER_ALS: both syslog methods on
# one listener and all five alert kinds, logs and alerts under DIR, verbose 0.
# The watch rules match (almost) nothing, as in normal running.
harvd_syslog_conf() {
  cat > "$1" <<CONF
verbose = 0
al_dir = $2/al
alert_dir = $2/alerts
buffer_als = $5
method = id:1 node_id:1 type:dnsq-req-bind9-syslog hostname:ns1 source_ip:127.0.0.1 server_ip:127.0.0.1 protocol:$3 port:$4
method = id:2 node_id:1 type:dhcp-pkt-isc-syslog hostname:dhcp1 source_ip:127.0.0.1 protocol:$3 port:$4
alert = id:10 type:dhcp-mac-watch mac:020000000001
alert = id:11 type:dns-query-watch query_name:*.example.invalid
alert = id:12 type:dns-rcode-watch rcode:3
alert = id:13 type:dhcp-packet-rate count:50 unit:3
alert = id:14 type:dns-query-rate count:50 unit:3
CONF
}

# harvd_start CONF DIR: starts the collector in the foreground (pid in
# $harvd_pid) and waits for its listener. HARVD names another harvd to
# measure (an earlier build, say).
harvd_start() {
  rm -rf "$2/al" "$2/alerts" "$2/harvd.log"
  mkdir -p "$2/al" "$2/alerts"
  "${HARVD:-$build/collector/harvd}" --run-console "$2/harvd.log" "$1" > /dev/null 2>&1 &
  harvd_pid=$!
  bench_wait_for "$2/harvd.log" "syslog server listening"
}

harvd_lines() {  # DIR: activity lines written, rotated files included
  cat "$1"/al/*.al* 2>/dev/null | wc -l
}

# rsyslog_conf FILE DIR INPUT PORT [INPUT_PARAMS]: rsyslogd with one input
# (imudp or imtcp) on 127.0.0.1:PORT writing every message to DIR/lines.log
# through omfile; its work directory, pid file and internal messages stay in
# DIR: it never touches the host's syslog.
rsyslog_conf() {
  cat > "$1" <<CONF
global(workDirectory="$2" processInternalMessages="on")
module(load="$3")
input(type="$3" address="127.0.0.1" port="$4" ruleset="to_file" ${5:-})
ruleset(name="to_file") { action(type="omfile" file="$2/lines.log") }
*.* $2/internal.log
CONF
}

# rsyslog_start CONF DIR: runs rsyslogd in the foreground with a private
# mount namespace in which /dev/log (if there is one) is /dev/null; pid in
# $rsyslog_pid once its input is open.
rsyslog_start() {
  rm -f "$2/lines.log" "$2/internal.log" "$2/pid"
  unshare --mount --propagation private sh -c \
    'if [ -e /dev/log ]; then mount --bind /dev/null /dev/log || exit 97; fi; exec "$@"' sh \
    rsyslogd -n -f "$1" -i "$2/pid" > "$2/stdout" 2>&1 &
  rsyslog_pid=$!
  bench_wait_for "$2/internal.log" 'origin software="rsyslogd"'
}

rsyslog_lines() {  # DIR
  if [ -f "$1/lines.log" ]; then wc -l < "$1/lines.log"; else echo 0; fi
}

stop_process() {  # PID [SIGNAL]: ends a process started by the script and waits for it
  kill -"${2:-TERM}" "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# socket_rcvbuf PROTO PORT: the receive buffer (bytes, as the kernel counts
# it) of the socket listening on 127.0.0.1:PORT, PROTO u or t.
socket_rcvbuf() {
  ss -"$1"lmnH "sport = :$2" | sed -n 's/.*skmem:([^)]*rb\([0-9]*\).*/\1/p' | head -n 1
}

# socket_rcvbuf_total PROTO PORT: the sum of the receive buffers of every
# socket listening on PORT (a port read through a group of sockets).
socket_rcvbuf_total() {
  ss -"$1"lmnH "sport = :$2" | sed -n 's/.*skmem:([^)]*rb\([0-9]*\).*/\1/p' | awk '{ s += $1 } END { print s + 0 }'
}

bench_wait_for() {  # FILE TEXT: up to 10 s for TEXT to appear in FILE
  local i
  for i in $(seq 1 200); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.05
  done
  echo "timed out waiting for '$2' in $1" >&2
  return 1
}
