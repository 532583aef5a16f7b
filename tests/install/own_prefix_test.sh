#!/bin/bash
# The layout with a prefix of its own (/usr/local/zarvo/server), the one the README installs:
# configures and builds a second tree for that prefix, installs it into a staging directory
# (DESTDIR) and checks that everything lands below the prefix, that the configuration is a
# directory of the server home, and that the programs have that home and options file compiled
# in. The checks common to every layout are install_test.sh's, run on this tree.
# Usage: own_prefix_test.sh SOURCE-DIR TREE-DIR CONSUMER-SOURCE [CMAKE-OPTION...]
set -u
SOURCE=$1 TREE=$2 CONSUMER=$3
shift 3
PREFIX=/usr/local/zarvo/server
T=$(mktemp -d "${TMPDIR:-/tmp}/zarvo-ownprefix.XXXXXX")
trap 'rm -rf "$T"' EXIT
failures=0
fail() { echo "FAIL: $1"; failures=$((failures + 1)); }

# Only what is installed is built.
cmake -S "$SOURCE" -B "$TREE" -DCMAKE_INSTALL_PREFIX=$PREFIX -DBUILD_TESTING=OFF "$@" >"$T/build.log" 2>&1 \
    && cmake --build "$TREE" -j2 --target zarvo zarvo-snmpgather cgishim manpages packagedocs >>"$T/build.log" 2>&1 \
    || { cat "$T/build.log"; echo "FAIL: the tree for $PREFIX builds"; exit 1; }

STAGE=$T/stage
DESTDIR=$STAGE cmake --install "$TREE" >"$T/install.log" 2>&1 || { cat "$T/install.log"; fail "install"; }
root=$STAGE$PREFIX

outside=$(find "$STAGE" -mindepth 1 \( -type f -o -type l \) ! -path "$root/*" | sed "s#^$STAGE##")
[ -z "$outside" ] || fail "everything lands below $PREFIX; outside it: $outside"
for f in bin/zarvo-snmpgather bin/cgishim lib/libzarvo.a include/zarvo/libzarvo.h \
    share/man/man8/zarvo-snmpgather.8.gz share/man/man5/snmphosts.cfg.5.gz \
    lib/cmake/zarvo/zarvoConfig.cmake lib/systemd/system/zarvo-snmpgather.timer; do
    [ -f "$root/$f" ] || fail "$PREFIX/$f is installed"
done
[ -d "$root/etc" ] && [ ! -L "$root/etc" ] || fail "$PREFIX/etc is a directory of its own"
[ -e "$root/lib/zarvo" ] && fail "no server home below lib/ for a prefix of its own"

unit=$root/lib/systemd/system/zarvo-snmpgather.service
grep -qxF "ExecStart=$PREFIX/bin/zarvo-snmpgather --report=snmpgather \$ZARVO_SNMPGATHER_OPTS" "$unit" || fail "the service starts $PREFIX/bin/zarvo-snmpgather"
grep -qxF "EnvironmentFile=$PREFIX/etc/snmpgather.env" "$unit" || fail "the service reads $PREFIX/etc/snmpgather.env"

# The compiled-in paths: the collector looks for its files in the server home, and cgishim's
# help text names the options file there. Outside the stage neither exists.
env -i "$root/bin/zarvo-snmpgather" --cfgcheck >"$T/collector.out" 2>&1
grep -qF "Cannot open configuration files $PREFIX/etc/snmphosts.cfg" "$T/collector.out" \
    || { cat "$T/collector.out"; fail "the collector looks for its hosts file in $PREFIX/etc"; }
env -i "$root/bin/cgishim" >"$T/cgishim.out" 2>&1
grep -qF "configuration specified in $PREFIX/etc/cgioptions.cfg and" "$T/cgishim.out" \
    || { cat "$T/cgishim.out"; fail "cgishim's options file is $PREFIX/etc/cgioptions.cfg"; }

# The checks of every layout, the library's compiled-in home among them.
flags=""
for option in "$@"; do
    [ "$option" = "-DZARVO_SANITIZE=ON" ] && flags="-fsanitize=address,undefined"
done
"$(dirname "$0")/install_test.sh" "$TREE" $PREFIX $PREFIX/etc $PREFIX "$CONSUMER" "$flags" \
    || fail "install_test.sh on the $PREFIX tree"

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
