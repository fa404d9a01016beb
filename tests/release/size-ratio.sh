#!/bin/sh
# The release program may be at most 1.25 times the size of its floor: a
# program built alike that carries the same manifest, version information and
# trusted domain and cracks one URL as the program does, but reads no mark and
# judges nothing. Both grow alike with the domain, so the budget holds for
# every domain the build accepts, and measures the check's own code.
# Usage: size-ratio.sh hello-origin.exe check_floor.exe
set -eu
program=$(stat -c %s "$1")
floor=$(stat -c %s "$2")
# Integer arithmetic: program / floor <= 5 / 4.
if [ $((program * 4)) -gt $((floor * 5)) ]; then
  echo "FAIL: $program bytes is more than 1.25 times the floor's $floor bytes" >&2
  exit 1
fi
echo "size ok: $program bytes, floor $floor bytes, ratio $(awk "BEGIN { printf \"%.3f\", $program / $floor }")"
