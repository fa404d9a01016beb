"""Whether a chain the verifier has read leads to a trusted root: openssl
verify decides each of its certificates by its exit status alone, on the
very certificates read here, and the key usages of the whole path, root
included, are read here. No network: revocation is checked only against the
lists a caller gives."""
from __future__ import annotations

import datetime
import functools
import os
import ssl
import subprocess
import tempfile
from dataclasses import dataclass
from typing import Sequence

from cryptography import x509
from cryptography.x509.oid import ExtendedKeyUsageOID, ExtensionOID

from . import der, files
from .authenticode import ANY_EXTENDED_KEY_USAGE, Certificate, Refused, read_certificate

# Microsoft's lifetime signing usage: a signature by such a certificate ends
# with the certificate, time stamp or not.
LIFETIME_SIGNING = x509.ObjectIdentifier("1.3.6.1.4.1.311.10.3.13")
# Debian's bundle, where Python's OpenSSL names no other.
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


@dataclass(frozen=True)
class Anchors:
    """What a chain may lead to: the certificates (PEM) given, or the system's."""
    ca_pem: bytes | None = None
    crl_pem: bytes | None = None


@functools.lru_cache(maxsize=1)
def system_certificates() -> bytes:
    """The system's trusted certificates, read once, within the bound of any
    certificate file; none where there are none."""
    paths = ssl.get_default_verify_paths()
    for path in dict.fromkeys((paths.openssl_cafile, paths.cafile, SYSTEM_BUNDLE)):
        if path:
            try:
                return files.read_regular(path, files.MAX_CERTIFICATE_FILE)
            except files.InputError:
                continue
    return b""


def trusted_pem(anchors: Anchors) -> bytes:
    return system_certificates() if anchors.ca_pem is None else anchors.ca_pem


@functools.lru_cache(maxsize=8)
def anchor_certificates(pem: bytes) -> tuple[Certificate, ...]:
    """The certificates of a PEM file that both libraries read."""
    blocks = der.pem_blocks(pem, "CERTIFICATE")
    return tuple(c for c in map(read_certificate, blocks) if c is not None)


def openssl_verifies(certificate: bytes, untrusted: tuple[bytes, ...], anchors: Anchors, at: int | None,
                     purpose: str | None, revocation: bool = False) -> bool:
    """openssl verify's exit status on `certificate`: at the time `at` (any
    time for None), its chain built from `untrusted`, all of them and no
    more, up to a root of `anchors`; with `revocation`, also against the
    revocation lists of `anchors`."""
    return _openssl_verifies(certificate, untrusted, trusted_pem(anchors), anchors.crl_pem, at, purpose, revocation)


@functools.lru_cache(maxsize=256)
def _openssl_verifies(certificate: bytes, untrusted: tuple[bytes, ...], ca_pem: bytes, crl_pem: bytes | None,
                      at: int | None, purpose: str | None, revocation: bool) -> bool:
    with tempfile.TemporaryDirectory() as folder:
        def written(name: str, data: bytes) -> str:
            path = os.path.join(folder, name)
            with open(path, "wb") as file:
                file.write(data)
            return path

        # The chain may be the certificate, the untrusted ones and a root: no
        # shorter one through the trust store's intermediates, no longer one.
        command = ["openssl", "verify", "-verify_depth", str(len(untrusted))]
        command += ["-no_check_time"] if at is None else ["-attime", str(at)]
        # The roots read here and no others: -CAfile alone would still trust the default folder.
        command += ["-CAfile", written("trusted.pem", ca_pem), "-no-CApath", "-no-CAstore"]
        if revocation and crl_pem is not None:
            command += ["-CRLfile", written("crl.pem", crl_pem), "-crl_check"]
        if purpose is not None:
            command += ["-purpose", purpose]
        if untrusted:
            command += ["-untrusted", written("untrusted.pem", der.pem("CERTIFICATE", list(untrusted)).encode())]
        command.append(written("certificate.pem", der.pem("CERTIFICATE", [certificate]).encode()))
        # No SSL_CERT_FILE or OPENSSL_CONF of the caller's.
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env={"PATH": os.environ.get("PATH", "/usr/bin:/bin")},
                                timeout=60, check=False)
        return result.returncode == 0


@dataclass(frozen=True)
class Usages:
    extended: tuple[x509.ObjectIdentifier, ...] | None  # None: no extension
    extended_critical: bool
    key: x509.KeyUsage | None


def usages(certificate: Certificate) -> Usages:
    """The usages a certificate names; read_certificate has read its extensions already."""
    found = {e.oid: e for e in certificate.crypto.extensions}
    extended = found.get(ExtensionOID.EXTENDED_KEY_USAGE)
    key = found.get(ExtensionOID.KEY_USAGE)
    return Usages(None if extended is None else tuple(extended.value), extended is not None and extended.critical,
                  None if key is None else key.value)


def lifetime_signing(certificate: Certificate) -> bool:
    return LIFETIME_SIGNING in (usages(certificate).extended or ())


def _issuers_in_store(top: Certificate, anchors: Anchors) -> list[Certificate]:
    """The trusted certificates whose name and key made `top`'s signature."""
    return [root for root in anchor_certificates(trusted_pem(anchors)) if root.issued(top)]


def check_chain(chain: Sequence[Certificate], anchors: Anchors, at: datetime.datetime, what: str,
                usage: x509.ObjectIdentifier) -> None:
    """Each certificate of the chain trusted at `at`, the first one's key for
    signatures and for `usage`, and every issuer above it, the root from the
    trust store included, for `usage` too: Windows takes a usage for a chain
    only when each certificate of it has it, or names none."""
    field = f"{what}: certificate chain"
    leaf = usages(chain[0])
    if leaf.extended is None or usage not in leaf.extended:
        raise Refused(field, f"{chain[0].name} is not for {usage.dotted_string} (extended key usage)")
    if usage == ExtendedKeyUsageOID.TIME_STAMPING and (leaf.extended != (usage,) or not leaf.extended_critical):
        raise Refused(field, f"{chain[0].name}: a time-stamp authority's extended key usage must be timeStamping "
                      "alone, and critical (RFC 3161)")
    if leaf.key is not None and not leaf.key.digital_signature:
        raise Refused(field, f"{chain[0].name}: its key usage leaves out digital signatures")
    purpose = "timestampsign" if usage == ExtendedKeyUsageOID.TIME_STAMPING else None
    # Each certificate with the chain above it exactly as the signature
    # carries it, up to a root: openssl takes an issuer from the trust store
    # before a carried one, so a carried forgery of a stored intermediate
    # must fail on its own.
    for number, certificate in enumerate(chain):
        if not openssl_verifies(certificate.der, tuple(c.der for c in chain[number + 1:]), anchors,
                                int(at.timestamp()), purpose if number == 0 else None):
            raise Refused(field, f"{certificate.name} (certificate SHA-256 {certificate.sha256}) is not trusted "
                          f"here at {at:%Y-%m-%d %H:%M:%S} UTC, with the chain above it in the signature and a root "
                          "of the trust store above that: openssl verify refuses it")
    roots = [] if chain[-1].self_issued else _issuers_in_store(chain[-1], anchors)
    if not chain[-1].self_issued and not roots:
        raise Refused(field, f"no certificate of the trust store, as read here, issued {chain[-1].name}")
    for issuer in [*chain[1:], *roots]:
        issued = usages(issuer).extended
        if issued is not None and usage not in issued and ANY_EXTENDED_KEY_USAGE not in issued:
            raise Refused(field, f"{issuer.name} may not issue certificates for {usage.dotted_string}")
    # Revoked is revoked, whenever the lists say so: no time is judged here.
    if anchors.crl_pem is not None and not openssl_verifies(chain[0].der, tuple(c.der for c in chain[1:]), anchors,
                                                            None, None, revocation=True):
        raise Refused(field, f"{chain[0].name}: the revocation lists given with --crl revoke it, or do not cover it")
