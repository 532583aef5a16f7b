#!/bin/bash
# Benchmark of the SNMP collector: polls H host entries (H = 200, 1,000, 5,000, 50,000 by
# default) with 10 variables each in one OID set over SNMPv2c, against four private snmpd
# instances on 127.0.0.1 that the host entries share by host:port. For each H it runs
#   collector   build/zarvonet/zarvo-snmpgather (when it has been built) with a generated
#               ZARVOHOME holding etc/snmphosts.cfg and etc/snmpmibs.cfg, "--no-update"
#   reference   bench/refpoller: the same GETs with the same window on the SNMP library's
#               asynchronous interface, one session per host, closed when the host is done
#   snmpget     a shell loop of snmpget, one process per host (only at H = 200 by default)
# then the delayed variant: collector and reference at 1,000 hosts through bench/udprelay,
# which holds each datagram 10 ms each way; then two variants of the collector alone:
#   keyed       one keyed reference per host (the interface table's row whose ifDescr is
#               "lo", 10 of its columns) at 1,000, 10,000 and 50,000 hosts, run under a
#               descriptor limit of 20,000 (hard and soft)
#   bulk        one host with a wildcard reference on a 2,000-row column (a pass_persist
#               script, bench/bulktable.awk, in a fifth agent) behind the 10 ms relay, walked
#               with GETNEXT and with --bulk=50, next to snmpbulkwalk -Cr50 of the column;
#               the key phase's duration comes from the collector's own timing report.
#               Skipped with a message when the collector has no --bulk option.
# Every run is checked to have received all values.
#
# Printed per run: wall seconds, user+sys CPU seconds, peak resident memory (KB) and CPU
# microseconds per variable; then the ratios: collector to reference, each size to the
# smallest of its variant, bulk walks to snmpbulkwalk.
#
# Settings (environment): BUILD_DIR (default build), BENCH_SIZES ("200 1000 5000 50000"),
# BENCH_LOOP_SIZES ("200"), BENCH_DELAYED_HOSTS (1000), BENCH_DELAY_MS (10),
# BENCH_KEYED_SIZES ("1000 10000 50000"; empty skips the keyed variant), BENCH_KEYED_NOFILE
# (20000), BENCH_BULK_ROWS (2000; 0 skips the bulk variant), BENCH_BULK_REPEAT (1: a GETNEXT
# walk through the relay takes about a minute), BENCH_COLLECTOR (the collector to run, default
# $BUILD_DIR/zarvonet/zarvo-snmpgather), BENCH_CONCURRENCY (30, the collector's default window
# setting), BENCH_REPEAT (5: each figure is the least of that many runs).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}
sizes=${BENCH_SIZES:-"200 1000 5000 50000"}
loop_sizes=${BENCH_LOOP_SIZES:-"200"}
delayed_hosts=${BENCH_DELAYED_HOSTS:-1000}
delay_ms=${BENCH_DELAY_MS:-10}
concurrency=${BENCH_CONCURRENCY:-30}
repeat=${BENCH_REPEAT:-5}
keyed_sizes=${BENCH_KEYED_SIZES-"1000 10000 50000"}
keyed_nofile=${BENCH_KEYED_NOFILE:-20000}
bulk_rows=${BENCH_BULK_ROWS:-2000}
bulk_repeat=${BENCH_BULK_REPEAT:-1}
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

# run NAME HOSTS COUNTER COMMAND...: runs the command $run_repeat times with its output in
# $work/out and checks with the counter function that every run delivered all values
# (HOSTS x $per_host). Each figure printed is the least of the runs (wall time, CPU time and
# peak memory separately); the values column is the fewest delivered.
per_host=$nvars
run_repeat=$repeat
run() {
  local name=$1 hosts=$2 counter=$3
  shift 3
  local all=$work/all r got want=$((hosts * per_host))
  : >"$all"
  for r in $(seq 1 "$run_repeat"); do
    if ! "$measure" "$work/res" "$@" >"$work/out" 2>"$work/err"; then
      echo "run.sh: $name at $hosts hosts failed:" >&2
      tail -5 "$work/err" >&2
      return 0
    fi
    got=$("$counter")
    if [ "$got" -ne "$want" ]; then
      echo "run.sh: $name at $hosts hosts delivered $got of $want values" >&2
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
  awk -v name="$name" -v h="$hosts" -v n="$want" -v w="$w" -v c="$c" -v m="$m" -v g="$g" 'BEGIN {
    printf "%-18s %6d %8.3f %8.3f %10d %9.2f %8d/%d\n", name, h, w, c, m, c * 1e6 / n, g, n
  }'
  wall[$name/$hosts]=$w
  peak[$name/$hosts]=$m
  cpu_per_var[$name/$hosts]=$(awk -v c="$c" -v n="$want" 'BEGIN { print c * 1e6 / n }')
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

# start_relay PORTSFILE TARGETPORT...: starts bench/udprelay with the delay in front of the
# targets and waits for its ports file.
start_relay() {
  local file=$1 i
  shift
  "$build/bench/udprelay" "--delay-ms=$delay_ms" "--ports-file=$file" "$@" 2>"$file.err" &
  pids+=("$!")
  for i in $(seq 1 100); do
    [ -f "$file" ] && break
    sleep 0.05
  done
}

if [ "$delayed_hosts" -gt 0 ]; then
  start_relay "$work/relay.ports" "${agent_ports[@]}"
  mapfile -t relay_ports <"$work/relay.ports"
  make_home "$delayed_hosts" "${relay_ports[@]}"
  run_collector collector+delay "$delayed_hosts"
  run_reference reference+delay "$delayed_hosts"
  echo "(delay ${delay_ms} ms each way; window bound: $delayed_hosts requests x $((2 * delay_ms)) ms /" \
    "$((concurrency + 1)) = $(awk -v h="$delayed_hosts" -v d="$delay_ms" -v c="$concurrency" \
      'BEGIN { printf "%.2f", h * 2 * d / 1000 / (c + 1) }') s)"
fi

# Writes, for $1 hosts spread over the ports $2..., a ZARVOHOME in $home whose hosts each have
# one keyed reference: the interface table's row of "lo", 10 columns.
make_keyed_home() {
  local hosts=$1
  shift
  home=$work/keyed-$hosts
  mkdir -p "$home/etc"
  {
    echo "[benchif]"
    echo "keyidx (.1.3.6.1.2.1.2.2.1.2)"
    local c
    for c in $(seq 1 10); do
      printf 'if%02d .1.3.6.1.2.1.2.2.1.%d\n' "$c" "$c"
    done
  } >"$home/etc/snmpmibs.cfg"
  awk -v n="$hosts" -v ports="$*" -v comm="$community" -v cfg="$home/etc/snmphosts.cfg" 'BEGIN {
    np = split(ports, p, " ")
    for (i = 1; i <= n; i++)
      printf "[keyed%05d]\nip=127.0.0.1:%s\nversion=2\ncommunity=%s\nbenchif (\"lo\")\n\n", i, p[(i - 1) % np + 1], comm > cfg
  }'
}

if [ -n "$keyed_sizes" ] && [ -x "$collector" ]; then
  echo "(keyed: one reference by key per host, 10 variables, descriptor limit $keyed_nofile)"
  for h in $keyed_sizes; do
    make_keyed_home "$h" "${agent_ports[@]}"
    run keyed "$h" count_collector bash -c 'ulimit -Sn "$1" && ulimit -Hn "$1" && shift && exec "$@"' _ \
      "$keyed_nofile" env ZARVOHOME="$home" "$collector" --no-update "--concurrency=$concurrency"
  done
fi

bulk_column=.1.3.6.1.4.1.99998.1.1.2
declare -A keyphase
if [ "$bulk_rows" -gt 0 ] && [ -x "$collector" ]; then
  if ! grep -q -- '--bulk=' "$collector"; then
    echo "(bulk: skipped, the collector has no --bulk option)"
  else
    # mawk reads a pipe in blocks unless told otherwise, and would wait for more requests.
    awk_cmd=awk
    command -v mawk >/dev/null && awk_cmd="mawk -W interactive"
    printf '#!/bin/sh\nexec %s -v rows=%d -f "%s"\n' "$awk_cmd" "$bulk_rows" "$root/bench/bulktable.awk" >"$work/bulktable.sh"
    chmod +x "$work/bulktable.sh"
    snmpd_local_start "$work/agent-bulk" "$community" "pass_persist .1.3.6.1.4.1.99998 $work/bulktable.sh" || exit 1
    pids+=("$SNMPD_LOCAL_PID")
    start_relay "$work/bulkrelay.ports" "$SNMPD_LOCAL_PORT"
    bulk_port=$(cat "$work/bulkrelay.ports")
    home=$work/bulk
    mkdir -p "$home/etc"
    printf '[bulkt]\nkeyidx (%s)\nrow %s\n' "$bulk_column" "$bulk_column" >"$home/etc/snmpmibs.cfg"
    printf '[bulkhost]\nip=127.0.0.1:%s\nversion=2\ncommunity=%s\nbulkt (*)\n' "$bulk_port" "$community" \
      >"$home/etc/snmphosts.cfg"
    echo "(bulk: one host, a wildcard on a $bulk_rows-row column through the relay; key_s is the key phase)"
    per_host=$bulk_rows
    run_repeat=$bulk_repeat
    for mode in getnext bulk50; do
      opt=--bulk=0
      [ "$mode" = bulk50 ] && opt=--bulk=50
      run "walk-$mode" 1 count_collector env ZARVOHOME="$home" "$collector" --no-update --report=bench "$opt"
      keyphase[$mode]=$(awk '/^Keys lookup complete/ { print $NF }' "$work/out")
      echo "  key_s ${keyphase[$mode]}"
    done
    run snmpbulkwalk 1 count_lines snmpbulkwalk -v2c -c "$community" -Cr50 -Oqn "127.0.0.1:$bulk_port" "$bulk_column"
    per_host=$nvars
    run_repeat=$repeat
  fi
fi

ratio() {
  local a=$1 b=$2
  [ -n "$a" ] && [ -n "$b" ] && awk -v a="$a" -v b="$b" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'
}

echo
echo "ratios (collector / reference; sizes / the smallest; walks / snmpbulkwalk):"
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
first_keyed=${keyed_sizes%% *}
for h in $sizes; do
  if [ -n "${cpu_per_var[collector/$h]:-}" ] && [ -n "${cpu_per_var[collector/1000]:-}" ] && [ "$h" -gt 1000 ]; then
    echo "  plain $h hosts / 1000 hosts: CPU per variable $(ratio "${cpu_per_var[collector/$h]}" "${cpu_per_var[collector/1000]}")"
  fi
done
for h in $keyed_sizes; do
  if [ "$h" != "$first_keyed" ] && [ -n "${cpu_per_var[keyed/$h]:-}" ]; then
    echo "  keyed $h hosts / $first_keyed hosts: CPU per variable $(ratio "${cpu_per_var[keyed/$h]}" "${cpu_per_var[keyed/$first_keyed]}")"
  fi
done
if [ -n "${wall[snmpbulkwalk/1]:-}" ]; then
  for mode in getnext bulk50; do
    echo "  walk-$mode / snmpbulkwalk: key phase $(ratio "${keyphase[$mode]}" "${wall[snmpbulkwalk/1]}")," \
      "whole run $(ratio "${wall[walk-$mode/1]}" "${wall[snmpbulkwalk/1]}")"
  done
fi
[ -x "$collector" ] || echo "  (collector not built; only the reference figures are shown)"
