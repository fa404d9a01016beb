#!/bin/sh
# The demo: builds hello-origin.exe and runs a copy of it under Wine as if
# downloaded, shows its message box, saves a PNG of it and prints the outcome.
# Works from any folder; installs what the demo lacks first.
set -eu

usage() {
  cat <<'EOF'
Usage: scripts/try-download.sh [--png FILE] [URL | --no-mark | --no-host-url]
Builds hello-origin.exe, marks a copy of it as downloaded, runs it under Wine
and shows its message box on this display (on a private virtual one, closed
by itself, when there is none). Prints what the box shows, the outcome and
the program's exit code, and saves a picture of the box.
  URL            the download URL to mark the copy with
                 (default: https://downloads.TRUSTED_DOMAIN/hello-origin.exe)
  --no-mark      a copy without any Mark-of-the-Web
  --no-host-url  a mark without a HostUrl line
  --png FILE     where to save the picture of the box
                 (default: build/mingw/demo/hello-origin-box.png)
Exit status: 0 when the box was shown and its outcome printed, whatever the
outcome; 1 when the demo could not be run; 2 for a wrong argument.
EOF
}
usage_error() {
  echo "try-download.sh: $1" >&2
  usage >&2
  exit 2
}

png=""
url=""
mark=""
while [ $# -gt 0 ]; do
  case "$1" in
    -h | --help) usage; exit 0 ;;
    --png)
      if [ $# -lt 2 ] || [ -z "$2" ]; then usage_error "--png needs a file name"; fi
      png=$2
      shift 2
      ;;
    --no-mark | --no-host-url | --)
      [ -z "$mark" ] || usage_error "give one of URL, --no-mark and --no-host-url"
      if [ "$1" = -- ]; then
        [ $# -eq 2 ] || usage_error "-- must be followed by the URL alone"
        mark=url url=$2
        shift
      else
        mark=${1#--}
      fi
      shift
      ;;
    -*) usage_error "unknown option: $1" ;;
    *)
      [ -z "$mark" ] || usage_error "give one of URL, --no-mark and --no-host-url"
      mark=url url=$1
      shift
      ;;
  esac
done

fail() {
  echo "try-download.sh: $1" >&2
  exit 1
}

# A relative --png names a file under the folder the user started in.
case "$png" in "" | /*) ;; *) png="$(pwd)/$png" ;; esac
# CDPATH would make cd print the folder into the result.
root=$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)
# Wine is given the copy as Z:\...; these characters have no place in a
# Windows path.
case "$root" in
  *[\\:\*\?\"\<\>\|]*) fail "a Windows path cannot hold any of \\ : * ? \" < > |, and this one does: $root" ;;
esac
cd "$root"

build="$root/build/mingw"
demo="$build/demo"
prefix="$build/wineprefix-demo"

# Waits at most $2 seconds for the background process $1 to end and returns
# its status; past the limit says what it waited for ($3) and returns 124.
wait_for() {
  ticks=$(($2 * 10))
  while kill -0 "$1" 2>/dev/null; do
    if [ $ticks -le 0 ]; then
      echo "try-download.sh: gave up after $2 s waiting for $3" >&2
      return 124
    fi
    sleep 0.1
    ticks=$((ticks - 1))
  done
  wait "$1"
}

# Whatever this run started is stopped on every way out, Ctrl-C included, so
# that the next run starts clean.
xvfb=""
reader=""
wine_started=no
cleanup() {
  # Wine's launcher first, lest it start the server after the server was
  # stopped; then the server, and with it every process of the prefix.
  if [ -n "$reader" ]; then
    kill "$reader" 2>/dev/null || true
    wait_for "$reader" 5 "Wine's launcher to stop" >/dev/null 2>&1 || true
  fi
  if [ $wine_started = yes ]; then
    WINEPREFIX="$prefix" timeout 30 wineserver -k >/dev/null 2>&1 || true
  fi
  if [ -n "$xvfb" ]; then
    kill "$xvfb" 2>/dev/null || true
    wait_for "$xvfb" 10 "Xvfb to stop" >/dev/null || kill -KILL "$xvfb" 2>/dev/null || true
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

./scripts/install-deps.sh demo

mkdir -p build
log="$root/build/try-download-build.log"
echo "Building hello-origin.exe (log: $log)"
if ! { cmake --preset mingw && cmake --build --preset mingw --target hello-origin box_tool; } >"$log" 2>&1; then
  tail -n 30 "$log" >&2
  fail "the build failed; the whole log is $log"
fi

[ -n "$png" ] || png="$demo/hello-origin-box.png"
mkdir -p "$(dirname -- "$png")"
domain=$(sed -n 's/^TRUSTED_DOMAIN:STRING=//p' "$build/CMakeCache.txt")
[ -n "$mark" ] || mark=url url="https://downloads.$domain/hello-origin.exe"

rm -rf "$demo"
mkdir -p "$demo"
cp "$build/bin/hello-origin.exe" "$demo/hello-origin.exe"
stream="$demo/hello-origin.exe:Zone.Identifier:\$DATA"
case "$mark" in
  url) printf '[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=%s\r\n' "$url" >"$stream" ;;
  no-host-url) printf '[ZoneTransfer]\r\nZoneId=3\r\n' >"$stream" ;;
  no-mark) ;;
esac

# Wine's drive Z: is the root of this file system.
windows_path() { printf 'Z:%s' "$1" | tr '/' '\\'; }

# Runs the copy through the box reader on the display in DISPLAY, takes the
# picture of its box once it is up, and lets the box close: by itself, or by
# the user when $1 is "user". Returns the program's exit code.
show_box() {
  closer=$1
  signal="$demo/close-box"
  set -- --show "$(windows_path "$demo/hello-origin.exe")"
  [ "$closer" = user ] || set -- "$@" "$(windows_path "$signal")"
  wine_started=yes
  # Wine's desktop process must come up with this display: start afresh.
  WINEPREFIX="$prefix" timeout 30 wineserver -k >/dev/null 2>&1 || true
  "$root/cmake/wine-prefix.sh" "$prefix"
  "$root/cmake/run-under-wine.sh" "$prefix" "$build/bin/box_tool.exe" "$@" >"$demo/box.txt" 2>"$demo/box-errors.txt" &
  reader=$!

  window=""
  ticks=300
  while kill -0 "$reader" 2>/dev/null; do
    window=$(xwininfo -root -tree 2>/dev/null |
      awk '/"hello-origin.exe"/ && $0 !~ / 1x1\+/ && $0 !~ /Default IME/ {print $1; exit}')
    [ -n "$window" ] && grep -q '^text:' "$demo/box.txt" && break
    if [ $ticks -le 0 ]; then
      echo "try-download.sh: gave up after 30 s waiting for the program's box to appear" >&2
      return 124
    fi
    sleep 0.1
    ticks=$((ticks - 1))
  done
  if [ -n "$window" ]; then
    sleep 0.5 # let the box finish painting
    timeout 20 import -window "$window" "$png" || echo "try-download.sh: could not take the picture" >&2
  fi
  code=0
  if [ "$closer" = user ]; then
    wait_for "$reader" 600 "you to close the box" || code=$?
  else
    touch "$signal"
    wait_for "$reader" 30 "the program to exit after its box was closed" || code=$?
  fi
  # Gone and waited for: its number may be another process's from now on.
  [ $code -eq 124 ] || reader=""
  return $code
}

status=0
if [ -n "${DISPLAY:-}" ] && timeout 10 xdpyinfo >/dev/null 2>&1; then
  echo "Showing the box on $DISPLAY: close it to go on (this waits up to 10 minutes)."
  show_box user || status=$?
else
  # A private virtual display, for this run only; -displayfd: Xvfb takes a
  # free display number and writes it once it is ready.
  display_file="$demo/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>"$demo/xvfb.log" &
  xvfb=$!
  ticks=100
  until [ -s "$display_file" ]; do
    kill -0 "$xvfb" 2>/dev/null || fail "Xvfb stopped at start: $(tail -n 3 "$demo/xvfb.log")"
    [ $ticks -gt 0 ] || fail "gave up after 10 s waiting for Xvfb to report its display"
    sleep 0.1
    ticks=$((ticks - 1))
  done
  DISPLAY=":$(cat "$display_file")"
  export DISPLAY
  show_box auto || status=$?
fi
[ -s "$demo/box.txt" ] && tr -d '\r' <"$demo/box.txt"

case $status in
  0) name=OUTCOME_TRUSTED ;;
  1) name=OUTCOME_NO_MARK ;;
  2) name=OUTCOME_NO_HOST_URL ;;
  3) name=OUTCOME_BAD_URL ;;
  4) name=OUTCOME_UNTRUSTED ;;
  124) fail "the demo did not finish in time" ;;
  *)
    cat "$demo/box-errors.txt" >&2
    fail "the program could not be run (the box reader exited with $status)"
    ;;
esac
echo "outcome: $name, exit code $status"
if [ -f "$png" ]; then echo "picture of the box: $png"; else echo "try-download.sh: no picture of the box was taken" >&2; fi
