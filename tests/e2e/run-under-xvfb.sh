#!/bin/sh
# Runs a Windows program under Wine on a private virtual display that this
# script starts and stops, in the given throwaway prefix.
# Usage: run-under-xvfb.sh PREFIX PROGRAM [ARGS...]
set -eu
prefix=$1
shift
here=$(cd "$(dirname "$0")" && pwd)
if ! command -v Xvfb >/dev/null 2>&1; then
  echo "Xvfb is not installed: the end-to-end tests need a display (apt-get install xvfb)" >&2
  exit 1
fi

display_file=$(mktemp)
# -displayfd: Xvfb takes a free display number and writes it once it is ready.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb_pid=$!
program=""
stop() {
  # The program's launcher first, lest it start the server after the server
  # was stopped; then the server, and with it every process of the prefix.
  [ -z "$program" ] || kill "$program" 2>/dev/null || true
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
  rm -f "$display_file"
}
trap stop EXIT
# Without these the shell would die of the signal and skip the EXIT trap.
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
for _ in $(seq 1 100); do
  [ -s "$display_file" ] && break
  sleep 0.1
done
[ -s "$display_file" ] || { echo "gave up after 10 s waiting for Xvfb to report its display" >&2; exit 1; }
DISPLAY=":$(cat "$display_file")"
export DISPLAY

# Wine's desktop process must come up with this display: start afresh.
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
"$here/../../cmake/wine-prefix.sh" "$prefix"
# In the background: the shell acts on Ctrl-C while it waits there, not
# while a foreground program runs, and a Wine program may ignore Ctrl-C.
"$here/../../cmake/run-under-wine.sh" "$prefix" "$@" &
program=$!
status=0
wait "$program" || status=$?
program=""
exit $status
