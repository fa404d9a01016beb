"""The Authenticode signature of a release, read with asn1crypto and held to
the one form a release has. Every byte of it must be fixed by that form,
covered by the signer's signature, or covered by a time-stamp authority's
signature over the signer's and chosen by that authority for its own fields;
the first field that is none of these is named. After Microsoft's "Windows
Authenticode Portable Executable Signature Format", RFC 5652 (CMS) and RFC
3161 (time stamps)."""
from __future__ import annotations

import datetime
import hashlib
import re
from dataclasses import dataclass

from asn1crypto import cms, core, tsp
from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding, rsa

from . import der


def encoded_oid(dotted: str) -> bytes:
    return core.ObjectIdentifier(dotted).dump()


def algorithm_identifier(dotted: str, null_parameters: bool) -> bytes:
    return der.tlv(der.SEQUENCE, encoded_oid(dotted) + (core.Null().dump() if null_parameters else b""))


SPC_INDIRECT_DATA = encoded_oid("1.3.6.1.4.1.311.2.1.4")
TST_INFO = encoded_oid("1.2.840.113549.1.9.16.1.4")
# Windows' name for an RFC 3161 time stamp among the unsigned attributes.
RFC3161_TIME_STAMP = "1.3.6.1.4.1.311.3.3.1"
CONTENT_TYPE, MESSAGE_DIGEST = "1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"
SIGNING_TIME = "1.2.840.113549.1.9.5"
SPC_STATEMENT_TYPE, SPC_SP_OPUS_INFO = "1.3.6.1.4.1.311.2.1.11", "1.3.6.1.4.1.311.2.1.12"
SIGNING_CERTIFICATE, SIGNING_CERTIFICATE_V2 = "1.2.840.113549.1.9.16.2.12", "1.2.840.113549.1.9.16.2.47"
# The signed attributes osslsigncode writes for a release, each once.
RELEASE_ATTRIBUTES = frozenset((CONTENT_TYPE, SIGNING_TIME, SPC_STATEMENT_TYPE, MESSAGE_DIGEST, SPC_SP_OPUS_INFO))
INDIVIDUAL_CODE_SIGNING = der.tlv(der.SEQUENCE, encoded_oid("1.3.6.1.4.1.311.2.1.21"))
ANY_EXTENDED_KEY_USAGE = x509.ObjectIdentifier("2.5.29.37.0")

VERSION_1, VERSION_3 = core.Integer(1).dump(), core.Integer(3).dump()
RSA_ENCRYPTION = "1.2.840.113549.1.1.1"
HASHES = {"sha256": ("2.16.840.1.101.3.4.2.1", "1.2.840.113549.1.1.11", hashes.SHA256),
          "sha384": ("2.16.840.1.101.3.4.2.2", "1.2.840.113549.1.1.12", hashes.SHA384),
          "sha512": ("2.16.840.1.101.3.4.2.3", "1.2.840.113549.1.1.13", hashes.SHA512)}
# A release: SHA-256, and the RSA key's PKCS #1 v1.5 signature, as OpenSSL writes them.
SHA256 = algorithm_identifier(HASHES["sha256"][0], True)
RSA_SIGNATURE = algorithm_identifier(RSA_ENCRYPTION, True)
# A time stamp's hash as the release writes it: the authority's choice, with NULL parameters.
TSA_DIGESTS = {algorithm_identifier(oid, True): name for name, (oid, _, _) in HASHES.items()}
# What issuers may sign the carried certificates with: RSA's PKCS #1 v1.5,
# whose signatures nobody but the key's owner can alter (an ECDSA signature
# (r, s) is as valid as (r, n - s)).
RSA_CERTIFICATE_SIGNATURES = frozenset(x509.ObjectIdentifier(oid) for _, oid, _ in HASHES.values())
# More than any chain a release carries, and few enough that no work on them is slow.
MAX_CERTIFICATES = 8
# Every carried key: RSA of at least 2048 bits, the floor of Microsoft's
# Trusted Root Program and of code signing CAs, and the exponent 65537, which
# those CAs issue; a small exponent has let forged signatures pass careless checks.
MIN_RSA_BITS = 2048
RSA_EXPONENT = 65537

# A time stamp as a release carries it, its authority's certificate and chain
# of RSA-2048 certificates (at most 8) included: the tests' authority's is
# 1,548 bytes, its reply with its root 2,370. No public authority could be
# reached from here to measure; 16 KiB leaves room for long chains and names.
MAX_TIME_STAMP = 16 * 1024
# The TSTInfo fields the requester chooses, bounded: the nonce osslsigncode
# and release.sh send is 64 bits (9 octets when its top bit is set); a
# serial number as RFC 5280 bounds a certificate's; a policy identifier no
# longer than any authority's.
NONCE_BITS = 64
MAX_SERIAL_OCTETS = 20
MAX_POLICY_OCTETS = 32
GENERALIZED_TIME = 0x18
# DER's GeneralizedTime as RFC 3161 has genTime: seconds, a fraction without
# trailing zeros, UTC.
GENERALIZED_TIME_FORM = re.compile(rb"[0-9]{14}(\.[0-9]*[1-9])?Z")

# SpcPeImageData as osslsigncode 2.5 and 2.9 write it; then the digest.
_OBSOLETE = der.tlv(0xA0, der.tlv(0xA2, der.tlv(0x80, "<<<Obsolete>>>".encode("utf-16-be"))))
SPC_FORMS = {
    "osslsigncode 2.5": der.tlv(der.SEQUENCE, encoded_oid("1.3.6.1.4.1.311.2.1.15")
                                + der.tlv(der.SEQUENCE, bytes.fromhex("030100") + _OBSOLETE)),
    "osslsigncode 2.6 and later": der.tlv(der.SEQUENCE, encoded_oid("1.3.6.1.4.1.311.2.1.15")
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
        self.field, self.reason = field, reason


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
    name: str  # the subject, in its certificate's order

    @property
    def sha256(self) -> str:
        return hashlib.sha256(self.der).hexdigest()

    def issued(self, child: Certificate) -> bool:
        """True when this certificate's name and key made `child`'s signature."""
        if child.typed.issuer.dump() != self.typed.subject.dump():
            return False
        key = self.crypto.public_key()
        algorithm = child.crypto.signature_hash_algorithm
        if not isinstance(key, rsa.RSAPublicKey) or algorithm is None:
            return False
        try:
            key.verify(child.crypto.signature, child.crypto.tbs_certificate_bytes, padding.PKCS1v15(), algorithm)
        except InvalidSignature:
            return False
        return True

    @property
    def self_issued(self) -> bool:
        return self.typed.issuer.dump() == self.typed.subject.dump()


def display_name(name: x509.Name) -> str:
    """A name in its certificate's order: "CN=..., O=..."."""
    return ", ".join(rdn.rfc4514_string() for rdn in name.rdns)


def read_certificate(data: bytes) -> Certificate | None:
    """A certificate read whole now by both libraries, so that no rule meets
    a field that cannot be read; None for one that cannot be."""
    # What cryptography warns of (a negative serial, a five-letter country)
    # refuses nothing by itself; the commands print no warning.
    try:
        typed = asn1_x509.Certificate.load(data, strict=True)
        typed.native
        crypto = x509.load_der_x509_certificate(data)
        crypto.public_key(), crypto.extensions, crypto.signature_hash_algorithm, crypto.issuer.rdns
        return Certificate(data, typed, crypto, display_name(crypto.subject))
    # Whatever either library raises on bytes from anyone (cryptography has several kinds).
    except Exception:
        return None


def key_problem(key: object) -> str | None:
    """Why a public key is not one a release's certificates may hold; None for one that is."""
    if not isinstance(key, rsa.RSAPublicKey):
        return f"{type(key).__name__.lstrip('_')}, not RSA"
    exponent = key.public_numbers().e
    if key.key_size < MIN_RSA_BITS or exponent != RSA_EXPONENT:
        return f"RSA of {key.key_size} bits with exponent {exponent}, not at least {MIN_RSA_BITS} bits with {RSA_EXPONENT}"
    return None


def _certificates(parts: SignedDataParts, what: str) -> list[Certificate]:
    """The carried certificates, few, each signed with RSA and holding a key
    of the release's floor."""
    field = f"{what}: SignedData.certificates"
    carried = parts.certificates or ()
    require(len(carried) <= MAX_CERTIFICATES, field, f"{len(carried)} certificates, more than any chain")
    found = []
    for number, data in enumerate(carried, 1):
        certificate = read_certificate(data)
        require(certificate, field, f"certificate #{number} cannot be read")
        assert certificate is not None
        signed_with = certificate.crypto.signature_algorithm_oid
        require(signed_with in RSA_CERTIFICATE_SIGNATURES, field, f"certificate #{number} ({certificate.name}) is "
                f"signed with {signed_with.dotted_string}, not RSA with SHA-2")
        problem = key_problem(certificate.crypto.public_key())
        require(problem is None, field, f"certificate #{number} ({certificate.name}) holds a key of {problem}")
        found.append(certificate)
    return found


def chain_of(leaf: Certificate, carried: list[Certificate]) -> list[Certificate]:
    """The leaf, then in turn the carried certificate that issued the last
    one, up to and without a self-signed root: the root is the trust store's."""
    chain = [leaf]
    while not chain[-1].self_issued:
        issuer = next((c for c in carried if c not in chain and c.issued(chain[-1])), None)
        if issuer is None or issuer.self_issued:
            break
        chain.append(issuer)
    return chain


def signer_certificate(signer: SignerParts, carried: list[Certificate], what: str) -> Certificate:
    """The carried certificate the sid names, byte for byte, by its issuer and serial number."""
    def named_by(certificate: Certificate) -> bool:
        typed = certificate.typed
        return signer.sid == der.tlv(der.SEQUENCE, typed.issuer.dump() + typed["tbs_certificate"]["serial_number"].dump())

    named = [c for c in carried if named_by(c)]
    require(len(named) == 1, f"{what}: SignerInfo.sid",
            "names no certificate the signature carries, by issuer and serial number, byte for byte" if not named
            else "names several certificates")
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
    require(signer.signature_algorithm == RSA_SIGNATURE, f"{what}: SignerInfo.signatureAlgorithm",
            "not the rsaEncryption with NULL parameters of the release's form")
    key = certificate.crypto.public_key()
    assert isinstance(key, rsa.RSAPublicKey)  # every carried key is
    require(len(signer.signature) == (key.key_size + 7) // 8, f"{what}: SignerInfo.signature",
            f"{len(signer.signature)} bytes, not the {(key.key_size + 7) // 8} of the key")
    signed = der.tlv(der.SET, b"".join(signer.signed_attrs or ()))
    try:
        key.verify(signer.signature, signed, padding.PKCS1v15(), HASHES[hash_name][2]())
    except InvalidSignature:
        raise Refused(f"{what}: SignerInfo.signature", "does not verify with the signer's key") from None


def _one_signer(parts: SignedDataParts, version: bytes, what: str) -> tuple[SignerParts, list[Certificate]]:
    """The fields before and around the signer that both kinds of signature share."""
    require(parts.version == version, f"{what}: SignedData.version", f"not {core.Integer.load(version).native}")
    require(len(parts.digest_algorithms) == 1, f"{what}: SignedData.digestAlgorithms",
            f"{len(parts.digest_algorithms)} entries, not one")
    require(parts.crls is None, f"{what}: SignedData.crls", "revocation lists, which no signature covers")
    require(len(parts.signers) == 1, f"{what}: SignedData.signerInfos", f"{len(parts.signers)} signers, not one")
    return parts.signers[0], _certificates(parts, what)


def _check_chain(parts: SignedDataParts, chain: list[Certificate], what: str) -> None:
    require(parts.certificates == tuple(c.der for c in chain), f"{what}: SignedData.certificates",
            "not the signer's certificate and the chain that issued it up to a root, in that order, and nothing else")


def attribute_values(attribute: bytes, field: str) -> tuple[bytes, list[bytes]]:
    """An attribute's type, the bytes of its OBJECT IDENTIFIER, and its
    values; the attribute is strict DER already."""
    top = der.read_tlv(attribute, 0, len(attribute))
    elements = der.children(attribute, top) if top.tag == der.SEQUENCE else []
    require([e.tag for e in elements] == [der.OID, der.SET], field, "an attribute that is not a type and a SET of values")
    kind, values = elements
    return attribute[kind.start:kind.end], [attribute[v.start:v.end] for v in der.children(attribute, values)]


def _tst_info(parts: SignedDataParts, what: str) -> bytes:
    """The TSTInfo a time stamp's encapContentInfo holds, in its one form:
    each level's tag is checked before it is walked into."""
    info = parts.encap_content_info
    field = f"{what}: SignedData.encapContentInfo"
    top = der.read_tlv(info, 0, len(info))
    content = der.children(info, top) if top.tag == der.SEQUENCE else []
    require([c.tag for c in content] == [der.OID, 0xA0], field, "not a content type and its [0] content")
    explicit = der.children(info, content[1])
    require([e.tag for e in explicit] == [der.OCTET_STRING], field, "its content is not one OCTET STRING")
    tst_info = explicit[0].value(info)
    require(info == der.tlv(der.SEQUENCE, TST_INFO + der.tlv(0xA0, der.tlv(der.OCTET_STRING, tst_info))), field,
            "not a TSTInfo")
    return tst_info


def _check_signing_certificate(values: dict[str, bytes], certificate: Certificate, what: str) -> None:
    """RFC 3161 has the authority sign a hash of its own certificate (ESS
    signingCertificate, or V2 of RFC 5816): the carried one must be that
    one. V1 names it by SHA-1, which RFC 2634 fixes and authorities still
    write; V2 by SHA-256 or longer."""
    field = f"{what}: SignerInfo.signedAttrs"
    try:
        if SIGNING_CERTIFICATE_V2 in values:
            first = tsp.SigningCertificateV2.load(values[SIGNING_CERTIFICATE_V2])["certs"][0]
            hash_name = first["hash_algorithm"]["algorithm"].native
        else:
            require(SIGNING_CERTIFICATE in values, field, "no signingCertificate, which RFC 3161 asks for")
            first = tsp.SigningCertificate.load(values[SIGNING_CERTIFICATE])["certs"][0]
            hash_name = "sha1"
        require(hash_name in HASHES or hash_name == "sha1" and SIGNING_CERTIFICATE_V2 not in values, field,
                f"signingCertificateV2 names the certificate by {hash_name}, not SHA-256, SHA-384 or SHA-512")
        named = first["cert_hash"].native == hashlib.new(hash_name, certificate.der).digest()
        serial = first["issuer_serial"]
        if named and not isinstance(serial, core.Void):
            named = serial["serial_number"].native == certificate.typed.serial_number and [
                (name.name, name.chosen.untag().dump()) for name in serial["issuer"]] == [
                ("directory_name", certificate.typed.issuer.dump())]
    except (ValueError, TypeError, IndexError):
        raise Refused(field, "its signingCertificate cannot be read") from None
    require(named, field, "signingCertificate names another certificate than the one the time stamp carries")


def _small_integer(content: bytes, low: int, high: int) -> bool:
    """An INTEGER's content, in its shortest form, from `low` to `high`."""
    value = int.from_bytes(content, "big", signed=True)
    return bool(content) and low <= value <= high and core.Integer(value).contents == content


def read_tst_info(tst_info: bytes, signature: bytes, what: str) -> datetime.datetime:
    """The TSTInfo in the release's form, field by field: version 1, a
    policy, the imprint of the signer's signature, a serial number, genTime
    as DER has it, then optionally accuracy, ordering false, a nonce, the
    authority's name; no extensions, nothing else. Returns genTime."""
    field = f"{what}: TSTInfo"
    try:
        top = der.check_strict(tst_info)
    except der.DerError as error:
        raise Refused(field, f"not strict DER: {error}") from None
    elements = der.children(tst_info, top) if top.tag == der.SEQUENCE else []
    require(elements, field, "not a SEQUENCE of fields")
    position = 0

    def take(tag: int) -> bytes | None:
        """The content of the next field when it has `tag`."""
        nonlocal position
        if position < len(elements) and elements[position].tag == tag:
            position += 1
            return elements[position - 1].value(tst_info)
        return None

    require(take(der.INTEGER) == b"\x01", f"{field}.version", "not 1")
    policy = take(der.OID)
    require(policy is not None and len(policy) <= MAX_POLICY_OCTETS, f"{field}.policy",
            f"not an OBJECT IDENTIFIER of at most {MAX_POLICY_OCTETS} octets")
    imprint = take(der.SEQUENCE)
    imprints = {algorithm_identifier(oid, parameters) + der.tlv(der.OCTET_STRING, hashlib.new(name, signature).digest())
                for name, (oid, _, _) in HASHES.items() for parameters in (True, False)}
    require(imprint in imprints, f"{field}.messageImprint", "not the SHA-2 hash of the signer's signature")
    serial = take(der.INTEGER)
    require(serial is not None and len(serial) <= MAX_SERIAL_OCTETS and serial[0] < 0x80 and serial != b"\0",
            f"{field}.serialNumber", f"not a positive INTEGER of at most {MAX_SERIAL_OCTETS} octets")
    generated = take(GENERALIZED_TIME)
    time = None
    if generated is not None and GENERALIZED_TIME_FORM.fullmatch(generated):
        try:
            time = datetime.datetime.strptime(generated[:14].decode(), "%Y%m%d%H%M%S").replace(
                tzinfo=datetime.timezone.utc)
        except ValueError:
            time = None
    require(time is not None, f"{field}.genTime", "not a GeneralizedTime of seconds in UTC as DER writes it")
    assert time is not None
    accuracy = take(der.SEQUENCE)
    if accuracy is not None:
        parts = der.children(accuracy, der.Tlv(der.SEQUENCE, 0, 0, len(accuracy)))
        tags = [p.tag for p in parts]
        bounds = {der.INTEGER: (0, 2 ** 31 - 1), 0x80: (1, 999), 0x81: (1, 999)}
        require(tags == sorted(set(tags)) and set(tags) <= set(bounds) and all(
            _small_integer(p.value(accuracy), *bounds[p.tag]) for p in parts), f"{field}.accuracy",
            "not seconds, millis and micros as RFC 3161 bounds them")
    ordering = take(der.BOOLEAN)
    require(ordering in (None, b"\x00"), f"{field}.ordering", "true; a release's time stamp is not ordered")
    nonce_content = take(der.INTEGER)
    nonce = None if nonce_content is None else int.from_bytes(nonce_content, "big", signed=True)
    require(nonce is None or -(1 << (NONCE_BITS - 1)) <= nonce < 1 << NONCE_BITS, f"{field}.nonce",
            f"{len(nonce_content or b'')} octets, more than the {NONCE_BITS} bits a request sends")
    authority = take(0xA0)
    if authority is not None:
        try:
            asn1_x509.GeneralName.load(authority, strict=True).native
        except Exception:
            raise Refused(f"{field}.tsa", "not one GeneralName") from None
    require(take(0xA1) is None, f"{field}.extensions", "present; a release's time stamp has none")
    require(position == len(elements), field, f"field #{position + 1} is none that a TSTInfo has at that place")
    return time


@dataclass(frozen=True)
class TimeStamp:
    time: datetime.datetime
    chain: tuple[Certificate, ...]


def read_time_stamp(token: bytes, signature: bytes) -> TimeStamp:
    """An RFC 3161 time stamp over the signer's signature value, with one
    signer of its own and nothing outside what that signer covers, its
    uncovered fields in the one form the release writes them."""
    what = "time stamp"
    require(len(token) <= MAX_TIME_STAMP, what, f"{len(token)} bytes, more than the {MAX_TIME_STAMP} a time stamp has")
    parts = read_parts(token, what)
    signer, carried = _one_signer(parts, VERSION_3, what)
    hash_name = TSA_DIGESTS.get(parts.digest_algorithms[0])
    require(hash_name, f"{what}: SignedData.digestAlgorithms", "not SHA-256, SHA-384 or SHA-512 with NULL parameters")
    assert hash_name is not None
    tst_info = _tst_info(parts, what)
    time = read_tst_info(tst_info, signature, what)
    require(signer.version == VERSION_1, f"{what}: SignerInfo.version", "not 1, by issuer and serial number")
    certificate = signer_certificate(signer, carried, what)
    require(signer.digest_algorithm == parts.digest_algorithms[0], f"{what}: SignerInfo.digestAlgorithm",
            "not the one of SignedData.digestAlgorithms")
    values = _check_attributes(signer, TST_INFO, tst_info, hash_name, None, what)
    _check_signing_certificate(values, certificate, what)
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
    certificate = signer_certificate(signer, carried, what)
    require(signer.digest_algorithm == SHA256, f"{what}: SignerInfo.digestAlgorithm",
            "not the SHA-256 a release signs with, as OpenSSL writes it")
    values = _check_attributes(signer, SPC_INDIRECT_DATA, signed_content(parts.encap_content_info), "sha256",
                               RELEASE_ATTRIBUTES, what)
    require(values[SPC_STATEMENT_TYPE] == INDIVIDUAL_CODE_SIGNING, f"{what}: SignerInfo.signedAttrs",
            "SpcStatementType is not individual code signing")
    _verify(certificate, signer, "sha256", what)
    time_stamp = None
    if signer.unsigned_attrs is not None:
        field = f"{what}: SignerInfo.unsignedAttrs"
        require(len(signer.unsigned_attrs) == 1, field, f"{len(signer.unsigned_attrs)} attributes, not one time stamp")
        kind, values = attribute_values(signer.unsigned_attrs[0], field)
        require(kind == encoded_oid(RFC3161_TIME_STAMP), field,
                f"{core.ObjectIdentifier.load(kind).dotted}, not an RFC 3161 time stamp; no signature covers it")
        require(len(values) == 1, field, f"{len(values)} time stamps in one attribute")
        time_stamp = read_time_stamp(values[0], signer.signature)
    chain = chain_of(certificate, carried)
    _check_chain(parts, chain, what)
    return Signature(data, form, digest, tuple(chain), time_stamp)
