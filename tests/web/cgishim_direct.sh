#!/bin/bash
# cgishim started directly, without a web server, under chosen names and environments:
# the help text, the 403 and 500 answers, and what reaches a program outside the table.
# The web server test covers every name of the table.
# Usage: cgishim_direct.sh CGISHIM OPTIONS-FILE-PATH-IT-WAS-BUILT-WITH
set -u
CGISHIM=$1
OPTFILE=$2
T=$(mktemp -d "${TMPDIR:-/tmp}/cgishim-direct.XXXXXX")
trap 'rm -rf "$T"' EXIT
failures=0

HOME_DIR=$T/home
mkdir -p "$HOME_DIR/bin"
standin() {
    cat > "$1" <<'EOS'
#!/bin/sh
printf 'program=%s\n' "$0"
for a in "$@"; do printf 'arg=%s\n' "$a"; done
printf 'query=%s\n' "${QUERY_STRING-<unset>}"
EOS
    chmod 755 "$1"
}
for p in dunsel.cgi myown.cgi; do
    standin "$HOME_DIR/bin/$p"
done

# Sanitizer settings of the test run reach the wrapper; nothing else of this environment does.
keep=()
for v in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
    [ -n "${!v+set}" ] && keep+=("$v=${!v}")
done

# run NAME [VAR=value...]: cgishim started as NAME with only the given environment.
run() {
    local name=$1
    shift
    env -i "${keep[@]}" ZARVOHOME="$HOME_DIR" "$@" /bin/bash -c 'exec -a "$0" "$1"' "$name" "$CGISHIM" \
        > "$T/out" 2> "$T/err"
    rc=$?
}

fail() {
    echo "FAIL: $1"
    echo "--- stdout:"; cat "$T/out"
    echo "--- stderr:"; cat "$T/err"
    failures=$((failures + 1))
}

# check WHAT EXPECTED-RC: stdout must equal the text on standard input.
check() {
    local expected
    expected=$(cat)
    if [ "$rc" != "$2" ] || [ "$(cat "$T/out")" != "$expected" ]; then
        echo "--- expected (rc $2):"; printf '%s\n' "$expected"
        fail "$1 (rc $rc)"
    fi
}

stderr_has() {
    grep -qF -- "$2" "$T/err" || fail "$1: stderr lacks '$2'"
}

run cgishim
check "called directly it prints the help text" 1 <<EOS

cgishim is an executable wrapper program for zarvo CGI scripts. It sets the environment according to the configuration specified in $OPTFILE and then launches the CGI to response to the request.

CGI scripts in the zarvo-cgi or zarvo-seccgi directories should be symlinked or hardlinked to this file. cgishim will do nothing if called directly.
EOS

for name in foo .cgi "" velmora.cgi.txt; do
    run "$name"
    check "started as '$name' it answers 403" 1 <<EOS
Status: 403
Content-type: text/plain

Unexpected CGI name: $name
EOS
    stderr_has "403 for '$name'" "ERROR: cgishim was called as an unexpected CGI name: $name"
done

run harvik.cgi "QUERY_STRING=cpu&db=/etc/passwd;x=1"
check "the query text cannot add parameters of its own" 0 <<EOS
program=$HOME_DIR/bin/dunsel.cgi
query=db=harvik.csv&key=cpu%26db=/etc/passwd%3Bx=1
EOS

run /srv/www/cgi/myown.cgi CGIDEBUG=1 CGI_MYOWN_OPTS=--no
check "an unlisted .cgi name runs that program without options" 0 <<EOS
program=$HOME_DIR/bin/myown.cgi
query=<unset>
EOS
stderr_has "debug line for an unlisted name" "called as an unexpected CGI name: myown.cgi"

# The environment file's lines may hold secrets: an error about one names it, never shows it.
printf 'DBPASS=pa$SSWORDPART1\ninclude %s/missing.cfg\n' "$T" > "$T/site.env"
run myown.cgi ZARVOENV="$T/site.env"
check "a bad line of the environment file does not stop the program" 0 <<EOS
program=$HOME_DIR/bin/myown.cgi
query=<unset>
EOS
stderr_has "bad environment line named" "loadenv: Cannot find value for a variable in 'DBPASS' ($T/site.env line 1)"
stderr_has "missing include named with its reason" "Cannot open include file '$T/missing.cfg': No such file or directory"
grep -q PART1 "$T/err" && fail "the environment file's secret reached the error output"

run notthere.cgi
check "a program that cannot be started gives the 500 answer" 1 <<EOS
Status: 500
Content-type: text/plain

Exec failed for $HOME_DIR/bin/notthere.cgi: No such file or directory
EOS
stderr_has "error line for a failed start" "Exec failed for $HOME_DIR/bin/notthere.cgi: No such file or directory"

# A program that exists, but whose path is longer than the wrapper executes: it must not
# be started under a cut path, nor at all.
deep=$T
while [ ${#deep} -le 1030 ]; do deep=$deep/dddddddddddddddddddddddddddddddddddddddddddddddd; done
mkdir -p "$deep/bin"
standin "$deep/bin/velmora.cgi"
env -i "${keep[@]}" ZARVOHOME="$deep" /bin/bash -c 'exec -a "$0" "$1"' velmora.cgi "$CGISHIM" > "$T/out" 2> "$T/err"
rc=$?
check "an over-long program path gives the 500 answer" 1 <<EOS
Status: 500
Content-type: text/plain

Exec failed for $deep/bin/velmora.cgi: File name too long
EOS

if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all checks passed"
