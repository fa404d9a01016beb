#!/bin/sh
# Builds the release of hello-origin.exe from the committed sources, in a
# clean build folder, reproducibly, and optionally signs it with Authenticode.
#
# Usage: scripts/release.sh [--domain DOMAIN] [--out DIR]
#                           [--sign CERT KEY | --pkcs12 FILE] [--timestamp URL] [--url URL]
#   --domain DOMAIN  the trusted domain (default: the one build/mingw is
#                    configured with; the project's default, example.com,
#                    only when named here)
#   --out DIR        where the release goes (default: dist)
#   --sign CERT KEY  sign with this certificate and private key (PEM files)
#   --pkcs12 FILE    sign with the certificate and key in this PKCS#12 file
#   --timestamp URL  have the signature time-stamped by this RFC 3161 server
#   --url URL        the URL the signature names (default: https://DOMAIN/)
# The password of the key or of the PKCS#12 file, if it has one, is read from
# the environment variable HELLO_ORIGIN_SIGNING_PASSWORD, never from the
# command line, where other users of the machine could see it.
#
# Writes hello-origin.exe, BUILDINFO (the commit, version, domain and the
# tools that made it) and SHA256SUMS; when signing, also the detached
# signature hello-origin.exe.sig.pem and the unsigned image
# hello-origin-unsigned.exe, from which anyone can rebuild the signed file.
# The build sees nothing of the caller's environment but PATH and HOME.
set -eu
me=release.sh
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source-path=SCRIPTDIR source=release-common.sh
. "$root/scripts/release-common.sh"

usage() {
  sed -n '/^# Usage:/,/^[^#]/s/^# \{0,1\}//p' "$0" | sed '/^#/d'
}
domain=""
out="$root/dist"
cert=""
key=""
pkcs12=""
timestamp=""
url=""
while [ $# -gt 0 ]; do
  case "$1" in
    --domain) [ $# -ge 2 ] || { usage >&2; exit 2; }; domain=$2; shift 2 ;;
    --out) [ $# -ge 2 ] || { usage >&2; exit 2; }; out=$2; shift 2 ;;
    --sign) [ $# -ge 3 ] || { usage >&2; exit 2; }; cert=$2; key=$3; shift 3 ;;
    --pkcs12) [ $# -ge 2 ] || { usage >&2; exit 2; }; pkcs12=$2; shift 2 ;;
    --timestamp) [ $# -ge 2 ] || { usage >&2; exit 2; }; timestamp=$2; shift 2 ;;
    --url) [ $# -ge 2 ] || { usage >&2; exit 2; }; url=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "$me: unknown argument: $1" >&2; usage >&2; exit 2 ;;
  esac
done
[ -z "$cert" ] || [ -z "$pkcs12" ] || die "give either --sign CERT KEY or --pkcs12 FILE, not both"
signing=""
[ -z "$cert$pkcs12" ] || signing=yes
[ -n "$signing" ] || [ -z "$timestamp$url" ] || die "--timestamp and --url only apply when signing"
# The domain as the developer configured it, as the other scripts take it;
# the built-in default greets copies from a domain that is not the
# publisher's, so only a --domain that names it releases for it.
named=$domain
if [ -z "$domain" ] && [ -f "$root/build/mingw/CMakeCache.txt" ]; then
  domain=$(sed -n "s/^TRUSTED_DOMAIN:STRING=//p" "$root/build/mingw/CMakeCache.txt")
fi
default=$(sed -n 's/^set(TRUSTED_DOMAIN "\([^"]*\)".*/\1/p' "$root/CMakeLists.txt")
if [ -z "$named" ] && { [ -z "$domain" ] || [ "$(printf '%s' "$domain" | tr 'A-Z' 'a-z')" = "$default" ]; }; then
  die "no --domain given, and the release would be for the built-in default $default:" \
    "give your download domain with --domain (or --domain $default to release for it all the same)"
fi
is_dns_name "$domain" || die "'$domain' is not a DNS name"

"$root/scripts/install-deps.sh" release

# Everything that can be wrong is checked before the build starts.
checkout_git "$root" rev-parse --verify -q HEAD >/dev/null || die "$root is not a git checkout with a commit"
changes=$(checkout_git "$root" status --porcelain)
if [ -n "$changes" ]; then
  printf '%s\n' "$changes" >&2
  die "the work tree has changes that are not committed (above): a release is built from committed sources only"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# dash runs no EXIT trap when a signal kills it: the folder may hold the password.
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
# openssl reads the password from the environment by name; an unset variable
# would be an error, an empty one is no password.
HELLO_ORIGIN_SIGNING_PASSWORD=${HELLO_ORIGIN_SIGNING_PASSWORD-}
export HELLO_ORIGIN_SIGNING_PASSWORD
if [ -n "$signing" ]; then
  if [ -n "$pkcs12" ]; then
    [ -r "$pkcs12" ] || die "cannot read the PKCS#12 file $pkcs12"
    # Older Windows exports encrypt with RC2-40, which OpenSSL 3 reads only
    # with its legacy provider.
    legacy=""
    if ! openssl pkcs12 -in "$pkcs12" -passin env:HELLO_ORIGIN_SIGNING_PASSWORD -nokeys -clcerts \
      -out "$work/cert.pem" 2>"$work/pkcs12.log"; then
      legacy=-legacy
      if ! openssl pkcs12 -legacy -in "$pkcs12" -passin env:HELLO_ORIGIN_SIGNING_PASSWORD -nokeys -clcerts \
        -out "$work/cert.pem" 2>"$work/pkcs12.log"; then
        # openssl checks the file's MAC, made with the password, first.
        grep -q '^Mac verify error' "$work/pkcs12.log" &&
          die "wrong password: HELLO_ORIGIN_SIGNING_PASSWORD is not the password of $pkcs12"
        die "cannot open $pkcs12 as a PKCS#12 file: $(grep -m 1 -o 'error:.*' "$work/pkcs12.log" || true)"
      fi
    fi
    key_public=$(openssl pkcs12 $legacy -in "$pkcs12" -passin env:HELLO_ORIGIN_SIGNING_PASSWORD -nocerts -nodes \
      2>/dev/null | openssl pkey -pubout 2>/dev/null) || true
    [ -n "$key_public" ] || die "$pkcs12 holds no private key"
    cert_file="$work/cert.pem"
  else
    [ -r "$cert" ] || die "cannot read the certificate $cert"
    [ -r "$key" ] || die "cannot read the private key $key"
    key_public=$(openssl pkey -in "$key" -passin env:HELLO_ORIGIN_SIGNING_PASSWORD -pubout 2>/dev/null) ||
      die "$key is not a private key, or HELLO_ORIGIN_SIGNING_PASSWORD is not its password"
    cert_file=$cert
  fi
  cert_public=$(openssl x509 -in "$cert_file" -noout -pubkey 2>/dev/null) ||
    die "${pkcs12:-$cert} holds no certificate in PEM form"
  subject=$(openssl x509 -in "$cert_file" -noout -subject -nameopt oneline | sed 's/^subject=//')
  [ "$cert_public" = "$key_public" ] || die "the private key does not belong to the certificate of $subject"
  if ! openssl x509 -in "$cert_file" -noout -checkend 0 >/dev/null; then
    die "the certificate of $subject has expired ($(openssl x509 -in "$cert_file" -noout -enddate))"
  fi
  # A certificate limited to other uses (a TLS server's, say) signs programs
  # that Windows will not take as signed.
  usage_ext=$(openssl x509 -in "$cert_file" -noout -ext extendedKeyUsage 2>/dev/null)
  case "$usage_ext" in
    *"Code Signing"* | "") ;;
    *"Extended Key Usage"*) die "the certificate of $subject is not for code signing" ;;
  esac
fi

# Build.
commit=$(checkout_git "$root" rev-parse HEAD)
build="$root/build/release"
export_head "$root" "$build/source"
build_release_image "$build/source" "$build/build" "$domain" || die "the build failed"
image="$build/build/bin/hello-origin.exe"

mkdir -p "$out"
rm -f "$out/hello-origin.exe" "$out/hello-origin-unsigned.exe" "$out/hello-origin.exe.sig.pem" "$out/BUILDINFO" \
  "$out/SHA256SUMS"
buildinfo_of "$commit" "$build/build" "$domain" >"$out/BUILDINFO"
if [ -z "$signing" ]; then
  cp "$image" "$out/hello-origin.exe"
  files="hello-origin.exe BUILDINFO"
else
  cp "$image" "$out/hello-origin-unsigned.exe"
  set -- -h sha256 -n hello-origin -i "${url:-https://$domain/}"
  if [ -n "$pkcs12" ]; then set -- "$@" -pkcs12 "$pkcs12"; else set -- "$@" -certs "$cert" -key "$key"; fi
  if [ -n "$HELLO_ORIGIN_SIGNING_PASSWORD" ]; then
    # osslsigncode 2.5 takes a password on the command line or from a file.
    (umask 077 && printf '%s' "$HELLO_ORIGIN_SIGNING_PASSWORD" >"$work/password")
    set -- "$@" -readpass "$work/password"
  fi
  [ -z "$timestamp" ] || set -- "$@" -ts "$timestamp"
  if ! osslsigncode sign "$@" -in "$out/hello-origin-unsigned.exe" -out "$out/hello-origin.exe" \
    >"$work/sign.log" 2>&1 </dev/null; then
    cat "$work/sign.log" >&2
    die "osslsigncode could not sign"
  fi
  osslsigncode extract-signature -pem -in "$out/hello-origin.exe" -out "$out/hello-origin.exe.sig.pem" >/dev/null
  # The promise to users: the unsigned image and the detached signature give
  # the signed file. attach-signature exits 1 when it cannot verify the chain
  # on this machine, so its output is what counts.
  osslsigncode attach-signature -sigin "$out/hello-origin.exe.sig.pem" -in "$out/hello-origin-unsigned.exe" \
    -out "$work/attached.exe" >/dev/null 2>&1 || true
  if ! [ -f "$work/attached.exe" ] || ! cmp -s "$work/attached.exe" "$out/hello-origin.exe"; then
    die "the detached signature attached to the unsigned image does not give the signed file"
  fi
  files="hello-origin.exe hello-origin.exe.sig.pem hello-origin-unsigned.exe BUILDINFO"
fi
# shellcheck disable=SC2086 # one word per file
(cd "$out" && sha256sum $files >SHA256SUMS)

echo "release of commit $commit for $domain${signing:+, signed by $subject}:"
sed 's/^/  /' "$out/SHA256SUMS"
echo "in $out"
if [ -n "$signing" ]; then
  echo "signing certificate SHA-256, to announce for verify-release.sh --signer:" \
    "$(openssl x509 -in "$cert_file" -outform DER | sha256sum | cut -c1-64)"
fi
