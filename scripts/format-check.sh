#!/bin/sh
# Checks that every C and C++ file of the tree follows .clang-format.
#
# Usage: scripts/format-check.sh        Exit status 1 when a file needs formatting; the files
#                                       are listed with the command that formats them.
set -eu
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null 2>&1 || ! git rev-parse --git-dir >/dev/null 2>&1; then
    echo "format-check: needs git and clang-format (package clang-format)" >&2
    exit 1
fi

unformatted=""
for f in $(git ls-files '*.c' '*.cpp' '*.h'); do
    [ -f "$f" ] || continue
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || unformatted="$unformatted $f"
done
if [ -n "$unformatted" ]; then
    echo "format-check: these files do not follow .clang-format:"
    for f in $unformatted; do echo "  $f"; done
    echo "format-check: 'clang-format -i FILE' formats them"
    exit 1
fi
echo "format-check: every C and C++ file follows .clang-format"
