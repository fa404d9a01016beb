#!/bin/sh
# Checks that a published hello-origin.exe is this checkout's build: rebuilds
# the program from the committed sources for the domain the file was built
# for, attaches the file's own signature to the rebuild and compares the
# result with the file byte for byte. Run it in a checkout of the release's tag.
#
# Usage: scripts/verify-release.sh [--domain DOMAIN] [--ca FILE] [--signer SHA256] PUBLISHED.exe
#   --domain DOMAIN  the trusted domain the file must be built for (default:
#                    the one its version information names)
#   --ca FILE        the certificates (PEM) to trust for the signature
#                    (default: the system's)
#   --signer SHA256  the SHA-256 of the signing certificate (DER) that the
#                    publisher announces: anyone can rebuild the program and
#                    sign it with a certificate of their own, so without it a
#                    signature only says that someone the trust store knows
#                    signed these bytes
# Exit status: 0 accepted; 1 refused; 2 wrong usage; 3 the file is this
# checkout's build but carries no signature.
set -eu
me=verify-release.sh
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/release-common.sh"

usage() {
  sed -n '/^# Usage:/,/^[^#]/s/^# \{0,1\}//p' "$0" | sed '/^#/d'
}
asked=""
ca=""
signer_hash=""
published=""
while [ $# -gt 0 ]; do
  case "$1" in
    --domain) [ $# -ge 2 ] || { usage >&2; exit 2; }; asked=$2; shift 2 ;;
    --ca) [ $# -ge 2 ] || { usage >&2; exit 2; }; ca=$2; shift 2 ;;
    --signer) [ $# -ge 2 ] || { usage >&2; exit 2; }; signer_hash=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    -*) echo "$me: unknown option: $1" >&2; usage >&2; exit 2 ;;
    *) [ -z "$published" ] || { usage >&2; exit 2; }; published=$1; shift ;;
  esac
done
[ -n "$published" ] || { usage >&2; exit 2; }
[ -f "$published" ] || die "no such file: $published"
[ -z "$ca" ] || [ -r "$ca" ] || die "cannot read the certificates $ca"
[ -z "$asked" ] || is_dns_name "$asked" || die "'$asked' is not a DNS name"
# As certificate viewers print it: with or without colons, in either case.
signer_hash=$(printf '%s' "$signer_hash" | tr -d ':' | tr 'A-F' 'a-f')
case "$signer_hash" in
  *[!0-9a-f]*) die "--signer takes the 64 hexadecimal digits of a SHA-256" ;;
esac
[ -z "$signer_hash" ] || [ ${#signer_hash} -eq 64 ] || die "--signer takes the 64 hexadecimal digits of a SHA-256"

"$root/scripts/install-deps.sh" release
git -C "$root" rev-parse --verify -q HEAD >/dev/null || die "$root is not a git checkout with a commit"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# dash runs no EXIT trap when a signal kills it.
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
refuse() {
  echo "verdict: REFUSED: $*"
  exit 1
}
lowercase() { printf '%s' "$1" | tr 'A-Z' 'a-z'; }

echo "published: $published, $(stat -c %s "$published") bytes, sha256 $(sha256sum <"$published" | cut -d' ' -f1)"
read_pe_headers "$published" >"$work/pe" || refuse "$(cat "$work/pe")"

# The domain decides the bytes: the rebuild must be for the same one.
named=$(domain_of "$published")
if [ -n "$asked" ]; then
  if [ -z "$named" ]; then
    domain=$asked
    echo "domain: $domain (given with --domain; the file's version information names none)"
  elif [ "$(lowercase "$named")" != "$(lowercase "$asked")" ]; then
    refuse "the file is built for $named, not for $asked"
  else
    domain=$named
    echo "domain: $domain (given with --domain, and named by the file's version information)"
  fi
else
  [ -n "$named" ] || refuse "the file's version information names no trusted domain: give it with --domain"
  is_dns_name "$named" || refuse "the file names '$named' as its domain, which is not a DNS name"
  domain=$named
  echo "domain: $domain (read from the file's version information)"
fi

commit=$(git -C "$root" rev-parse HEAD)
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
  echo "note: the checkout has changes that are not committed; the rebuild leaves them out" >&2
fi
build="$root/build/verify"
export_head "$root" "$build/source"
build_release_image "$build/source" "$build/build" "$domain" || die "the rebuild failed"
rebuild="$build/build/bin/hello-origin.exe"
echo "rebuild: commit $commit ($(git -C "$root" describe --tags --always)) for $domain, $(stat -c %s "$rebuild") bytes"

# Texts from the file (the signer's name) may hold anything: only printable
# characters reach the terminal.
printable() { LC_ALL=C tr -c '[:print:]\n' '?'; }

verifies=""
if [ "$cert_size" -eq 0 ]; then
  echo "signer: none: the file is not signed"
  echo "signature: none"
  expected=$rebuild
  against="the rebuild"
else
  version=$(osslsigncode --version 2>/dev/null | sed -n '1s/^osslsigncode \([0-9]*\.[0-9]*\).*/\1/p')
  case "$version" in
    1.* | 2.[0-9] | 2.1[01])
      echo "note: osslsigncode $version reads the file's signature; upstream fixed memory corruption in reading" \
        "untrusted signatures in 2.12, so check files from unknown sources on a machine you can spare" >&2
      ;;
  esac
  osslsigncode extract-signature -pem -in "$published" -out "$work/signature.pem" >"$work/extract.log" 2>&1 ||
    refuse "the file's signature cannot be read: $(tail -n 3 "$work/extract.log" | tr '\n' ' ' | printable)"
  osslsigncode verify ${ca:+-CAfile "$ca"} ${signer_hash:+-require-leaf-hash "sha256:$signer_hash"} \
    -in "$published" >"$work/verify.log" 2>&1 && verifies=yes
  if [ -n "$verifies" ]; then
    signature_line="signature: verifies"
  else
    reason=""
    grep -q '^Calculated message digest.*MISMATCH' "$work/verify.log" &&
      reason="the file was changed after it was signed (message digest mismatch)"
    grep -q '^Leaf hash match: failed' "$work/verify.log" &&
      reason="${reason:+$reason; }the signing certificate is not the one given with --signer"
    chain=$(sed -n 's/.*Verify error: *//p; s/^[ \t]*Error: *//p' "$work/verify.log" | head -n 1 | printable)
    [ -z "$chain" ] || reason="${reason:+$reason; }the signer's certificate is not trusted here: $chain"
    signature_line="signature: does not verify: ${reason:-osslsigncode verify failed}"
  fi
  # attach-signature exits 1 when it cannot verify; whether it wrote the
  # file is what counts here.
  osslsigncode attach-signature -sigin "$work/signature.pem" ${ca:+-CAfile "$ca"} -in "$rebuild" \
    -out "$work/attached.exe" >/dev/null 2>&1 || true
  expected="$work/attached.exe"
  against="the rebuild with the file's signature attached"
  # osslsigncode names the signer only when the digest matches: for a changed
  # file, the same signature on the rebuild names it.
  [ ! -f "$expected" ] || grep -q "^Signer.s certificate:" "$work/verify.log" ||
    osslsigncode verify ${ca:+-CAfile "$ca"} -in "$expected" >"$work/verify.log" 2>&1 || true
  signer=$(awk '/^Signer.s certificate:/ { seen = 1 } seen && /Subject:/ { sub(/^[ \t]*Subject: */, ""); print; exit }' \
    "$work/verify.log" | printable)
  echo "signer: ${signer:-(not found in the signature)}"
  echo "$signature_line"
  [ -f "$expected" ] || {
    echo "bytes: the file's signature cannot be attached to the rebuild"
    refuse "the file is not commit $commit's build for $domain"
  }
fi

if cmp -s "$published" "$expected"; then
  echo "bytes: identical to $against"
else
  first=$(cmp -l "$published" "$expected" 2>/dev/null | head -n 1 | awk '{ print $1 - 1 }')
  shorter=$(stat -c %s "$published" "$expected" | sort -n | head -n 1)
  first=${first:-$shorter}
  echo "bytes: differ from $against," \
    "first at offset $first ($(printf '0x%x' "$first"))"
  theirs=$(version_string "$published" FileVersion)
  ours=$(version_string "$rebuild" FileVersion)
  [ "$theirs" = "$ours" ] ||
    echo "note: the file is version $theirs, this checkout builds $ours: check out the release's tag"
  refuse "the file is not commit $commit's build for $domain"
fi

if [ "$cert_size" -eq 0 ]; then
  echo "verdict: NOT SIGNED: the file is commit $commit's build for $domain, but nobody signed it"
  exit 3
fi
[ -n "$verifies" ] || refuse "the bytes are the rebuild's, but their signature does not verify"
echo "verdict: ACCEPTED: the file is commit $commit's build for $domain, signed by $signer"
