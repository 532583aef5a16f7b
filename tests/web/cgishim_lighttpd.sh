#!/bin/bash
# cgishim behind a real lighttpd: a CGI directory of links to the wrapper, stand-in CGI
# programs in a temporary ZARVOHOME/bin that print their arguments and environment, and
# one HTTP request per name of the wrapper's table.
# Usage: cgishim_lighttpd.sh CGISHIM OPTIONS-FILE
#   CGISHIM must have been built to load OPTIONS-FILE, which this test writes.
set -u
CGISHIM=$1
OPTFILE=$2
T=$(mktemp -d "${TMPDIR:-/tmp}/cgishim-web.XXXXXX")
pid=""
cleanup() {
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    rm -rf "$T"
    rm -f "$OPTFILE"
}
trap cleanup EXIT
failures=0

# The stand-in programs the wrapper may start.
mkdir -p "$T/home/bin" "$T/cgi" "$T/docroot"
for p in velmora tiskane brovet bexlund dunsel ostrel mirgan palvet korrin welbrun zandor ulmric \
         fenwal gorvath ferolt yavrel nordil sarvid trevast holmek jesmar kalvor ibrend rundak \
         corvith naltrem myown; do
    cat > "$T/home/bin/$p.cgi" <<'EOS'
#!/bin/sh
printf 'Content-type: text/plain\n\n'
printf 'program=%s\n' "$0"
for a in "$@"; do printf 'arg=%s\n' "$a"; done
printf 'query=%s\n' "${QUERY_STRING-<unset>}"
printf 'mark=%s\n' "${MARK-<unset>}"
EOS
    chmod 755 "$T/home/bin/$p.cgi"
done

# The options file: every option variable gets two words of its own; ZARVOGENSNAPOPTS is
# left to the built-in defaults, which must not reach the programs.
optvars="VELMORA TISKANE BROVET HARVIK OSTREL MIRGAN PALVET DUNSEL KORRIN WELBRUN ZANDOR ULMRIC
         FENWAL GORVATH FEROLTOLD YAVREL NORDIL SARVID TREVAST HOLMEK JESMAR KALVOR IBREND RUNDAK
         FEROLT MELVASK NALTREM"
{
    echo "ZARVOHOME=$T/home"
    echo "ZARVOENV=$T/zarvo.env"
    for v in $optvars; do
        lower=$(echo "$v" | tr 'A-Z' 'a-z')
        printf 'CGI_%s_OPTS="--%s-a  \t--%s-b"\n' "$v" "$lower" "$lower"
    done
    echo "CGI_CORVITH_OPTS=--env=$T/other.env"
    echo 'ZARVOGENREPOPTS="--rep-a --rep-b"'
} > "$OPTFILE"
echo "MARK=loaded" > "$T/zarvo.env"

# name|program|option words (";" separates arguments; blanks belong to them)
table='velmora.cgi|velmora.cgi|--velmora-a;--velmora-b
tiskane.cgi|tiskane.cgi|--tiskane-a;--tiskane-b
brovet-sharp.cgi|brovet.cgi|--brovet-a;--brovet-b;--critical=/etc/zarvo/critical.cfg
brovet.cgi|brovet.cgi|--brovet-a;--brovet-b
quandel.cgi|bexlund.cgi|--column=sslcert;--filter=color=red,yellow;--all;--no-colors
harvik.cgi|dunsel.cgi|--harvik-a;--harvik-b
ostrel-sharp.cgi|ostrel.cgi|--ostrel-a;--ostrel-b;--critical
ostrel.cgi|ostrel.cgi|--ostrel-a;--ostrel-b
mirgan.cgi|mirgan.cgi|--mirgan-a;--mirgan-b
palvet.cgi|palvet.cgi|--palvet-a;--palvet-b
dunsel.cgi|dunsel.cgi|--dunsel-a;--dunsel-b
korrin.cgi|korrin.cgi|--korrin-a;--korrin-b
welbrun.cgi|welbrun.cgi|--welbrun-a;--welbrun-b
zandor.cgi|zandor.cgi|--zandor-a;--zandor-b
ulmric.cgi|ulmric.cgi|--ulmric-a;--ulmric-b
fenwal.cgi|fenwal.cgi|--fenwal-a;--fenwal-b
gorvath.cgi|gorvath.cgi|--gorvath-a;--gorvath-b
lisbrek.cgi|ferolt.cgi|--feroltold-a;--feroltold-b;--historical
yavrel.cgi|yavrel.cgi|--yavrel-a;--yavrel-b
nordil.cgi|nordil.cgi|--nordil-a;--nordil-b
pelquin.cgi|bexlund.cgi|--filter="color=red,yellow";--all;--heading="All non-green systems";--show-column;--show-summary;--link
sarvid.cgi|sarvid.cgi|--sarvid-a;--sarvid-b
trevast.cgi|trevast.cgi|--trevast-a;--trevast-b
holmek.cgi|holmek.cgi|--holmek-a;--holmek-b
jesmar.cgi|jesmar.cgi|--jesmar-a;--jesmar-b
kalvor.cgi|kalvor.cgi|--kalvor-a;--kalvor-b;--rep-a;--rep-b
ibrend.cgi|ibrend.cgi|--ibrend-a;--ibrend-b
rundak.cgi|rundak.cgi|--rundak-a;--rundak-b
ferolt-old.cgi|ferolt.cgi|--feroltold-a;--feroltold-b;--historical
ferolt.cgi|ferolt.cgi|--ferolt-a;--ferolt-b
ferolt2.cgi|ferolt.cgi|--ferolt-a;--ferolt-b
melvask.cgi|zandor.cgi|--melvask-a;--melvask-b
corvith.cgi|corvith.cgi|--env='"$T"'/other.env
naltrem.cgi|naltrem.cgi|--naltrem-a;--naltrem-b
myown.cgi|myown.cgi|'

while IFS='|' read -r name program words; do
    ln -s "$CGISHIM" "$T/cgi/$name"
done <<< "$table"
ln -s "$CGISHIM" "$T/cgi/harvik.sh"
ln -s "$CGISHIM" "$T/cgi/notacgi"

cat > "$T/lighttpd.conf" <<EOC
server.modules = ( "mod_alias", "mod_cgi" )
server.document-root = "$T/docroot"
server.bind = "127.0.0.1"
server.port = PORT
server.errorlog = "$T/error.log"
alias.url = ( "/zarvo-cgi/" => "$T/cgi/" )
\$HTTP["url"] =~ "^/zarvo-cgi/" {
    cgi.assign = ( "" => "" )
}
EOC

# Start lighttpd in the foreground on a free high port; retry on another port if taken.
port=""
for attempt in 1 2 3 4 5; do
    try=$((20000 + (RANDOM * 32768 + RANDOM) % 40000))
    sed "s/^server.port = .*/server.port = $try/" "$T/lighttpd.conf" > "$T/run.conf"
    lighttpd -D -f "$T/run.conf" > "$T/lighttpd.out" 2>&1 &
    pid=$!
    for i in $(seq 1 50); do
        if curl -s -o /dev/null "http://127.0.0.1:$try/"; then port=$try; break; fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$port" ] && break
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    pid=""
done
if [ -z "$port" ]; then
    echo "FAIL: lighttpd did not start"
    cat "$T/lighttpd.out" "$T/error.log" 2>/dev/null
    exit 1
fi

# request PATH-AND-QUERY: the answer's status line and body in $T/status, $T/body
request() {
    curl -s -D "$T/headers" -o "$T/body" "http://127.0.0.1:$port/zarvo-cgi/$1"
    status=$(head -n 1 "$T/headers" | tr -d '\r' | cut -d' ' -f2)
}

fail() {
    echo "FAIL: $1"
    echo "--- expected:"; printf '%s\n' "$2"
    echo "--- got (status $status):"; cat "$T/body"
    failures=$((failures + 1))
}

while IFS='|' read -r name program words; do
    expected="program=$T/home/bin/$program"
    if [ -n "$words" ]; then
        IFS=';' read -r -a args <<< "$words"
        for a in "${args[@]}"; do expected="$expected"$'\n'"arg=$a"; done
    fi
    mark=loaded
    [ "$name" = corvith.cgi ] && mark='<unset>'
    query=''
    [ "$name" = harvik.cgi ] && query='db=harvik.csv&key='
    expected="$expected"$'\n'"query=$query"$'\n'"mark=$mark"
    request "$name"
    if [ "$status" != 200 ] || [ "$(cat "$T/body")" != "$expected" ]; then
        fail "$name" "$expected"
    fi
done <<< "$table"

request "harvik.sh?cpu"
expected="program=$T/home/bin/dunsel.cgi
arg=--harvik-a
arg=--harvik-b
query=db=harvik.csv&key=cpu
mark=loaded"
if [ "$status" != 200 ] || [ "$(cat "$T/body")" != "$expected" ]; then
    fail "harvik.sh?cpu" "$expected"
fi

request "notacgi"
expected="Unexpected CGI name: notacgi"
if [ "$status" != 403 ] || [ "$(cat "$T/body")" != "$expected" ]; then
    fail "notacgi answers 403" "$expected"
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures request(s) failed"
    cat "$T/error.log" 2>/dev/null | tail -20
    exit 1
fi
echo "all requests answered as expected"
