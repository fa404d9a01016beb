#!/bin/sh
# Two clean builds of the same sources, in folders of different names, must
# give byte-identical programs: no link time, no build path in the image.
# They are built the way the release tooling builds, for the trusted domain
# of the build under test.
# Usage: reproducible.sh SOURCE-DIR WORK-DIR TRUSTED-DOMAIN
set -eu
source_dir=$1
work=$2
domain=$3
rm -rf "$work"
for build in first second-build-elsewhere; do
  /usr/bin/python3 -E -s -B "$source_dir/release/main.py" build-image "$source_dir" "$work/$build" "$domain" >/dev/null
done
first="$work/first/bin/hello-origin.exe"
second="$work/second-build-elsewhere/bin/hello-origin.exe"
if ! cmp "$first" "$second"; then
  echo "FAIL: two builds of the same sources differ" >&2
  exit 1
fi
echo "reproducible: two builds for $domain give the same $(stat -c %s "$first") bytes, sha256 $(sha256sum "$first" | cut -c1-16)"
rm -rf "$work"
