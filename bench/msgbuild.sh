#!/bin/bash
# Benchmark of the collector's message building against the size of the catalogue: H hosts
# (default 1,000), each referring to every definition of the sample catalogue etc/snmpmibs.cfg
# (the tables by row number), are read and given values without an agent, and their data
# messages are built with
#   sample      the sample catalogue
#   generated   the sample catalogue followed by generated definitions, D in all (default
#               100,000), each with three variables
# by bench/msgbuild, which prints the peak resident memory before and after reading the
# catalogue, and the wall and CPU seconds of the fastest of R message buildings (default 5).
# Both runs build the same messages; their sizes and checksums are printed to show it.
#
# Settings (environment): BUILD_DIR (default build), BENCH_MSG_HOSTS (1000),
# BENCH_MSG_DEFINITIONS (100000), BENCH_REPEAT (5).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-$PWD/build}
hosts=${BENCH_MSG_HOSTS:-1000}
definitions=${BENCH_MSG_DEFINITIONS:-100000}
repeat=${BENCH_REPEAT:-5}

[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target msgbuild >/dev/null

work=$(mktemp -d /tmp/zarvo-msgbench.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/snmp/cert_indexes"
export SNMPCONFPATH=$work/snmp SNMP_PERSISTENT_DIR=$work/snmp MIBS=

cp etc/snmpmibs.cfg "$work/sample.cfg"
sample_defs=$(grep -c '^\[' etc/snmpmibs.cfg)
{
  cat etc/snmpmibs.cfg
  awk -v n="$((definitions - sample_defs))" 'BEGIN {
    for (i = 1; i <= n; i++)
      printf "[gen%06d]\nin .1.3.6.1.4.1.99999.%d.1\nout .1.3.6.1.4.1.99999.%d.2 /rrd:COUNTER\nstate .1.3.6.1.4.1.99999.%d.3\n", i, i, i, i
  }'
} >"$work/generated.cfg"

# The references in an order of their own: the messages list them in catalogue order.
awk -v n="$hosts" 'BEGIN {
  for (i = 1; i <= n; i++)
    printf "[host%05d]\nip=127.0.0.1:9\nversion=2\ncommunity=public\ncpu\nifmib 1\nsystem\nhrstorage 31\nifxmib 2\nload\nhrprocessor 196608\nifmib 2\n\n", i
}' >"$work/hosts.cfg"

echo "Message building: $hosts hosts, $(nproc) CPUs, $(uname -sr); seconds are the least of $repeat"
printf '%-10s %11s %10s %10s %7s %8s %9s %8s %10s %s\n' catalogue definitions rss_before rss_after \
  hosts values build_s cpu_s bytes checksum
declare -A cpu
for name in sample generated; do
  read -r _ d _ r0 r1 _ h _ v _ w c _ b _ f < <("$build/bench/msgbuild" "$work/$name.cfg" "$work/hosts.cfg" "$repeat")
  printf '%-10s %11d %10d %10d %7d %8d %9.4f %8.4f %10d %s\n' "$name" "$d" "$r0" "$r1" "$h" "$v" "$w" "$c" "$b" "$f"
  cpu[$name]=$c
done
awk -v a="${cpu[generated]}" -v b="${cpu[sample]}" 'BEGIN {
  if (b > 0) printf "generated / sample: CPU seconds of message building %.2f\n", a / b }'
