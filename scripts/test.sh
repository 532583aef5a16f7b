#!/bin/sh
# Builds the system and runs every test: all tests in a normal build, then all tests again in a
# build with AddressSanitizer and UndefinedBehaviorSanitizer (both builds with the developer
# switch: stricter warnings, each one an error), then every fuzz corpus replayed
# through its target, then the Debian package is built, installed, tried and purged
# (scripts/package.sh).
set -eu
cd "$(dirname "$0")/.."

scripts/deps.sh
scripts/layers.sh -q
scripts/format-check.sh

jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZARVO_DEVELOPER=ON
cmake --build build -j "$jobs"
# Once the objects exist, the layers again: what each object defines and calls.
scripts/layers.sh -q build
ctest --test-dir build --output-on-failure -j "$jobs"

cmake -S . -B build-sanitize -DZARVO_SANITIZE=ON -DZARVO_DEVELOPER=ON -DCMAKE_BUILD_TYPE=Debug
cmake --build build-sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure -j "$jobs"

scripts/fuzz.sh --replay

# The Debian package: built, checked with lintian, installed, tried, purged (needs root).
scripts/package.sh
