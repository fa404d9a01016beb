"""The Authenticode signature of a release, read with asn1crypto and held to
the one form a release has. Every byte of it must be fixed by that form,
covered by the signer's signature, or covered by a time-stamp authority's
signature over the signer's; the first field that is none of these is named.
After Microsoft's "Windows Authenticode Portable Executable Signature
Format", RFC 5652 (CMS) and RFC 3161 (time stamps)."""
from __future__ import annotations

import datetime
import hashlib
from dataclasses import dataclass

from asn1crypto import cms, core, tsp
from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from . import der


def _oid(dotted: str) -> bytes:
    return core.ObjectIdentifier(dotted).dump()


def _algorithm(dotted: str, null_parameters: bool) -> bytes:
    return der.tlv(der.SEQUENCE, _oid(dotted) + (core.Null().dump() if null_parameters else b""))


SIGNED_DATA = _oid("1.2.840.113549.1.7.2")
SPC_INDIRECT_DATA = _oid("1.3.6.1.4.1.311.2.1.4")
TST_INFO = _oid("1.2.840.113549.1.9.16.1.4")
# Windows' name for an RFC 3161 time stamp among the unsigned attributes.
RFC3161_TIME_STAMP = "1.3.6.1.4.1.311.3.3.1"
CONTENT_TYPE, MESSAGE_DIGEST = "1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"
SIGNING_TIME = "1.2.840.113549.1.9.5"
SPC_STATEMENT_TYPE, SPC_SP_OPUS_INFO = "1.3.6.1.4.1.311.2.1.11", "1.3.6.1.4.1.311.2.1.12"
# The signed attributes osslsigncode writes for a release, each once.
RELEASE_ATTRIBUTES = frozenset((CONTENT_TYPE, SIGNING_TIME, SPC_STATEMENT_TYPE, MESSAGE_DIGEST, SPC_SP_OPUS_INFO))
INDIVIDUAL_CODE_SIGNING = der.tlv(der.SEQUENCE, _oid("1.3.6.1.4.1.311.2.1.21"))
CODE_SIGNING = x509.ObjectIdentifier("1.3.6.1.5.5.7.3.3")
ANY_EXTENDED_KEY_USAGE = x509.ObjectIdentifier("2.5.29.37.0")

VERSION_1, VERSION_3 = core.Integer(1).dump(), core.Integer(3).dump()
RSA_ENCRYPTION = "1.2.840.113549.1.1.1"
HASHES = {"sha256": ("2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11", hashes.SHA256),
          "sha384": ("2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12", hashes.SHA384),
          "sha512": ("2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13", hashes.SHA512)}
# A release: SHA-256, and the RSA key's PKCS #1 v1.5 signature, as OpenSSL writes them.
SHA256 = _algorithm(HASHES["sha256"][0], True)
RSA_SIGNATURE = _algorithm(RSA_ENCRYPTION, True)
# A time-stamp authority's: its own hash, with or without NULL parameters.
TSA_DIGESTS = {_algorithm(oid, null): name for name, (oid, _, _) in HASHES.items() for null in (True, False)}

# SpcPeImageData as osslsigncode 2.5 and 2.9 write it; then the digest.
_OBSOLETE = der.tlv(0xA0, der.tlv(0xA2, der.tlv(0x80, "<<<Obsolete>>>".encode("utf-16-be"))))
SPC_FORMS = {
    "osslsigncode 2.5": der.tlv(der.SEQUENCE, _oid("1.3.6.1.4.1.311.2.1.15")
                                + der.tlv(der.SEQUENCE, bytes.fromhex("030100") + _OBSOLETE)),
    "osslsigncode 2.6 and later": der.tlv(der.SEQUENCE, _oid("1.3.6.1.4.1.311.2.1.15")
                                          + der.tlv(der.SEQUENCE, bytes.fromhex("03020780") + _OBSOLETE)),
}


def indirect_data(form: str, digest: bytes) -> bytes:
    """The EncapsulatedContentInfo of a release's signature: the image's
    SHA-256 digest in SpcIndirectDataContent, as osslsigncode writes it."""
    return der.tlv(der.SEQUENCE, SPC_INDIRECT_DATA + der.tlv(0xA0, der.tlv(der.SEQUENCE, SPC_FORMS[form] + der.tlv(
        der.SEQUENCE, SHA256 + der.tlv(der.OCTET_STRING, digest)))))


def signed_content(info: bytes) -> bytes:
    """What messageDigest covers: SpcIndirectDataContent's content, without its tag and length."""
    explicit = der.children(info, der.read_tlv(info, 0, len(info)))[1]
    return der.children(info, explicit)[0].value(info)


class Refused(Exception):
    """The first field of the file that no rule allows, and why."""

    def __init__(self, field: str, reason: str) -> None:
        super().__init__(f"{field}: {reason}")
        self.field = field


def require(condition: object, field: str, reason: str) -> None:
    if not condition:
        raise Refused(field, reason)


@dataclass(frozen=True)
class SignerParts:
    """A SignerInfo, each field as the bytes of its whole element."""
    version: bytes
    sid: bytes
    digest_algorithm: bytes
    signed_attrs: tuple[bytes, ...] | None
    signature_algorithm: bytes
    signature: bytes  # the OCTET STRING's content
    unsigned_attrs: tuple[bytes, ...] | None


@dataclass(frozen=True)
class SignedDataParts:
    """A ContentInfo of signed data, each field as the bytes of its element."""
    content_type: bytes
    version: bytes
    digest_algorithms: tuple[bytes, ...]
    encap_content_info: bytes
    certificates: tuple[bytes, ...] | None
    crls: tuple[bytes, ...] | None
    signers: tuple[SignerParts, ...]


def _elements(value: core.Asn1Value) -> tuple[bytes, ...] | None:
    return None if isinstance(value, core.Void) else tuple(element.dump() for element in value)


def encode(parts: SignedDataParts) -> bytes:
    """The parts in DER, each container's header in its one form."""
    def optional(tag: int, elements: tuple[bytes, ...] | None) -> bytes:
        return b"" if elements is None else der.tlv(tag, b"".join(elements))

    signers = b"".join(der.tlv(der.SEQUENCE, s.version + s.sid + s.digest_algorithm + optional(0xA0, s.signed_attrs)
                               + s.signature_algorithm + der.tlv(der.OCTET_STRING, s.signature)
                               + optional(0xA1, s.unsigned_attrs)) for s in parts.signers)
    body = (parts.version + der.tlv(der.SET, b"".join(parts.digest_algorithms)) + parts.encap_content_info
            + optional(0xA0, parts.certificates) + optional(0xA1, parts.crls) + der.tlv(der.SET, signers))
    return der.tlv(der.SEQUENCE, parts.content_type + der.tlv(0xA0, der.tlv(der.SEQUENCE, body)))


def read_parts(data: bytes, what: str) -> SignedDataParts:
    """The fields of signed data in strict DER that encode again to `data`."""
    try:
        der.check_strict(data)
    except der.DerError as error:
        raise Refused(f"{what}: encoding", f"not strict DER: {error}") from None
    try:
        info = cms.ContentInfo.load(data, strict=True)
        signed = info["content"]
        require(isinstance(signed, cms.SignedData), f"{what}: ContentInfo.contentType", "not signed data")
        parts = SignedDataParts(
            info["content_type"].dump(), signed["version"].dump(),
            tuple(a.dump() for a in signed["digest_algorithms"]), signed["encap_content_info"].dump(),
            _elements(signed["certificates"]), _elements(signed["crls"]),
            tuple(SignerParts(s["version"].dump(), s["sid"].dump(), s["digest_algorithm"].dump(),
                              _elements(s["signed_attrs"]), s["signature_algorithm"].dump(),
                              s["signature"].contents, _elements(s["unsigned_attrs"]))
                  for s in signed["signer_infos"]))
    except (ValueError, TypeError, KeyError, IndexError, AttributeError) as error:
        reason = " ".join(str(error).split())[:200]
        raise Refused(what, f"not CMS signed data as RFC 5652 has it: {reason}") from None
    encoded = encode(parts)
    if encoded != data:
        offset = next((n for n, (a, b) in enumerate(zip(encoded, data)) if a != b), min(len(encoded), len(data)))
        raise Refused(f"{what}: encoding", f"its fields, encoded again, differ from it at offset {offset}")
    return parts


@dataclass(frozen=True, eq=False)
class Certificate:
    der: bytes
    typed: asn1_x509.Certificate
    crypto: x509.Certificate

    @property
    def name(self) -> str:
        return ", ".join(rdn.rfc4514_string() for rdn in self.crypto.subject.rdns)

    @property
    def sha256(self) -> str:
        return hashlib.sha256(self.der).hexdigest()

    def issued(self, child: Certificate) -> bool:
        """True when this certificate's name and key made `child`'s signature."""
        if child.typed.issuer.dump() != self.typed.subject.dump():
            return False
        key = self.crypto.public_key()
        algorithm = child.crypto.signature_hash_algorithm
        try:
            if isinstance(key, rsa.RSAPublicKey):
                key.verify(child.crypto.signature, child.crypto.tbs_certificate_bytes, padding.PKCS1v15(), algorithm)
            elif isinstance(key, ec.EllipticCurvePublicKey):
                key.verify(child.crypto.signature, child.crypto.tbs_certificate_bytes, ec.ECDSA(algorithm))
            else:
                return False
        except (InvalidSignature, UnsupportedAlgorithm, TypeError, ValueError):
            return False
        return True


def _certificates(parts: SignedDataParts, what: str) -> list[Certificate]:
    found = []
    for number, data in enumerate(parts.certificates or (), 1):
        try:
            typed = asn1_x509.Certificate.load(data, strict=True)
            typed.native  # parses every field now, not when a rule first reads one
            found.append(Certificate(data, typed, x509.load_der_x509_certificate(data)))
        except (ValueError, TypeError, KeyError, IndexError, AttributeError):
            raise Refused(f"{what}: SignedData.certificates", f"certificate #{number} cannot be read") from None
    return found


def chain_of(leaf: Certificate, carried: list[Certificate]) -> list[Certificate]:
    """The leaf, then in turn the carried certificate that issued the last one."""
    chain = [leaf]
    while chain[-1].typed.issuer.dump() != chain[-1].typed.subject.dump():
        issuer = next((c for c in carried if c not in chain and c.issued(chain[-1])), None)
        if issuer is None:
            break
        chain.append(issuer)
    return chain


def _signer_certificate(signer: SignerParts, carried: list[Certificate], what: str) -> Certificate:
    """The carried certificate the sid names, byte for byte: by its issuer and
    serial number, or (version 3) by its subject key identifier."""
    def named_by(certificate: Certificate) -> bool:
        typed = certificate.typed
        if signer.version == VERSION_1:
            return signer.sid == der.tlv(der.SEQUENCE, typed.issuer.dump() + typed["tbs_certificate"]["serial_number"].dump())
        return typed.key_identifier is not None and signer.sid == der.tlv(0x80, typed.key_identifier)

    named = [c for c in carried if named_by(c)]
    require(len(named) == 1, f"{what}: SignerInfo.sid",
            "names no certificate the signature carries, byte for byte" if not named else "names several certificates")
    return named[0]


def _check_attributes(signer: SignerParts, content_type: bytes, content: bytes, hash_name: str,
                      allowed: frozenset[str] | None, what: str) -> dict[str, bytes]:
    """The signed attributes' one value each, by type."""
    field = f"{what}: SignerInfo.signedAttrs"
    attributes = signer.signed_attrs
    require(attributes, field, "absent")
    assert attributes is not None
    require(list(attributes) == sorted(attributes), field, "not in the order DER sorts a SET OF")
    try:
        typed = [cms.CMSAttribute.load(attribute, strict=True) for attribute in attributes]
        types = [attribute["type"].dotted for attribute in typed]
        counts = [len(attribute["values"]) for attribute in typed]
        values = {kind: attribute["values"][0].dump() for kind, attribute in zip(types, typed) if attribute["values"]}
    except (ValueError, TypeError, KeyError):
        raise Refused(field, "an attribute cannot be read") from None
    require(len(set(types)) == len(types), field, "an attribute stands twice")
    require(counts == [1] * len(counts), field, "an attribute has other than one value")
    if allowed is not None:
        require(set(types) == allowed, field, f"attributes {', '.join(sorted(set(types) ^ allowed))} differ "
                "from the ones a release signs")
    require(values.get(CONTENT_TYPE) == content_type, field, "contentType is not the signed content's")
    require(values.get(MESSAGE_DIGEST) == core.OctetString(hashlib.new(hash_name, content).digest()).dump(), field,
            "messageDigest is not the digest of the signed content")
    return values


def _verify(certificate: Certificate, signer: SignerParts, hash_name: str, what: str) -> None:
    key = certificate.crypto.public_key()
    require(isinstance(key, rsa.RSAPublicKey), f"{what}: SignerInfo.signature",
            "not made with an RSA key, which gives every message one signature")
    assert isinstance(key, rsa.RSAPublicKey)
    require(len(signer.signature) == (key.key_size + 7) // 8, f"{what}: SignerInfo.signature",
            f"{len(signer.signature)} bytes, not the {(key.key_size + 7) // 8} of the key")
    signed = der.tlv(der.SET, b"".join(signer.signed_attrs or ()))
    try:
        key.verify(signer.signature, signed, padding.PKCS1v15(), HASHES[hash_name][2]())
    except InvalidSignature:
        raise Refused(f"{what}: SignerInfo.signature", "does not verify with the signer's key") from None


def _one_signer(parts: SignedDataParts, version: bytes, what: str) -> tuple[SignerParts, list[Certificate]]:
    """The fields before and around the signer that both kinds of signature share."""
    require(parts.content_type == SIGNED_DATA, f"{what}: ContentInfo.contentType", "not signed data")
    require(parts.version == version, f"{what}: SignedData.version", f"not {core.Integer.load(version).native}")
    require(len(parts.digest_algorithms) == 1, f"{what}: SignedData.digestAlgorithms",
            f"{len(parts.digest_algorithms)} entries, not one")
    require(parts.crls is None, f"{what}: SignedData.crls", "revocation lists, which no signature covers")
    require(len(parts.signers) == 1, f"{what}: SignedData.signerInfos", f"{len(parts.signers)} signers, not one")
    return parts.signers[0], _certificates(parts, what)


def _check_chain(parts: SignedDataParts, chain: list[Certificate], what: str) -> None:
    # osslsigncode 2.5 writes the signer's first, then its chain upward; 2.6 and later sort them as DER sorts a SET OF.
    path = tuple(c.der for c in chain)
    require(parts.certificates in (path, tuple(sorted(path))), f"{what}: SignedData.certificates",
            "not the signer's certificate and the chain that issued it, in an order osslsigncode writes, and "
            "nothing else")


@dataclass(frozen=True)
class TimeStamp:
    time: datetime.datetime
    chain: tuple[Certificate, ...]


def read_time_stamp(token: bytes, signature: bytes) -> TimeStamp:
    """An RFC 3161 time stamp over the signer's signature value, with one
    signer of its own and nothing outside what that signer covers."""
    what = "time stamp"
    parts = read_parts(token, what)
    signer, carried = _one_signer(parts, VERSION_3, what)
    hash_name = TSA_DIGESTS.get(parts.digest_algorithms[0])
    require(hash_name, f"{what}: SignedData.digestAlgorithms", "not SHA-256, SHA-384 or SHA-512")
    assert hash_name is not None
    info = der.check_strict(parts.encap_content_info)
    content = der.children(parts.encap_content_info, info)
    explicit = der.children(parts.encap_content_info, content[1]) if len(content) == 2 else []
    require(len(explicit) == 1 and explicit[0].tag == der.OCTET_STRING, f"{what}: SignedData.encapContentInfo",
            "not a TSTInfo")
    tst_info = explicit[0].value(parts.encap_content_info)
    require(parts.encap_content_info == der.tlv(der.SEQUENCE, TST_INFO + der.tlv(
        0xA0, der.tlv(der.OCTET_STRING, tst_info))), f"{what}: SignedData.encapContentInfo", "not a TSTInfo")
    try:
        der.check_strict(tst_info)
        info_typed = tsp.TSTInfo.load(tst_info, strict=True)
        imprint = info_typed["message_imprint"]
        imprint_hash = imprint["hash_algorithm"]["algorithm"].native
        hashed = imprint["hashed_message"].native
        time = info_typed["gen_time"].native
        version = info_typed["version"].native
    except (der.DerError, ValueError, TypeError, KeyError, AttributeError):
        raise Refused(f"{what}: TSTInfo", "cannot be read") from None
    require(version == "v1", f"{what}: TSTInfo.version", "not 1")
    require(imprint_hash in HASHES and hashed == hashlib.new(imprint_hash, signature).digest(),
            f"{what}: TSTInfo.messageImprint", "not the hash of the signer's signature")
    require(signer.version in (VERSION_1, VERSION_3), f"{what}: SignerInfo.version", "not 1 or 3")
    certificate = _signer_certificate(signer, carried, what)
    require(signer.digest_algorithm == parts.digest_algorithms[0], f"{what}: SignerInfo.digestAlgorithm",
            "not the one of SignedData.digestAlgorithms")
    _check_attributes(signer, TST_INFO, tst_info, hash_name, None, what)
    require(signer.signature_algorithm in (RSA_SIGNATURE, _algorithm(HASHES[hash_name][1], True)),
            f"{what}: SignerInfo.signatureAlgorithm", f"not RSA with {hash_name}")
    _verify(certificate, signer, hash_name, what)
    require(signer.unsigned_attrs is None, f"{what}: SignerInfo.unsignedAttrs", "present; no signature covers them")
    chain = chain_of(certificate, carried)
    _check_chain(parts, chain, what)
    return TimeStamp(time, tuple(chain))


@dataclass(frozen=True)
class Signature:
    der: bytes
    form: str
    signed_digest: bytes  # the image's SHA-256 Authenticode digest it signs
    chain: tuple[Certificate, ...]
    time_stamp: TimeStamp | None

    @property
    def signer(self) -> Certificate:
        return self.chain[0]


def read_signature(data: bytes) -> Signature:
    """The release's signature: signed data of one signer, in the form a
    release has, with at most an RFC 3161 time stamp beside it."""
    what = "signature"
    parts = read_parts(data, what)
    signer, carried = _one_signer(parts, VERSION_1, what)
    require(parts.digest_algorithms == (SHA256,), f"{what}: SignedData.digestAlgorithms",
            "not the SHA-256 a release signs with, as OpenSSL writes it")
    digest = parts.encap_content_info[-32:]
    form = next((name for name in SPC_FORMS if indirect_data(name, digest) == parts.encap_content_info), None)
    require(form, f"{what}: SignedData.encapContentInfo", "not the SpcIndirectDataContent of a release's image")
    assert form is not None
    require(signer.version == VERSION_1, f"{what}: SignerInfo.version", "not 1")
    certificate = _signer_certificate(signer, carried, what)
    require(signer.digest_algorithm == SHA256, f"{what}: SignerInfo.digestAlgorithm",
            "not the SHA-256 a release signs with, as OpenSSL writes it")
    values = _check_attributes(signer, SPC_INDIRECT_DATA, signed_content(parts.encap_content_info), "sha256",
                               RELEASE_ATTRIBUTES, what)
    require(values[SPC_STATEMENT_TYPE] == INDIVIDUAL_CODE_SIGNING, f"{what}: SignerInfo.signedAttrs",
            "SpcStatementType is not individual code signing")
    require(signer.signature_algorithm == RSA_SIGNATURE, f"{what}: SignerInfo.signatureAlgorithm",
            "not the rsaEncryption with NULL parameters a release signs with")
    _verify(certificate, signer, "sha256", what)
    time_stamp = None
    if signer.unsigned_attrs is not None:
        field = f"{what}: SignerInfo.unsignedAttrs"
        require(len(signer.unsigned_attrs) == 1, field, f"{len(signer.unsigned_attrs)} attributes, not one time stamp")
        attribute = signer.unsigned_attrs[0]
        kind, values = der.children(attribute, der.read_tlv(attribute, 0, len(attribute)))
        require(kind.value(attribute) == _oid(RFC3161_TIME_STAMP)[2:], field,
                f"{core.ObjectIdentifier.load(attribute[kind.start:kind.end]).dotted}, not an RFC 3161 time stamp; "
                "no signature covers it")
        tokens = der.children(attribute, values)
        require(len(tokens) == 1, field, f"{len(tokens)} time stamps, not one")
        token = attribute[tokens[0].start:tokens[0].end]
        time_stamp = read_time_stamp(token, signer.signature)
    chain = chain_of(certificate, carried)
    _check_chain(parts, chain, what)
    return Signature(data, form, digest, tuple(chain), time_stamp)
