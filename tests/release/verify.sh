#!/bin/sh
# verify-release.sh from end to end, each case with a real rebuild, on the
# signed release that sign.sh left in WORK-DIR: what it prints, its verdict
# lines and exit codes, and what it says when the bytes differ. The verdict on
# each kind of hostile file is tested in memory by test_verdict.py.
# Usage: verify.sh WORK-DIR DOMAIN
set -eu
work=$1
domain=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=common.sh
. "$here/common.sh"
repo="$work/repo"
cert="$work/keys/signer.pem"
key="$work/keys/signer.key"
release="$work/signed"
verify=$(tooled "$repo/scripts/verify-release.sh")
# The signing certificate's SHA-256, as the publisher would announce it.
signer=$(openssl x509 -in "$cert" -outform DER | sha256sum | cut -d' ' -f1)

# Another valid domain, whatever the build's own is.
other=example.org
[ "$(printf '%s' "$domain" | tr 'A-Z' 'a-z')" != example.org ] || other=example.net
check "release.sh for another domain" 0 "for $other, signed by" \
  "$(tooled "$repo/scripts/release.sh")" --domain "$other" --sign "$cert" "$key" --out "$work/other"
# A changed unsigned copy whose BUILDINFO would have a terminal write a fake
# verdict and hide the real one; and a file name that holds a line end.
mkdir -p "$work/escapes"
head -c 4096 "$release/hello-origin-unsigned.exe" >"$work/escapes/hello-origin.exe"
printf 'x' >>"$work/escapes/hello-origin.exe"
tail -c +4098 "$release/hello-origin-unsigned.exe" >>"$work/escapes/hello-origin.exe"
printf 'commit: x\\0033[2K\\rverdict: ACCEPTED\\0033[8m\\c\n' >"$work/escapes/BUILDINFO"
odd="$work/x
verdict: ACCEPTED.exe"
cp "$release/hello-origin.exe" "$odd"

ask() { "$verify" --domain "$domain" --ca "$cert" --signer "$signer" "$@"; }
check "the signed release, build flags in the environment" 0 "signer: CN=hello-origin signer test, O=Throwaway, \
certificate SHA-256 $signer
signature: verifies
bytes: identical to the rebuild with the file's signature attached
verdict: ACCEPTED: the file is commit" \
  env CXXFLAGS=-fno-inline CFLAGS=-fno-inline LDFLAGS=-Wl,--image-base=0x180000000 RCFLAGS=-l0x407 \
  "$verify" --domain "$domain" --ca "$cert" --signer "$signer" "$release/hello-origin.exe"
check "the signed release, no --signer" 4 "verdict: SIGNER NOT CHECKED: the file is commit
$signer" "$verify" --domain "$domain" --ca "$cert" "$release/hello-origin.exe"
check "the unsigned image" 3 "verdict: NOT SIGNED" ask "$release/hello-origin-unsigned.exe"
check "built for another domain" 1 "bytes: differ
note: domain: $domain here; the release's BUILDINFO (not verified) says $other
verdict: REFUSED: the file is not commit" ask "$work/other/hello-origin.exe"
check "a domain today's list refuses: rebuilt all the same" 1 \
  "note: the trusted domain checks would refuse a new release for co.uk today
verdict: REFUSED: the file is not commit" "$verify" --domain co.uk --ca "$cert" --signer "$signer" "$release/hello-origin.exe"
check "a BUILDINFO of terminal escapes" 1 "first at offset 4096 
says x?0033[2K?rverdict: ACCEPTED?0033[8m?c
verdict: REFUSED" ask "$work/escapes/hello-origin.exe"
check "a file name that holds a line end" 0 "x?verdict: ACCEPTED.exe" ask "$odd"
[ "$failures" -eq 0 ]
