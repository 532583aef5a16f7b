#!/bin/bash
# Installs the build into a staging directory (DESTDIR) as a site would, twice:
#   - the samples land in the configuration directory, and the server home finds them;
#   - the hosts file is readable by owner and group only, and polls nothing until edited;
#   - only the public headers are installed;
#   - a site's edited configuration survives a second install, with the new sample beside it;
#   - a program of another project builds against the staged install with find_package(zarvo)
#     and sees the server home compiled in from the prefix;
#   - the installed systemd units verify, and systemd-analyze rates the service's exposure at
#     2.0 at most;
#   - the installed files and directories have the same modes whatever the installer's umask.
# Usage: install_test.sh BUILD-DIR PREFIX CONFDIR HOME CONSUMER-SOURCE [CONSUMER-FLAGS]
set -u
BUILD=$1 PREFIX=$2 CONFDIR=$3 HOME_DIR=$4 CONSUMER=$5 CONSUMER_FLAGS=${6:-}
T=$(mktemp -d "${TMPDIR:-/tmp}/zarvo-install.XXXXXX")
trap 'rm -rf "$T"' EXIT
STAGE=$T/stage
failures=0
fail() { echo "FAIL: $1"; failures=$((failures + 1)); }

# install_stage [UMASK [STAGE]]
install_stage() {
    (umask "${1:-022}" && DESTDIR=${2:-$STAGE} cmake --install "$BUILD" >"$T/install.log" 2>&1) \
        || { cat "$T/install.log"; fail "install"; }
}
modes() { (cd "$1" && find . -mindepth 1 -printf '%m %y %p\n' | sort -k3); }

# The first install runs with umask 077, another into a second stage with umask 022: both give
# the same modes, and every directory is rwxr-xr-x.
install_stage 077
install_stage 022 "$T/stage022"
[ "$(modes "$STAGE")" = "$(modes "$T/stage022")" ] \
    || { diff <(modes "$STAGE") <(modes "$T/stage022"); fail "the modes do not depend on the umask"; }
wrong=$(modes "$STAGE" | awk '$2 == "d" && $1 != 755')
[ -z "$wrong" ] || fail "installed directories have mode 755: $wrong"
conf=$STAGE$CONFDIR
for f in snmphosts.cfg snmpmibs.cfg holidays.cfg cgioptions.cfg snmpgather.env; do
    [ -f "$conf/$f" ] || fail "sample $f is installed in $CONFDIR"
done
# The server home's etc is the configuration directory, or a link to it (absolute, so it
# leads out of the stage).
if [ -L "$STAGE$HOME_DIR/etc" ]; then
    [ "$(readlink "$STAGE$HOME_DIR/etc")" = "$CONFDIR" ] || fail "the server home's etc links to $CONFDIR"
else
    [ -f "$STAGE$HOME_DIR/etc/snmpmibs.cfg" ] || fail "the server home's etc holds the catalogue"
fi
for f in "$conf"/*.sample; do
    [ -e "$f" ] && fail "a first install leaves no .sample file: $f"
done
# The hosts file holds communities and pass phrases.
[ "$(stat -c %a "$conf/snmphosts.cfg")" = 640 ] || fail "snmphosts.cfg is installed with mode 0640"
[ "$(stat -c %a "$conf/snmpmibs.cfg")" = 644 ] || fail "snmpmibs.cfg is installed with mode 0644"

# An unedited hosts file polls nothing; its examples, with their "#" removed, are read by the
# installed collector without a single message.
grep -q '^\[' "$conf/snmphosts.cfg" && fail "the installed snmphosts.cfg has no active host section"
mkdir -p "$T/home/etc"
cp "$conf/snmpmibs.cfg" "$T/home/etc/"
sed 's/^#\([^ #]\)/\1/' "$conf/snmphosts.cfg" >"$T/examples.cfg"
[ "$(grep -c '^\[' "$T/examples.cfg")" -ge 3 ] || fail "the hosts file's examples are host sections"
out=$(env -i ZARVOHOME="$T/home" "$STAGE$PREFIX/bin/zarvo-snmpgather" --cfgcheck --mibcheck "$T/examples.cfg" 2>&1) \
    && [ -z "$out" ] || fail "the hosts file's examples are read without a message: $out"

inc=$STAGE$PREFIX/include/zarvo
[ -f "$inc/libzarvo.h" ] || fail "libzarvo.h is installed"
for h in "$inc"/*.h; do
    name=$(basename "$h")
    [ "$name" = libzarvo.h ] || [ -f "$(dirname "$0")/../../lib/$name" ] || fail "$name is not a public header"
done
[ -e "$inc/internal" ] && fail "private headers are not installed"

# The site edits two files and removes one; a second install keeps the edits, puts the new
# samples beside the edited files and installs the removed one again.
echo "# site edit" >>"$conf/snmphosts.cfg"
printf 'CGI_VELMORA_OPTS=--site\n' >"$conf/cgioptions.cfg"
rm "$conf/holidays.cfg"
install_stage
grep -qxF "# site edit" "$conf/snmphosts.cfg" || fail "the edited snmphosts.cfg is kept"
[ "$(cat "$conf/cgioptions.cfg")" = "CGI_VELMORA_OPTS=--site" ] || fail "the edited cgioptions.cfg is kept"
for f in snmphosts.cfg cgioptions.cfg; do
    cmp -s "$conf/$f.sample" "$(dirname "$0")/../../etc/$f" || fail "$f.sample holds the new sample"
done
[ -f "$conf/holidays.cfg" ] || fail "a removed sample is installed again"
[ "$(stat -c %a "$conf/snmphosts.cfg.sample")" = 640 ] || fail "snmphosts.cfg.sample has mode 0640"
[ -e "$conf/snmpmibs.cfg.sample" ] && fail "an unchanged file gets no .sample"

# find_package from another project against the staged install.
cmake -S "$CONSUMER" -B "$T/consumer" -DCMAKE_PREFIX_PATH="$STAGE$PREFIX" \
    ${CONSUMER_FLAGS:+"-DCMAKE_C_FLAGS=$CONSUMER_FLAGS" "-DCMAKE_CXX_FLAGS=$CONSUMER_FLAGS"} \
    >"$T/consumer.log" 2>&1 && cmake --build "$T/consumer" >>"$T/consumer.log" 2>&1 \
    || { cat "$T/consumer.log"; fail "a consumer project builds with find_package(zarvo)"; }
if [ -x "$T/consumer/consumer" ]; then
    out=$(env -i "$T/consumer/consumer")
    expected="home=$HOME_DIR
quoted=a&lt;b"
    [ "$out" = "$expected" ] || fail "consumer output: got '$out', expected '$expected'"
fi

# The units as installed, with their program and settings file looked up in the stage.
if command -v systemd-analyze >/dev/null 2>&1; then
    units=$(find "$STAGE" -name 'zarvo-snmpgather.service' -o -name 'zarvo-snmpgather.timer')
    mkdir -p "$T/units"
    for u in $units; do
        sed -E "s#^(ExecStart|EnvironmentFile)=/#\1=$STAGE/#" "$u" >"$T/units/$(basename "$u")"
    done
    [ "$(ls "$T/units" | wc -l)" = 2 ] || fail "both units are installed"
    MANPATH=$STAGE$PREFIX/share/man systemd-analyze verify "$T"/units/* >"$T/verify.log" 2>&1 \
        && [ ! -s "$T/verify.log" ] || { cat "$T/verify.log"; fail "systemd-analyze verifies the units"; }
    if systemd-analyze security --help 2>/dev/null | grep -q -- --offline; then
        systemd-analyze security --offline=true "$T/units/zarvo-snmpgather.service" >"$T/security.log" 2>&1
        score=$(sed -n 's/^.*Overall exposure level for [^:]*: \([0-9.]*\).*$/\1/p' "$T/security.log")
        echo "systemd-analyze security: exposure ${score:-unknown}"
        awk -v s="$score" 'BEGIN { exit !(s != "" && s + 0 <= 2.0) }' \
            || { cat "$T/security.log"; fail "the service's exposure is 2.0 at most"; }
    else
        echo "SKIP: systemd-analyze has no --offline; the service's exposure is not rated"
    fi
else
    echo "SKIP: systemd-analyze is missing; units not verified"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
