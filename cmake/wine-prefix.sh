#!/bin/sh
# Makes the throwaway Wine prefix the Windows tests run in (under the build
# folder, never the user's own), once. Usage: wine-prefix.sh PREFIX
set -eu
case "${1:-}" in
  -h | --help) echo "Usage: wine-prefix.sh PREFIX"; exit 0 ;;
  "" | -*) echo "Usage: wine-prefix.sh PREFIX" >&2; exit 2 ;;
esac
prefix=$1
if ! command -v wine >/dev/null 2>&1; then
  echo "wine is not installed: the Windows tests cannot run (apt-get install wine64)" >&2
  exit 1
fi
export WINEPREFIX="$prefix" WINEDEBUG=-all
# No Mono or Gecko: their installers would ask for a download.
export WINEDLLOVERRIDES="mscoree,mshtml="

# Written last: a prefix whose making was cut short (Ctrl-C, a time-out) has
# none and is made again rather than used half-made.
ready="$prefix/.made-by-wine-prefix.sh"
[ -f "$ready" ] && exit 0

# Made again only what this script was making, or what lies in the
# project's own build folder: never a prefix of the user's by mistake.
project=$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)
case "$(mkdir -p "$prefix" && CDPATH='' cd -- "$prefix" && pwd)/" in
  "$project"/build/*) ;;
  *)
    if [ -n "$(ls -A "$prefix")" ] && [ ! -f "$prefix/.being-made-by-wine-prefix.sh" ]; then
      echo "wine-prefix.sh: $prefix is not empty and was not made here: not touching it" >&2
      exit 1
    fi
    ;;
esac
# In the background, so that Ctrl-C is acted on at once (wineboot ignores
# it) and the limit can be kept.
# Wine's launcher first, lest it start the server after the server was
# stopped; then the server, and with it every process of the prefix.
boot=""
stop() {
  if [ -n "$boot" ]; then
    kill "$boot" 2>/dev/null || true
    waits=50
    while kill -0 "$boot" 2>/dev/null && [ $waits -gt 0 ]; do sleep 0.1; waits=$((waits - 1)); done
  fi
  wineserver -k >/dev/null 2>&1 || true
}
trap 'stop; exit 130' INT
trap 'stop; exit 143' TERM
trap 'stop; exit 129' HUP
# One limit for all of it, and a second try within it: once in CI, on a
# fresh machine, wineboot failed within half a second for no reason that
# was kept; the same step passed in every other run.
limit=180
ticks=$((limit * 10))
attempt=1
while :; do
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
  mkdir -p "$prefix"
  touch "$prefix/.being-made-by-wine-prefix.sh"
  log="$prefix/.wineboot.log"
  WINEDEBUG=err+all wine wineboot --init >"$log" 2>&1 &
  boot=$!
  while kill -0 "$boot" 2>/dev/null; do
    if [ $ticks -le 0 ]; then
      stop
      echo "wine-prefix.sh: gave up after $limit s waiting for wineboot to make the prefix $prefix" >&2
      exit 1
    fi
    sleep 0.1
    ticks=$((ticks - 1))
  done
  status=0
  wait "$boot" || status=$?
  boot=""
  [ $status -ne 0 ] || break
  echo "wine-prefix.sh: wineboot could not make the prefix $prefix (exit $status, try $attempt of 2); it said:" >&2
  tail -n 20 "$log" | LC_ALL=C tr -c '[:print:]\n' '?' >&2
  [ $attempt -lt 2 ] || { stop; exit 1; }
  attempt=2
done
# Unmanaged windows close at once; managed ones cost about 2 s each under Xvfb.
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
# Windows looks for a DLL that is not a KnownDLL in the program's folder
# first; so does Wine for the unit tests' WinINet stand-in beside them.
wine reg add 'HKCU\Software\Wine\AppDefaults\origin_check_tests.exe\DllOverrides' /v wininet /d native,builtin /f \
  >/dev/null 2>&1
# The server writes the registry to disk when it stops.
wineserver -k >/dev/null 2>&1 || true
grep -q '"Managed"="N"' "$prefix/user.reg" && grep -q 'origin_check_tests.exe' "$prefix/user.reg" || {
  echo "wine-prefix.sh: the prefix $prefix was made without its settings" >&2
  exit 1
}
touch "$ready"
