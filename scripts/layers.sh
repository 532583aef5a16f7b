#!/bin/sh
# Lists the includes between the library's modules and checks them against the layer order:
# a module may include modules of its own layer or of lower ones, never of a higher layer, and
# the includes between modules must not form a cycle. Every file in lib/ must belong to a
# module of the table below. Exits 1 on any violation.
#
# Given a build directory, it also checks what the library's objects define and use (nm): a
# header shared by modules of several layers (timefunc.h, misc.h) lets an include pass where a
# call goes upward, so each symbol an object uses is traced to the object that defines it, and
# those uses must keep the same order and form no cycle with the includes.
#
# Usage: scripts/layers.sh [-q] [BUILDDIR]     (-q: print only violations)
set -eu
cd "$(dirname "$0")/.."

quiet=0
[ "${1:-}" = "-q" ] && { quiet=1; shift; }
builddir=${1:-}
objdir=${builddir:+$builddir/lib/CMakeFiles/zarvo.dir}
if [ -n "$objdir" ] && ! ls "$objdir"/*.o >/dev/null 2>&1; then
    echo "layers: no objects of the library in $objdir; build it first"
    exit 1
fi

# layer  module       further file names (without extension) that belong to the module
table='
1 timefunc
1 errormsg
1 memory        cboundary
1 strfunc
1 ascii
1 numparse
1 textbuf
1 comboparse
2 misc
2 timetext
2 encoding
2 tree
2 msort
2 stackio
2 cfgfile
2 zarvod_buffer
3 environ
4 sysutil
4 color
4 holidays
4 timing
4 zarvod_ipc
5 timespec
5 readmib
5 sendmsg       sendmsg_transport sendmsg_dispatch sendmsg_combo sendmsg_parts response_reader
'

edges=$(mktemp)
trap 'rm -f "$edges"' EXIT

status=0
for file in lib/*.h lib/*.cpp lib/internal/*.h; do
    [ -e "$file" ] || continue
    grep -H '^#include "' "$file" || true
done | awk -v table="$table" -v edges="$edges" '
    function stem(path) { sub(/^.*\//, "", path); sub(/\.[a-z]+$/, "", path); return path }
    BEGIN {
        n = split(table, lines, "\n")
        for (i = 1; i <= n; i++) {
            nf = split(lines[i], f, " ")
            if (nf < 2) continue
            if (f[2] in layer) { printf "layers: module %s is listed twice in the layer table\n", f[2]; bad = 1 }
            layer[f[2]] = f[1]
            for (j = 2; j <= nf; j++) owner[f[j]] = f[2]
        }
    }
    {
        colon = index($0, ":")
        file = substr($0, 1, colon - 1)
        inc = $0
        sub(/^[^"]*"/, "", inc)
        sub(/".*$/, "", inc)
        from = stem(file)
        if (!(from in owner)) { printf "layers: %s belongs to no module of the layer table\n", file; bad = 1; next }
        to = stem(inc)
        if (!(to in owner)) next        # a header from outside the library
        a = owner[from]; b = owner[to]
        if (a == b) next
        print a, b > edges
        if (layer[b] > layer[a]) {
            printf "layers: upward include: %s (layer %d) includes %s of %s (layer %d)\n", file, layer[a], inc, b, layer[b]
            bad = 1
        }
    }
    END { exit bad }
' || status=1

# Symbols: "D <object> <symbol>" for each global symbol an object defines (weak ones, such as
# inline functions of C++ headers, belong to no module), "U <object> <symbol>" for each it uses.
if [ -n "$objdir" ]; then
    for obj in "$objdir"/*.o; do
        name=$(basename "$obj" .cpp.o)
        nm -g --defined-only "$obj" | awk -v o="$name" '$2 ~ /^[TDBRCG]$/ { print "D", o, $3 }'
        nm -u "$obj" | awk -v o="$name" '{ print "U", o, $NF }'
    done | awk -v table="$table" -v edges="$edges" '
        BEGIN {
            n = split(table, lines, "\n")
            for (i = 1; i <= n; i++) {
                nf = split(lines[i], f, " ")
                if (nf < 2) continue
                layer[f[2]] = f[1]
                for (j = 2; j <= nf; j++) owner[f[j]] = f[2]
            }
        }
        $1 == "D" { definedby[$3] = $2; next }
        { use[++uses] = $2 " " $3 }
        END {
            for (i = 1; i <= uses; i++) {
                split(use[i], u, " ")
                if (!(u[2] in definedby)) continue      # from outside the library
                if (!(u[1] in owner)) { printf "layers: object %s belongs to no module of the layer table\n", u[1]; bad = 1; continue }
                a = owner[u[1]]; b = owner[definedby[u[2]]]
                if (a == b) continue
                print a, b > edges
                if (layer[b] > layer[a]) {
                    printf "layers: upward call: %s (layer %d) uses %s of %s (layer %d)\n", u[1], layer[a], u[2], b, layer[b]
                    bad = 1
                }
            }
            exit bad
        }
    ' || status=1
fi

if [ "$quiet" -eq 0 ]; then
    echo "Includes and calls between library modules (module -> module it includes or calls):"
    sort -u "$edges" | awk '{ printf "  %-12s -> %s\n", $1, $2 }'
fi

# tsort reports a loop in its input on standard error.
if ! sort -u "$edges" | tsort >/dev/null 2>"$edges.loop"; then
    echo "layers: the includes and calls between modules form a cycle:"
    cat "$edges.loop"
    status=1
fi
rm -f "$edges.loop"

[ "$status" -eq 0 ] && [ "$quiet" -eq 0 ] && echo "layers: no cycle, no upward include${objdir:+ or call}"
exit "$status"
