"""The publisher's signing key and certificate, checked before anything is
built, and the signing itself, which osslsigncode does on the publisher's
own image."""
from __future__ import annotations

import datetime
import os
import subprocess
from dataclasses import dataclass
from pathlib import Path

from asn1crypto import pkcs12 as asn1_pkcs12
from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.hazmat.primitives.serialization import pkcs12

from .authenticode import display_name, key_problem
from .build import clean_environment


class SigningError(Exception):
    """The key, certificate or password cannot make a release's signature."""


@dataclass(frozen=True)
class SigningInput:
    osslsigncode_arguments: tuple[str, ...]
    certificate: x509.Certificate
    certificates: tuple[x509.Certificate, ...]  # the certificate and whatever chain came with it


def der_of(certificate: x509.Certificate) -> bytes:
    return certificate.public_bytes(serialization.Encoding.DER)


def _read(path: str, what: str) -> bytes:
    try:
        return Path(path).read_bytes()
    except OSError:
        raise SigningError(f"cannot read {what} {path}") from None


def load(cert: str | None, key: str | None, pfx: str | None, password: str) -> SigningInput:
    """The certificate and key from PEM files or from a PKCS#12 file, held to
    what a release's signature needs."""
    secret = password.encode() if password else None
    if pfx is not None:
        data = _read(pfx, "the PKCS#12 file")
        try:
            asn1_pkcs12.Pfx.load(data, strict=True).native
        except (ValueError, TypeError, KeyError):
            raise SigningError(f"cannot open {pfx} as a PKCS#12 file") from None
        try:
            private_key, certificate, chain = pkcs12.load_key_and_certificates(data, secret)
        except ValueError:
            raise SigningError(f"wrong password: HELLO_ORIGIN_SIGNING_PASSWORD is not the password of {pfx}") from None
        if private_key is None:
            raise SigningError(f"{pfx} holds no private key")
        if certificate is None:
            raise SigningError(f"{pfx} holds no certificate")
        arguments: tuple[str, ...] = ("-pkcs12", pfx)
        certificates = (certificate, *chain)
    else:
        assert cert is not None and key is not None
        certificate_data, key_data = _read(cert, "the certificate"), _read(key, "the private key")
        private_key = None
        # A password given for a key that has none is no error, as with openssl.
        for attempt in dict.fromkeys((secret, None)):
            try:
                private_key = serialization.load_pem_private_key(key_data, attempt)
                break
            except TypeError:
                continue
            except ValueError:
                break
        if private_key is None:
            raise SigningError(f"{key} is not a private key, or HELLO_ORIGIN_SIGNING_PASSWORD is not its password")
        try:
            certificates = tuple(x509.load_pem_x509_certificate(b"-----BEGIN CERTIFICATE-----" + block)
                                 for block in certificate_data.split(b"-----BEGIN CERTIFICATE-----")[1:])
        except ValueError:
            certificates = ()
        if not certificates:
            raise SigningError(f"{cert} holds no certificate in PEM form")
        certificate = certificates[0]
        arguments = ("-certs", cert, "-key", key)
    subject = display_name(certificate.subject)
    public = serialization.PublicFormat.SubjectPublicKeyInfo
    if private_key.public_key().public_bytes(serialization.Encoding.DER, public) != \
            certificate.public_key().public_bytes(serialization.Encoding.DER, public):
        raise SigningError(f"the private key does not belong to the certificate of {subject}")
    # cryptography 42 and later name the time zone; 38 gives UTC without one.
    expiry = getattr(certificate, "not_valid_after_utc", None) or certificate.not_valid_after.replace(
        tzinfo=datetime.timezone.utc)
    if expiry < datetime.datetime.now(datetime.timezone.utc):
        raise SigningError(f"the certificate of {subject} has expired (notAfter={expiry:%Y-%m-%d %H:%M:%S} UTC)")
    try:
        usage = certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except x509.ExtensionNotFound:
        usage = None
    # Windows takes a program as signed only with this usage, and the verifier does likewise.
    if usage is None or x509.oid.ExtendedKeyUsageOID.CODE_SIGNING not in usage:
        raise SigningError(f"the certificate of {subject} is not for code signing (extended key usage)")
    # An RSA signature has one form for each message; the verifier takes no other.
    if not isinstance(private_key, rsa.RSAPrivateKey):
        raise SigningError(f"the key of {subject} is not an RSA key: a release is signed with RSA")
    problem = key_problem(certificate.public_key())
    if problem is not None:
        raise SigningError(f"the key of {subject} is {problem}: the verifier refuses it")
    return SigningInput(arguments, certificate, certificates)


def sign(unsigned: Path, signed: Path, signing: SigningInput, password: str, url: str, work: Path) -> None:
    """osslsigncode's Authenticode signature: SHA-256, the program's name and URL."""
    command = ["osslsigncode", "sign", "-h", "sha256", "-n", "hello-origin", "-i", url,
               *signing.osslsigncode_arguments]
    if password:
        # osslsigncode 2.5 takes a password on its command line or from a file.
        secret = work / "password"
        descriptor = os.open(secret, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with os.fdopen(descriptor, "w") as file:
            file.write(password)
        command += ["-readpass", str(secret)]
    result = subprocess.run([*command, "-in", str(unsigned), "-out", str(signed)], env=clean_environment(),
                            stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace", check=False)
    if result.returncode != 0:
        raise SigningError(f"osslsigncode could not sign:\n{result.stdout}{result.stderr}")
