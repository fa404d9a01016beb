"""The verifier's verdicts on genuine releases and on hostile files, each
judged in memory against the tested program as the rebuild."""
from __future__ import annotations

import datetime
import os
import subprocess
import sys
import tempfile
import time
import unittest
from dataclasses import replace
from pathlib import Path

from hypothesis import HealthCheck, given, settings, strategies

from asn1crypto import core

from fixtures import (NOW, Releases, appended, certified, parts_of, released, resigned, rewritten, time_stamped,
                      token_of, with_signer)
from hello_origin_release import authenticode, der, pe, verdict
from hello_origin_release.authenticode import HASHES, RSA_ENCRYPTION, SHA256, _algorithm, _oid

ACCEPTED, REFUSED = verdict.Status.ACCEPTED, verdict.Status.REFUSED
PAYLOAD = der.tlv(der.OCTET_STRING, b"MZ" + bytes(65534))


def setUpModule() -> None:
    global folder, releases
    folder = tempfile.TemporaryDirectory()
    releases = Releases(Path(folder.name))


def tearDownModule() -> None:
    folder.cleanup()


def judge(data: bytes, policy: verdict.Policy, now: datetime.datetime = NOW) -> tuple[verdict.Outcome, str]:
    lines: list[str] = []
    outcome = verdict.judge(data, lambda: releases.rebuild, policy, now, lines.append)
    return outcome, "\n".join(lines) + f"\n{outcome.refusal}"


class Verdicts(unittest.TestCase):
    def test_table(self) -> None:
        r = releases
        genuine = r.genuine
        parts = parts_of(genuine)
        signer = parts.signers[0]
        as_written = r.signed(r.publisher, "-ts", f"{r.tsa_url}/tsa")
        stamped = parts_of(released(r, as_written))
        token = token_of(stamped)
        by_key = token.certificates[0].split(b"\x04\x14", 1)[1][:20] if token.certificates else b""
        tsa_signer = token.signers[0]
        forms = {f: authenticode.indirect_data(f, parts.encap_content_info[-32:]) for f in authenticode.SPC_FORMS}
        other_form = next(f for f, info in forms.items() if info != parts.encap_content_info)
        no_form = forms["osslsigncode 2.6 and later"].replace(bytes.fromhex("03020780"), bytes.fromhex("03020700"))
        changed = r.file("changed.exe", r.rebuild[:4096] + bytes([r.rebuild[4096] ^ 1]) + r.rebuild[4097:])
        chain = r.leaf.chain(r.folder, "chain.pem", r.intermediate)
        ca_signed = released(r, r.sign(chain, r.leaf.key_file))
        own, ca_issued, revoked = r.policy(signer=r.publisher), r.policy(r.ca, r.leaf), r.revoked(r.leaf)
        both = r.ca.chain(r.folder, "both.pem", r.intermediate)
        flipped_version = bytes([der.INTEGER, 1, 3])
        rows = [
            ("the genuine release", genuine, own, ACCEPTED, "signature: verifies"),
            (f"the same release as {other_form} writes it", rewritten(r, resigned(parts, forms[other_form], r.publisher.key)),
             own, ACCEPTED, f"in the form {other_form} writes"),
            ("time-stamped by a trusted authority", rewritten(r, stamped), own, ACCEPTED, "time stamp: "),
            ("a CA-issued certificate whose revocation server never answers", ca_signed, ca_issued, ACCEPTED,
             "signature: verifies"),
            ("a time stamp with its authority's root, as osslsigncode wrote it", as_written, own, REFUSED,
             "time stamp: SignedData.certificates"),
            ("a time stamp in another authority's form", rewritten(r, time_stamped(stamped, replace(with_signer(
                token, version=bytes([der.INTEGER, 1, 3]), sid=der.tlv(0x80, by_key), signature_algorithm=_algorithm(
                    HASHES["sha256"][1], True), digest_algorithm=_algorithm(HASHES["sha256"][0], False)),
                digest_algorithms=(_algorithm(HASHES["sha256"][0], False),)))), own, REFUSED,
             "time stamp: SignedData.digestAlgorithms"),
            ("a time stamp in another authority's form, put in the release's", released(r, rewritten(r, time_stamped(
                stamped, replace(with_signer(token, version=bytes([der.INTEGER, 1, 3]), sid=der.tlv(0x80, by_key),
                                             signature_algorithm=_algorithm(HASHES["sha256"][1], True)),
                                 certificates=(*(token.certificates or ()), r.tsa_root.der))))), own, ACCEPTED,
             "time stamp: "),
            ("a time stamp's signer by key identifier", rewritten(r, time_stamped(stamped, with_signer(
                token, version=bytes([der.INTEGER, 1, 3]), sid=der.tlv(0x80, by_key)))), own, REFUSED,
             "time stamp: SignerInfo.version"),
            ("a time stamp's sha256WithRSAEncryption", rewritten(r, time_stamped(stamped, with_signer(
                token, signature_algorithm=_algorithm(HASHES["sha256"][1], True)))), own, REFUSED,
             "time stamp: SignerInfo.signatureAlgorithm"),
            ("a time stamp naming its certificate by issuer and serial number too", rewritten(r, time_stamped(
                stamped, certified(token, r.tsa.der, True, r.tsa.key))), own, ACCEPTED, "time stamp: "),
            ("a time stamp naming another certificate than it carries", rewritten(r, time_stamped(stamped, certified(
                token, r.tsa_root.der, False, r.tsa.key))), own, REFUSED, "signingCertificate names another"),
            ("a time stamp's value in a SEQUENCE, not a SET", rewritten(r, with_signer(stamped, unsigned_attrs=(der.tlv(
                der.SEQUENCE, _oid(authenticode.RFC3161_TIME_STAMP) + der.tlv(der.SEQUENCE, authenticode.encode(
                    token))),))), own, REFUSED, "SignerInfo.unsignedAttrs: an attribute that is not a type and a SET"),
            ("a time stamp of version 1", rewritten(r, time_stamped(stamped, replace(token, version=bytes(
                [der.INTEGER, 1, 1])))), own, REFUSED, "time stamp: SignedData.version"),
            ("a time stamp of another content type", rewritten(r, time_stamped(stamped, replace(
                token, encap_content_info=token.encap_content_info.replace(authenticode.TST_INFO, _oid(
                    "1.2.840.113549.1.9.16.1.5"))))), own, REFUSED, "time stamp: SignedData.encapContentInfo"),
            ("the CA's root carried too", r.sign(r.leaf.chain(r.folder, "root.pem", r.intermediate, r.ca),
                                                 r.leaf.key_file), ca_issued, REFUSED, "SignedData.certificates"),
            ("the intermediate left out, the trust store holding it", rewritten(r, replace(parts_of(ca_signed),
                                                                                       certificates=(r.leaf.der,))),
             r.policy(both, r.leaf), REFUSED, "signature: certificate chain: CN=hello-origin signer test"),
            ("a certificate signed with ECDSA", r.sign(r.under_elliptic.chain(r.folder, "e.pem", r.elliptic),
                                                       r.under_elliptic.key_file), ca_issued, REFUSED,
             "is signed with 1.2.840.10045.4.3.2"),
            ("an issuer of TLS certificates only", released(r, r.sign(r.under_tls_ca.chain(r.folder, "t.pem", r.tls_ca),
                                                                      r.under_tls_ca.key_file)),
             r.policy(r.ca, r.under_tls_ca), REFUSED,
             "CN=hello-origin TLS CA test, O=Throwaway may not issue"),
            ("a key not for signatures", r.signed(r.no_signing), r.policy(r.no_signing), REFUSED,
             "its key usage leaves out digital signatures"),
            ("an element after SignerInfo's last field", r.file("x", pe.attach(r.image, appended(
                authenticode.encode(parts), [1, 0, -1, 0], core.Null().dump()))).read_bytes(), own, REFUSED,
             "signature: encoding"),
            ("no --signer", genuine, r.policy(), verdict.Status.SIGNER_NOT_CHECKED, "signature: verifies"),
            ("the unsigned image", r.rebuild, own, verdict.Status.NOT_SIGNED, "bytes: identical to the rebuild"),
            # Fields outside every signature.
            ("a payload for rsaEncryption's NULL", rewritten(r, with_signer(parts, signature_algorithm=der.tlv(
                der.SEQUENCE, _oid(RSA_ENCRYPTION) + PAYLOAD))), own, REFUSED, "signature: SignerInfo.signatureAlgorithm"),
            ("sha256WithRSAEncryption for rsaEncryption", rewritten(r, with_signer(parts, signature_algorithm=_algorithm(
                HASHES["sha256"][1], True))), own, REFUSED, "SignerInfo.signatureAlgorithm"),
            ("an OCTET STRING tag for the NULL", rewritten(r, with_signer(parts, signature_algorithm=der.tlv(
                der.SEQUENCE, _oid(RSA_ENCRYPTION) + b"\x04\x00"))), own, REFUSED, "SignerInfo.signatureAlgorithm"),
            ("a payload in the signer's digest algorithm", rewritten(r, with_signer(parts, digest_algorithm=der.tlv(
                der.SEQUENCE, _oid(HASHES["sha256"][0]) + PAYLOAD))), own, REFUSED, "SignerInfo.digestAlgorithm"),
            ("a payload in SignedData.digestAlgorithms", rewritten(r, replace(parts, digest_algorithms=(der.tlv(
                der.SEQUENCE, _oid(HASHES["sha256"][0]) + PAYLOAD),))), own, REFUSED, "SignedData.digestAlgorithms"),
            ("an extra digest algorithm", rewritten(r, replace(parts, digest_algorithms=(SHA256, _algorithm(
                HASHES["sha512"][0], True)))), own, REFUSED, "SignedData.digestAlgorithms"),
            ("SignedData.version 3", rewritten(r, replace(parts, version=flipped_version)), own, REFUSED,
             "signature: SignedData.version"),
            ("SignerInfo.version 3", rewritten(r, with_signer(parts, version=flipped_version)), own, REFUSED,
             "signature: SignerInfo.version"),
            ("the issuer re-cased", rewritten(r, with_signer(parts, sid=signer.sid.replace(b"hello-origin", b"Hello-Origin"))),
             own, REFUSED, "signature: SignerInfo.sid"),
            ("a revocation list", rewritten(r, replace(parts, crls=(r.revocation_der,))), own, REFUSED,
             "SignedData.crls"),
            ("a time stamp's type, any value", rewritten(r, with_signer(parts, unsigned_attrs=(der.tlv(
                der.SEQUENCE, _oid(authenticode.RFC3161_TIME_STAMP) + der.tlv(der.SET, PAYLOAD)),))), own, REFUSED,
             "time stamp"),
            ("a countersignature's type, any value", rewritten(r, with_signer(parts, unsigned_attrs=(der.tlv(
                der.SEQUENCE, _oid("1.2.840.113549.1.9.6") + der.tlv(der.SET, PAYLOAD)),))), own, REFUSED,
             "signature: SignerInfo.unsignedAttrs: 1.2.840.113549.1.9.6"),
            ("unsigned data beside the signature", r.sign(r.publisher.pem, r.publisher.key_file,
                                                          "-addUnauthenticatedBlob", image=r.file("g.exe", genuine),
                                                          command="add"), own, REFUSED, "SignerInfo.unsignedAttrs"),
            ("a length not in its shortest form", rewritten(r, with_signer(parts, version=b"\x02\x81\x01\x01")), own,
             REFUSED, "signature: encoding: not strict DER"),
            ("an indefinite length", rewritten(r, with_signer(parts, version=b"\x30\x80\x02\x01\x01\x00\x00")), own,
             REFUSED, "signature: encoding: not strict DER"),
            # Signatures and certificates beyond the one signer and its chain.
            ("the publisher's signature nested under a stranger's", r.signed(
                r.publisher, "-nest", image=r.file("s.exe", r.signed(r.stranger))), own, REFUSED,
             "SignerInfo.unsignedAttrs: 1.3.6.1.4.1.311.2.4.1"),
            ("a stranger's signature nested under the publisher's", r.signed(r.stranger, "-nest", image=r.file(
                "g.exe", genuine)), own, REFUSED, "SignerInfo.unsignedAttrs: 1.3.6.1.4.1.311.2.4.1"),
            ("two signatures by the publisher", r.signed(r.publisher, "-nest", image=r.file("g.exe", genuine)), own,
             REFUSED, "SignerInfo.unsignedAttrs: 1.3.6.1.4.1.311.2.4.1"),
            ("the signature with a leading zero byte", rewritten(r, with_signer(parts, signature=b"\0" + signer.signature)),
             own, REFUSED, "signature: SignerInfo.signature: 257 bytes"),
            ("the signature flipped", rewritten(r, with_signer(parts, signature=signer.signature[:-1] + bytes(
                [signer.signature[-1] ^ 1]))), own, REFUSED, "signature: SignerInfo.signature: does not verify"),
            ("a messageDigest of other content", rewritten(r, replace(resigned(parts, forms[other_form], r.publisher.key),
                                                                       encap_content_info=parts.encap_content_info)),
             own, REFUSED, "messageDigest is not the digest"),
            ("an SpcIndirectDataContent a release does not write", rewritten(r, resigned(parts, no_form, r.publisher.key)),
             own, REFUSED, "signature: SignedData.encapContentInfo"),
            ("a time stamp and another unsigned attribute", rewritten(r, with_signer(stamped, unsigned_attrs=(
                *(stamped.signers[0].unsigned_attrs or ()), der.tlv(der.SEQUENCE, _oid("1.2.3.4") + der.tlv(
                    der.SET, PAYLOAD))))), own, REFUSED, "SignerInfo.unsignedAttrs: 2 attributes"),
            ("a signed attribute a release does not write", rewritten(r, resigned(parts, forms[other_form], r.publisher.key, (
                der.tlv(der.SEQUENCE, _oid("1.2.3.4") + der.tlv(der.SET, PAYLOAD)),))), own, REFUSED,
             "SignerInfo.signedAttrs: attributes 1.2.3.4 differ"),
            ("a certificate not for code signing", r.signed(r.server), r.policy(r.server), REFUSED,
             "signature: certificate chain: CN=hello-origin signer test, O=Throwaway is not for 1.3.6.1.5.5.7.3.3"),
            ("nine certificates", rewritten(r, replace(parts, certificates=(r.publisher.der,) * 9)), own, REFUSED,
             "SignedData.certificates: 9 certificates"),
            ("two signer infos", rewritten(r, replace(parts, signers=(signer, signer))), own, REFUSED,
             "SignedData.signerInfos"),
            ("a certificate the chain does not need", rewritten(r, replace(parts_of(ca_signed), certificates=(
                *(parts_of(ca_signed).certificates or ()), r.other.der))), ca_issued, REFUSED,
             "signature: SignedData.certificates"),
            ("the CA's key in a copy of its name, beside it", rewritten(r, replace(parts_of(ca_signed), certificates=(
                *(parts_of(ca_signed).certificates or ()), r.copy.der))), ca_issued, REFUSED,
             "signature: SignedData.certificates"),
            ("the CA's key in a copy of its name, for it", rewritten(r, replace(parts_of(ca_signed), certificates=(
                r.leaf.der, r.copy.der))), ca_issued, REFUSED, "signature: certificate chain: CN=hello-origin signer"),
            ("the same, the trust store holding the intermediate", rewritten(r, replace(parts_of(ca_signed), certificates=(
                r.leaf.der, r.copy.der))), r.policy(both, r.leaf), REFUSED, "certificate chain: CN=hello-origin intermediate"),
            ("the publisher's key, MD5", r.signed(r.publisher, "-h", "md5"), own, REFUSED, "SignedData.digestAlgorithms"),
            ("the publisher's key, SHA-1", r.signed(r.publisher, "-h", "sha1"), own, REFUSED,
             "SignedData.digestAlgorithms"),
            ("the publisher's key, SHA-384", r.signed(r.publisher, "-h", "sha384"), own, REFUSED,
             "SignedData.digestAlgorithms"),
            # Time stamps.
            ("a time stamp by a self-made authority", r.sign(r.publisher.pem, r.publisher.key_file, "-ts",
                                                             f"{r.tsa_url}/self-made", image=r.file("g.exe", genuine),
                                                             command="add"), own, REFUSED,
             "time stamp: certificate chain"),
            ("unsigned data in the time stamp", rewritten(r, time_stamped(stamped, with_signer(
                token, unsigned_attrs=(der.tlv(der.SEQUENCE, _oid("1.2.3.4") + der.tlv(der.SET, PAYLOAD)),)))),
             own, REFUSED, "time stamp: SignerInfo.unsignedAttrs"),
            ("a payload in the time stamp's digest algorithms", rewritten(r, time_stamped(stamped, replace(
                token, digest_algorithms=(der.tlv(der.SEQUENCE, _oid(HASHES["sha256"][0]) + PAYLOAD),)))), own,
             REFUSED, "time stamp: SignedData.digestAlgorithms"),
            ("an extra certificate in the time stamp", rewritten(r, time_stamped(stamped, replace(
                token, certificates=(*(token.certificates or ()), r.other.der)))), own, REFUSED,
             "time stamp: SignedData.certificates"),
            ("a time stamp for another signature", rewritten(r, time_stamped(parts, token_of(parts_of(r.signed(
                r.publisher, "-ts", f"{r.tsa_url}/tsa", image=changed))))), own, REFUSED,
             "time stamp: TSTInfo.messageImprint"),
            ("a time-stamp signer's version 2", rewritten(r, time_stamped(stamped, with_signer(
                token, version=der.tlv(der.INTEGER, b"\x02")))), own, REFUSED, "time stamp: SignerInfo.version"),
            ("time-stamped, judged once the certificates expired", rewritten(r, stamped), own, ACCEPTED, "time stamp: "),
            ("not time-stamped, judged once the certificate expired", genuine, own, REFUSED, "certificate chain"),
            ("the time stamp's signature flipped", rewritten(r, time_stamped(stamped, with_signer(
                token, signature=tsa_signer.signature[:-1] + bytes([tsa_signer.signature[-1] ^ 1])))), own, REFUSED,
             "time stamp: SignerInfo.signature"),
            # The file around the signature.
            ("one byte of the program changed", r.signed(r.publisher, image=changed), own, REFUSED,
             "bytes: differ from the rebuild with the file's signature attached"),
            ("the signature of another image", rewritten(r, parts_of(r.signed(r.publisher, image=changed))), own,
             REFUSED, "signs another image than the rebuild"),
            ("the unsigned image, one byte changed", changed.read_bytes(), own, REFUSED, "bytes: differ from the rebuild"),
            ("bytes appended", genuine + b"appended", own, REFUSED, "do not end the"),
            ("bytes cut", genuine[:-16], own, REFUSED, "file: the certificate table"),
            ("a certificate table of another revision", genuine[:len(r.rebuild) + 4] + b"\x00\x01"
             + genuine[len(r.rebuild) + 6:], own, REFUSED, "its entry is not an Authenticode signature"),
            ("an entry length other than the table's", genuine[:len(r.rebuild)] + bytes([genuine[len(r.rebuild)] ^ 8])
             + genuine[len(r.rebuild) + 1:], own, REFUSED, "its entry says"),
            ("padding that is not zero", pe.attach(r.image, authenticode.encode(parts) + b"\1" + bytes(
                -(9 + len(authenticode.encode(parts))) % 8)), own, REFUSED, "not its padding"),
            ("not a program", b"#!/bin/sh\n" * 100, own, REFUSED, "not a PE image: no MZ header"),
            # Who signed, and who is trusted.
            ("a stranger's certificate in the publisher's name", r.signed(r.stranger), own, REFUSED,
             "signer: the signing certificate is not the one given with --signer"),
            ("a signer nobody here trusts", genuine, r.policy(r.stranger, r.publisher), REFUSED,
             "signature: certificate chain: CN=hello-origin signer test"),
            ("a revoked signer, with --crl", ca_signed, r.policy(r.ca, r.leaf, revoked), REFUSED,
             "the revocation lists given with --crl revoke it"),
        ]
        later = {"time-stamped, judged once the certificates expired", "not time-stamped, judged once the certificate "
                 "expired"}
        for name, data, policy, status, text in rows:
            with self.subTest(name):
                started = time.monotonic()
                outcome, said = judge(data, policy, NOW + datetime.timedelta(days=3) if name in later else NOW)
                self.assertEqual((outcome.status, text in said), (status, True), said)
                self.assertLess(time.monotonic() - started, 10)
        self.assertEqual(releases.connections, [], "no revocation server was asked")

    # Fewer where scripts/mutate.sh runs the whole table once a fault.
    @settings(max_examples=int(os.environ.get("HELLO_ORIGIN_EXAMPLES", "300")), deadline=None, database=None,
              suppress_health_check=[HealthCheck.too_slow])
    @given(strategies.data())
    def test_no_change_is_accepted(self, data: strategies.DataObject) -> None:
        """Bytes changed, put in or taken out anywhere in a genuine file, or
        in its time-stamped, CA-issued signature attached anew (so that the
        CheckSum holds), are never accepted."""
        r = releases
        signature = data.draw(strategies.booleans())
        genuine = authenticode.encode(parts_of(r.chained)) if signature else r.genuine
        offset = data.draw(strategies.integers(0, len(genuine)))
        inserted = data.draw(strategies.binary(max_size=8))
        changed = genuine[:offset] + inserted + genuine[offset + data.draw(strategies.integers(0, 8)):]
        if changed != genuine:
            policy = r.policy(r.ca, r.leaf) if signature else r.policy(signer=r.publisher)
            outcome, said = judge(pe.attach(r.image, changed) if signature else changed, policy)
            self.assertNotEqual(outcome.status, ACCEPTED, said)


class Arguments(unittest.TestCase):
    """File names that look like options are never read as a verdict of 0."""

    def test_table(self) -> None:
        main = Path(__file__).resolve().parents[2] / "release/main.py"
        releases.file("-x.exe", b"not a program")
        rows = [(["-h"], 2, "-h takes no other argument"), (["--help"], 2, "--help takes no other argument"),
                (["-x.exe"], 2, "unknown option: -x.exe"), (["--", "-x.exe"], 1, "verdict: REFUSED: file: not a PE")]
        for args, status, text in rows:
            with self.subTest(args):
                result = subprocess.run([sys.executable, "-B", str(main), "verify", "--domain", "example.com", *args],
                                        cwd=releases.folder, capture_output=True, text=True, check=False)
                self.assertEqual((result.returncode, text in result.stdout + result.stderr), (status, True),
                                 result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
