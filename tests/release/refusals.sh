#!/bin/sh
# release.sh refuses, before building, what would make a bad release; signs
# with a PKCS#12 file, legacy-encrypted too, or an encrypted key whose
# password comes from the environment; and builds the same bytes whatever
# flags the environment holds. Uses what sign.sh left in WORK-DIR.
# Usage: refusals.sh WORK-DIR DOMAIN
set -eu
work=$1
domain=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source-path=SCRIPTDIR source=common.sh
. "$here/common.sh"
repo="$work/repo"
keys="$work/keys"
release=$(tooled "$repo/scripts/release.sh")
refused="$work/refused"
out=$refused

throwaway_cert "$keys" stranger
throwaway_cert "$keys" tls -addext extendedKeyUsage=serverAuth
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$keys/ec.key" -out "$keys/ec.pem" \
  -days 2 -subj "/CN=hello-origin ec test" -addext extendedKeyUsage=codeSigning 2>/dev/null
# Made by python3-cryptography: OpenSSL 3.5 takes no negative -days, 3.0 no -not_after.
/usr/bin/python3 - "$keys/signer.key" "$keys/expired.pem" <<'EOF_PYTHON'
import datetime, sys
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
key = serialization.load_pem_private_key(open(sys.argv[1], "rb").read(), None)
name, day = x509.Name.from_rfc4514_string("CN=hello-origin expired test"), datetime.timedelta(days=1)
now = datetime.datetime.now(datetime.timezone.utc)
certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
               .serial_number(1).not_valid_before(now - 2 * day).not_valid_after(now - day)
               .sign(key, hashes.SHA256()))
open(sys.argv[2], "wb").write(certificate.public_bytes(serialization.Encoding.PEM))
EOF_PYTHON
export HELLO_ORIGIN_SIGNING_PASSWORD="pass phrase"
openssl pkey -in "$keys/signer.key" -aes256 -passout env:HELLO_ORIGIN_SIGNING_PASSWORD -out "$keys/encrypted.key"
openssl pkcs12 -export -in "$keys/signer.pem" -inkey "$keys/signer.key" -passout env:HELLO_ORIGIN_SIGNING_PASSWORD \
  -out "$keys/signer.p12"
openssl pkcs12 -export -legacy -in "$keys/signer.pem" -inkey "$keys/signer.key" \
  -passout env:HELLO_ORIGIN_SIGNING_PASSWORD -out "$keys/legacy.p12"
sign() { "$release" --domain "$domain" --out "$out" "$@"; }

touch "$repo/stray-file"
check "a file that is not committed" 1 "not committed" sign
rm "$repo/stray-file"
echo >>"$repo/README.md"
check "a change that is not committed" 1 "not committed" sign
git -C "$repo" checkout -q README.md
check "no certificate" 1 "cannot read the certificate" sign --sign "$keys/missing.pem" "$keys/signer.key"
check "no key" 1 "cannot read the private key" sign --sign "$keys/signer.pem" "$keys/missing.key"
check "the key of another certificate" 1 "does not belong to the certificate" \
  sign --sign "$keys/signer.pem" "$keys/stranger.key"
check "an expired certificate" 1 "has expired" sign --sign "$keys/expired.pem" "$keys/signer.key"
check "a certificate not for code signing" 1 "is not for code signing" sign --sign "$keys/tls.pem" "$keys/tls.key"
check "a certificate of no extended key usage" 1 "is not for code signing" \
  sign --sign "$keys/stranger.pem" "$keys/stranger.key"
check "an elliptic-curve key" 1 "is not an RSA key" sign --sign "$keys/ec.pem" "$keys/ec.key"
check "an encrypted key, wrong password" 1 "not its password" \
  env HELLO_ORIGIN_SIGNING_PASSWORD=wrong "$release" --domain "$domain" --sign "$keys/signer.pem" "$keys/encrypted.key" \
  --out "$refused"
for p12 in signer legacy; do
  check "$p12.p12, wrong password" 1 "wrong password" \
    env HELLO_ORIGIN_SIGNING_PASSWORD=wrong "$release" --domain "$domain" --pkcs12 "$keys/$p12.p12" --out "$refused"
done
check "PKCS#12, no password" 1 "wrong password" \
  env -u HELLO_ORIGIN_SIGNING_PASSWORD "$release" --domain "$domain" --pkcs12 "$keys/signer.p12" --out "$refused"
check "not a PKCS#12 file" 1 "as a PKCS#12 file" sign --pkcs12 "$keys/signer.pem"
check "both ways of signing" 1 "not both" sign --sign "$keys/signer.pem" "$keys/signer.key" --pkcs12 "$keys/signer.p12"
check "a domain that is not a DNS name" 1 "is not a DNS name" "$release" --domain "bad..domain" --out "$refused"
check "no --domain and no configured build: the built-in default" 1 "the built-in default example.com" \
  "$release" --out "$refused"
if [ -e "$refused" ]; then
  echo "FAIL: a refused release wrote $refused"
  failures=$((failures + 1))
else
  echo "ok: the refused releases wrote nothing"
fi

out="$work/accepted"
check "PKCS#12, password from the environment" 0 "signed by CN=hello-origin signer test" \
  sign --pkcs12 "$keys/signer.p12"
check "PKCS#12: the signature verifies" 0 "Signature verification: ok" \
  osslsigncode verify -CAfile "$keys/signer.pem" -in "$out/hello-origin.exe"
check "encrypted key, password from the environment" 0 "signed by CN=hello-origin signer test" \
  sign --sign "$keys/signer.pem" "$keys/encrypted.key"
check "encrypted key: the signature verifies" 0 "Signature verification: ok" \
  osslsigncode verify -CAfile "$keys/signer.pem" -in "$out/hello-origin.exe"
# One build for two rows: the flags, and a HOME whose git settings would
# rewrite a source on its way out of git, must change nothing.
mkdir -p "$work/home" && echo 'src/main.cpp filter=rewrite' >"$work/home/attributes"
printf '[core]\n\tattributesFile = %s\n[filter "rewrite"]\n\tsmudge = sed s/Hello/Hacked/\n' "$work/home/attributes" \
  >"$work/home/.gitconfig"
check "legacy PKCS#12 (RC2-40); flags and git settings in the environment: the bytes of a clean release" 0 \
  "signed by CN=hello-origin signer test" sh -c 'env CXXFLAGS=-fno-inline CFLAGS=-fno-inline \
  LDFLAGS=-Wl,--image-base=0x180000000 RCFLAGS=-l0x407 HOME="$6" "$1" --domain "$2" --pkcs12 "$3" --out "$4" && cmp "$4/hello-origin-unsigned.exe" "$5"' flags \
  "$release" "$domain" "$keys/legacy.p12" "$out" "$work/signed/hello-origin-unsigned.exe" "$work/home"
[ "$failures" -eq 0 ]
