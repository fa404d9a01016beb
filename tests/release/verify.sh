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

# A local time-stamp authority whose certificate is RSA-2048 for timeStamping
# alone, critically, under a root of its own: release.sh asks it for the time
# stamp, and the release, then the release stamped anew by it, is accepted.
tsa="$work/tsa"
mkdir -p "$tsa"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$tsa/root.key" -out "$tsa/root.pem" -days 2 \
  -subj "/CN=hello-origin TSA root test" -addext basicConstraints=critical,CA:true 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout "$tsa/tsa.key" -out "$tsa/tsa.csr" -subj "/CN=hello-origin TSA test" \
  2>/dev/null
printf 'extendedKeyUsage=critical,timeStamping\n' >"$tsa/usage"
openssl x509 -req -in "$tsa/tsa.csr" -CA "$tsa/root.pem" -CAkey "$tsa/root.key" -days 1 -extfile "$tsa/usage" \
  -out "$tsa/tsa.pem" 2>/dev/null
echo 01 >"$tsa/serial"
printf '[tsa]\ndefault_tsa = t\n[t]\nserial = %s/serial\nsigner_cert = %s/tsa.pem\nsigner_key = %s/tsa.key\n%s\n' \
  "$tsa" "$tsa" "$tsa" "signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256" >"$tsa/tsa.cnf"
/usr/bin/python3 -E -s -B "$here/tsa.py" "$tsa/tsa.cnf" >"$tsa/url" &
authority=$!
trap 'kill "$authority" 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s "$tsa/url" ] && break; sleep 0.1; done
url=$(cat "$tsa/url")
check "release.sh --timestamp, from a local authority over plain HTTP" 0 "is plain HTTP
signed by CN=hello-origin signer test" "$(tooled "$repo/scripts/release.sh")" --domain "$domain" --sign "$cert" "$key" \
  --timestamp "$url" --tsa-ca "$tsa/root.pem" --out "$work/stamped"
check "the time-stamped release" 0 "time stamp: 
verdict: ACCEPTED" ask --tsa-ca "$tsa/root.pem" "$work/stamped/hello-origin.exe"
/usr/bin/python3 -E -s -B - "$repo/release" "$work/stamped" "$url" <<'EOF_PYTHON'
import sys
from dataclasses import replace
sys.path.insert(0, sys.argv[1])
from hello_origin_release import authenticode, pe, release_form, releasing
folder = sys.argv[2]
parts = authenticode.read_parts(release_form.signature_in(open(f"{folder}/hello-origin.exe", "rb").read()), "signature")
bare = authenticode.encode(replace(parts, signers=(replace(parts.signers[0], unsigned_attrs=None),)))
unsigned = pe.read(open(f"{folder}/hello-origin-unsigned.exe", "rb").read())
open(f"{folder}/restamped.exe", "wb").write(pe.attach(unsigned, releasing.time_stamped(bare, sys.argv[3], print)))
EOF_PYTHON
check "the release stamped anew by the same authority" 0 "verdict: ACCEPTED" \
  ask --tsa-ca "$tsa/root.pem" "$work/stamped/restamped.exe"
check "the time-stamped release, its authority not trusted" 1 "verdict: REFUSED: time stamp: certificate chain" \
  ask "$work/stamped/hello-origin.exe"
[ "$failures" -eq 0 ]
