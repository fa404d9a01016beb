#!/bin/sh
# Measures the release and prints one Markdown table: sizes against a bare
# MessageBoxW program built alike, the imported DLLs, the time from process
# start to the box under Wine (median of RUNS, default 21, as a ratio against
# the bare program in the same run) and the instructions of the check on a
# full 4095-byte mark (callgrind, native build).
# Usage: bench/run.sh [RUNS]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-21}
cd "$root"
./scripts/install-deps.sh
cmake --preset mingw >/dev/null && cmake --build --preset mingw >/dev/null
cmake --preset bench >/dev/null && cmake --build --preset bench >/dev/null

bin="$root/build/mingw/bin"
work="$root/build/mingw/bench"
rm -rf "$work" && mkdir -p "$work"
domain=$(sed -n 's/^TRUSTED_DOMAIN:STRING=//p' build/mingw/CMakeCache.txt)
cp "$bin/hello-origin.exe" "$bin/bare_message_box.exe" "$work/"
printf '[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://downloads.%s/hello-origin.exe\r\n' "$domain" \
  >"$work/hello-origin.exe:Zone.Identifier:\$DATA"

size=$(stat -c %s "$work/hello-origin.exe")
bare=$(stat -c %s "$work/bare_message_box.exe")
imports=$(x86_64-w64-mingw32-objdump -p "$work/hello-origin.exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr '\n' ' ' | sed 's/ $//')

windows_path() { printf 'Z:%s' "$1" | tr '/' '\\'; }
times=$("$root/tests/e2e/run-under-xvfb.sh" "$root/build/mingw/wineprefix-bench" "$bin/e2e_test.exe" --time-to-box "$runs" \
  "$(windows_path "$work/hello-origin.exe")" "$(windows_path "$work/bare_message_box.exe")" | tr -d '\r')
program_ms=$(printf '%s\n' "$times" | sed -n 1p | awk '{print $NF}')
bare_ms=$(printf '%s\n' "$times" | sed -n 2p | awk '{print $NF}')

valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.out" --toggle-collect='checkMarkText*' \
  build/bench/bench/check_cost >/dev/null 2>&1
instructions=$(callgrind_annotate "$work/callgrind.out" 2>/dev/null | sed -n 's/^ *\([0-9,]*\) .*PROGRAM TOTALS.*/\1/p' | tr -d ,)

echo "| Measure | hello-origin.exe | bare MessageBoxW program | ratio |"
echo "|---|---|---|---|"
echo "| size, bytes | $size | $bare | $(awk "BEGIN { printf \"%.3f\", $size / $bare }") |"
echo "| imported DLLs | $imports | | |"
echo "| start to box under Wine, median of $runs, ms | $program_ms | $bare_ms | $(awk "BEGIN { printf \"%.2f\", $program_ms / $bare_ms }") |"
echo "| instructions of the check, 4095-byte mark | $instructions ($(awk "BEGIN { printf \"%.2f\", $instructions / 4095 }") a byte) | | |"
