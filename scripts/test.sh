#!/bin/sh
# Builds and runs every test, after installing what is missing: static checks,
# the fuzzers for a bounded time, the unit tests under valgrind, then natively
# with sanitizers and cross-built for Windows under Wine (unit and end-to-end).
# FUZZ_SECONDS sets the time of each fuzzer (default 60).
set -eu

usage() {
  cat <<'EOF'
Usage: scripts/test.sh [--domain DOMAIN]
Installs what the tests need and this machine lacks, then builds and runs
every test: static checks, the fuzzers (FUZZ_SECONDS each, default 60), the
unit tests under valgrind, natively with sanitizers and under Wine, the
end-to-end tests, and a test of these scripts.
  --domain DOMAIN  instead, build the native and Windows builds for this
                   trusted domain (in build/domain/) and run their tests: the
                   suite must hold for every domain the build accepts
EOF
}
domain=""
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --domain) [ $# -ge 2 ] || { usage >&2; exit 2; }; domain=$2; shift 2 ;;
    *) echo "test.sh: unknown option: $1" >&2; usage >&2; exit 2 ;;
  esac
done
cd "$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)"
./scripts/install-deps.sh test

if [ -n "$domain" ]; then
  for preset in linux mingw; do
    cmake --preset "$preset" -B "build/domain/$preset" "-DTRUSTED_DOMAIN=$domain" >/dev/null
    cmake --build "build/domain/$preset"
    ctest --test-dir "build/domain/$preset" --output-on-failure
  done
  echo "the suite passes for the trusted domain $domain"
  exit 0
fi

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
./tests/scripts/scripts-test.sh
