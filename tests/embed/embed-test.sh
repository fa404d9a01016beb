#!/bin/sh
# Programs of a project not written with hello-origin in view (tests/embed
# around examples/embed) take the check from the package installed into a
# folder of its own (find_package), and from the tree as it is, committed to a
# repository of its own and fetched (FetchContent). Under Wine, with each kind
# of mark, they must answer with the outcome and host. A public suffix as a
# domain stops the configure step; the fetched project installs nothing.
# Usage: embed-test.sh SOURCE-DIR BUILD-DIR WINE-PREFIX BOX-TOOL
set -eu
source_dir=$1 build=$2 prefix=$3 box_tool=$4
work="$build/embed-test"
rm -rf "$work" && mkdir -p "$work"
# snapshot: the tree, with .git or without, committed to a repository of its own.
. "$source_dir/tests/release/common.sh"

fail() {
  echo "FAIL: $1" >&2
  exit 1
}
step() { # LOG COMMAND...: the output is shown when the command fails
  log="$work/$1"
  shift
  "$@" >"$log" 2>&1 || { cat "$log" >&2; fail "$*"; }
}
configure() { # BUILD-FOLDER [ARGS...]
  step "$(basename "$1").log" cmake -S "$source_dir/tests/embed" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    --toolchain "$source_dir/cmake/mingw-w64-x86_64.cmake" "$@"
}

step install.log cmake --install "$build" --prefix "$work/package"
configure "$work/found" "-Dhello_origin_DIR=$work/package/lib/cmake/hello_origin"
step found-build.log cmake --build "$work/found"
# The same configure step, the second program's domain alone changed.
if (configure "$work/found" -DSECOND_DOMAIN=co.uk) 2>/dev/null; then
  fail "a public suffix as a program's trusted domain was taken"
fi
grep -q "'co.uk' is a public suffix" "$work/found.log" || fail "the configure step stopped, but not for co.uk"
snapshot "$source_dir" "$work/repository"
configure "$work/fetched" "-DHELLO_ORIGIN_GIT_REPOSITORY=file://$work/repository"
step fetched-build.log cmake --build "$work/fetched"
step fetched-install.log cmake --install "$work/fetched" --prefix "$work/fetched-install"
[ ! -e "$work/fetched-install" ] || fail "the fetched project installed $(find "$work/fetched-install" -type f)"

# name | program | mark (a printf format; - for none) | the line box_tool --read prints
get='Get Example App from https://downloads.example.com/.\nDownloaded from:'
cases="trusted|example-app|HostUrl=https://dl.downloads.example.com/a.exe\r\n|0|Example App|information|Welcome to Example App.\nDownloaded from: dl.downloads.example.com
untrusted|example-app|[ZoneTransfer]\r\nHostUrl=https://downloads.example.org/a.exe\r\n|4|Example App|warning|This copy comes from another site. $get downloads.example.org
no-host-url|example-app|[ZoneTransfer]\r\nZoneId=3\r\n|2|Example App|warning|Windows did not record where this copy came from. $get unknown
bad-url|example-app|HostUrl=about:internet\r\n|3|Example App|warning|The address this copy came from cannot be read. $get unknown
no-mark|example-app|-|1|Example App|warning|This copy was not downloaded. $get unknown
second-domain|second-app|HostUrl=https://dl.second.example/a.exe\r\n|0|Example App|information|Welcome to Example App.\nDownloaded from: dl.second.example
not-the-first-domain|example-app|HostUrl=https://dl.second.example/a.exe\r\n|4|Example App|warning|This copy comes from another site. $get dl.second.example"
set --
: >"$work/expected"
for way in found fetched; do
  while IFS='|' read -r name program mark expected; do
    copy="$work/runs/$way/$name/$program.exe"
    mkdir -p "$(dirname "$copy")"
    cp "$work/$way/bin/$program.exe" "$copy"
    # shellcheck disable=SC2059 # the mark is a format, for its \r\n
    [ "$mark" = - ] || printf "$mark" >"$copy:Zone.Identifier:\$DATA"
    set -- "$@" "Z:$(printf '%s' "$copy" | tr '/' '\\')"
    printf '%s\n' "$expected" >>"$work/expected"
  done <<EOF_CASES
$cases
EOF_CASES
done
status=0
"$source_dir/tests/e2e/run-under-xvfb.sh" "$prefix" "$box_tool" --read "$@" >"$work/answers" || status=$?
tr -d '\r' <"$work/answers" >"$work/read"
[ $status -eq 0 ] && diff "$work/expected" "$work/read" || fail "the programs' answers are not the expected ones"
echo "ok: $(wc -l <"$work/read") runs of programs built against the installed and the fetched package"
