#!/bin/sh
# Installs the Debian packages that building, testing and running the system need.
# Does nothing when they are all present; otherwise one apt-get update and install.
set -eu

packages="cmake make g++ pkg-config libgtest-dev libsnmp-dev snmpd snmp lighttpd curl"
# the format check of the changed lines (git clang-format)
packages="$packages clang-format git"
# clang and its runtime (libFuzzer, sanitizers) for the fuzz targets
packages="$packages clang-14 libclang-rt-14-dev"
# Packaging and its checks: manual pages (groff, man), units (systemd-analyze), the Debian
# package (dpkg-shlibdeps, file, lintian).
packages="$packages groff-base man-db systemd dpkg-dev file lintian"
# A second SNMP engine for the collector's tests, with recordings of real devices
packages="$packages snmpsim"

missing=""
for pkg in $packages; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $pkg"
  fi
done
[ -z "$missing" ] && exit 0

echo "deps.sh: installing$missing"
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd="sudo"
else
  sudo_cmd=""
fi
export DEBIAN_FRONTEND=noninteractive
$sudo_cmd apt-get update -q
# The snmpd and lighttpd packages start system services; the tests run their own
# instances on loopback, so the system ones are not wanted.
$sudo_cmd apt-get install -y -q --no-install-recommends $missing
for svc in snmpd lighttpd; do
  if command -v service >/dev/null 2>&1; then
    $sudo_cmd service "$svc" stop >/dev/null 2>&1 || true
  fi
done
