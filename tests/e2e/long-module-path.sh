#!/bin/sh
# A program whose path is longer than the module path buffer must not read
# the mark of the file its cut path names. The copy here has a trusted mark
# of its own, and so have the files its path cut to 259 or 260 characters
# names (Windows ends a cut path with a NUL, Wine does not end it at all):
# all must be ignored, the outcome being "no mark" (exit code 1).
# Usage: long-module-path.sh PREFIX hello-origin.exe
set -eu
prefix=$1
program=$2
mark='HostUrl=https://example.com/\r\n'

base=$(dirname "$prefix")/long-module-path
rm -rf "$base"
# As Windows sees it: "Z:" and the path with backslashes; make it 270 long.
fixed=$(printf 'Z:%s/%s/hello-origin.exe' "$base" "" | wc -c)
pad=$((270 - fixed))
folder="$base/$(printf '%*s' "$pad" '' | tr ' ' 'd')"
mkdir -p "$folder"
cp "$program" "$folder/hello-origin.exe"
printf "$mark" >"$folder/hello-origin.exe:Zone.Identifier:\$DATA"
windows_path="Z:$(printf '%s' "$folder/hello-origin.exe" | tr '/' '\\')"
[ ${#windows_path} -eq 270 ] || { echo "path is ${#windows_path} long, not 270" >&2; exit 1; }
for length in 259 260; do
  cut_name=$(printf '%s' "$windows_path" | cut -c1-$length | sed 's/.*\\//')
  printf "$mark" >"$folder/$cut_name:Zone.Identifier:\$DATA"
done

# No display: the message box returns at once, and the exit code tells.
status=0
env -u DISPLAY "$(dirname "$0")/../../cmake/run-under-wine.sh" "$prefix" "$folder/hello-origin.exe" || status=$?
rm -rf "$base"
if [ $status -ne 1 ]; then
  echo "FAIL: a 270-character module path gave exit code $status, expected 1 (no mark)" >&2
  exit 1
fi
echo "ok: a 270-character module path gives exit code 1 (no mark)"
