#!/bin/sh
# Measures the release and prints one Markdown table: sizes and the time from
# process start to the box under Wine (median of RUNS, default 21, the
# programs alternating run by run) against two yardsticks built alike: the
# floor (the same manifest, version information and domain, one URL cracked
# with WinINet as the program does it, one box: the design's own cost) and a
# bare MessageBoxW program, every timed run checked to greet and exit with 0;
# the imported DLLs; and the instructions of the check on a full 4095-byte mark
# (callgrind, the native Linux build, whose URL cracker is the project's own).
# Usage: bench/run.sh [RUNS]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
usage() {
  echo "Usage: bench/run.sh [RUNS]"
  echo "Prints the benchmark table: sizes, time to the box under Wine (median of"
  echo "RUNS starts of each program, default 21), imports, instructions of the check."
}
case "${1:-21}" in
  -h | --help) usage; exit 0 ;;
  *[!0-9]* | 0*) echo "run.sh: RUNS must be a whole number above 0, not '$1'" >&2; usage >&2; exit 2 ;;
esac
[ $# -le 1 ] || { usage >&2; exit 2; }
runs=${1:-21}
cd "$root"
./scripts/install-deps.sh
cmake --preset mingw >/dev/null && cmake --build --preset mingw >/dev/null
cmake --preset bench >/dev/null && cmake --build --preset bench >/dev/null

bin="$root/build/mingw/bin"
work="$root/build/mingw/bench"
rm -rf "$work" && mkdir -p "$work"
domain=$(sed -n 's/^TRUSTED_DOMAIN:STRING=//p' build/mingw/CMakeCache.txt)
cp "$bin/hello-origin.exe" "$bin/check_floor.exe" "$bin/bare_message_box.exe" "$work/"
printf '[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.%s/hello-origin.exe\r\n' "$domain" \
  >"$work/hello-origin.exe:Zone.Identifier:\$DATA"

size=$(stat -c %s "$work/hello-origin.exe")
floor=$(stat -c %s "$work/check_floor.exe")
bare=$(stat -c %s "$work/bare_message_box.exe")
imports=$(x86_64-w64-mingw32-objdump -p "$work/hello-origin.exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ' | sed 's/ $//')

windows_path() { printf 'Z:%s' "$1" | tr '/' '\\'; }
# A run that does not greet fails the benchmark; box_tool.exe says what it saw.
times=$("$root/tests/e2e/run-under-xvfb.sh" "$root/build/mingw/wineprefix-bench" "$bin/box_tool.exe" --time-to-box "$runs" \
  "$(windows_path "$work/hello-origin.exe")" "$(windows_path "$work/check_floor.exe")" \
  "$(windows_path "$work/bare_message_box.exe")") || { echo "run.sh: no figures: a run went wrong (above)" >&2; exit 1; }
times=$(printf '%s\n' "$times" | tr -d '\r')
program_ms=$(printf '%s\n' "$times" | sed -n 1p | awk '{print $NF}')
floor_ms=$(printf '%s\n' "$times" | sed -n 2p | awk '{print $NF}')
bare_ms=$(printf '%s\n' "$times" | sed -n 3p | awk '{print $NF}')

valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" --toggle-collect='hello_origin::checkMarkText*' \
  build/bench/bench/check_cost >/dev/null 2>&1
instructions=$(callgrind_annotate "$work/callgrind.out" 2>/dev/null | sed -n 's/^ *\([0-9,]*\) .*PROGRAM TOTALS.*/\1/p' | tr -d ,)

ratio() { awk "BEGIN { printf \"%.${3:-2}f\", $1 / $2 }"; }
echo "| Measure | hello-origin.exe | floor | bare MessageBoxW program | program / floor | program / bare |"
echo "|---|---|---|---|---|---|"
echo "| size, bytes | $size | $floor | $bare | $(ratio "$size" "$floor" 3) | $(ratio "$size" "$bare" 3) |"
echo "| start to box under Wine, median of $runs, ms | $program_ms | $floor_ms | $bare_ms | $(ratio "$program_ms" "$floor_ms") | $(ratio "$program_ms" "$bare_ms") |"
echo "| imported DLLs | $imports | | | | |"
echo "| instructions of the check, 4095-byte mark, native Linux build: the project's own URL cracker, not WinINet | $instructions ($(ratio "$instructions" 4095) a byte) | | | | |"
