#!/bin/sh
# Checks that a published hello-origin.exe is this checkout's build for a
# domain, signed once, by the publisher: rebuilds the program from the
# committed sources in a clean environment, attaches the file's own signature
# to the rebuild and compares the result with the file byte for byte. Run it
# in a checkout of the release's tag.
#
# Usage: scripts/verify-release.sh --domain DOMAIN [--signer SHA256] [--ca FILE] [--buildinfo FILE] PUBLISHED.exe
#   --domain DOMAIN   the trusted domain of the release (required): the
#                     rebuild is for it, whatever the file says
#   --signer SHA256   the SHA-256 of the signing certificate (DER) that the
#                     publisher announces. Anyone can rebuild the program and
#                     sign it with a certificate of their own, in any name:
#                     without it no file is accepted
#   --ca FILE         the certificates (PEM) to trust for the signature
#                     (default: the system's)
#   --buildinfo FILE  the release's BUILDINFO, which names the tools that made
#                     it, for hints when the bytes differ (default: BUILDINFO
#                     beside PUBLISHED.exe)
# Exit status: 0 accepted; 1 refused; 2 wrong usage; 3 the file is this
# checkout's build but carries no signature; 4 it is this checkout's build
# with one signature that verifies, but no --signer was given to check.
set -eu
me=verify-release.sh
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source-path=SCRIPTDIR source=release-common.sh
. "$root/scripts/release-common.sh"

usage() {
  sed -n '/^# Usage:/,/^[^#]/s/^# \{0,1\}//p' "$0" | sed '/^#/d'
}
domain=""
ca=""
signer_hash=""
buildinfo=""
published=""
while [ $# -gt 0 ]; do
  case "$1" in
    --domain) [ $# -ge 2 ] || { usage >&2; exit 2; }; domain=$2; shift 2 ;;
    --ca) [ $# -ge 2 ] || { usage >&2; exit 2; }; ca=$2; shift 2 ;;
    --signer) [ $# -ge 2 ] || { usage >&2; exit 2; }; signer_hash=$2; shift 2 ;;
    --buildinfo) [ $# -ge 2 ] || { usage >&2; exit 2; }; buildinfo=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    -*) printf '%s: unknown option: %s\n' "$me" "$1" >&2; usage >&2; exit 2 ;;
    *) [ -z "$published" ] || { usage >&2; exit 2; }; published=$1; shift ;;
  esac
done
[ -n "$published" ] || { usage >&2; exit 2; }
# Texts from the file, its name or its BUILDINFO may hold anything: only
# printable characters reach the terminal, and no backslash; a name, not even
# a line end, lest it print a verdict of its own.
printable() { LC_ALL=C tr -c '[:print:]\n' '?' | tr '\\' '?'; }
one_line() { printf '%s' "$1" | printable | tr '\n' '?'; }
[ -n "$domain" ] || { echo "$me: --domain is required: the rebuild is for the domain the publisher names" >&2; usage >&2; exit 2; }
[ -f "$published" ] || die "no such file: $(one_line "$published")"
[ -z "$ca" ] || [ -r "$ca" ] || die "cannot read the certificates $(one_line "$ca")"
is_dns_name "$domain" || die "'$(one_line "$domain")' is not a DNS name"
# As certificate viewers print it: with or without colons, in either case.
signer_hash=$(printf '%s' "$signer_hash" | tr -d ':' | tr 'A-F' 'a-f')
case "$signer_hash" in
  *[!0-9a-f]*) die "--signer takes the 64 hexadecimal digits of a SHA-256" ;;
esac
[ -z "$signer_hash" ] || [ ${#signer_hash} -eq 64 ] || die "--signer takes the 64 hexadecimal digits of a SHA-256"
buildinfo=${buildinfo:-$(dirname "$published")/BUILDINFO}

"$root/scripts/install-deps.sh" release
checkout_git "$root" rev-parse --verify -q HEAD >/dev/null || die "$root is not a git checkout with a commit"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# dash runs no EXIT trap when a signal kills it.
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
# Every line that carries outside text goes out as it is: dash's echo would
# act on the backslashes in it.
say() { printf '%s\n' "$*"; }
refuse() {
  say "verdict: REFUSED: $*"
  exit 1
}

# The certificates the PKCS#7 signature in the DER file $1 carries, at most
# $3 of them, as PEM files PREFIX1, PREFIX2, ... where $2 is PREFIX.
split_certificates() {
  openssl pkcs7 -inform DER -in "$1" -print_certs 2>/dev/null | awk -v prefix="$2" -v most="$3" '
    /^-----BEGIN CERTIFICATE-----$/ { n++; keep = n <= most }
    keep { print > (prefix n) }
    /^-----END CERTIFICATE-----$/ { if (keep) close(prefix n); keep = 0 }'
}
# A certificate's SHA-256 (of its DER form), and its subject as text fit to print.
certificate_hash() { openssl x509 -in "$1" -outform DER | sha256sum | cut -c1-64; }
certificate_name() {
  openssl x509 -in "$1" -noout -subject -nameopt oneline | sed 's/^subject=//' | printable | cut -c1-200
}

# The signers of the PKCS#7 signature in the DER file $1, one line each,
# "SHA-256-OF-ITS-CERTIFICATE SUBJECT", or "unknown" when the signature does
# not carry exactly one certificate of the signer's serial number.
signer_of() {
  openssl asn1parse -inform DER -in "$1" >"$1.parsed" 2>/dev/null || { echo unknown; return 0; }
  # The signerInfos are SignedData's last field, its last SET at depth 3;
  # each one's serial number is its first INTEGER at depth 6.
  awk '{ match($0, /d=[0-9]+/); depth = substr($0, RSTART + 2, RLENGTH - 2) + 0 }
    depth == 3 { infos = ($0 ~ /cons: *SET/); n = 0; next }
    infos && depth == 4 { serial[++n] = "-" }
    infos && depth == 6 && serial[n] == "-" && /prim: *INTEGER/ { sub(/.*:/, ""); serial[n] = $0 }
    END { for (i = 1; i <= n && i <= 16; i++) print serial[i] }' "$1.parsed" >"$1.serials"
  split_certificates "$1" "$1.certificate." 64
  while read -r serial; do
    found=""
    for certificate in "$1".certificate.*; do
      [ -f "$certificate" ] && [ "$(openssl x509 -in "$certificate" -noout -serial 2>/dev/null)" = "serial=$serial" ] ||
        continue
      [ -z "$found" ] || { found=ambiguous; break; }
      found=$certificate
    done
    if [ -z "$found" ] || [ "$found" = ambiguous ]; then
      echo unknown
    else
      say "$(certificate_hash "$found") $(certificate_name "$found")"
    fi
  done <"$1.serials"
  rm -f "$1".certificate.*
}

# The types of the unsigned attributes of the signature in the DER file $1,
# which signer_of parsed: each signerInfo's [1] field, at depth 5, holds them,
# each type an OBJECT at depth 7.
unsigned_attributes_of() {
  awk '{ match($0, /d=[0-9]+/); depth = substr($0, RSTART + 2, RLENGTH - 2) + 0 }
    depth == 3 { infos = ($0 ~ /cons: *SET/); next }
    infos && depth == 5 { unsigned = ($0 ~ /cont \[ *1 *\]/); next }
    infos && unsigned && depth == 7 && /prim: *OBJECT/ { sub(/.*OBJECT *:/, ""); print }' "$1.parsed"
}

# What the signature in the DER file $1, which signer_of parsed, carries
# beyond its signer's certificate (SHA-256 $2) and the chain that issued it,
# one line each. SignedData's certificates and CRLs, its [0] and [1] fields
# at depth 3, lie outside what the signature covers, like unsigned
# attributes. The chain: in turn, each carried certificate that signed one
# in it and that is itself trusted here, so that a copy of an issuer's key
# with other contents is not.
beyond_chain_of() {
  awk '{ match($0, /d=[0-9]+/); depth = substr($0, RSTART + 2, RLENGTH - 2) + 0 }
    depth == 3 { certificates = ($0 ~ /cont \[ *0 *\]/); if ($0 ~ /cont \[ *1 *\]/) print "a revocation list"; next }
    certificates && depth == 4 { n++ }
    END { if (n > 16) print "more than 16 certificates"; print n + 0 >"/dev/stderr" }' "$1.parsed" 2>"$1.count"
  split_certificates "$1" "$1.carried." 16
  cat "$1".carried.* >"$1.all" 2>/dev/null || true
  carried=$(grep -c 'BEGIN CERTIFICATE' "$1.all" || true)
  [ "$carried" -eq "$(cat "$1.count")" ] || echo "a certificate openssl does not read"
  # The chain as numbers of the carried certificates, " 2 1 ": paths may hold spaces.
  on_chain=" "
  for n in $(seq 1 "$carried"); do
    [ "$(certificate_hash "$1.carried.$n")" != "$2" ] || on_chain=" $n "
  done
  grown=yes
  while [ -n "$grown" ]; do
    grown=""
    for n in $(seq 1 "$carried"); do
      case "$on_chain" in *" $n "*) continue ;; esac
      for issued in $on_chain; do
        openssl verify -no_check_time -partial_chain -trusted "$1.carried.$n" "$1.carried.$issued" >/dev/null 2>&1 &&
          openssl verify -no_check_time ${ca:+-CAfile "$ca"} -untrusted "$1.all" "$1.carried.$n" >/dev/null 2>&1 ||
          continue
        on_chain="$on_chain$n "
        grown=yes
        break
      done
    done
  done
  for n in $(seq 1 "$carried"); do
    case "$on_chain" in *" $n "*) continue ;; esac
    say "$(certificate_name "$1.carried.$n"), certificate SHA-256 $(certificate_hash "$1.carried.$n")"
  done
  rm -f "$1".carried.* "$1.all" "$1.count"
}

# Every signer of the signature in the DER file $1, the primary first: a
# nested signature is a value of the unsigned attribute 1.3.6.1.4.1.311.2.4.1
# (the SET after the attribute's name holds one ContentInfo a value).
signers_of() {
  signer_of "$1"
  awk '{ match($0, /d=[0-9]+/); depth = substr($0, RSTART + 2, RLENGTH - 2) + 0 }
    attribute && depth <= attribute && !/cons: *SET/ { attribute = 0 }
    attribute && depth == attribute + 1 {
      match($0, /hl= *[0-9]+/); header = substr($0, RSTART + 3, RLENGTH - 3)
      match($0, / l= *[0-9]+/); length_ = substr($0, RSTART + 3, RLENGTH - 3)
      print $0 + 0, header + length_
    }
    /OBJECT *:1\.3\.6\.1\.4\.1\.311\.2\.4\.1 *$/ { attribute = depth }' "$1.parsed" | head -n 16 | while read -r offset size; do
    tail -c +$((offset + 1)) "$1" | head -c "$size" >"$1.nested"
    signer_of "$1.nested"
  done
}

# Read once: every check below, and the hash printed, see the same bytes.
shown=$(one_line "$published")
cp -- "$published" "$work/published.exe" || die "cannot read $shown"
published="$work/published.exe"
say "published: $shown, $(stat -c %s "$published") bytes, sha256 $(sha256sum <"$published" | cut -d' ' -f1)"
read_pe_headers "$published" >"$work/pe" || refuse "$(cat "$work/pe")"
say "domain: $domain (given with --domain)"

verifies=""
if [ "$cert_size" -ne 0 ]; then
  version=$(osslsigncode --version 2>/dev/null | sed -n '1s/^osslsigncode \([0-9]*\.[0-9]*\).*/\1/p')
  case "$version" in
    1.* | 2.[0-9] | 2.1[01])
      say "note: osslsigncode $version reads the file's signature; upstream fixed memory corruption in reading" \
        "untrusted signatures in 2.12, so check files from unknown sources on a machine you can spare" >&2
      ;;
  esac
  osslsigncode extract-signature -pem -in "$published" -out "$work/signature.pem" >"$work/extract.log" 2>&1 &&
    openssl pkcs7 -in "$work/signature.pem" -outform DER -out "$work/signature.der" 2>>"$work/extract.log" ||
    refuse "the file's signature cannot be read: $(tail -n 3 "$work/extract.log" | tr '\n' ' ' | printable)"
  osslsigncode verify ${ca:+-CAfile "$ca"} ${signer_hash:+-require-leaf-hash "sha256:$signer_hash"} \
    -in "$published" >"$work/verify.log" 2>&1 && verifies=yes

  # Windows judges the primary signature alone, and osslsigncode's verify
  # passes when any one of them does: so there must be exactly one. Counted
  # three ways, osslsigncode's and openssl's reading and the attribute's
  # name in the bytes, so that no reader's blind spot hides one.
  signers_of "$work/signature.der" >"$work/signers"
  count=$(wc -l <"$work/signers")
  indexed=$(grep -c '^Signature Index:' "$work/verify.log" || true)
  named=$(od -An -v -tx1 "$work/signature.der" | tr -d ' \n' | grep -o 060a2b060104018237020401 | wc -l)
  [ "$indexed" -le "$count" ] || count=$indexed
  [ $((named + 1)) -le "$count" ] || count=$((named + 1))
  if [ "$count" -ne 1 ]; then
    names=$(awk '{ printf "%s#%d%s: ", (NR > 1 ? "; " : ""), NR, (NR == 1 ? " (primary)" : "") }
      $1 == "unknown" { printf "a signer whose certificate it does not carry"; next }
      { hash = $1; sub(/^[^ ]* /, ""); printf "%s, certificate SHA-256 %s", $0, hash }' "$work/signers")
    refuse "the file carries $count signatures, not one (Windows judges the first alone): $names"
  fi
  # Nothing but a time stamp may lie outside what the signature covers: an
  # unsigned attribute can carry anything into a file that still verifies.
  unsigned=$(unsigned_attributes_of "$work/signature.der" | grep -v -x -e countersignature -e 1.3.6.1.4.1.311.3.3.1 |
    head -n 4 | printable | tr '\n' ' ')
  [ -z "$unsigned" ] || refuse "the signature carries unsigned data other than a time stamp (attributes ${unsigned% })"
  read -r signer_certificate signer <"$work/signers"
  [ "$signer_certificate" != unknown ] || refuse "the signature does not carry its signer's certificate"
  say "signer: $signer, certificate SHA-256 $signer_certificate"
  if [ -n "$signer_hash" ] && [ "$signer_certificate" != "$signer_hash" ]; then
    refuse "the signing certificate is not the one given with --signer ($signer_hash)"
  fi
  if [ -n "$verifies" ]; then
    signature_line="signature: verifies"
  else
    reason=""
    grep -q '^Calculated message digest.*MISMATCH' "$work/verify.log" &&
      reason="the file was changed after it was signed (message digest mismatch)"
    grep -q '^Leaf hash match: failed' "$work/verify.log" &&
      reason="${reason:+$reason; }osslsigncode finds another signing certificate than the one given with --signer"
    chain=$(sed -n 's/.*Verify error: *//p; s/^[ \t]*Error: *//p' "$work/verify.log" | head -n 1 | printable)
    [ -z "$chain" ] || reason="${reason:+$reason; }the signer's certificate is not trusted here: $chain"
    signature_line="signature: does not verify: ${reason:-osslsigncode verify failed}"
  fi
  say "$signature_line"
  # Checked only where it can pass: an issuer is trusted where the signature is.
  if [ -n "$verifies" ]; then
    beyond=$(beyond_chain_of "$work/signature.der" "$signer_certificate" | head -n 4 | tr '\n' ';')
    [ -z "$beyond" ] || refuse "the signature carries what its signer's chain does not need: ${beyond%;}"
  fi
fi

commit=$(checkout_git "$root" rev-parse HEAD)
if [ -n "$(checkout_git "$root" status --porcelain --untracked-files=no)" ]; then
  say "note: the checkout has changes that are not committed; the rebuild leaves them out" >&2
fi
build="$root/build/verify"
export_head "$root" "$build/source"
build_release_image "$build/source" "$build/build" "$domain" rebuild || die "the rebuild failed"
rebuild="$build/build/bin/hello-origin.exe"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/build/CMakeCache.txt")
say "rebuild: commit $commit ($(checkout_git "$root" describe --tags --always)), version $version, for $domain," \
  "$(stat -c %s "$rebuild") bytes"
[ -z "$policy_note" ] ||
  say "note: the trusted domain checks would refuse a new release for $domain today: $policy_note"

if [ "$cert_size" -eq 0 ]; then
  expected=$rebuild
  against="the rebuild"
else
  # attach-signature exits 1 when it cannot verify; whether it wrote the
  # file is what counts here.
  osslsigncode attach-signature -sigin "$work/signature.pem" ${ca:+-CAfile "$ca"} -in "$rebuild" \
    -out "$work/attached.exe" >/dev/null 2>&1 || true
  expected="$work/attached.exe"
  against="the rebuild with the file's signature attached"
  [ -f "$expected" ] || {
    say "bytes: the file's signature cannot be attached to the rebuild"
    refuse "the file is not commit $commit's build for $domain"
  }
fi

if cmp -s "$published" "$expected"; then
  say "bytes: identical to $against"
else
  first=$(cmp -l "$published" "$expected" 2>/dev/null | head -n 1 | awk '{ print $1 - 1 }')
  shorter=$(stat -c %s "$published" "$expected" | sort -n | head -n 1)
  first=${first:-$shorter}
  say "bytes: differ from $against, first at offset $first ($(printf '0x%x' "$first"))"
  # Why, as far as the release's own record says: it comes with the file,
  # so it is read in part, printable only, and decides nothing.
  if [ -f "$buildinfo" ]; then
    head -c 16384 "$buildinfo" | head -n 100 | printable >"$work/theirs"
    buildinfo_of "$commit" "$build/build" "$domain" | while IFS= read -r line; do
      key=${line%%: *}
      theirs=$(awk -v key="$key: " 'index($0, key) == 1 { print substr($0, length(key) + 1); exit }' "$work/theirs")
      [ "$theirs" = "${line#*: }" ] ||
        say "note: $key: ${line#*: } here; the release's BUILDINFO (not verified) says ${theirs:-nothing}"
    done
  else
    say "note: no BUILDINFO at $(one_line "$buildinfo") to say what made the release" \
      "(give it with --buildinfo)"
  fi
  refuse "the file is not commit $commit's build for $domain"
fi

if [ "$cert_size" -eq 0 ]; then
  say "verdict: NOT SIGNED: the file is commit $commit's build for $domain, but nobody signed it"
  exit 3
fi
[ -n "$verifies" ] || refuse "the bytes are the rebuild's, but their signature does not verify"
if [ -z "$signer_hash" ]; then
  say "verdict: SIGNER NOT CHECKED: the file is commit $commit's build for $domain with one signature, which" \
    "verifies, by $signer (certificate SHA-256 $signer_certificate); anyone can sign in any name: give the" \
    "SHA-256 the publisher announces with --signer"
  exit 4
fi
say "verdict: ACCEPTED: the file is commit $commit's build for $domain, signed by $signer" \
  "(certificate SHA-256 $signer_certificate)"
