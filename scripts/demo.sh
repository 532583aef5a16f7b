#!/bin/bash
# Demonstration of the SNMP collector, on this machine only:
#   1. installs what is missing (scripts/deps.sh) and builds the collector and the stand-in
#      server daemon;
#   2. starts a private snmpd on 127.0.0.1 (SNMPv2c community and an SNMPv3 user with SHA
#      authentication) and the stand-in daemon zarvod-sink on a free port;
#   3. writes a temporary ZARVOHOME with the sample catalogue etc/snmpmibs.cfg and a hosts file
#      for that agent: plain, keyed and wildcard references over v2c and v3, and one address
#      where nothing answers;
#   4. runs one collector pass with "--report=" and shows what the daemon received;
#   5. stops what it started and removes the temporary files.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-$root/build}

scripts/deps.sh
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target zarvo-snmpgather zarvod-sink >/dev/null

work=$(mktemp -d /tmp/zarvo-demo.XXXXXX)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The collector sees only a private SNMP configuration: no MIB modules, one retry of a
# one-second time-out, so the silent address costs two seconds.
mkdir -p "$work/client/persist"
printf 'timeout 1\nretries 1\n' >"$work/client/snmp.conf"
export SNMPCONFPATH=$work/client SNMP_PERSISTENT_DIR=$work/client/persist MIBS=
unset MIBDIRS || true

. scripts/snmpd-local.sh
snmpd_local_start "$work/agent" demopublic "sysLocation demo-lab" "sysContact demo@localhost" \
  "createUser demouser SHA demopassphrase" "rouser demouser auth"
pids+=("$SNMPD_LOCAL_PID")
agent=127.0.0.1:$SNMPD_LOCAL_PORT
echo "snmpd answering on $agent (pid $SNMPD_LOCAL_PID)"

# An address where nothing answers: a UDP port on loopback that no program has bound (the
# kernel's port-unreachable answer is ignored by the SNMP library, which waits for its time-out).
silent=127.0.0.1:$((10000 + RANDOM % 9000))

# Three data messages and one status message: the daemon exits after the fourth.
"$build/tools/zarvod-sink" --port=0 --portfile="$work/sink.port" --output="$work/received.txt" \
  --count=4 &
pids+=("$!")
for i in $(seq 1 100); do
  [ -s "$work/sink.port" ] && break
  sleep 0.05
done
sinkport=$(cat "$work/sink.port")
echo "zarvod-sink listening on 127.0.0.1:$sinkport (pid ${pids[-1]})"

home=$work/home
mkdir -p "$home/etc"
cp etc/snmpmibs.cfg "$home/etc/"
cat >"$home/etc/snmphosts.cfg" <<EOF
# Written by scripts/demo.sh for the private agent.
[demo-v2c]
ip=$agent
version=2c
community=demopublic
system
load
memory
# String keys carry the quotes with which the SNMP library prints them (no MIB modules).
ifmib ("lo")
ifxmib (*)

[demo-v3]
ip=$agent
version=3
username=demouser
passphrase=demopassphrase
authmethod=sha1
system

# The first address never answers: the first request group (system) times out there and
# is reported as NODATA; the next group (load) goes to the agent.
[demo-failover]
ip=$silent,$agent
community=demopublic
system
load
EOF

echo
echo "== hosts file"
cat "$home/etc/snmphosts.cfg"
echo
echo "== collector run"
status=0
ZARVOHOME=$home TASKSLEEP=300 MACHINEDOTS=demo.collector ZRVSRV=127.0.0.1 ZARVODPORT=$sinkport \
  "$build/zarvonet/zarvo-snmpgather" --report=snmpgather || status=$?
echo "collector exit status $status"

for i in $(seq 1 100); do
  kill -0 "${pids[-1]}" 2>/dev/null || break
  sleep 0.05
done
echo
echo "== what the server daemon received"
cat "$work/received.txt"
