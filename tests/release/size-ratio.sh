#!/bin/sh
# The release program may be at most 1.25 times the size of a bare
# "MessageBoxW and return" program built with the same toolchain and flags.
# Usage: size-ratio.sh hello-origin.exe bare_message_box.exe
set -eu
program=$(stat -c %s "$1")
bare=$(stat -c %s "$2")
# Integer arithmetic: program / bare <= 5 / 4.
if [ $((program * 4)) -gt $((bare * 5)) ]; then
  echo "FAIL: $program bytes is more than 1.25 times the bare program's $bare bytes" >&2
  exit 1
fi
echo "size ok: $program bytes, bare program $bare bytes, ratio $(awk "BEGIN { printf \"%.3f\", $program / $bare }")"
