#!/bin/sh
# Checks that the lines changed since a base commit follow .clang-format; existing lines are
# never reformatted, so the check does not make anyone rewrite code they did not touch.
#
# The base: ZARVO_FORMAT_BASE when set; otherwise, on a branch other than main, the commit
# where the branch left main (the lines the branch itself changes); otherwise the previous
# commit (the lines of the latest commit, as on main after a merge).
#
# Usage: scripts/format-check.sh        Exit status 1 when a changed line needs formatting.
set -eu
cd "$(dirname "$0")/.."

if ! command -v git-clang-format >/dev/null 2>&1 || ! git rev-parse --git-dir >/dev/null 2>&1; then
    echo "format-check: needs git and git-clang-format (package clang-format)" >&2
    exit 1
fi

base="${ZARVO_FORMAT_BASE:-}"
if [ -z "$base" ]; then
    branch=$(git rev-parse --abbrev-ref HEAD)
    if [ "$branch" != "main" ] && git rev-parse -q --verify main >/dev/null; then
        base=$(git merge-base HEAD main)
    elif git rev-parse -q --verify HEAD^ >/dev/null; then
        base=HEAD^
    else
        echo "format-check: no earlier commit to compare with, nothing checked"
        exit 0
    fi
fi

# The C and C++ files changed since the base.
files=""
for f in $(git diff --name-only --diff-filter=ACMR "$base" -- '*.c' '*.cpp' '*.h'); do
    [ -f "$f" ] && files="$files $f"
done
if [ -z "$files" ]; then
    echo "format-check: no changed C or C++ lines since $base"
    exit 0
fi

# shellcheck disable=SC2086  # the file names are split on purpose
out=$(git clang-format --quiet --diff "$base" -- $files)
if [ -n "$out" ]; then
    printf '%s\n' "$out"
    echo "format-check: the lines above, changed since $base, do not follow .clang-format;"
    echo "format-check: 'git clang-format $base' formats them"
    exit 1
fi
echo "format-check: changed lines since $base follow .clang-format"
