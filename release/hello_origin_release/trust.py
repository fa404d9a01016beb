"""Whether a chain the verifier has read leads to a trusted root: openssl
verify decides each of its certificates by its exit status alone, and the
key usages are read here. No network: revocation is checked only against
the lists a caller gives."""
from __future__ import annotations

import datetime
import functools
import hashlib
import os
import subprocess
import tempfile
from dataclasses import dataclass
from typing import Sequence

from cryptography import x509

from . import der
from .authenticode import ANY_EXTENDED_KEY_USAGE, Certificate, Refused


@dataclass(frozen=True)
class Anchors:
    """What a chain may lead to: a file of certificates, or the system's."""
    ca_file: str | None = None
    crl_file: str | None = None


def _digest(path: str | None) -> str | None:
    """What a file of certificates holds, for the cache: a file may change between calls."""
    if path is None:
        return None
    try:
        with open(path, "rb") as file:
            return hashlib.sha256(file.read()).hexdigest()
    except OSError:
        return "unreadable"


def openssl_verifies(certificate: bytes, untrusted: tuple[bytes, ...], anchors: Anchors, at: int | None,
                     purpose: str | None, revocation: bool = False) -> bool:
    """openssl verify's exit status on `certificate`: at the time `at` (any
    time for None), its chain built from `untrusted`, all of them and no
    more, up to a root of `anchors`; with `revocation`, also against the
    revocation lists of `anchors`."""
    return _openssl_verifies(certificate, untrusted, anchors, _digest(anchors.ca_file), _digest(anchors.crl_file), at,
                             purpose, revocation)


@functools.lru_cache(maxsize=256)
def _openssl_verifies(certificate: bytes, untrusted: tuple[bytes, ...], anchors: Anchors, ca_digest: str | None,
                      crl_digest: str | None, at: int | None, purpose: str | None, revocation: bool) -> bool:
    with tempfile.TemporaryDirectory() as folder:
        # The chain may be the certificate, the untrusted ones and a root: no
        # shorter one through the trust store's intermediates, no longer one.
        command = ["openssl", "verify", "-verify_depth", str(len(untrusted))]
        command += ["-no_check_time"] if at is None else ["-attime", str(at)]
        if anchors.ca_file is not None:
            # -CAfile alone would still trust the default folder of certificates.
            command += ["-CAfile", anchors.ca_file, "-no-CApath", "-no-CAstore"]
        if revocation and anchors.crl_file is not None:
            command += ["-CRLfile", anchors.crl_file, "-crl_check"]
        if purpose is not None:
            command += ["-purpose", purpose]
        if untrusted:
            with open(os.path.join(folder, "untrusted.pem"), "w") as file:
                file.write(der.pem("CERTIFICATE", list(untrusted)))
            command += ["-untrusted", os.path.join(folder, "untrusted.pem")]
        with open(os.path.join(folder, "certificate.pem"), "w") as file:
            file.write(der.pem("CERTIFICATE", [certificate]))
        command.append(os.path.join(folder, "certificate.pem"))
        # No SSL_CERT_FILE or OPENSSL_CONF of the caller's: the system's certificates are the default.
        result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env={"PATH": os.environ.get("PATH", "/usr/bin:/bin")},
                                timeout=60, check=False)
        return result.returncode == 0


def _usages(certificate: Certificate) -> tuple[list[x509.ObjectIdentifier] | None, x509.KeyUsage | None]:
    try:
        extensions = certificate.crypto.extensions
        usage = extensions.get_extension_for_class(x509.ExtendedKeyUsage).value if any(
            e.oid == x509.oid.ExtensionOID.EXTENDED_KEY_USAGE for e in extensions) else None
        key_usage = extensions.get_extension_for_class(x509.KeyUsage).value if any(
            e.oid == x509.oid.ExtensionOID.KEY_USAGE for e in extensions) else None
    except (ValueError, x509.DuplicateExtension, x509.UnsupportedGeneralNameType):
        raise Refused("certificate", f"the extensions of {certificate.name} cannot be read") from None
    return (None if usage is None else list(usage)), key_usage


def check_chain(chain: Sequence[Certificate], anchors: Anchors, at: datetime.datetime, what: str,
                usage: x509.ObjectIdentifier) -> None:
    """Each certificate of the chain trusted at `at`, the first one's key for
    signatures and for `usage`, and no issuer's extended key usage narrower
    than that."""
    field = f"{what}: certificate chain"
    leaf_usage, key_usage = _usages(chain[0])
    if leaf_usage is None or usage not in leaf_usage:
        raise Refused(field, f"{chain[0].name} is not for {usage.dotted_string} (extended key usage)")
    if key_usage is not None and not key_usage.digital_signature:
        raise Refused(field, f"{chain[0].name}: its key usage leaves out digital signatures")
    for issuer in chain[1:]:
        issuer_usage, _ = _usages(issuer)
        if issuer_usage is not None and usage not in issuer_usage and ANY_EXTENDED_KEY_USAGE not in issuer_usage:
            raise Refused(field, f"{issuer.name} may not issue certificates for {usage.dotted_string}")
    purpose = "timestampsign" if usage == x509.oid.ExtendedKeyUsageOID.TIME_STAMPING else None
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
    # Revoked is revoked, whenever the lists say so: no time is judged here.
    if anchors.crl_file is not None and not openssl_verifies(chain[0].der, tuple(c.der for c in chain[1:]), anchors,
                                                             None, None, revocation=True):
        raise Refused(field, f"{chain[0].name}: the revocation lists given with --crl revoke it, or do not cover it")
