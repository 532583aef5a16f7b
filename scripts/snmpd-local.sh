# Private snmpd agents on 127.0.0.1 for scripts (benchmark, demonstration). Source this file
# from bash, then:
#
#   snmpd_local_start DIR COMMUNITY [CONFIG-LINE...]
#       writes DIR/snmpd.conf (read-only COMMUNITY for 127.0.0.1, the given extra lines),
#       starts snmpd in the foreground in the background on a free port between 20000 and
#       29999 (below the kernel's ephemeral range, so no client socket can hold it), waits
#       until it answers and sets SNMPD_LOCAL_PID and SNMPD_LOCAL_PORT. The agent reads no
#       configuration of the machine: "-C", a private SNMPCONFPATH and SNMP_PERSISTENT_DIR
#       under DIR, empty MIBS. Returns 1, with the agent's log on standard error, when no
#       agent could be started.
#   snmpd_local_stop PID
#       stops that agent by its PID and waits for it.
#
# The caller stops what it started, typically from an EXIT trap.

snmpd_local_answers() {
  SNMPCONFPATH=$1/client SNMP_PERSISTENT_DIR=$1/client MIBS= \
    snmpget -v2c -c "$2" -r 0 -t 0.3 -Oqn "127.0.0.1:$3" .1.3.6.1.2.1.1.3.0 >/dev/null 2>&1
}

snmpd_local_start() {
  local dir=$1 community=$2 port pid try i
  shift 2
  mkdir -p "$dir/persist" "$dir/client"
  {
    echo "rocommunity $community 127.0.0.1"
    echo "dontLogTCPWrappersConnects yes"
    local line
    for line in "$@"; do
      echo "$line"
    done
  } >"$dir/snmpd.conf"
  for try in 1 2 3 4 5 6 7 8 9 10; do
    port=$((20000 + RANDOM % 10000))
    SNMPCONFPATH=$dir SNMP_PERSISTENT_DIR=$dir/persist MIBS= \
      /usr/sbin/snmpd -f -C -c "$dir/snmpd.conf" -Lf "$dir/snmpd.log" -I -smux \
      "udp:127.0.0.1:$port" </dev/null >"$dir/snmpd.out" 2>&1 &
    pid=$!
    for i in $(seq 1 30); do
      if snmpd_local_answers "$dir" "$community" "$port"; then
        SNMPD_LOCAL_PID=$pid
        SNMPD_LOCAL_PORT=$port
        return 0
      fi
      kill -0 "$pid" 2>/dev/null || break
    done
    snmpd_local_stop "$pid"
  done
  echo "snmpd_local_start: no agent answered; its log:" >&2
  cat "$dir/snmpd.log" "$dir/snmpd.out" >&2
  return 1
}

snmpd_local_stop() {
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}
