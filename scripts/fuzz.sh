#!/bin/sh
# Runs the three fuzzers at once, each for a bounded time (default 60 s), from
# its seed corpus, and fails on any finding. New inputs go to build/fuzz/work; a crashing input is
# left in build/fuzz/findings, to be added to tests/fuzz/corpus as a
# regression input once fixed.
set -eu

usage() {
  cat <<'EOF'
Usage: scripts/fuzz.sh [SECONDS]
Runs the three fuzzers at once, each for SECONDS (default 60) from its seed
corpus, and fails on any finding; a crashing input is left in
build/fuzz/findings.
EOF
}
case "${1:-60}" in
  -h | --help) usage; exit 0 ;;
  *[!0-9]* | 0*) echo "fuzz.sh: not a number of seconds: $1" >&2; usage >&2; exit 2 ;;
esac
[ $# -le 1 ] || { echo "fuzz.sh: one argument at most" >&2; usage >&2; exit 2; }
seconds=${1:-60}
cd "$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null

mkdir -p build/fuzz/findings
# The three at once: each runs for the whole time, and a machine of two
# cores is busy for it rather than for three times it.
pids=""
trap 'kill $pids 2>/dev/null || true' EXIT INT TERM
for fuzzer in scan_fuzzer verdict_fuzzer mark_fuzzer; do
  work="build/fuzz/work/$fuzzer"
  mkdir -p "$work"
  rm -f "build/fuzz/$fuzzer.status"
  # -max_len: room for streams well past the 4095 bytes that are read.
  { status=0
    "build/fuzz/tests/fuzz/$fuzzer" -max_total_time="$seconds" -max_len=12000 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/findings/$fuzzer-" "$work" "tests/fuzz/corpus/$fuzzer" \
      >"build/fuzz/$fuzzer.log" 2>&1 </dev/null || status=$?
    echo "$status" >"build/fuzz/$fuzzer.status"; } &
  pids="$pids $!"
done
wait
failed=""
for fuzzer in scan_fuzzer verdict_fuzzer mark_fuzzer; do
  if [ "$(cat "build/fuzz/$fuzzer.status" 2>/dev/null)" != 0 ]; then
    tail -40 "build/fuzz/$fuzzer.log"
    echo "FAIL: $fuzzer found an input that breaks the check (build/fuzz/findings)" >&2
    failed=yes
    continue
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "build/fuzz/$fuzzer.log")
  echo "$fuzzer: $runs executions in $seconds s, no finding"
done
[ -z "$failed" ]
