#!/bin/bash
# Cost of message delivery in a whole collector pass: H host entries (5,000 by default) with 10
# variables each, shared over four private snmpd agents on 127.0.0.1, polled and delivered to the
# stand-in daemon (build/tools/zarvod-sink on a free loopback port), one data message per host.
# With BENCH_BASELINE_COLLECTOR (another build of zarvo-snmpgather) both collectors run in turn,
# BENCH_REPEAT times each (default 3). Printed per run: wall seconds, user+sys CPU seconds, the
# exit status and the value lines the daemon received in that run (of H x 10).
# Settings: BUILD_DIR (default build), BENCH_HOSTS (5000), BENCH_REPEAT (3),
# BENCH_COLLECTOR (default $BUILD_DIR/zarvonet/zarvo-snmpgather), BENCH_BASELINE_COLLECTOR.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-$PWD/build}
hosts=${BENCH_HOSTS:-5000}
repeat=${BENCH_REPEAT:-3}
collector=${BENCH_COLLECTOR:-$build/zarvonet/zarvo-snmpgather}
baseline=${BENCH_BASELINE_COLLECTOR:-}
community=benchpub
cmake --build "$build" -j2 --target zarvo-snmpgather zarvod-sink measure >/dev/null

work=$(mktemp -d /tmp/zarvo-delivery.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$work/client/persist" "$work/home/etc" "$work/home/tmp"
export SNMPCONFPATH=$work/client SNMP_PERSISTENT_DIR=$work/client/persist MIBS=

. scripts/snmpd-local.sh
ports=()
for a in 1 2 3 4; do
  snmpd_local_start "$work/agent$a" "$community" "sysLocation bench-lab" || exit 1
  pids+=("$SNMPD_LOCAL_PID")
  ports+=("$SNMPD_LOCAL_PORT")
done
"$build/tools/zarvod-sink" --port=0 "--portfile=$work/sink.port" "--output=$work/sink.out" &
pids+=("$!")
for i in $(seq 1 100); do
  [ -s "$work/sink.port" ] && break
  sleep 0.05
done

printf '[bench]\n' >"$work/home/etc/snmpmibs.cfg"
for i in 1 2 3 4 5 6 7; do printf 'v%02d .1.3.6.1.2.1.1.%d.0\n' "$i" "$i"; done >>"$work/home/etc/snmpmibs.cfg"
for i in 1 2 3; do printf 'v%02d .1.3.6.1.2.1.11.%d.0\n' "$((i + 7))" "$i"; done >>"$work/home/etc/snmpmibs.cfg"
awk -v n="$hosts" -v ports="${ports[*]}" -v comm="$community" 'BEGIN {
  np = split(ports, p, " ")
  for (i = 1; i <= n; i++)
    printf "[bench%05d]\nip=127.0.0.1:%s\nversion=2\ncommunity=%s\nbench\n\n", i, p[(i - 1) % np + 1], comm
}' >"$work/home/etc/snmphosts.cfg"

echo "Delivery benchmark: $hosts hosts, 10 variables each, to the stand-in daemon on 127.0.0.1:$(cat "$work/sink.port"), $(nproc) CPUs"
printf '%-10s %8s %8s %4s %s\n' run wall_s cpu_s rc values
# Value lines of the data messages are "<tab>name = value".
received() { grep -P '^\t\S+ = ' "$work/sink.out" | grep -vc ' = NODATA$' || true; }
for _ in $(seq 1 "$repeat"); do
  for who in baseline collector; do
    bin=$collector
    if [ "$who" = baseline ]; then
      [ -n "$baseline" ] || continue
      bin=$baseline
    fi
    before=$(received)
    "$build/bench/measure" "$work/res" env ZARVOHOME="$work/home" ZRVSRV=127.0.0.1 \
      "ZARVODPORT=$(cat "$work/sink.port")" "$bin" >/dev/null 2>"$work/err" || true
    read -r w u s _ rc <"$work/res"
    printf '%-10s %8.3f %8.3f %4d %d/%d\n' "$who" "$w" "$(echo "$u + $s" | bc)" "$rc" \
      "$(($(received) - before))" "$((hosts * 10))"
  done
done
