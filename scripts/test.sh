#!/bin/sh
# Builds and runs every test, after installing what is missing: static checks,
# the fuzzers for a bounded time, the unit tests under valgrind, then natively
# with sanitizers and cross-built for Windows under Wine (unit and end-to-end).
# FUZZ_SECONDS sets the time of each fuzzer (default 60).
set -eu

usage() {
  cat <<'EOF'
Usage: scripts/test.sh
Installs what the tests need and this machine lacks, then builds and runs
every test: static checks, the fuzzers (FUZZ_SECONDS each, default 60), the
unit tests under valgrind, natively with sanitizers and under Wine, the
end-to-end tests, and a test of these scripts.
EOF
}
case "${1:-}" in
  -h | --help) usage; exit 0 ;;
  "") ;;
  *) echo "test.sh: unknown option: $1" >&2; usage >&2; exit 2 ;;
esac
cd "$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)"
./scripts/install-deps.sh test

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
