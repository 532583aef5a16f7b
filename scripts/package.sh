#!/bin/bash
# Builds the Debian package and, as root, tries it on this machine as a site would:
#   1. configures build-deb/ with the prefix /usr and Debian's hardening flags, builds, and
#      makes the package with cpack -G DEB under umask 077 (its directories must still be
#      rwxr-xr-x); lintian must report no error;
#   2. installs it with dpkg -i and checks the installed programs: --version, --cfgcheck on
#      the installed samples with no environment variable, cgishim's help text naming the
#      installed options file, the systemd units, and one collector pass against a private
#      snmpd on 127.0.0.1; then the service as its unit confines it, without systemd: as the
#      user zarvo that the package creates, on a read-only file system, with the options of
#      snmpgather.env;
#   3. enables the timer, edits a configuration file, installs the package again and checks the
#      edit is kept and the timer still enabled;
#   4. removes the package (the timer is masked), installs it again (enabled as before),
#      purges it and checks that nothing of it is left, no link or state of the timer either.
# With --build-only it stops after step 1 and leaves the package in build-deb/.
# Steps 2 to 4 need root; without root they are skipped with a message.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${PACKAGE_BUILD_DIR:-$root/build-deb}
build_only=0
[ "${1:-}" = "--build-only" ] && build_only=1

scripts/deps.sh

# Debian's hardening flags, given on every configuration (CMake reads CFLAGS only into a new
# cache); CMake does not read CPPFLAGS, so they join the compiler flags.
DEB_BUILD_MAINT_OPTIONS=hardening=+all
export DEB_BUILD_MAINT_OPTIONS
mkdir -p "$build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DBUILD_TESTING=OFF >"$build/configure.log"
cmake --build "$build" -j2 >"$build/build.log"
rm -f "$build"/zarvo_*.deb
(cd "$build" && umask 077 && cpack -G DEB >cpack.log)
deb=$(ls "$build"/zarvo_*.deb)
echo "package: $deb"
baddirs=$(dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" { print $1, $NF }')
[ -z "$baddirs" ] || { echo "package.sh: directories of the package not rwxr-xr-x: $baddirs" >&2; exit 1; }

# Lintian refuses to run as root without a word; its remarks are kept in lintian.log.
lintian --fail-on error --info "$deb" >"$build/lintian.log" 2>&1 || {
  cat "$build/lintian.log"
  echo "package.sh: lintian reports errors for $deb" >&2
  exit 1
}
grep -E '^[EW]:' "$build/lintian.log" || echo "lintian: no errors, no warnings"

[ "$build_only" = 1 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "package.sh: SKIP installing the package: dpkg -i needs root"
  exit 0
fi
if dpkg-query -W -f='${Status}' zarvo 2>/dev/null | grep -q 'installed'; then
  echo "package.sh: a zarvo package is already installed here; purge it first (dpkg --purge zarvo)" >&2
  exit 1
fi

work=$(mktemp -d /tmp/zarvo-package.XXXXXX)
installed=0
agent_pid=""
cleanup() {
  [ -n "$agent_pid" ] && snmpd_local_stop "$agent_pid"
  [ "$installed" = 1 ] && dpkg --purge zarvo >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

passed=0
failed=0
ok() { echo "ok: $1"; passed=$((passed + 1)); }
notok() { echo "FAIL: $1"; failed=$((failed + 1)); }
# check WHAT COMMAND...: the command must succeed.
check() {
  local what=$1
  shift
  if "$@"; then ok "$what"; else notok "$what"; fi
}

dpkg -i "$deb" >"$work/dpkg-i.log" 2>&1 || { cat "$work/dpkg-i.log"; exit 1; }
installed=1
dpkg -L zarvo >"$work/files"

# The installed programs run with an empty environment: no ZARVOHOME, no MIBS.
clean() { env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }

release=$(dpkg-query -W -f='${Version}' zarvo)
clean zarvo-snmpgather --version >"$work/version.out" 2>"$work/version.err" && rc=0 || rc=$?
check "zarvo-snmpgather --version exits 0" [ "$rc" = 0 ]
check "zarvo-snmpgather --version prints the package's version $release" \
  [ "$(awk 'NR == 1 { print $NF }' "$work/version.out")" = "$release" ]

clean zarvo-snmpgather --cfgcheck --mibcheck >"$work/cfgcheck.out" 2>"$work/cfgcheck.err" \
  && rc=0 || rc=$?
check "--cfgcheck on the installed samples exits 0" [ "$rc" = 0 ]
check "--cfgcheck finds nothing wrong in the installed samples" [ ! -s "$work/cfgcheck.err" ]
[ -s "$work/cfgcheck.err" ] && cat "$work/cfgcheck.err"

check "the package depends on adduser and init-system-helpers, which its scripts call" \
  bash -c 'dpkg-query -W -f="\${Depends}" zarvo | grep -q "adduser, init-system-helpers"'
check "the package creates the system user and group zarvo" \
  [ "$(id -gn zarvo 2>/dev/null)" = zarvo -a "$(id -u zarvo 2>/dev/null || echo 1000)" -lt 1000 ]
check "snmphosts.cfg (communities, pass phrases) is root:zarvo 0640" \
  [ "$(stat -c %U:%G:%a /etc/zarvo/snmphosts.cfg)" = root:zarvo:640 ]
check "another user cannot read snmphosts.cfg" \
  bash -c '! setpriv --reuid=nobody --regid=nogroup --clear-groups cat /etc/zarvo/snmphosts.cfg 2>/dev/null'
check "the installed snmphosts.cfg has no active host section" \
  bash -c '! grep -q "^\[" /etc/zarvo/snmphosts.cfg'

clean cgishim >"$work/cgishim.out" 2>"$work/cgishim.err" && rc=0 || rc=$?
check "cgishim started directly exits 1" [ "$rc" = 1 ]
check "cgishim's help text names /etc/zarvo/cgioptions.cfg" \
  grep -qF "configuration specified in /etc/zarvo/cgioptions.cfg and" "$work/cgishim.out"
check "cgishim loads the installed options file without an error" [ ! -s "$work/cgishim.err" ]

if command -v systemd-analyze >/dev/null 2>&1; then
  check "systemd-analyze verifies the installed units" \
    systemd-analyze verify /lib/systemd/system/zarvo-snmpgather.service /lib/systemd/system/zarvo-snmpgather.timer
  if systemd-analyze security --offline=true /lib/systemd/system/zarvo-snmpgather.service \
    >"$work/security.log" 2>&1; then
    score=$(sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\).*$/\1/p' "$work/security.log")
    check "systemd-analyze rates the service's exposure ${score:-unknown}, 2.0 at most" \
      awk -v s="$score" 'BEGIN { exit !(s != "" && s + 0 <= 2.0) }'
  else
    echo "SKIP: systemd-analyze security --offline=true failed here; the exposure is not rated"
  fi
else
  echo "SKIP: systemd-analyze is missing; units not verified"
fi
check "the manual pages are found by man" \
  bash -c 'man -w zarvo-snmpgather cgishim snmphosts.cfg snmpmibs.cfg >/dev/null'

# One pass of the installed collector against a private agent, with the installed catalogue.
. scripts/snmpd-local.sh
snmpd_local_start "$work/agent" pkgpublic "sysLocation package-lab" >/dev/null
agent_pid=$SNMPD_LOCAL_PID
cat >"$work/hosts.cfg" <<EOF
[pkgtest]
ip=127.0.0.1:$SNMPD_LOCAL_PORT
version=2c
community=pkgpublic
system
EOF
clean SNMPCONFPATH="$work/agent/client" SNMP_PERSISTENT_DIR="$work/agent/client" \
  zarvo-snmpgather --no-update --timeout=2 "$work/hosts.cfg" >"$work/pass.out" 2>"$work/pass.err" \
  && rc=0 || rc=$?
check "a collector pass exits 0" [ "$rc" = 0 ]
check "the pass reports the host's data" grep -qF "client/snmpgather pkgtest.snmpgather snmp" "$work/pass.out"
check "the pass fetched the agent's sysLocation" grep -qF "package-lab" "$work/pass.out"
[ "$rc" = 0 ] || cat "$work/pass.err"

# The service as its unit runs it, without systemd (not running here): the unit's command line
# with ZARVO_SNMPGATHER_OPTS from snmpgather.env, as the user zarvo without capabilities or new
# privileges, umask 077, no core dump, the file system read-only, and the installed hosts file,
# read through the group zarvo. --no-update in the options prints the messages, so the pass
# shows that the options reach the command line.
unit=/lib/systemd/system/zarvo-snmpgather.service
cat >>/etc/zarvo/snmphosts.cfg <<EOF
[svctest]
ip=127.0.0.1:$SNMPD_LOCAL_PORT
version=2c
community=pkgpublic
system
EOF
sed -i 's/^ZARVO_SNMPGATHER_OPTS=$/ZARVO_SNMPGATHER_OPTS="--no-update --timeout=2"/' /etc/zarvo/snmpgather.env
# Argument: the unit.
cat >"$work/service.sh" <<'EOS'
mount -o remount,bind,ro / || exit 99
umask 077
ulimit -c 0
exec setpriv --reuid=zarvo --regid=zarvo --clear-groups --no-new-privs --inh-caps=-all \
  --bounding-set=-all env -i PATH=/usr/bin:/bin ZARVO_SNMPGATHER_OPTS= \
  EXECSTART="$(sed -n 's/^ExecStart=//p' "$1")" \
  sh -c 'set -a; . /etc/zarvo/snmpgather.env; set +a; cmd=$EXECSTART; unset EXECSTART; eval "exec $cmd"'
EOS
unshare --mount bash "$work/service.sh" "$unit" \
  >"$work/service.out" 2>"$work/service.err" && rc=0 || rc=$?
check "the confined service's pass exits 0" [ "$rc" = 0 ]
check "the confined service reports nothing on standard error" [ ! -s "$work/service.err" ]
check "the confined service polls the installed hosts file with the options of snmpgather.env" \
  grep -qF "client/snmpgather svctest.snmpgather snmp" "$work/service.out"
check "the confined service fetched the agent's sysLocation" grep -qF "package-lab" "$work/service.out"
[ "$rc" = 0 ] && [ ! -s "$work/service.err" ] || cat "$work/service.err"

# The timer as a site handles it: off after the install, enabled by the site, kept enabled over
# an upgrade, masked by a remove, and every trace of it gone after the purge.
wants=/etc/systemd/system/timers.target.wants/zarvo-snmpgather.timer
check "the install leaves the timer disabled" test ! -e "$wants" -a ! -L "$wants"
# Without a running systemd, systemctl may refuse; the link is then made as enabling makes it.
if ! systemctl enable zarvo-snmpgather.timer >"$work/enable.log" 2>&1; then
  echo "package.sh: systemctl enable failed here ($(head -1 "$work/enable.log")); linking the timer instead"
  mkdir -p "$(dirname "$wants")"
  ln -s /lib/systemd/system/zarvo-snmpgather.timer "$wants"
fi
check "the site enables the timer" [ -L "$wants" ]

# A site's edit survives installing the package again.
echo "# edited by the site" >>/etc/zarvo/snmphosts.cfg
dpkg -i "$deb" >"$work/dpkg-i2.log" 2>&1 && rc=0 || rc=$?
check "installing over an edited configuration succeeds" [ "$rc" = 0 ]
check "the edit is kept" grep -qxF "# edited by the site" /etc/zarvo/snmphosts.cfg
check "the enabled timer stays enabled over the upgrade" [ -L "$wants" ]

dpkg --remove zarvo >"$work/remove.log" 2>&1 && rc=0 || rc=$?
check "dpkg --remove succeeds" [ "$rc" = 0 ]
check "the remove masks the timer" [ "$(readlink /etc/systemd/system/zarvo-snmpgather.timer)" = /dev/null ]
dpkg -i "$deb" >"$work/dpkg-i3.log" 2>&1 && rc=0 || rc=$?
check "installing after the remove succeeds" [ "$rc" = 0 ]
check "the install lifts the mask and the timer is enabled as before" \
  test ! -L /etc/systemd/system/zarvo-snmpgather.timer -a -L "$wants"

dpkg --purge zarvo >"$work/purge.log" 2>&1 && rc=0 || rc=$?
installed=0
check "dpkg --purge succeeds" [ "$rc" = 0 ]
traces=$(find /etc/systemd /var/lib/systemd -name '*zarvo*' 2>/dev/null | tr '\n' ' ')
check "the purge leaves no link or state of the timer${traces:+: $traces}" [ -z "$traces" ]
check "the package is gone from dpkg's database" \
  bash -c '! dpkg-query -W -f="\${Status}" zarvo 2>/dev/null | grep -q installed'
left=""
while read -r path; do
  # Shared directories stay, also where they are links (/lib -> usr/lib).
  if [ -f "$path" ] || { [ -L "$path" ] && [ ! -d "$path" ]; }; then left="$left $path"; fi
  if [ -d "$path" ] && [[ $path == *zarvo* ]]; then left="$left $path/"; fi
done <"$work/files"
[ -e /etc/zarvo ] && left="$left /etc/zarvo"
check "nothing of the package is left${left:+:$left}" [ -z "$left" ]

echo "package.sh: $passed passed, $failed failed"
[ "$failed" = 0 ]
