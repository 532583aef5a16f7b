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
#   switch      the 59-interface switch recording of snmpsim (served by snmpsimd, another SNMP
#               engine, as an unprivileged user) behind the 10 ms relay, polled with the
#               sample catalogue's "ifmib (*)" and "ifxmib (*)" (17 columns) and --bulk=25:
#               one host at --maxvars=1 and at the default, next to snmpbulkwalk -Cr25 of the
#               same columns one after the other; 200 hosts with the default window and 20
#               hosts with --concurrency=3, each at the default and at --maxvars=1. The data
#               messages of the default and of --maxvars=1 must be equal. Requests per host
#               come from the collector's own counters. Without --maxvars in the collector,
#               only its requests of today run.
#   unresolved  500 hosts whose names do not resolve, answered by bench/slowlookup (LD_PRELOAD)
#               after 100 ms each without asking any name server; also with the collector
#               BENCH_BASELINE_COLLECTOR when given (one from before the lookups moved ahead
#               of the poll).
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
# setting), BENCH_REPEAT (5: each figure is the least of that many runs), BENCH_SWITCH_HOSTS
# ("200"; empty skips the switch variant), BENCH_SWITCH_SMALL (20, with --concurrency=3),
# BENCH_SWITCH_REPEAT (1), BENCH_UNRESOLVED_HOSTS (500; 0 skips), BENCH_LOOKUP_MS (100),
# BENCH_BASELINE_COLLECTOR (unset).
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
switch_hosts=${BENCH_SWITCH_HOSTS-200}
switch_small=${BENCH_SWITCH_SMALL:-20}
switch_repeat=${BENCH_SWITCH_REPEAT:-1}
unresolved_hosts=${BENCH_UNRESOLVED_HOSTS:-500}
baseline=${BENCH_BASELINE_COLLECTOR:-}
export BENCH_LOOKUP_MS=${BENCH_LOOKUP_MS:-100}
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
cmake --build "$build" -j2 --target refpoller udprelay measure slowlookup >/dev/null
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

# The switch recording served by snmpsimd on a free port of 127.0.0.1; sets sim_port. snmpsimd
# refuses to run as root: then it drops to nobody, and its files are made readable for that.
start_simulator() {
  local dir=$work/sim try i
  mkdir -p "$dir/data" "$dir/cache"
  zcat /usr/share/doc/snmpsim/examples/data/cisco_16_switch.snmprec.gz >"$dir/data/switch.snmprec"
  local asuser=()
  if [ "$(id -u)" = 0 ]; then
    asuser=(--process-user=nobody --process-group=nogroup)
    chmod 711 "$work"
    chmod 755 "$dir" "$dir/data"
    chmod 777 "$dir/cache"
  fi
  for try in 1 2 3 4 5; do
    sim_port=$((20000 + RANDOM % 10000))
    snmpsimd --data-dir="$dir/data" --cache-dir="$dir/cache" --logging-method=null \
      "--agent-udpv4-endpoint=127.0.0.1:$sim_port" "${asuser[@]}" >"$dir/log" 2>&1 &
    pids+=("$!")
    # The first start indexes the recording, which takes a few seconds.
    for i in $(seq 1 60); do
      snmpget -v2c -c switch -r 0 -t 0.5 -Oqn "127.0.0.1:$sim_port" .1.3.6.1.2.1.1.5.0 \
        >/dev/null 2>&1 && return 0
      kill -0 "${pids[-1]}" 2>/dev/null || break
    done
  done
  echo "run.sh: snmpsimd did not answer:" >&2
  tail -5 "$dir/log" >&2
  return 1
}

# Writes a ZARVOHOME in $home for $1 hosts at 127.0.0.1:$2 polling the sample catalogue's
# interface definitions of the switch.
make_switch_home() {
  home=$work/switch-$1
  mkdir -p "$home/etc"
  awk '/^\[/ { keep = ($0 == "[ifmib]" || $0 == "[ifxmib]") } keep' etc/snmpmibs.cfg \
    >"$home/etc/snmpmibs.cfg"
  awk -v n="$1" -v port="$2" -v cfg="$home/etc/snmphosts.cfg" 'BEGIN {
    for (i = 1; i <= n; i++)
      printf "[switch%05d]\nip=127.0.0.1:%s\nversion=2\ncommunity=switch\nifmib (*)\nifxmib (*)\n\n", i, port > cfg
  }'
}

declare -A requests
# The data messages alone, without the run's report, for comparing two runs.
data_messages() { awk '/^client\/snmpgather / { keep = 1 } keep { print } /<!-- linecount=/ { keep = 0 }' "$1"; }
pdus_per_host() { awk -v h="$1" '/^PDUs *:/ { printf "%.1f", $3 / h }' "$work/out"; }

# run_switch NAME HOSTS WINDOW MAXVARS: the collector on $home; the data messages are kept in
# $work/NAME-HOSTS.out.
run_switch() {
  local name=$1 hosts=$2 window=$3 maxvars=$4 opt=()
  [ -n "$maxvars" ] && opt=("--maxvars=$maxvars")
  run "$name" "$hosts" count_collector env ZARVOHOME="$home" "$collector" --no-update --report=bench \
    --bulk=25 "--concurrency=$window" "${opt[@]}"
  requests[$name/$hosts]=$(pdus_per_host "$hosts")
  echo "  requests per host ${requests[$name/$hosts]}"
  data_messages "$work/out" >"$work/$name-$hosts.out"
}

# same_values A B HOSTS: whether two runs' data messages are equal.
same_values() {
  if [ -s "$work/$1-$3.out" ] && cmp -s "$work/$1-$3.out" "$work/$2-$3.out"; then
    echo "  $1 and $2 at $3 hosts: every value equal"
  else
    echo "run.sh: $1 and $2 at $3 hosts differ:" >&2
    diff "$work/$1-$3.out" "$work/$2-$3.out" | head -10 >&2 || true
  fi
}

switch_columns=()
if [ -n "$switch_hosts" ] && [ -x "$collector" ] && command -v snmpsimd >/dev/null; then
  start_simulator || exit 1
  start_relay "$work/simrelay.ports" "$sim_port"
  switch_port=$(cat "$work/simrelay.ports")
  mapfile -t switch_columns < <(awk '/^\[/ { keep = ($0 == "[ifmib]" || $0 == "[ifxmib]") }
    keep && $2 ~ /^\.1\./ { print $2 }' etc/snmpmibs.cfg)
  recording=$work/sim/data/switch.snmprec
  # Rows of a column: the recording's lines under its OID.
  column_rows() { awk -v p="${1#.}." 'index($0, p) == 1 { n++ } END { print n + 0 }' "$recording"; }
  rows=$(column_rows "${switch_columns[0]}")
  walked=0
  for c in "${switch_columns[@]}"; do
    walked=$((walked + $(column_rows "$c")))
  done
  has_maxvars=
  grep -q -- '--maxvars=' "$collector" && has_maxvars=1
  echo "(switch: snmpsimd on 127.0.0.1:$sim_port behind the relay, $rows interfaces," \
    "${#switch_columns[@]} columns, --bulk=25${has_maxvars:+; packed is the default maxvars})"
  [ -n "$has_maxvars" ] || echo "(switch: the collector has no --maxvars option; only its requests of today run)"
  run_repeat=$switch_repeat
  per_host=$((rows * ${#switch_columns[@]}))
  make_switch_home 1 "$switch_port"
  # switch_pair SUFFIX HOSTS WINDOW: the collector at --maxvars=1 and, when it can, packed.
  switch_pair() {
    run_switch "maxvars1$1" "$2" "$3" "${has_maxvars:+1}"
    if [ -n "$has_maxvars" ]; then
      run_switch "packed$1" "$2" "$3" ""
      same_values "maxvars1$1" "packed$1" "$2"
    fi
  }
  switch_pair "" 1 "$concurrency"
  per_host=$walked
  run snmpbulkwalk-cols 1 count_lines sh -c 'peer=$1; shift
    for c; do snmpbulkwalk -v2c -c switch -Cr25 -Oqn "$peer" "$c" || exit 1; done' \
    _ "127.0.0.1:$switch_port" "${switch_columns[@]}"
  per_host=$((rows * ${#switch_columns[@]}))
  for h in $switch_hosts; do
    make_switch_home "$h" "$switch_port"
    switch_pair "" "$h" "$concurrency"
  done
  if [ "$switch_small" -gt 0 ]; then
    make_switch_home "$switch_small" "$switch_port"
    switch_pair -w3 "$switch_small" 3
  fi
  per_host=$nvars
  run_repeat=$repeat
fi

# Hosts whose names do not resolve: each gets one error line, and its message NODATA.
count_unknown() { grep -c 'Unknown host' "$work/err" || true; }
if [ "$unresolved_hosts" -gt 0 ] && [ -x "$collector" ]; then
  home=$work/unresolved
  mkdir -p "$home/etc"
  printf '[bench]\n' >"$home/etc/snmpmibs.cfg"
  for i in "${!oids[@]}"; do
    printf 'v%02d %s\n' "$((i + 1))" "${oids[$i]}" >>"$home/etc/snmpmibs.cfg"
  done
  awk -v n="$unresolved_hosts" -v comm="$community" -v cfg="$home/etc/snmphosts.cfg" 'BEGIN {
    for (i = 1; i <= n; i++) printf "[gone%05d.invalid]\nversion=2\ncommunity=%s\nbench\n\n", i, comm > cfg
  }'
  echo "(unresolved: every lookup takes ${BENCH_LOOKUP_MS} ms and fails; no name server is asked)"
  per_host=1
  run_repeat=1
  for who in baseline collector; do
    bin=$collector
    if [ "$who" = baseline ]; then
      [ -n "$baseline" ] || continue
      bin=$baseline
    fi
    run "unresolved-$who" "$unresolved_hosts" count_unknown env ZARVOHOME="$home" \
      LD_PRELOAD="$build/bench/libslowlookup.so" "$bin" --no-update "--concurrency=$concurrency"
  done
  per_host=$nvars
  run_repeat=$repeat
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
if [ -n "${wall[snmpbulkwalk-cols/1]:-}" ]; then
  for name in maxvars1 packed; do
    [ -n "${wall[$name/1]:-}" ] && echo "  switch, one host, $name / snmpbulkwalk of the columns:" \
      "wall time $(ratio "${wall[$name/1]}" "${wall[snmpbulkwalk-cols/1]}")"
  done
  for h in 1 $switch_hosts; do
    [ -n "${wall[packed/$h]:-}" ] && echo "  switch, $h hosts, packed / maxvars1: wall time" \
      "$(ratio "${wall[packed/$h]}" "${wall[maxvars1/$h]}"), requests per host" \
      "$(ratio "${requests[packed/$h]}" "${requests[maxvars1/$h]}")"
  done
  [ -n "${wall[packed-w3/$switch_small]:-}" ] && echo "  switch, $switch_small hosts, window 3," \
    "packed / maxvars1: wall time $(ratio "${wall[packed-w3/$switch_small]}" "${wall[maxvars1-w3/$switch_small]}")"
fi
if [ -n "${wall[unresolved-baseline/$unresolved_hosts]:-}" ] && [ -n "${wall[unresolved-collector/$unresolved_hosts]:-}" ]; then
  echo "  $unresolved_hosts unresolved names: wall time ${wall[unresolved-collector/$unresolved_hosts]} s," \
    "baseline ${wall[unresolved-baseline/$unresolved_hosts]} s"
fi
[ -x "$collector" ] || echo "  (collector not built; only the reference figures are shown)"
