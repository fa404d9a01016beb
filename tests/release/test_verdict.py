"""The verifier's verdicts on genuine releases and on hostile files, each
judged in memory against the tested program as the rebuild, one table a
layer: the PE entry, DER, the signature's CMS fields, the time stamp, trust.
A refused row names the field the refusal must name."""
from __future__ import annotations

import datetime
import base64
import os
import struct
import subprocess
import sys
import time
import unittest
from dataclasses import replace
from pathlib import Path
from types import SimpleNamespace

from hypothesis import HealthCheck, given, settings, strategies

from asn1crypto import core

from fixtures import (NOW, appended, attribute, certified, parts_of, released, resigned, rewritten, shared_releases,
                      signed_as_is, signed_anew, time_stamped, token_of, tsa_swapped, tst_info, tst_resigned, with_signer)
from hello_origin_release import authenticode, der, pe, verdict
from hello_origin_release.authenticode import HASHES, RSA_ENCRYPTION, SHA256, algorithm_identifier, encoded_oid

ACCEPTED, REFUSED = verdict.Status.ACCEPTED, verdict.Status.REFUSED
PAYLOAD = der.tlv(der.OCTET_STRING, b"MZ" + bytes(65534))
# Small enough that a time stamp holding it stays under the bound of its size.
SMALL_PAYLOAD = der.tlv(der.OCTET_STRING, b"MZ" + bytes(1022))
LATER = NOW + datetime.timedelta(days=3)


def setUpModule() -> None:
    global releases, s
    r = releases = shared_releases()
    parts = parts_of(r.genuine)
    as_written = r.signed(r.publisher, "-ts", f"{r.tsa_url}/tsa")
    stamped = parts_of(released(r, as_written))
    forms = {f: authenticode.indirect_data(f, parts.encap_content_info[-32:]) for f in authenticode.SPC_FORMS}
    changed = r.file("changed.exe", r.rebuild[:4096] + bytes([r.rebuild[4096] ^ 1]) + r.rebuild[4097:])
    ca_signed = released(r, r.sign(r.leaf.chain(r.folder, "chain.pem", r.intermediate), r.leaf.key_file))
    s = SimpleNamespace(revoked=r.revoked(r.leaf), parts=parts, signer=parts.signers[0], as_written=as_written, stamped=stamped,
                        token=token_of(stamped), forms=forms, changed=changed, ca_signed=ca_signed,
                        other_form=next(f for f, info in forms.items() if info != parts.encap_content_info),
                        own=r.policy(signer=r.publisher), ca_issued=r.policy(r.ca, r.leaf),
                        both=r.ca.chain(r.folder, "both.pem", r.intermediate))


def judge(data: bytes, policy: verdict.Policy, now: datetime.datetime = NOW) -> tuple[verdict.Outcome, str]:
    lines: list[str] = []
    outcome = verdict.judge(data, lambda: releases.rebuild, policy, now, lines.append)
    return outcome, "\n".join(lines) + f"\n{outcome.refusal}"


def stamp(token: authenticode.SignedDataParts) -> bytes:
    """The genuine time-stamped release, its time stamp replaced by `token`."""
    return rewritten(releases, time_stamped(s.stamped, token))


def tst(**fields: bytes) -> bytes:
    """The release time-stamped by the trusted authority over a TSTInfo with `fields`."""
    return stamp(tst_resigned(s.token, tst_info(s.stamped.signers[0].signature, **fields), releases.tsa.key))


class Verdicts(unittest.TestCase):
    def check(self, rows: list[tuple]) -> None:
        """Each row: name, file, policy, then the status, or the field a
        refusal names; a fifth element is the time it is judged at."""
        for name, data, policy, expected, *at in rows:
            with self.subTest(name):
                started = time.monotonic()
                outcome, said = judge(data, policy, *at)
                field = outcome.refusal.field if outcome.refusal else None
                self.assertEqual((outcome.status, field), (REFUSED, expected) if isinstance(expected, str)
                                 else (expected, None), said)
                self.assertLess(time.monotonic() - started, 10)

    def test_pe_entry(self) -> None:
        r, genuine = releases, releases.genuine
        encoded = authenticode.encode(s.parts)
        header = struct.unpack_from("<I", genuine, 0x3C)[0]

        def patched(offset: int, layout: str, value: int) -> bytes:
            data = bytearray(genuine)
            struct.pack_into(layout, data, offset, value)
            return bytes(data)

        self.check([
            ("the genuine release", genuine, s.own, ACCEPTED),
            ("the unsigned image", r.rebuild, s.own, verdict.Status.NOT_SIGNED),
            ("one byte of the program changed", r.signed(r.publisher, image=s.changed), s.own, "bytes"),
            ("the signature of another image", rewritten(r, parts_of(r.signed(r.publisher, image=s.changed))), s.own,
             "signature: SpcIndirectDataContent"),
            ("the unsigned image, one byte changed", s.changed.read_bytes(), s.own, "bytes"),
            ("bytes appended", genuine + b"appended", s.own, "the certificate table"),
            ("bytes cut", genuine[:-16], s.own, "the certificate table"),
            ("a certificate table of another revision", genuine[:len(r.rebuild) + 4] + b"\x00\x01"
             + genuine[len(r.rebuild) + 6:], s.own, "the certificate table"),
            ("an entry length other than the table's", genuine[:len(r.rebuild)] + bytes([genuine[len(r.rebuild)] ^ 8])
             + genuine[len(r.rebuild) + 1:], s.own, "the certificate table"),
            ("padding that is not zero", pe.attach(r.image, encoded + b"\1" + bytes(-(9 + len(encoded)) % 8)), s.own,
             "the certificate table"),
            ("eight bytes of padding", pe.attach(r.image, encoded + bytes(-(8 + len(encoded)) % 8 + 8)), s.own,
             "the certificate table"),
            ("a signature table of 300 KiB", pe.attach(r.image, der.tlv(der.SEQUENCE, bytes(300 * 1024))), s.own,
             "the certificate table"),
            ("not a program", b"#!/bin/sh\n" * 100, s.own, "DOS header"),
            ("a file of more than 16 MiB", genuine + bytes(16 << 20), s.own, "file"),
            ("an entry that holds no DER element", pe.attach(r.image, b"\x1f" + bytes(7)), s.own, "the certificate table"),
            ("no PE signature", patched(header, "<I", 0), s.own, "PE signature"),
            ("an x86 image", patched(header + 4, "<H", 0x14C), s.own, "FileHeader.Machine"),
            ("an optional header too small", patched(header + 20, "<H", 96), s.own, "SizeOfOptionalHeader"),
            ("a PE32 image", patched(header + 24, "<H", 0x10B), s.own, "OptionalHeader.Magic"),
            ("four data directories", patched(header + 24 + 108, "<I", 4), s.own, "NumberOfRvaAndSizes"),
            ("97 sections", patched(header + 6, "<H", 97), s.own, "NumberOfSections"),
        ])

    def test_der(self) -> None:
        nested = b"\x05\x00"
        for _ in range(der.MAX_DEPTH + 1):
            nested = der.tlv(der.SEQUENCE, nested)
        rules = [("a multi-byte tag", b"\x1f\x81\x01\x00", "a multi-byte tag"),
                 ("a BOOLEAN of 01", b"\x01\x01\x01", "a BOOLEAN other than 00 or FF"),
                 ("a needless leading byte", b"\x02\x02\x00\x01", "an INTEGER not in its shortest form"),
                 ("a needless 0x80", b"\x06\x02\x80\x01", "an OBJECT IDENTIFIER not in its shortest form"),
                 ("stray unused bits", b"\x03\x02\x01\x01", "a BIT STRING with stray unused bits"),
                 ("a constructed OCTET STRING", b"\x24\x03\x04\x01\x00", "a constructed string"),
                 ("too deep", nested, f"nested more than {der.MAX_DEPTH} deep"),
                 ("bytes after the element", b"\x05\x00\x00", "bytes after the element"),
                 ("a NULL with content", b"\x05\x01\x00", "a NULL with content"),
                 ("cut short", b"\x30", "an element cut short"),
                 ("a length of five octets", b"\x04\x85\x00\x00\x00\x00\x01\x00", "a length of more than 4 bytes"),
                 ("content past the end", b"\x04\x05\x00", "content past the end of what holds it"),
                 ("an indefinite length", b"\x30\x80\x00\x00", "an indefinite length"),
                 ("a long form for a short length", b"\x04\x81\x01\x00", "a length not in its shortest form")]
        for name, data, rule in rules:
            with self.subTest(name):
                with self.assertRaises(der.DerError) as raised:
                    der.check_strict(data)
                self.assertEqual(raised.exception.rule, rule)
        der.check_strict(der.tlv(der.SEQUENCE, b"\x01\x01\xff\x02\x01\x80\x06\x01\x2a\x03\x02\x07\x80\x05\x00"))
        self.check([
            ("an element after SignerInfo's last field", pe.attach(releases.image, appended(
                authenticode.encode(s.parts), [1, 0, -1, 0], core.Null().dump())), s.own, "signature: encoding"),
            ("a length not in its shortest form", rewritten(releases, with_signer(s.parts, version=b"\x02\x81\x01\x01")),
             s.own, "signature: encoding"),
            ("an indefinite length", rewritten(releases, with_signer(s.parts, version=b"\x30\x80\x02\x01\x01\x00\x00")),
             s.own, "signature: encoding"),
        ])

    def test_cms_fields(self) -> None:
        r, parts, signer, forms = releases, s.parts, s.signer, s.forms
        no_form = forms["osslsigncode 2.6 and later"].replace(bytes.fromhex("03020780"), bytes.fromhex("03020700"))
        flipped_version = bytes([der.INTEGER, 1, 3])
        kind = encoded_oid(authenticode.SIGNING_TIME)
        others = [a for a in signer.signed_attrs or () if kind not in a]
        when = b"\x17\x0d" + NOW.strftime("%y%m%d%H%M%SZ").encode()
        self.check([
            (f"the same release as {s.other_form} writes it", rewritten(r, resigned(
                parts, forms[s.other_form], r.publisher.key)), s.own, ACCEPTED),
            ("no --signer", r.genuine, r.policy(), verdict.Status.SIGNER_NOT_CHECKED),
            ("a payload for rsaEncryption's NULL", rewritten(r, with_signer(parts, signature_algorithm=der.tlv(
                der.SEQUENCE, encoded_oid(RSA_ENCRYPTION) + PAYLOAD))), s.own, "signature: SignerInfo.signatureAlgorithm"),
            ("sha256WithRSAEncryption for rsaEncryption", rewritten(r, with_signer(
                parts, signature_algorithm=algorithm_identifier(HASHES["sha256"][1], True))), s.own,
             "signature: SignerInfo.signatureAlgorithm"),
            ("an OCTET STRING tag for the NULL", rewritten(r, with_signer(parts, signature_algorithm=der.tlv(
                der.SEQUENCE, encoded_oid(RSA_ENCRYPTION) + b"\x04\x00"))), s.own, "signature: SignerInfo.signatureAlgorithm"),
            ("a payload in the signer's digest algorithm", rewritten(r, with_signer(parts, digest_algorithm=der.tlv(
                der.SEQUENCE, encoded_oid(HASHES["sha256"][0]) + PAYLOAD))), s.own, "signature: SignerInfo.digestAlgorithm"),
            ("a payload in SignedData.digestAlgorithms", rewritten(r, replace(parts, digest_algorithms=(der.tlv(
                der.SEQUENCE, encoded_oid(HASHES["sha256"][0]) + PAYLOAD),))), s.own, "signature: SignedData.digestAlgorithms"),
            ("an extra digest algorithm", rewritten(r, replace(parts, digest_algorithms=(SHA256, algorithm_identifier(
                HASHES["sha512"][0], True)))), s.own, "signature: SignedData.digestAlgorithms"),
            ("SignedData.version 3", rewritten(r, replace(parts, version=flipped_version)), s.own,
             "signature: SignedData.version"),
            ("SignerInfo.version 3", rewritten(r, with_signer(parts, version=flipped_version)), s.own,
             "signature: SignerInfo.version"),
            ("another content type", rewritten(r, replace(parts, content_type=encoded_oid("1.2.3.4"))), s.own,
             "signature: ContentInfo.contentType"),
            ("a certificate that cannot be read", rewritten(r, replace(parts, certificates=(der.tlv(
                der.SEQUENCE, b"\x02\x01\x01"),))), s.own, "signature: SignedData.certificates"),
            ("the signer's certificate twice", rewritten(r, replace(parts, certificates=(r.publisher.der,) * 2)), s.own,
             "signature: SignerInfo.sid"),
            ("no signed attributes", rewritten(r, with_signer(parts, signed_attrs=None)), s.own,
             "signature: SignerInfo.signedAttrs"),
            ("signed attributes out of DER's order", rewritten(r, signed_as_is(parts, r.publisher.key, list(reversed(
                signer.signed_attrs or ())))), s.own, "signature: SignerInfo.signedAttrs"),
            ("a signed attribute whose values are no SET", rewritten(r, signed_as_is(parts, r.publisher.key, sorted([
                *others, der.tlv(der.SEQUENCE, encoded_oid(authenticode.SIGNING_TIME) + der.tlv(der.SEQUENCE, when))]))),
             s.own, "signature: SignerInfo.signedAttrs"),
            ("a signed attribute twice", rewritten(r, signed_as_is(parts, r.publisher.key, sorted([
                *others, *[attribute(authenticode.SIGNING_TIME, when)] * 2]))), s.own, "signature: SignerInfo.signedAttrs"),
            ("a signed attribute of two values", rewritten(r, signed_as_is(parts, r.publisher.key, sorted([
                *others, attribute(authenticode.SIGNING_TIME, when, when)]))), s.own, "signature: SignerInfo.signedAttrs"),
            ("a contentType other than the content's", rewritten(r, resigned(parts, forms[s.other_form], r.publisher.key, {
                authenticode.CONTENT_TYPE: encoded_oid("1.2.840.113549.1.7.1")})), s.own,
             "signature: SignerInfo.signedAttrs"),
            ("the issuer re-cased", rewritten(r, with_signer(parts, sid=signer.sid.replace(
                b"hello-origin", b"Hello-Origin"))), s.own, "signature: SignerInfo.sid"),
            ("a revocation list", rewritten(r, replace(parts, crls=(r.revocation_der,))), s.own, "signature: SignedData.crls"),
            ("a time stamp's type, any value", rewritten(r, with_signer(parts, unsigned_attrs=(der.tlv(
                der.SEQUENCE, encoded_oid(authenticode.RFC3161_TIME_STAMP) + der.tlv(der.SET, PAYLOAD)),))), s.own,
             "time stamp"),
            ("two time stamps in one attribute", rewritten(r, with_signer(parts, unsigned_attrs=(der.tlv(
                der.SEQUENCE, encoded_oid(authenticode.RFC3161_TIME_STAMP) + der.tlv(der.SET, b"\x05\x00\x05\x00")),))),
             s.own, "signature: SignerInfo.unsignedAttrs"),
            ("a countersignature's type, any value", rewritten(r, with_signer(parts, unsigned_attrs=(der.tlv(
                der.SEQUENCE, encoded_oid("1.2.840.113549.1.9.6") + der.tlv(der.SET, PAYLOAD)),))), s.own,
             "signature: SignerInfo.unsignedAttrs"),
            ("unsigned data beside the signature", r.sign(r.publisher.pem, r.publisher.key_file, "-addUnauthenticatedBlob",
                                                          image=r.file("g.exe", r.genuine), command="add"), s.own,
             "signature: SignerInfo.unsignedAttrs"),
            ("the publisher's signature nested under a stranger's", r.signed(
                r.publisher, "-nest", image=r.file("s.exe", r.signed(r.stranger))), s.own,
             "signature: SignerInfo.unsignedAttrs"),
            ("a stranger's signature nested under the publisher's", r.signed(r.stranger, "-nest", image=r.file(
                "g.exe", r.genuine)), s.own, "signature: SignerInfo.unsignedAttrs"),
            ("two signatures by the publisher", r.signed(r.publisher, "-nest", image=r.file("g.exe", r.genuine)), s.own,
             "signature: SignerInfo.unsignedAttrs"),
            ("the signature with a leading zero byte", rewritten(r, with_signer(parts, signature=b"\0" + signer.signature)),
             s.own, "signature: SignerInfo.signature"),
            ("the signature flipped", rewritten(r, with_signer(parts, signature=signer.signature[:-1] + bytes(
                [signer.signature[-1] ^ 1]))), s.own, "signature: SignerInfo.signature"),
            ("a messageDigest of other content", rewritten(r, replace(resigned(
                parts, forms[s.other_form], r.publisher.key), encap_content_info=parts.encap_content_info)), s.own,
             "signature: SignerInfo.signedAttrs"),
            ("an SpcIndirectDataContent a release does not write", rewritten(r, resigned(parts, no_form, r.publisher.key)),
             s.own, "signature: SignedData.encapContentInfo"),
            ("a time stamp and another unsigned attribute", rewritten(r, with_signer(s.stamped, unsigned_attrs=(
                *(s.stamped.signers[0].unsigned_attrs or ()), der.tlv(der.SEQUENCE, encoded_oid("1.2.3.4") + der.tlv(
                    der.SET, PAYLOAD))))), s.own, "signature: SignerInfo.unsignedAttrs"),
            ("a signed attribute a release does not write", rewritten(r, resigned(
                parts, forms[s.other_form], r.publisher.key, {"1.2.3.4": PAYLOAD})), s.own,
             "signature: SignerInfo.signedAttrs"),
            ("a statement type other than individual", rewritten(r, resigned(parts, forms[s.other_form], r.publisher.key, {
                authenticode.SPC_STATEMENT_TYPE: der.tlv(der.SEQUENCE, encoded_oid("1.3.6.1.4.1.311.2.1.22"))})),
             s.own, "signature: SignerInfo.signedAttrs"),
            ("nine certificates", rewritten(r, replace(parts, certificates=(r.publisher.der,) * 9)), s.own,
             "signature: SignedData.certificates"),
            ("two signer infos", rewritten(r, replace(parts, signers=(signer, signer))), s.own,
             "signature: SignedData.signerInfos"),
            ("a sid naming no carried certificate", rewritten(r, with_signer(parts, sid=signer.sid[:-1] + bytes(
                [signer.sid[-1] ^ 1]))), s.own, "signature: SignerInfo.sid"),
            ("the publisher's key, MD5", r.signed(r.publisher, "-h", "md5"), s.own, "signature: SignedData.digestAlgorithms"),
            ("the publisher's key, SHA-1", r.signed(r.publisher, "-h", "sha1"), s.own,
             "signature: SignedData.digestAlgorithms"),
            ("the publisher's key, SHA-384", r.signed(r.publisher, "-h", "sha384"), s.own,
             "signature: SignedData.digestAlgorithms"),
        ])

    def test_time_stamp(self) -> None:
        r, stamped, token = releases, s.stamped, s.token
        by_key = token.certificates[0].split(b"\x04\x14", 1)[1][:20] if token.certificates else b""
        tsa_signer = token.signers[0]
        other_form = replace(with_signer(token, version=bytes([der.INTEGER, 1, 3]), sid=der.tlv(0x80, by_key),
                                         signature_algorithm=algorithm_identifier(HASHES["sha256"][1], True)),
                             certificates=(*(token.certificates or ()), r.tsa_root.der))
        name = der.tlv(0xA0, der.tlv(0xA4, r.tsa.certificate.subject.public_bytes()))
        info = token.encap_content_info
        kind, content = der.children(info, der.read_tlv(info, 0, len(info)))
        swapped = der.tlv(der.SEQUENCE, info[content.start:content.end] + info[kind.start:kind.end])
        self.check([
            ("time-stamped by a trusted authority", stamp(token), s.own, ACCEPTED),
            ("time-stamped, judged once the certificates expired", stamp(token), s.own, ACCEPTED, LATER),
            ("not time-stamped, judged once the certificate expired", r.genuine, s.own, "signature: certificate chain",
             LATER),
            ("a TSTInfo with every field a release allows", tst(accuracy=der.tlv(der.SEQUENCE, b"\x02\x01\x01\x80\x02\x01\xf4"),
                                                            ordering=b"\x01\x01\x00", tsa=name), s.own, ACCEPTED),
            ("a time stamp with its authority's root, as osslsigncode wrote it", s.as_written, s.own,
             "time stamp: SignedData.certificates"),
            ("a time stamp in another authority's form", stamp(replace(with_signer(
                token, version=bytes([der.INTEGER, 1, 3]), sid=der.tlv(0x80, by_key), signature_algorithm=algorithm_identifier(
                    HASHES["sha256"][1], True), digest_algorithm=algorithm_identifier(HASHES["sha256"][0], False)),
                digest_algorithms=(algorithm_identifier(HASHES["sha256"][0], False),))), s.own,
             "time stamp: SignedData.digestAlgorithms"),
            ("a time stamp in another authority's form, put in the release's", released(r, stamp(other_form)), s.own,
             ACCEPTED),
            ("a time stamp's signer by key identifier", stamp(with_signer(token, version=bytes([der.INTEGER, 1, 3]),
                                                                          sid=der.tlv(0x80, by_key))), s.own,
             "time stamp: SignerInfo.version"),
            ("a time stamp's sha256WithRSAEncryption", stamp(with_signer(token, signature_algorithm=algorithm_identifier(
                HASHES["sha256"][1], True))), s.own, "time stamp: SignerInfo.signatureAlgorithm"),
            ("a time stamp naming its certificate by issuer and serial number too", stamp(certified(
                token, r.tsa.der, r.tsa.der, r.tsa.key)), s.own, ACCEPTED),
            ("a time stamp naming its certificate by another's issuer and serial number", stamp(certified(
                token, r.tsa.der, r.tsa_root.der, r.tsa.key)), s.own, "time stamp: SignerInfo.signedAttrs"),
            ("a time stamp naming another certificate than it carries", stamp(certified(
                token, r.tsa_root.der, None, r.tsa.key)), s.own, "time stamp: SignerInfo.signedAttrs"),
            ("a time stamp naming its certificate by MD5", stamp(certified(token, r.tsa.der, None, r.tsa.key, "md5")),
             s.own, "time stamp: SignerInfo.signedAttrs"),
            ("a time stamp naming its certificate by SHA-1 in signingCertificateV2", stamp(certified(
                token, r.tsa.der, None, r.tsa.key, "sha1")), s.own, "time stamp: SignerInfo.signedAttrs"),
            ("a time stamp naming no certificate", stamp(signed_as_is(token, r.tsa.key, [
                a for a in tsa_signer.signed_attrs or () if b"\x10\x02\x2f" not in a and b"\x10\x02\x0c" not in a])),
             s.own, "time stamp: SignerInfo.signedAttrs"),
            ("a signingCertificateV2 that cannot be read", stamp(signed_anew(token, r.tsa.key, {
                authenticode.SIGNING_CERTIFICATE_V2: der.tlv(der.SEQUENCE, b"")})), s.own,
             "time stamp: SignerInfo.signedAttrs"),
            ("an extra digest algorithm in the time stamp", stamp(replace(token, digest_algorithms=(
                *token.digest_algorithms, algorithm_identifier(HASHES["sha512"][0], True)))), s.own,
             "time stamp: SignedData.digestAlgorithms"),
            ("a time stamp's content empty", stamp(replace(token, encap_content_info=der.tlv(
                der.SEQUENCE, authenticode.TST_INFO + der.tlv(0xA0, b"")))), s.own, "time stamp: SignedData.encapContentInfo"),
            ("a TSTInfo that is not a SEQUENCE", stamp(tst_resigned(token, b"\x05\x00", r.tsa.key)), s.own,
             "time stamp: TSTInfo"),
            ("a TSTInfo not in DER", tst(ordering=b"\x01\x01\x01"), s.own, "time stamp: TSTInfo"),
            ("a serial number of zero", tst(serial=der.tlv(der.INTEGER, b"\x00")), s.own, "time stamp: TSTInfo.serialNumber"),
            ("a negative serial number", tst(serial=der.tlv(der.INTEGER, b"\xff")), s.own, "time stamp: TSTInfo.serialNumber"),
            ("a time stamp's value in a SEQUENCE, not a SET", rewritten(r, with_signer(stamped, unsigned_attrs=(der.tlv(
                der.SEQUENCE, encoded_oid(authenticode.RFC3161_TIME_STAMP) + der.tlv(der.SEQUENCE, authenticode.encode(
                    token))),))), s.own, "signature: SignerInfo.unsignedAttrs"),
            ("a time stamp of version 1", stamp(replace(token, version=bytes([der.INTEGER, 1, 1]))), s.own,
             "time stamp: SignedData.version"),
            ("a time stamp of another content type", stamp(replace(token, encap_content_info=token.encap_content_info.replace(
                authenticode.TST_INFO, encoded_oid("1.2.840.113549.1.9.16.1.5")))), s.own,
             "time stamp: SignedData.encapContentInfo"),
            ("a time stamp's content type after its content", stamp(replace(token, encap_content_info=swapped)), s.own,
             "time stamp: SignedData.encapContentInfo"),
            ("a time stamp by a self-made authority", r.sign(r.publisher.pem, r.publisher.key_file, "-ts",
                                                             f"{r.tsa_url}/self-made", image=r.file("g.exe", r.genuine),
                                                             command="add"), s.own,
             "time stamp: certificate chain"),
            ("unsigned data in the time stamp", stamp(with_signer(token, unsigned_attrs=(der.tlv(
                der.SEQUENCE, encoded_oid("1.2.3.4") + der.tlv(der.SET, SMALL_PAYLOAD)),))), s.own,
             "time stamp: SignerInfo.unsignedAttrs"),
            ("a payload in the time stamp's digest algorithms", stamp(replace(token, digest_algorithms=(der.tlv(
                der.SEQUENCE, encoded_oid(HASHES["sha256"][0]) + SMALL_PAYLOAD),))), s.own,
             "time stamp: SignedData.digestAlgorithms"),
            ("the time stamp's signer's digest algorithm unlike SignedData's", stamp(with_signer(
                token, digest_algorithm=algorithm_identifier(HASHES["sha384"][0], True))), s.own,
             "time stamp: SignerInfo.digestAlgorithm"),
            ("an extra certificate in the time stamp", stamp(replace(token, certificates=(
                *(token.certificates or ()), r.other.der))), s.own, "time stamp: SignedData.certificates"),
            ("a time stamp for another signature", stamp(token_of(parts_of(r.signed(
                r.publisher, "-ts", f"{r.tsa_url}/tsa", image=s.changed)))), s.own, "time stamp: TSTInfo.messageImprint"),
            ("a time-stamp signer's version 2", stamp(with_signer(token, version=der.tlv(der.INTEGER, b"\x02"))), s.own,
             "time stamp: SignerInfo.version"),
            ("the time stamp's signature flipped", stamp(with_signer(token, signature=tsa_signer.signature[:-1] + bytes(
                [tsa_signer.signature[-1] ^ 1]))), s.own, "time stamp: SignerInfo.signature"),
            ("a time stamp of 20 KiB", tst(nonce=der.tlv(der.INTEGER, b"\x01" + bytes(20 * 1024))), s.own, "time stamp"),
            # The TSTInfo: only the authority's own fields, and what a release's request chose.
            ("a nonce of 4 KiB of an MZ image", tst(nonce=der.tlv(der.INTEGER, b"MZ" + bytes(4094))), s.own,
             "time stamp: TSTInfo.nonce"),
            ("a nonce of 65 bits", tst(nonce=der.tlv(der.INTEGER, b"\x01" + bytes(8))), s.own, "time stamp: TSTInfo.nonce"),
            ("a 550-byte extension", tst(extensions=der.tlv(0xA1, der.tlv(der.SEQUENCE, encoded_oid("1.2.3.4") + der.tlv(
                der.OCTET_STRING, bytes(530))))), s.own, "time stamp: TSTInfo.extensions"),
            ("a TSTInfo of version 2", tst(version=der.tlv(der.INTEGER, b"\x02")), s.own, "time stamp: TSTInfo.version"),
            ("a policy of 40 octets", tst(policy=der.tlv(der.OID, b"\x2a" + b"\x01" * 39)), s.own,
             "time stamp: TSTInfo.policy"),
            ("a payload in the imprint's parameters", tst(imprint=der.tlv(der.SEQUENCE, der.tlv(der.SEQUENCE, encoded_oid(
                HASHES["sha256"][0]) + SMALL_PAYLOAD) + der.tlv(der.OCTET_STRING, bytes(32)))), s.own,
             "time stamp: TSTInfo.messageImprint"),
            ("a serial number of 21 octets", tst(serial=der.tlv(der.INTEGER, b"\x01" + bytes(20))), s.own,
             "time stamp: TSTInfo.serialNumber"),
            ("a genTime fraction ending in zero", tst(time=der.tlv(0x18, NOW.strftime("%Y%m%d%H%M%S.50Z").encode())), s.own,
             "time stamp: TSTInfo.genTime"),
            ("a genTime in local time", tst(time=der.tlv(0x18, NOW.strftime("%Y%m%d%H%M%S").encode())), s.own,
             "time stamp: TSTInfo.genTime"),
            ("an accuracy of 1000 milliseconds", tst(accuracy=der.tlv(der.SEQUENCE, b"\x80\x02\x03\xe8")), s.own,
             "time stamp: TSTInfo.accuracy"),
            ("ordering true", tst(ordering=b"\x01\x01\xff"), s.own, "time stamp: TSTInfo.ordering"),
            ("a tsa name that is no GeneralName", tst(tsa=der.tlv(0xA0, der.tlv(0xA9, b""))), s.own,
             "time stamp: TSTInfo.tsa"),
            ("a field after the last", tst(after=der.tlv(0xA2, b"")), s.own, "time stamp: TSTInfo"),
        ])

    def test_trust(self) -> None:
        r, ca_signed = releases, s.ca_signed
        lifetime = released(r, r.signed(r.lifetime, "-ts", f"{r.tsa_url}/tsa"))
        # The root with bytes after it: openssl takes it, this verifier cannot read it to judge its usages.
        trailing = base64.b64encode(r.ca.der + b"\x05\x00").decode()
        unread_root = r.file("trailing-root.pem", f"-----BEGIN CERTIFICATE-----\n{trailing}\n-----END CERTIFICATE-----\n"
                             .encode())
        self.check([
            ("a CA-issued certificate whose revocation server never answers", ca_signed, s.ca_issued, ACCEPTED),
            ("the CA's root carried too", r.sign(r.leaf.chain(r.folder, "root.pem", r.intermediate, r.ca),
                                                 r.leaf.key_file), s.ca_issued, "signature: SignedData.certificates"),
            ("the intermediate left out, the trust store holding it", rewritten(r, replace(
                parts_of(ca_signed), certificates=(r.leaf.der,))), r.policy(s.both, r.leaf), "signature: certificate chain"),
            ("a certificate signed with ECDSA", r.sign(r.under_elliptic.chain(r.folder, "e.pem", r.elliptic),
                                                       r.under_elliptic.key_file), s.ca_issued,
             "signature: SignedData.certificates"),
            ("an issuer of TLS certificates only", released(r, r.sign(r.under_tls_ca.chain(r.folder, "t.pem", r.tls_ca),
                                                                      r.under_tls_ca.key_file)),
             r.policy(r.ca, r.under_tls_ca), "signature: certificate chain"),
            ("a certificate signed with ECDSA, alone", rewritten(r, replace(parts_of(r.sign(
                r.under_elliptic.chain(r.folder, "e.pem", r.elliptic), r.under_elliptic.key_file)), certificates=(
                r.under_elliptic.der,))), s.ca_issued, "signature: SignedData.certificates"),
            ("an expired copy of the intermediate, the trust store holding a valid one", rewritten(r, replace(
                parts_of(ca_signed), certificates=(r.leaf.der, r.expired.der))), r.policy(s.both, r.leaf),
             "signature: certificate chain"),
            ("a root this verifier cannot read", ca_signed, r.policy(unread_root, r.leaf), "signature: certificate chain"),
            ("a root of TLS certificates only", released(r, r.signed(r.under_tls_root)), r.policy(
                r.tls_root, r.under_tls_root), "signature: certificate chain"),
            ("a key not for signatures", r.signed(r.no_signing), r.policy(r.no_signing), "signature: certificate chain"),
            ("a certificate not for code signing", r.signed(r.server), r.policy(r.server), "signature: certificate chain"),
            ("a certificate the chain does not need", rewritten(r, replace(parts_of(ca_signed), certificates=(
                *(parts_of(ca_signed).certificates or ()), r.other.der))), s.ca_issued, "signature: SignedData.certificates"),
            ("the CA's key in a copy of its name, beside it", rewritten(r, replace(parts_of(ca_signed), certificates=(
                *(parts_of(ca_signed).certificates or ()), r.copy.der))), s.ca_issued, "signature: SignedData.certificates"),
            ("the CA's key in a copy of its name, for it", rewritten(r, replace(parts_of(ca_signed), certificates=(
                r.leaf.der, r.copy.der))), s.ca_issued, "signature: certificate chain"),
            ("the same, the trust store holding the intermediate", rewritten(r, replace(parts_of(ca_signed), certificates=(
                r.leaf.der, r.copy.der))), r.policy(s.both, r.leaf), "signature: certificate chain"),
            ("a stranger's certificate in the publisher's name", r.signed(r.stranger), s.own, "signer"),
            ("a signer nobody here trusts", r.genuine, r.policy(r.stranger, r.publisher), "signature: certificate chain"),
            ("a revoked signer, with --crl", ca_signed, r.policy(r.ca, r.leaf, s.revoked),
             "signature: certificate chain"),
            # Keys below the floor, wherever they are carried.
            ("the publisher's RSA-1024 key, pinned with --signer", r.signed(r.weak), r.policy(r.weak, r.weak),
             "signature: SignedData.certificates"),
            ("an RSA-2048 key with exponent 3", r.signed(r.exponent_3), r.policy(r.exponent_3, r.exponent_3),
             "signature: SignedData.certificates"),
            ("a time-stamp authority's RSA-1024 key under the trusted root", stamp(tsa_swapped(s.token, r.weak_tsa)),
             s.own, "time stamp: SignedData.certificates"),
            # Usages as Windows and RFC 3161 judge them.
            ("a lifetime-signing signer, time-stamped, judged now", lifetime, r.policy(r.lifetime, r.lifetime), ACCEPTED),
            ("a lifetime-signing signer, time-stamped, judged once it expired", lifetime, r.policy(r.lifetime, r.lifetime),
             "signature: certificate chain", LATER),
            ("a time-stamp certificate also for lifetime signing", stamp(tsa_swapped(s.token, r.lifetime_tsa)), s.own,
             "time stamp: certificate chain"),
            ("a time-stamp certificate whose usage is not critical", stamp(tsa_swapped(s.token, r.loose_tsa)), s.own,
             "time stamp: certificate chain"),
            ("a time-stamp certificate made anew by the same authority", stamp(tsa_swapped(s.token, r.tsa)), s.own,
             ACCEPTED),
        ])
        self.assertEqual(releases.connections, [], "no revocation server was asked")

    def test_rebuild_not_made(self) -> None:
        """A rebuild that cannot be made is the caller's to report, never a verdict on the file."""
        def fails() -> bytes:
            raise PermissionError("read-only")
        self.assertRaises(PermissionError, verdict.judge, releases.genuine, fails, s.own, NOW)

    # Fewer where scripts/mutate.sh runs the whole table once a fault.
    @settings(max_examples=int(os.environ.get("HELLO_ORIGIN_EXAMPLES", "300")), deadline=None, database=None,
              suppress_health_check=[HealthCheck.too_slow])
    @given(strategies.data())
    def test_no_change_is_accepted(self, data: strategies.DataObject) -> None:
        """Bytes changed, put in or taken out anywhere in a genuine file, or
        in its time-stamped, CA-issued signature attached anew (so that the
        CheckSum holds), are never accepted. "Changed" is judged on the file:
        a zero byte the signature's padding swallows changes nothing."""
        r = releases
        signature = data.draw(strategies.booleans())
        genuine = authenticode.encode(parts_of(r.chained)) if signature else r.genuine
        offset = data.draw(strategies.integers(0, len(genuine)))
        inserted = data.draw(strategies.binary(max_size=8))
        changed = genuine[:offset] + inserted + genuine[offset + data.draw(strategies.integers(0, 8)):]
        file = pe.attach(r.image, changed) if signature else changed
        if file != (r.chained if signature else r.genuine):
            policy = r.policy(r.ca, r.leaf) if signature else r.policy(signer=r.publisher)
            outcome, said = judge(file, policy)
            self.assertNotEqual(outcome.status, ACCEPTED, said)


class Arguments(unittest.TestCase):
    """Inputs that are not what they should be are wrong usage, named, and
    never a verdict; file names that look like options are never read as a
    verdict of 0; no library's warning reaches the terminal."""

    def test_table(self) -> None:
        r = releases
        main = Path(__file__).resolve().parents[2] / "release/main.py"
        for name in ("-x.exe", "x.exe"):
            r.file(name, b"not a program")
        fifo = r.folder / "fifo"
        if not fifo.exists():
            os.mkfifo(fifo)
        big = r.file("big.pem", bytes(2 << 20))
        odd = r.file("odd.exe", rewritten(r, replace(s.parts, certificates=(r.odd.der,))))
        rows = [(["-h"], 2, "-h takes no other argument"), (["--help"], 2, "--help takes no other argument"),
                (["-x.exe"], 2, "unknown option: -x.exe"), (["--", "-x.exe"], 1, "verdict: REFUSED: DOS header: not a PE"),
                (["--ca", str(fifo), "x.exe"], 2, f"--ca {fifo}: is not a regular file"),
                (["--tsa-ca", "/dev/zero", "x.exe"], 2, "--tsa-ca /dev/zero: is not a regular file"),
                (["--crl", "missing.pem", "x.exe"], 2, "--crl missing.pem: cannot be opened"),
                (["--ca", ".", "x.exe"], 2, "--ca .: is not a regular file"),
                (["--ca", str(big), "x.exe"], 2, f"--ca {big}: holds 2097152 bytes"),
                (["--ca", "x.exe", "x.exe"], 2, "--ca x.exe: holds no CERTIFICATE in PEM form"),
                (["--crl", str(r.publisher.pem), "x.exe"], 2, "holds no X509 CRL in PEM form"),
                (["--buildinfo", str(fifo), "x.exe"], 2, f"--buildinfo {fifo}: is not a regular file"),
                (["."], 2, "the download . is not a regular file"), ([str(fifo)], 2, "is not a regular file"),
                ([str(odd)], 1, "verdict: REFUSED: signature: ")]
        for args, status, text in rows:
            with self.subTest(args):
                result = subprocess.run([sys.executable, "-B", str(main), "verify", "--domain", "example.com", *args],
                                        cwd=r.folder, capture_output=True, text=True, check=False, timeout=30)
                self.assertEqual((result.returncode, text in result.stdout + result.stderr, "Warning" in result.stderr),
                                 (status, True, False), result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
