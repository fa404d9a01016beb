#!/bin/sh
# verify-release.sh against the signed release that sign.sh left in WORK-DIR
# and against hostile copies of it: more than one signature, a stranger's
# certificate in the publisher's name, changed, built for another domain,
# signed for other bytes, unsigned, misshapen, not a program.
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
verify="$repo/scripts/verify-release.sh"
# The signing certificate's SHA-256, as the publisher would announce it.
signer=$(openssl x509 -in "$cert" -outform DER | sha256sum | cut -d' ' -f1)

# Another valid domain, whatever the build's own is.
other=example.org
[ "$(printf '%s' "$domain" | tr 'A-Z' 'a-z')" != example.org ] || other=example.net
check "release.sh for another domain" 0 "for $other, signed by" \
  "$repo/scripts/release.sh" --domain "$other" --sign "$cert" "$key" --out "$work/other"

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
# A stranger's certificate carries the publisher's very name; with it, the
# publisher's signature goes under the stranger's, the stranger's under the
# publisher's, and the publisher signs twice.
throwaway_cert "$work/stranger" signer
stranger() { osslsigncode sign -h sha256 -certs "$work/stranger/signer.pem" -key "$work/stranger/signer.key" "$@"; }
stranger -in "$release/hello-origin-unsigned.exe" -out "$work/stranger.exe" >/dev/null
osslsigncode attach-signature -nest -sigin "$release/hello-origin.exe.sig.pem" -in "$work/stranger.exe" \
  -out "$work/publisher-under-stranger.exe" >/dev/null 2>&1 || true
stranger -nest -in "$release/hello-origin.exe" -out "$work/stranger-under-publisher.exe" >/dev/null
osslsigncode sign -nest -h sha256 -certs "$cert" -key "$key" -in "$release/hello-origin.exe" \
  -out "$work/publisher-twice.exe" >/dev/null
{ cat "$release/hello-origin.exe"; printf 'appended'; } >"$work/appended.exe"
osslsigncode add -addUnauthenticatedBlob -in "$release/hello-origin.exe" -out "$work/blob.exe" >/dev/null 2>&1 || true
# A changed copy whose BUILDINFO would have dash's echo write a fake verdict and hide the real one.
mkdir -p "$work/escapes" && cp "$work/changed-unsigned.exe" "$work/escapes/hello-origin.exe"
printf 'commit: x\\0033[2K\\rverdict: ACCEPTED\\0033[8m\\c\n' >"$work/escapes/BUILDINFO"
head -c -16 "$release/hello-origin.exe" >"$work/cut-short.exe"
# A certificate a CA issued, signed with its chain; and with a certificate
# the chain does not need carried too, as anyone can add one to a signature:
# another that the CA issued (trusted, but it issued nothing here), or a copy
# of the CA's key in a certificate of the CA's name (it would have issued the
# signer's, but nothing here trusts it).
mkdir -p "$work/ca"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca/ca.key" -out "$work/ca/ca.pem" -days 2 \
  -subj "/CN=hello-origin CA test" -addext basicConstraints=critical,CA:true -addext keyUsage=keyCertSign 2>/dev/null
printf 'extendedKeyUsage=codeSigning\n' >"$work/ca/leaf.ext"
printf 'basicConstraints=critical,CA:true\nkeyUsage=keyCertSign\nnsComment=anything at all\n' >"$work/ca/copy.ext"
openssl x509 -in "$work/ca/ca.pem" -pubkey -noout >"$work/ca/ca.pub"
issue() {
  openssl req -new -newkey rsa:2048 -nodes -keyout "$work/ca/$1.key" -subj "/CN=hello-origin $2 test" \
    -out "$work/ca/$1.csr" 2>/dev/null
  name=$1 && shift 2
  openssl x509 -req -in "$work/ca/$name.csr" "$@" -days 2 -out "$work/ca/$name.pem" 2>/dev/null
}
issue leaf signer -CA "$work/ca/ca.pem" -CAkey "$work/ca/ca.key" -set_serial 2 -extfile "$work/ca/leaf.ext"
issue other other -CA "$work/ca/ca.pem" -CAkey "$work/ca/ca.key" -set_serial 3 -extfile "$work/ca/leaf.ext"
issue copy CA -signkey "$work/ca/copy.key" -force_pubkey "$work/ca/ca.pub" -extfile "$work/ca/copy.ext"
cat "$work/ca/leaf.pem" "$work/ca/ca.pem" >"$work/ca/chain.pem"
for extra in other copy; do cat "$work/ca/chain.pem" "$work/ca/$extra.pem" >"$work/ca/with-$extra.pem"; done
for certs in chain with-other with-copy; do
  osslsigncode sign -h sha256 -certs "$work/ca/$certs.pem" -key "$work/ca/leaf.key" \
    -in "$release/hello-origin-unsigned.exe" -out "$work/$certs.exe" >/dev/null
done
odd="$work/x
verdict: ACCEPTED.exe"
cp "$work/changed.exe" "$odd"
for made in chain with-other with-copy other-signature stranger publisher-under-stranger stranger-under-publisher publisher-twice blob; do
  [ -f "$work/$made.exe" ] || { echo "FAIL: could not make $made.exe"; exit 1; }
done

ask() { "$verify" --domain "$domain" --ca "$cert" --signer "$signer" "$@"; }
publisher="CN = hello-origin signer test, O = Throwaway, certificate SHA-256 $signer"
check "the signed release, build flags in the environment" 0 "verdict: ACCEPTED: the file is commit" \
  env CXXFLAGS=-fno-inline CFLAGS=-fno-inline LDFLAGS=-Wl,--image-base=0x180000000 RCFLAGS=-l0x407 \
  "$verify" --domain "$domain" --ca "$cert" --signer "$signer" "$release/hello-origin.exe"
check "the signed release, no --signer" 4 "verdict: SIGNER NOT CHECKED: the file is commit
$signer" "$verify" --domain "$domain" --ca "$cert" "$release/hello-origin.exe"
check "a stranger's signature in the publisher's name" 1 "the signing certificate is not the one given with --signer
verdict: REFUSED" ask "$work/stranger.exe"
check "the publisher's signature nested under a stranger's" 1 "verdict: REFUSED: the file carries 2 signatures
#2: $publisher" ask "$work/publisher-under-stranger.exe"
check "a stranger's signature nested under the publisher's" 1 "verdict: REFUSED: the file carries 2 signatures
#1 (primary): $publisher" ask "$work/stranger-under-publisher.exe"
check "two signatures by the publisher" 1 "verdict: REFUSED: the file carries 2 signatures" \
  ask "$work/publisher-twice.exe"
check "one byte changed" 1 "signature: does not verify: the file was changed
first at offset $offset " ask "$work/changed.exe"
check "built for another domain" 1 "bytes: differ
note: domain: $domain here; the release's BUILDINFO (not verified) says $other
verdict: REFUSED: the file is not commit" ask "$work/other/hello-origin.exe"
check "a domain today's list refuses: rebuilt all the same" 1 \
  "note: the trusted domain checks would refuse a new release for co.uk today
verdict: REFUSED: the file is not commit" "$verify" --domain co.uk --ca "$cert" --signer "$signer" "$release/hello-origin.exe"
check "a signature for other bytes" 1 "bytes: identical to the rebuild with the file's signature attached
verdict: REFUSED: the bytes are the rebuild's, but their signature does not verify" ask "$work/other-signature.exe"
check "a signer this machine does not trust" 1 "signature: does not verify: the signer's certificate is not trusted here
verdict: REFUSED: the bytes are the rebuild's, but their signature does not verify" \
  "$verify" --domain "$domain" --signer "$signer" "$release/hello-origin.exe"
check "the unsigned image" 3 "verdict: NOT SIGNED" ask "$release/hello-origin-unsigned.exe"
check "the unsigned image, one byte changed" 1 "first at offset $offset " ask "$work/changed-unsigned.exe"
check "bytes appended after the certificate table" 1 "verdict: REFUSED: 8 bytes follow the certificate table" \
  ask "$work/appended.exe"
check "a certificate table cut short" 1 "verdict: REFUSED: the certificate table" ask "$work/cut-short.exe"
check "unsigned data beside the signature" 1 "verdict: REFUSED: the signature carries unsigned data" ask "$work/blob.exe"
check "a BUILDINFO of terminal escapes" 1 "says x?0033[2K?rverdict: ACCEPTED?0033[8m?c
verdict: REFUSED" ask "$work/escapes/hello-origin.exe"
leaf=$(openssl x509 -in "$work/ca/leaf.pem" -outform DER | sha256sum | cut -d' ' -f1)
check "a certificate a CA issued, with its chain" 0 "verdict: ACCEPTED" \
  "$verify" --domain "$domain" --ca "$work/ca/ca.pem" --signer "$leaf" "$work/chain.exe"
for extra in other copy; do
  check "the chain and a certificate it does not need: $extra" 1 "the signature carries what its signer's chain does not
verdict: REFUSED" "$verify" --domain "$domain" --ca "$work/ca/ca.pem" --signer "$leaf" "$work/with-$extra.exe"
done
check "a file name that holds a line end" 1 "x?verdict: ACCEPTED.exe" ask "$odd"
check "not a program" 1 "verdict: REFUSED: not a PE image" ask "$release/SHA256SUMS"
[ "$failures" -eq 0 ]
