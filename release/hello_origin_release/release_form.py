"""A signature as osslsigncode and a time-stamp server wrote it, put in the
release's one form: only the fields that no signature covers are written
anew, so that the verifier's rules hold for what release.sh publishes."""
from __future__ import annotations

from dataclasses import replace

from asn1crypto import algos

from . import der, pe
from .authenticode import (HASHES, RFC3161_TIME_STAMP, RSA_SIGNATURE, VERSION_1, Refused, SignedDataParts,
                           algorithm_identifier, attribute_values, chain_of, encode, encoded_oid, read_certificate,
                           read_parts, signer_certificate)


def signature_in(data: bytes) -> bytes:
    """The signature a signed file carries, as it was written."""
    try:
        entry = pe.certificate_entry(pe.read(data))
    except pe.PeError as error:
        raise Refused(error.field, error.reason) from None
    if entry is None:
        raise Refused("file", "not signed")
    return entry


def time_stamp_attribute(token: bytes) -> bytes:
    """The unsigned attribute that carries an RFC 3161 time stamp in Authenticode."""
    return der.tlv(der.SEQUENCE, encoded_oid(RFC3161_TIME_STAMP) + der.tlv(der.SET, token))


def _canonical_signed_data(parts: SignedDataParts, what: str) -> SignedDataParts:
    """Signed data's uncovered fields in the release's form: its signer named
    by issuer and serial number, its hash with NULL parameters, rsaEncryption,
    the chain up to a root in order, nothing else beside; a time stamp in
    that form too. The rules are the verifier's, on what this keeps."""
    if len(parts.signers) != 1:
        raise Refused(f"{what}: SignedData.signerInfos", "other than one signer")
    signer = parts.signers[0]
    carried = [c for c in map(read_certificate, parts.certificates or ()) if c is not None]
    certificate = next((c for c in carried if c.typed.key_identifier is not None
                        and signer.sid == der.tlv(0x80, c.typed.key_identifier)), None)
    if certificate is None:
        certificate = signer_certificate(signer, carried, what)
    typed = certificate.typed
    hash_oid = algos.DigestAlgorithm.load(signer.digest_algorithm)["algorithm"].dotted
    digest = next((algorithm_identifier(oid, True) for oid, _, _ in HASHES.values() if oid == hash_oid), signer.digest_algorithm)
    unsigned = signer.unsigned_attrs
    kind, values = (b"", []) if unsigned is None or len(unsigned) != 1 else attribute_values(unsigned[0], what)
    if kind == encoded_oid(RFC3161_TIME_STAMP) and len(values) == 1:
        unsigned = (time_stamp_attribute(canonical_time_stamp(values[0])),)
    elif what == "time stamp":
        unsigned = None
    signer = replace(signer, version=VERSION_1, sid=der.tlv(der.SEQUENCE, typed.issuer.dump() + typed[
        "tbs_certificate"]["serial_number"].dump()), digest_algorithm=digest, signature_algorithm=RSA_SIGNATURE,
        unsigned_attrs=unsigned)
    return replace(parts, digest_algorithms=(digest,), signers=(signer,), crls=None,
                   certificates=tuple(c.der for c in chain_of(certificate, carried)))


def canonical_time_stamp(token: bytes) -> bytes:
    """A time-stamp authority's token in the release's form."""
    return encode(_canonical_signed_data(read_parts(token, "time stamp"), "time stamp"))


def canonical(data: bytes, token: bytes | None = None) -> bytes:
    """A signature osslsigncode wrote, in the release's one form, with the
    time stamp `token` put beside its signer when one is given. Outside text
    all of it: whatever cannot be read is refused, never passed on."""
    try:
        parts = read_parts(data, "signature")
        if token is not None:
            signer = parts.signers[0] if len(parts.signers) == 1 else None
            if signer is None or signer.unsigned_attrs is not None:
                raise Refused("signature: SignerInfo.unsignedAttrs", "present before the time stamp is put there")
            parts = replace(parts, signers=(replace(signer, unsigned_attrs=(time_stamp_attribute(token),)),))
        return encode(_canonical_signed_data(parts, "signature"))
    except Refused:
        raise
    except Exception as error:
        raise Refused("signature", f"cannot be read ({type(error).__name__})") from None
