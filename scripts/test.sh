#!/bin/sh
# Builds and runs every test, after installing what is missing: static checks,
# the fuzzers for a bounded time, the unit tests under valgrind, then natively
# with sanitizers and cross-built for Windows under Wine (unit and end-to-end).
# FUZZ_SECONDS sets the time of each fuzzer (default 60).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

cmake --preset valgrind >/dev/null
cmake --build --preset valgrind
cmake --preset mingw >/dev/null
./scripts/check-code.sh

cmake --workflow --preset fuzz
./scripts/fuzz.sh "${FUZZ_SECONDS:-60}"

valgrind --quiet --error-exitcode=1 --leak-check=full build/valgrind/tests/origin_check_tests --gtest_brief=1
echo "valgrind: no error"

cmake --workflow --preset linux
cmake --workflow --preset mingw
