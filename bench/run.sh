#!/bin/bash
# Benchmark of the SNMP collector: polls H host entries (H = 200, 1,000, 5,000 by default)
# with 10 variables each in one OID set over SNMPv2c, against four private snmpd instances on
# 127.0.0.1 that the host entries share by host:port. For each H it runs
#   collector   build/zarvonet/zarvo-snmpgather (when it has been built) with a generated
#               ZARVOHOME holding etc/snmphosts.cfg and etc/snmpmibs.cfg, "--no-update"
#   reference   bench/refpoller: the same GETs with the same window on the SNMP library's
#               asynchronous interface, one session per host, closed when the host is done
#   snmpget     a shell loop of snmpget, one process per host (only at H = 200 by default)
# and then the delayed variant: collector and reference at 1,000 hosts through bench/udprelay,
# which holds each datagram 10 ms each way. Every run is checked to have received all
# H x 10 values.
#
# Printed per run: wall seconds, user+sys CPU seconds, peak resident memory (KB) and CPU
# microseconds per variable; then the collector-to-reference ratios.
#
# Settings (environment): BUILD_DIR (default build), BENCH_SIZES ("200 1000 5000"),
# BENCH_LOOP_SIZES ("200"), BENCH_DELAYED_HOSTS (1000), BENCH_DELAY_MS (10),
# BENCH_COLLECTOR (the collector to run, default $BUILD_DIR/zarvonet/zarvo-snmpgather),
# BENCH_CONCURRENCY (30, the collector's default window setting), BENCH_REPEAT (5: each
# figure is the least of that many runs).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}
sizes=${BENCH_SIZES:-"200 1000 5000"}
loop_sizes=${BENCH_LOOP_SIZES:-"200"}
delayed_hosts=${BENCH_DELAYED_HOSTS:-1000}
delay_ms=${BENCH_DELAY_MS:-10}
concurrency=${BENCH_CONCURRENCY:-30}
repeat=${BENCH_REPEAT:-5}
community=benchpub
agents=4

# sysDescr, sysObjectID, sysUpTime, sysContact, sysName, sysLocation, sysServices and three
# counters of the agent's snmp group: all served by snmpd itself, mixed types.
oids=(.1.3.6.1.2.1.1.1.0 .1.3.6.1.2.1.1.2.0 .1.3.6.1.2.1.1.3.0 .1.3.6.1.2.1.1.4.0
      .1.3.6.1.2.1.1.5.0 .1.3.6.1.2.1.1.6.0 .1.3.6.1.2.1.1.7.0 .1.3.6.1.2.1.11.1.0
      .1.3.6.1.2.1.11.2.0 .1.3.6.1.2.1.11.3.0)
nvars=${#oids[@]}

# Thousands of sessions are thousands of sockets.
ulimit -n "$(ulimit -Hn)"

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target refpoller udprelay measure >/dev/null
if [ -f zarvonet/CMakeLists.txt ]; then
  cmake --build "$build" -j2 --target zarvo-snmpgather >/dev/null 2>&1 || true
fi
collector=${BENCH_COLLECTOR:-$build/zarvonet/zarvo-snmpgather}
measure=$build/bench/measure

work=$(mktemp -d /tmp/zarvo-bench.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Clients (collector, reference, snmpget) see only a private, empty SNMP configuration:
# the library's default time-out and retries, no MIB modules.
mkdir -p "$work/client/persist"
export SNMPCONFPATH=$work/client SNMP_PERSISTENT_DIR=$work/client/persist MIBS=
unset TASKSLEEP MIBDIRS || true

. scripts/snmpd-local.sh

start_agent() {
  snmpd_local_start "$work/agent$1" "$community" "sysLocation bench-lab" \
    "sysContact bench@localhost" || exit 1
  pids+=("$SNMPD_LOCAL_PID")
  agent_ports+=("$SNMPD_LOCAL_PORT")
}

# Writes, for $1 hosts spread over the ports $2..., the collector's ZARVOHOME in $home and
# the reference's peer list in $home/peers.
make_home() {
  local hosts=$1
  shift
  home=$work/home-$hosts-$1
  mkdir -p "$home/etc"
  {
    echo "[bench]"
    local i
    for i in "${!oids[@]}"; do
      printf 'v%02d %s\n' "$((i + 1))" "${oids[$i]}"
    done
  } >"$home/etc/snmpmibs.cfg"
  awk -v n="$hosts" -v ports="$*" -v comm="$community" \
      -v cfg="$home/etc/snmphosts.cfg" -v peers="$home/peers" 'BEGIN {
    np = split(ports, p, " ")
    for (i = 1; i <= n; i++) {
      port = p[(i - 1) % np + 1]
      printf "[bench%05d]\nip=127.0.0.1:%s\nversion=2\ncommunity=%s\nbench\n\n", i, port, comm > cfg
      print "127.0.0.1:" port > peers
    }
  }'
}

declare -A cpu_per_var peak wall

# run NAME HOSTS COUNTER COMMAND...: runs the command BENCH_REPEAT times with its output in
# $work/out and checks with the counter function that every run delivered all values. Each
# figure printed is the least of the runs (wall time, CPU time and peak memory separately);
# the values column is the fewest delivered.
run() {
  local name=$1 hosts=$2 counter=$3
  shift 3
  local all=$work/all r got
  : >"$all"
  for r in $(seq 1 "$repeat"); do
    if ! "$measure" "$work/res" "$@" >"$work/out" 2>"$work/err"; then
      echo "run.sh: $name at $hosts hosts failed:" >&2
      tail -5 "$work/err" >&2
      return 0
    fi
    got=$("$counter")
    if [ "$got" -ne $((hosts * nvars)) ]; then
      echo "run.sh: $name at $hosts hosts delivered $got of $((hosts * nvars)) values" >&2
    fi
    echo "$(cat "$work/res") $got" >>"$all"
  done
  local w c m g
  read -r w c m g < <(awk '{ cpu = $2 + $3
      if (NR == 1 || $1 < w) w = $1
      if (NR == 1 || cpu < c) c = cpu
      if (NR == 1 || $4 < m) m = $4
      if (NR == 1 || $6 < g) g = $6 }
    END { print w, c, m, g }' "$all")
  awk -v name="$name" -v h="$hosts" -v nv="$nvars" -v w="$w" -v c="$c" -v m="$m" -v g="$g" 'BEGIN {
    printf "%-18s %6d %8.3f %8.3f %10d %9.2f %8d/%d\n", name, h, w, c, m, c * 1e6 / (h * nv), g, h * nv
  }'
  wall[$name/$hosts]=$w
  peak[$name/$hosts]=$m
  cpu_per_var[$name/$hosts]=$(awk -v c="$c" -v h="$hosts" -v nv="$nvars" 'BEGIN { print c * 1e6 / (h * nv) }')
}

# Value lines of the collector's data messages are "<tab>name = value".
count_collector() { grep -P '^\t\S+ = ' "$work/out" | grep -vc ' = NODATA$' || true; }
count_reference() { sed -n 's/^refpoller: .* values=\([0-9]*\) .*/\1/p' "$work/err"; }
count_lines() { wc -l <"$work/out"; }

run_collector() {
  local name=$1 hosts=$2
  if [ -x "$collector" ]; then
    run "$name" "$hosts" count_collector env ZARVOHOME="$home" "$collector" --no-update \
      "--concurrency=$concurrency"
  else
    echo "$(printf '%-18s %6d' "$name" "$hosts")  (not built: $collector)"
  fi
}

run_reference() {
  run "$1" "$2" count_reference "$build/bench/refpoller" "--community=$community" \
    "--concurrency=$concurrency" "$home/peers" "${oids[@]}"
}

run_snmpget_loop() {
  run "$1" "$2" count_lines sh -c 'peers=$1; shift
    while read -r peer; do snmpget -v2c -c "$0" -Oqn "$peer" "$@" || exit 1; done <"$peers"' \
    "$community" "$home/peers" "${oids[@]}"
}

agent_ports=()
for a in $(seq 1 "$agents"); do
  start_agent "$a"
done

echo "SNMP poll benchmark: $nvars variables per host in one GET, SNMPv2c, window $concurrency+1,"
echo "$agents snmpd agents on 127.0.0.1 (ports ${agent_ports[*]}), $(nproc) CPUs, $(uname -sr), descriptor limit $(ulimit -n)"
echo
printf '%-18s %6s %8s %8s %10s %9s %s\n' run hosts wall_s cpu_s peak_kb cpu_us/var values
for h in $sizes; do
  make_home "$h" "${agent_ports[@]}"
  run_collector collector "$h"
  run_reference reference "$h"
  for l in $loop_sizes; do
    [ "$l" = "$h" ] && run_snmpget_loop snmpget-loop "$h"
  done
done

if [ "$delayed_hosts" -gt 0 ]; then
  "$build/bench/udprelay" "--delay-ms=$delay_ms" "--ports-file=$work/relay.ports" \
    "${agent_ports[@]}" 2>"$work/relay.err" &
  pids+=("$!")
  for i in $(seq 1 100); do
    [ -f "$work/relay.ports" ] && break
    sleep 0.05
  done
  mapfile -t relay_ports <"$work/relay.ports"
  make_home "$delayed_hosts" "${relay_ports[@]}"
  run_collector collector+delay "$delayed_hosts"
  run_reference reference+delay "$delayed_hosts"
  echo "(delay ${delay_ms} ms each way; window bound: $delayed_hosts requests x $((2 * delay_ms)) ms /" \
    "$((concurrency + 1)) = $(awk -v h="$delayed_hosts" -v d="$delay_ms" -v c="$concurrency" \
      'BEGIN { printf "%.2f", h * 2 * d / 1000 / (c + 1) }') s)"
fi

ratio() {
  local a=$1 b=$2
  [ -n "$a" ] && [ -n "$b" ] && awk -v a="$a" -v b="$b" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'
}

echo
echo "collector / reference:"
for h in $sizes; do
  if [ -n "${cpu_per_var[collector/$h]:-}" ]; then
    echo "  $h hosts: CPU per variable $(ratio "${cpu_per_var[collector/$h]}" "${cpu_per_var[reference/$h]}")," \
      "peak memory $(ratio "${peak[collector/$h]}" "${peak[reference/$h]}")"
  fi
done
if [ -n "${wall[collector+delay/$delayed_hosts]:-}" ]; then
  echo "  $delayed_hosts hosts with delay: wall time" \
    "$(ratio "${wall[collector+delay/$delayed_hosts]}" "${wall[reference+delay/$delayed_hosts]}")"
fi
[ -x "$collector" ] || echo "  (collector not built; only the reference figures are shown)"
