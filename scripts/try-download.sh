#!/bin/sh
# Builds hello-origin.exe and runs it under Wine as a downloaded copy: marks
# it with a Zone.Identifier whose HostUrl is the URL given, shows its message
# box (on this display if there is one, else on a virtual one), saves a PNG of
# the box and prints the outcome. Installs what is missing first.
#
# Usage: scripts/try-download.sh [--png FILE] [URL | --no-mark | --no-host-url]
#   URL            the download URL to mark the copy with
#                  (default: https://downloads.TRUSTED_DOMAIN/hello-origin.exe)
#   --no-mark      a copy without any Mark-of-the-Web
#   --no-host-url  a mark without a HostUrl line
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
png=""
url=""
mark="url"
while [ $# -gt 0 ]; do
  case "$1" in
    --png) png=$2; shift 2 ;;
    --no-mark) mark="none"; shift ;;
    --no-host-url) mark="no-host-url"; shift ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) url=$1; shift ;;
  esac
done

"$root/scripts/install-deps.sh"
cmake --preset mingw -S "$root" >/dev/null
cmake --build --preset mingw >/dev/null

build="$root/build/mingw"
demo="$build/demo"
[ -n "$png" ] || png="$demo/hello-origin-box.png"
case "$png" in /*) ;; *) png="$(pwd)/$png" ;; esac
domain=$(sed -n 's/^TRUSTED_DOMAIN:STRING=//p' "$build/CMakeCache.txt")
[ -n "$url" ] || url="https://downloads.$domain/hello-origin.exe"

rm -rf "$demo"
mkdir -p "$demo"
cp "$build/bin/hello-origin.exe" "$demo/hello-origin.exe"
stream="$demo/hello-origin.exe:Zone.Identifier:\$DATA"
case "$mark" in
  url) printf '[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=%s\r\n' "$url" >"$stream" ;;
  no-host-url) printf '[ZoneTransfer]\r\nZoneId=3\r\n' >"$stream" ;;
  none) ;;
esac

# Wine's drive Z: is the root of this file system.
windows_path() { printf 'Z:%s' "$1" | tr '/' '\\'; }

# Runs on the display in DISPLAY: starts the program through the reader,
# takes the picture of its box from the X server once it is up, and lets the
# box close (by itself, or by the user when $1 is "user").
show_box() {
  closer=$1
  signal="$demo/close-box"
  [ "$closer" = user ] && signal_arg="" || signal_arg=$(windows_path "$signal")
  "$root/cmake/wine-prefix.sh" "$prefix"
  "$root/cmake/run-under-wine.sh" "$prefix" "$build/bin/e2e_test.exe" --show \
    "$(windows_path "$demo/hello-origin.exe")" $signal_arg >"$demo/box.txt" &
  reader=$!
  window=""
  for _ in $(seq 1 300); do
    window=$(xwininfo -root -tree 2>/dev/null | awk '/"hello-origin.exe"/ && $0 !~ / 1x1\+/ && $0 !~ /Default IME/ {print $1; exit}')
    [ -n "$window" ] && grep -q '^text:' "$demo/box.txt" && break
    sleep 0.1
  done
  if [ -n "$window" ]; then
    sleep 0.5  # let the box finish painting
    import -window "$window" "$png"
  fi
  touch "$signal"
  wait "$reader" || return $?
}

prefix="$build/wineprefix-demo"
status=0
if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  echo "Showing the box on $DISPLAY: close it to go on."
  show_box user || status=$?
else
  # A private virtual display, for this run only.
  display_file="$demo/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
  xvfb=$!
  for _ in $(seq 1 100); do [ -s "$display_file" ] && break; sleep 0.1; done
  export DISPLAY=":$(cat "$display_file")"
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  show_box auto || status=$?
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  kill "$xvfb"
fi
cat "$demo/box.txt"
[ $status -le 4 ] || { echo "the program could not be run (status $status)" >&2; exit 1; }

case $status in
  0) name=OUTCOME_TRUSTED ;;
  1) name=OUTCOME_NO_MARK ;;
  2) name=OUTCOME_NO_HOST_URL ;;
  3) name=OUTCOME_BAD_URL ;;
  4) name=OUTCOME_UNTRUSTED ;;
esac
echo "outcome: $name, exit code $status"
if [ -f "$png" ]; then echo "picture of the box: $png"; else echo "no picture of the box was taken" >&2; fi
