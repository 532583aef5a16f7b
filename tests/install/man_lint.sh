#!/bin/bash
# The manual pages as installed render without a single warning: groff -ww -man -z, and
# mandoc -T lint where mandoc is present. A broken page is checked first, so that a checker
# that stays silent on everything cannot pass the pages.
# Usage: man_lint.sh PAGE...
set -u
failures=0
T=$(mktemp -d "${TMPDIR:-/tmp}/zarvo-man.XXXXXX")
trap 'rm -rf "$T"' EXIT

command -v groff >/dev/null || { echo "FAIL: groff is missing (scripts/deps.sh installs groff-base)"; exit 1; }

lint() {
    groff -ww -man -z "$1" 2>&1
    if command -v mandoc >/dev/null; then mandoc -T lint "$1" 2>&1; fi
}

printf '.TH BROKEN 8\n.SH NAME\nbroken \\- a page\n.XY unknown macro\n\\fBunclosed\n' >"$T/broken.8"
[ -n "$(lint "$T/broken.8")" ] || { echo "FAIL: the checker reports nothing for a broken page"; failures=1; }

for page in "$@"; do
    out=$(lint "$page")
    if [ -n "$out" ]; then
        echo "FAIL: $page:"
        echo "$out"
        failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ] && echo "all $# pages are clean"
exit "$failures"
