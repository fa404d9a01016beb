#!/bin/sh
# Two clean builds of the same sources, in folders of different names, must
# give byte-identical programs: no link time, no build path in the image.
# They are built for the trusted domain of the build under test.
# Usage: reproducible.sh SOURCE-DIR WORK-DIR TRUSTED-DOMAIN
set -eu
source_dir=$1
work=$2
domain=$3
rm -rf "$work"
for build in first second-build-elsewhere; do
  cmake -S "$source_dir" -B "$work/$build" -G Ninja --toolchain "$source_dir/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DHELLO_ORIGIN_TESTS=OFF "-DTRUSTED_DOMAIN=$domain" >/dev/null
  cmake --build "$work/$build" --target hello-origin >/dev/null
done
first="$work/first/bin/hello-origin.exe"
second="$work/second-build-elsewhere/bin/hello-origin.exe"
if ! cmp "$first" "$second"; then
  echo "FAIL: two builds of the same sources differ" >&2
  exit 1
fi
echo "reproducible: two builds for $domain give the same $(stat -c %s "$first") bytes, sha256 $(sha256sum "$first" | cut -c1-16)"
rm -rf "$work"
