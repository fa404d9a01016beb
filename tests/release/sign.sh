#!/bin/sh
# Signs a release with a throwaway certificate, as a publisher would, and
# checks what the release promises: the signature verifies against that
# certificate and names the program, its URL and SHA-256; the unsigned image
# is byte for byte the program the other tests tested; BUILDINFO names what
# made it; SHA256SUMS holds.
# The other release tests use what it leaves in WORK-DIR.
# Usage: sign.sh SOURCE-DIR WORK-DIR DOMAIN TESTED-PROGRAM.exe BUILD-TYPE
set -eu
source_dir=$1
work=$2
domain=$3
tested=$4
build_type=$5
# shellcheck source-path=SCRIPTDIR source=common.sh
. "$source_dir/tests/release/common.sh"

echo "using $(osslsigncode --version 2>/dev/null | head -n 1)"
rm -rf "$work"
mkdir -p "$work"
snapshot "$source_dir" "$work/repo"
throwaway_cert "$work/keys" signer -addext extendedKeyUsage=codeSigning
release="$work/signed"

check "release.sh builds and signs, and names the certificate to announce" 0 "signed by CN=hello-origin signer test
signing certificate SHA-256, to announce for verify-release.sh --signer: \
$(openssl x509 -in "$work/keys/signer.pem" -outform DER | sha256sum | cut -c1-64)" \
  "$(tooled "$work/repo/scripts/release.sh")" --domain "$domain" --sign "$work/keys/signer.pem" "$work/keys/signer.key" \
  --out "$release"
check "the signature verifies against the certificate; SHA-256, the program and its URL, no time stamp" 0 \
  "Signature verification: ok
Message digest algorithm  : SHA256
Text description: hello-origin
URL description: https://$domain/
Timestamp is not available" \
  osslsigncode verify -CAfile "$work/keys/signer.pem" -in "$release/hello-origin.exe"
# A release is a Release build; a build configured otherwise tests other bytes.
if [ "$build_type" = Release ]; then
  check "the unsigned image is the tested program" 0 "" cmp "$release/hello-origin-unsigned.exe" "$tested"
else
  echo "skipped: the unsigned image is the tested program (the build under test is $build_type, not Release)"
fi
check "osslsigncode attaches the detached signature to the unsigned image: the signed file" 0 "" sh -c \
  'osslsigncode attach-signature -sigin "$1.sig.pem" -in "$2" -out "$3" >/dev/null 2>&1; cmp "$1" "$3"' attach \
  "$release/hello-origin.exe" "$release/hello-origin-unsigned.exe" "$work/attached.exe"
check "SHA256SUMS holds" 0 "" sh -c 'cd "$1" && sha256sum -c --strict SHA256SUMS' sums "$release"
check "SHA256SUMS names the four files" 0 "" sh -c 'cut -c67- "$1/SHA256SUMS" | sort | tr "\n" " " |
  grep -qx "BUILDINFO hello-origin-unsigned.exe hello-origin.exe hello-origin.exe.sig.pem "' sums "$release"
check "BUILDINFO names the commit, the domain and the tools" 0 "commit: $(git -C "$work/repo" rev-parse HEAD)
domain: $domain
tool x86_64-w64-mingw32-g++-posix: x86_64-w64-mingw32-g++-posix (GCC)
tool osslsigncode: osslsigncode
package mingw-w64-x86-64-dev: " cat "$release/BUILDINFO"
[ "$failures" -eq 0 ]
