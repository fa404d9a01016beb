#!/bin/sh
# verify-release.sh against the signed release that sign.sh left in WORK-DIR
# and against copies of it that must be refused: changed, built for another
# domain, signed for other bytes, unsigned, not a program.
# Usage: verify.sh WORK-DIR DOMAIN
set -eu
work=$1
domain=$2
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
repo="$work/repo"
cert="$work/keys/signer.pem"
release="$work/signed"
verify="$repo/scripts/verify-release.sh"

# Another valid domain, whatever the build's own is.
other=example.org
[ "$(printf '%s' "$domain" | tr 'A-Z' 'a-z')" != example.org ] || other=example.net
check "release.sh for another domain" 0 "for $other, signed by" \
  "$repo/scripts/release.sh" --domain "$other" --sign "$cert" "$work/keys/signer.key" --out "$work/other"

# One byte in the middle of the program changed, in the signed and the
# unsigned file.
flip() {
  cp "$1" "$2"
  byte=$(od -An -tu1 -j "$3" -N 1 "$2" | tr -d ' ')
  printf "\\$(printf '%03o' $(((byte + 1) % 256)))" | dd of="$2" bs=1 seek="$3" conv=notrunc 2>/dev/null
}
offset=$(($(stat -c %s "$release/hello-origin-unsigned.exe") / 2))
flip "$release/hello-origin.exe" "$work/changed.exe" "$offset"
flip "$release/hello-origin-unsigned.exe" "$work/changed-unsigned.exe" "$offset"
# The other domain's signature on this domain's image: the bytes are the
# rebuild's plus a signature, but the signature is for other bytes.
# attach-signature writes the file and exits 1 when it does not verify.
osslsigncode attach-signature -sigin "$work/other/hello-origin.exe.sig.pem" -in "$release/hello-origin-unsigned.exe" \
  -out "$work/other-signature.exe" >/dev/null 2>&1 || true
[ -f "$work/other-signature.exe" ] || { echo "FAIL: could not make the copy with another signature"; exit 1; }

check "the signed release" 0 "verdict: ACCEPTED: the file is commit" \
  "$verify" --ca "$cert" "$release/hello-origin.exe"
# The signing certificate's SHA-256, as the publisher would announce it.
signer=$(openssl x509 -in "$cert" -outform DER | sha256sum | cut -d' ' -f1)
check "the signed release, asked for its domain and signer" 0 "verdict: ACCEPTED" \
  "$verify" --domain "$domain" --ca "$cert" --signer "$signer" "$release/hello-origin.exe"
check "the signed release, asked for another signer" 1 "the signing certificate is not the one given with --signer
verdict: REFUSED" "$verify" --ca "$cert" --signer "$(printf '%064d' 0)" "$release/hello-origin.exe"
check "one byte changed" 1 "signature: does not verify: the file was changed
first at offset $offset " "$verify" --ca "$cert" "$work/changed.exe"
check "built for another domain" 1 "verdict: REFUSED: the file is built for $other, not for $domain" \
  "$verify" --domain "$domain" --ca "$cert" "$work/other/hello-origin.exe"
check "another domain's release, its domain read from it" 0 "build for $other, signed by" \
  "$verify" --ca "$cert" "$work/other/hello-origin.exe"
check "a signature for other bytes" 1 "bytes: identical to the rebuild with the file's signature attached
verdict: REFUSED: the bytes are the rebuild's, but their signature does not verify" \
  "$verify" --ca "$cert" "$work/other-signature.exe"
check "a signer this machine does not trust" 1 "signature: does not verify: the signer's certificate is not trusted here
verdict: REFUSED: the bytes are the rebuild's, but their signature does not verify" \
  "$verify" "$release/hello-origin.exe"
check "the unsigned image" 3 "verdict: NOT SIGNED" \
  "$verify" "$release/hello-origin-unsigned.exe"
check "the unsigned image, one byte changed" 1 "first at offset $offset " \
  "$verify" "$work/changed-unsigned.exe"
check "not a program" 1 "verdict: REFUSED: not a PE image" \
  "$verify" "$release/SHA256SUMS"
[ "$failures" -eq 0 ]
