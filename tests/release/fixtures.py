"""Genuine and hostile releases of the tested program, made once per run:
throwaway keys, osslsigncode, a local RFC 3161 responder (openssl ts behind
http.server) and a revocation server that accepts and never answers."""
from __future__ import annotations

import atexit
import datetime
import functools
import hashlib
import http.server
import os
import socket
import subprocess
import tempfile
import threading
import warnings
from dataclasses import replace
from pathlib import Path

from asn1crypto import tsp
from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

import tsa
from hello_origin_release import authenticode, der, pe, release_form, trust, verdict

NOW = datetime.datetime.now(datetime.timezone.utc)


def throwaway_key(name: str, elliptic: bool, bits: int = 2048,
                  exponent: int = 65537) -> rsa.RSAPrivateKey | ec.EllipticCurvePrivateKey:
    """A new key, or, where HELLO_ORIGIN_TEST_KEYS names a folder, the one
    made there by an earlier run: scripts/mutate.sh runs these tests once a
    fault, and an RSA key takes a fifth of a second."""
    kept = Path(os.environ.get("HELLO_ORIGIN_TEST_KEYS", "")) / f"{name}.key"
    if "HELLO_ORIGIN_TEST_KEYS" in os.environ and kept.is_file():
        key = serialization.load_pem_private_key(kept.read_bytes(), None)
        assert isinstance(key, (rsa.RSAPrivateKey, ec.EllipticCurvePrivateKey))
        return key
    key = ec.generate_private_key(ec.SECP256R1()) if elliptic else rsa.generate_private_key(exponent, bits)
    if "HELLO_ORIGIN_TEST_KEYS" in os.environ:
        kept.parent.mkdir(parents=True, exist_ok=True)
        kept.write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                           serialization.NoEncryption()))
    return key


class Party:
    """A key and its certificate, written out for osslsigncode and openssl;
    with `forge`, a certificate of that party's names and key, signed by this
    party's own key."""

    def __init__(self, folder: Path, name: str, common_name: str, issuer: Party | None = None, ca: bool = False,
                 usage: x509.ObjectIdentifier | None = ExtendedKeyUsageOID.CODE_SIGNING, crl_url: str = "",
                 elliptic: bool = False, forge: Party | None = None, key_usage: x509.KeyUsage | None = None,
                 bits: int = 2048, exponent: int = 65537, more_usages: tuple[x509.ObjectIdentifier, ...] = (),
                 critical: bool | None = None, country: str = "", key_of: Party | None = None,
                 expired: bool = False) -> None:
        self.key = key_of.key if key_of else throwaway_key(name, elliptic, bits, exponent)
        subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name),
                             x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Throwaway")]
                            + ([x509.NameAttribute(NameOID.COUNTRY_NAME, country, _validate=False)] if country else []))
        public = (forge or self).key.public_key()
        builder = (x509.CertificateBuilder().subject_name(forge.certificate.subject if forge else subject)
                   .public_key(public).issuer_name(forge.certificate.issuer if forge else issuer.certificate.subject
                                                   if issuer else subject)
                   .serial_number(x509.random_serial_number()).not_valid_before(NOW - datetime.timedelta(hours=1))
                   .not_valid_after(NOW + datetime.timedelta(minutes=-1 if expired else 2 * 24 * 60))
                   .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True)
                   .add_extension(x509.SubjectKeyIdentifier.from_public_key(public), critical=False))
        if usage is not None:
            builder = builder.add_extension(x509.ExtendedKeyUsage([usage, *more_usages]), critical=(
                usage == ExtendedKeyUsageOID.TIME_STAMPING) if critical is None else critical)
        if key_usage is not None:
            builder = builder.add_extension(key_usage, critical=True)
        if crl_url:
            builder = builder.add_extension(x509.CRLDistributionPoints([x509.DistributionPoint(
                [x509.UniformResourceIdentifier(crl_url)], None, None, None)]), critical=False)
        self.certificate = builder.sign(issuer.key if issuer and not forge else self.key, hashes.SHA256())
        self.der = self.certificate.public_bytes(serialization.Encoding.DER)
        self.pem, self.key_file = folder / f"{name}.pem", folder / f"{name}.key"
        self.pem.write_bytes(self.certificate.public_bytes(serialization.Encoding.PEM))
        self.key_file.write_bytes(self.key.private_bytes(serialization.Encoding.PEM,
                                                         serialization.PrivateFormat.PKCS8,
                                                         serialization.NoEncryption()))

    def chain(self, folder: Path, name: str, *rest: Party) -> Path:
        path = folder / name
        path.write_bytes(b"".join(p.pem.read_bytes() for p in (self, *rest)))
        return path


def serve(handler: type[http.server.BaseHTTPRequestHandler]) -> http.server.HTTPServer:
    server = http.server.HTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class Releases:
    """The tested program as the rebuild, and signed files made from it."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.made: dict[tuple[object, ...], bytes] = {}
        self.rebuild = Path(os.environ["HELLO_ORIGIN_PROGRAM"]).read_bytes()
        self.image = pe.read(self.rebuild)
        (folder / "rebuild.exe").write_bytes(self.rebuild)
        self.silent = socket.create_server(("127.0.0.1", 0))
        self.connections: list[socket.socket] = []
        threading.Thread(target=self.hold, daemon=True).start()
        crl = f"http://127.0.0.1:{self.silent.getsockname()[1]}/ca.crl"
        self.publisher = Party(folder, "publisher", "hello-origin signer test")
        self.stranger = Party(folder, "stranger", "hello-origin signer test")
        self.server = Party(folder, "server", "hello-origin signer test", usage=ExtendedKeyUsageOID.SERVER_AUTH)
        self.ca = Party(folder, "ca", "hello-origin CA test", ca=True, usage=None)
        self.intermediate = Party(folder, "intermediate", "hello-origin intermediate test", self.ca, ca=True, usage=None)
        self.leaf = Party(folder, "leaf", "hello-origin signer test", self.intermediate, crl_url=crl)
        self.other = Party(folder, "other", "hello-origin other test", self.intermediate)
        self.copy = Party(folder, "copy", "hello-origin copy test", ca=True, forge=self.intermediate)
        # The intermediate issued anew, its name and key, expired.
        self.expired = Party(folder, "expired", "hello-origin intermediate test", self.ca, ca=True, usage=None,
                             key_of=self.intermediate, expired=True)
        self.elliptic = Party(folder, "elliptic", "hello-origin EC test", self.ca, ca=True, usage=None, elliptic=True)
        self.under_elliptic = Party(folder, "under-elliptic", "hello-origin signer test", self.elliptic)
        self.tls_ca = Party(folder, "tls-ca", "hello-origin TLS CA test", self.ca, ca=True,
                            usage=ExtendedKeyUsageOID.SERVER_AUTH)
        self.under_tls_ca = Party(folder, "under-tls-ca", "hello-origin signer test", self.tls_ca)
        self.no_signing = Party(folder, "no-signing", "hello-origin signer test", key_usage=x509.KeyUsage(
            False, False, True, False, False, False, False, False, False))
        self.tsa_root = Party(folder, "tsa-root", "hello-origin TSA root test", ca=True, usage=None)
        self.tsa = Party(folder, "tsa", "hello-origin TSA test", self.tsa_root, usage=ExtendedKeyUsageOID.TIME_STAMPING)
        self.self_made_tsa = Party(folder, "self-made", "hello-origin TSA test", usage=ExtendedKeyUsageOID.TIME_STAMPING)
        # Keys and usages below the floor, each in a certificate otherwise sound.
        self.weak = Party(folder, "weak", "hello-origin signer test", bits=1024)
        self.exponent_3 = Party(folder, "exponent-3", "hello-origin signer test", exponent=3)
        self.weak_tsa = Party(folder, "weak-tsa", "hello-origin TSA test", self.tsa_root, bits=1024,
                              usage=ExtendedKeyUsageOID.TIME_STAMPING)
        self.tls_root = Party(folder, "tls-root", "hello-origin TLS root test", ca=True,
                              usage=ExtendedKeyUsageOID.SERVER_AUTH)
        self.under_tls_root = Party(folder, "under-tls-root", "hello-origin signer test", self.tls_root)
        self.lifetime = Party(folder, "lifetime", "hello-origin signer test", more_usages=(trust.LIFETIME_SIGNING,))
        self.lifetime_tsa = Party(folder, "lifetime-tsa", "hello-origin TSA test", self.tsa_root,
                                  usage=ExtendedKeyUsageOID.TIME_STAMPING, more_usages=(trust.LIFETIME_SIGNING,))
        # A five-letter country: cryptography warns of it, or will not read it.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            self.odd = Party(folder, "odd", "hello-origin signer test", country="ABCDE")
        self.loose_tsa = Party(folder, "loose-tsa", "hello-origin TSA test", self.tsa_root,
                               usage=ExtendedKeyUsageOID.TIME_STAMPING, critical=False)
        authorities = {"/tsa": self.responder("tsa", self.tsa, self.tsa_root),
                       "/self-made": self.responder("self-made", self.self_made_tsa)}

        # Beside the authorities, what a man in the middle could answer:
        # the authority's reply to another nonce, or to a nonce of his own
        # bytes, a refusal, and no reply at all.
        other_nonces = {"/replayed": lambda nonce: nonce + 1, "/chosen-nonce": lambda _: int.from_bytes(
            b"MZ" + bytes(4094), "big")}
        canned = {"/refused": bytes.fromhex("30053003020102"), "/garbage": b"MZ", "/no-token": bytes.fromhex("30053003020100"),
                  "/huge": bytes(64 * 1024 + 1)}

        class Responder(http.server.BaseHTTPRequestHandler):
            def do_POST(self) -> None:
                body = self.rfile.read(int(self.headers["Content-Length"]))
                if self.path in other_nonces:
                    asked = tsp.TimeStampReq.load(body)
                    body = tsp.TimeStampReq({**asked.native, "nonce": other_nonces[self.path](asked["nonce"].native)}).dump()
                tsa.answer(self, canned.get(self.path) or tsa.reply(authorities.get(self.path, authorities["/tsa"]),
                                                                     body))

            def log_message(self, *_: object) -> None:
                pass

        self.tsa_url = f"http://127.0.0.1:{serve(Responder).server_port}"
        self.genuine = self.signed(self.publisher)
        self.chained = released(self, self.sign(self.leaf.chain(folder, "chain.pem", self.intermediate),
                                                self.leaf.key_file, "-ts", f"{self.tsa_url}/tsa"))

    def revoked(self, party: Party) -> Path:
        """The intermediate CA's revocation list, naming `party`; its DER form beside it."""
        entry = x509.RevokedCertificateBuilder().serial_number(party.certificate.serial_number).revocation_date(NOW)
        crl = (x509.CertificateRevocationListBuilder().issuer_name(self.intermediate.certificate.subject)
               .last_update(NOW).next_update(NOW + datetime.timedelta(days=1)).add_revoked_certificate(entry.build())
               .sign(self.intermediate.key, hashes.SHA256()))
        self.revocation_der = crl.public_bytes(serialization.Encoding.DER)
        return self.file("revoked.pem", crl.public_bytes(serialization.Encoding.PEM))

    def hold(self) -> None:
        while True:
            self.connections.append(self.silent.accept()[0])

    def responder(self, name: str, party: Party, *chain: Party) -> str:
        config = self.folder / f"{name}.cnf"
        (self.folder / f"{name}.serial").write_text("01\n")
        config.write_text(f"[tsa]\ndefault_tsa = t\n[t]\nserial = {self.folder}/{name}.serial\n"
                          f"signer_cert = {party.pem}\nsigner_key = {party.key_file}\n"
                          + "".join(f"certs = {c.pem}\n" for c in chain) + "signer_digest = sha256\n"
                          "default_policy = 1.2.3.4.1\ndigests = sha256\ness_cert_id_alg = sha256\n")
        return str(config)

    def sign(self, certificates: Path, key: Path, *options: str, image: Path | None = None,
             command: str = "sign") -> bytes:
        """osslsigncode on the rebuild, or on `image`; once for the same
        files and options, as scripts/mutate.sh asks the same of every fault."""
        source = image or self.folder / "rebuild.exe"
        asked = (str(certificates), certificates.read_bytes(), str(key), options, source.read_bytes(), command)
        if asked not in self.made:
            out = self.folder / "signed.exe"
            out.unlink(missing_ok=True)
            arguments = [] if command == "add" else ["-h", "sha256", "-n", "hello-origin", "-i", "https://example.com/",
                                                     "-certs", str(certificates), "-key", str(key)]
            subprocess.run(["osslsigncode", command, *arguments, *options, "-in", str(source), "-out", str(out)],
                           capture_output=True, check=True)
            self.made[asked] = out.read_bytes()
        return self.made[asked]

    def signed(self, party: Party, *options: str, image: Path | None = None) -> bytes:
        return self.sign(party.pem, party.key_file, *options, image=image)

    def file(self, name: str, data: bytes) -> Path:
        (self.folder / name).write_bytes(data)
        return self.folder / name

    def policy(self, anchors: Party | Path | None = None, signer: Party | None = None,
               crl: Path | None = None) -> verdict.Policy:
        trusted = anchors.pem if isinstance(anchors, Party) else anchors or self.publisher.pem
        return verdict.Policy(None if signer is None else hashlib.sha256(signer.der).hexdigest(),
                              trust.Anchors(trusted.read_bytes(), None if crl is None else crl.read_bytes()),
                              trust.Anchors(self.tsa_root.pem.read_bytes()))


@functools.lru_cache(maxsize=None)
def shared_releases() -> Releases:
    """One set of releases for every test module of a run, in a folder removed at exit."""
    folder = tempfile.TemporaryDirectory()
    atexit.register(folder.cleanup)
    return Releases(Path(folder.name))


def released(releases: Releases, signed: bytes) -> bytes:
    """osslsigncode's file as the release writes it: its signature's uncovered fields in the one form."""
    return pe.attach(releases.image, release_form.canonical(release_form.signature_in(signed)))


def appended(data: bytes, path: list[int], extra: bytes) -> bytes:
    """`data` with `extra` after the last element inside the element that
    `path` reaches, child by child from the top."""
    top = der.read_tlv(data, 0, len(data))
    if not path:
        return der.tlv(data[0], data[top.content:top.end] + extra)
    child = der.children(data, top)[path[0]]
    return der.tlv(data[0], data[top.content:child.start] + appended(data[child.start:child.end], path[1:], extra)
                   + data[child.end:top.end])


def parts_of(signed: bytes) -> authenticode.SignedDataParts:
    return authenticode.read_parts(release_form.signature_in(signed), "test")


def rewritten(releases: Releases, parts: authenticode.SignedDataParts) -> bytes:
    return pe.attach(releases.image, authenticode.encode(parts))


def with_signer(parts: authenticode.SignedDataParts, **fields: object) -> authenticode.SignedDataParts:
    return replace(parts, signers=(replace(parts.signers[0], **fields),))


def signed_anew(parts: authenticode.SignedDataParts, key: rsa.RSAPrivateKey,
                changes: dict[str, bytes]) -> authenticode.SignedDataParts:
    """The signer's signed attributes with each type of `changes` given that
    one value (added where absent), in DER's order, signed anew by `key`."""
    kinds = {authenticode.encoded_oid(kind) for kind in changes}
    kept = [a for a in parts.signers[0].signed_attrs or () if authenticode.attribute_values(a, "")[0] not in kinds]
    return signed_as_is(parts, key, sorted([*kept, *(attribute(kind, value) for kind, value in changes.items())]))


def attribute(kind: str, *values: bytes) -> bytes:
    return der.tlv(der.SEQUENCE, authenticode.encoded_oid(kind) + der.tlv(der.SET, b"".join(values)))


def signed_as_is(parts: authenticode.SignedDataParts, key: rsa.RSAPrivateKey,
                 attributes: list[bytes]) -> authenticode.SignedDataParts:
    """The signer's signed attributes, in the order given, signed by `key`."""
    signature = key.sign(der.tlv(der.SET, b"".join(attributes)), padding.PKCS1v15(), hashes.SHA256())
    return with_signer(parts, signed_attrs=tuple(attributes), signature=signature)


def digest_of(content: bytes) -> bytes:
    return der.tlv(der.OCTET_STRING, hashlib.sha256(content).digest())


def resigned(parts: authenticode.SignedDataParts, info: bytes, key: rsa.RSAPrivateKey,
             extra: dict[str, bytes] | None = None) -> authenticode.SignedDataParts:
    """The signature over the content `info`, signed anew by `key`, with `extra` signed attributes."""
    return signed_anew(replace(parts, encap_content_info=info), key, {
        authenticode.MESSAGE_DIGEST: digest_of(authenticode.signed_content(info)), **(extra or {})})


def certified(token: authenticode.SignedDataParts, certificate: bytes, issuer_serial: bytes | None,
              key: rsa.RSAPrivateKey, hash_name: str = "sha256") -> authenticode.SignedDataParts:
    """The time stamp with a signingCertificateV2 naming `certificate` by
    `hash_name`, and by the issuer and serial number of `issuer_serial`,
    signed anew by `key`."""
    typed = asn1_x509.Certificate.load(issuer_serial or certificate)
    named = {"hash_algorithm": {"algorithm": hash_name}, "cert_hash": hashlib.new(hash_name, certificate).digest()}
    if issuer_serial:
        named["issuer_serial"] = {"issuer": [asn1_x509.GeneralName(name="directory_name", value=typed.issuer)],
                                  "serial_number": typed.serial_number}
    value = tsp.SigningCertificateV2({"certs": [named]}).dump()
    return signed_anew(token, key, {authenticode.SIGNING_CERTIFICATE_V2: value})


def tsa_swapped(token: authenticode.SignedDataParts, authority: Party) -> authenticode.SignedDataParts:
    """The time stamp made anew by `authority`: its certificate alone, named and signed by it."""
    typed = asn1_x509.Certificate.load(authority.der)
    sid = der.tlv(der.SEQUENCE, typed.issuer.dump() + typed["tbs_certificate"]["serial_number"].dump())
    return certified(with_signer(replace(token, certificates=(authority.der,)), sid=sid), authority.der, None,
                     authority.key)


def tst_info(signature: bytes, **fields: bytes) -> bytes:
    """A TSTInfo over the signer's `signature` in the release's form, each of
    `fields` (version, policy, imprint, serial, time, accuracy, ordering,
    nonce, tsa, extensions, after) in place of its default."""
    imprint = authenticode.algorithm_identifier(authenticode.HASHES["sha256"][0], True) + der.tlv(
        der.OCTET_STRING, hashlib.sha256(signature).digest())
    made = {"version": der.tlv(der.INTEGER, b"\x01"), "policy": authenticode.encoded_oid("1.2.3.4.1"),
            "imprint": der.tlv(der.SEQUENCE, imprint), "serial": der.tlv(der.INTEGER, b"\x01"),
            "time": der.tlv(0x18, NOW.strftime("%Y%m%d%H%M%S").encode() + b"Z"), "accuracy": b"", "ordering": b"",
            "nonce": der.tlv(der.INTEGER, b"\x00\xff" + bytes(7)), "tsa": b"", "extensions": b"", "after": b""}
    return der.tlv(der.SEQUENCE, b"".join({**made, **fields}.values()))


def tst_resigned(token: authenticode.SignedDataParts, info: bytes, key: rsa.RSAPrivateKey) -> authenticode.SignedDataParts:
    """The time stamp over the TSTInfo `info`, signed anew by `key`."""
    content = der.tlv(der.SEQUENCE, authenticode.TST_INFO + der.tlv(0xA0, der.tlv(der.OCTET_STRING, info)))
    return signed_anew(replace(token, encap_content_info=content), key, {authenticode.MESSAGE_DIGEST: digest_of(info)})


def time_stamped(parts: authenticode.SignedDataParts, token: authenticode.SignedDataParts) -> authenticode.SignedDataParts:
    return with_signer(parts, unsigned_attrs=(der.tlv(der.SEQUENCE, authenticode.encoded_oid(
        authenticode.RFC3161_TIME_STAMP) + der.tlv(der.SET, authenticode.encode(token))),))


def token_of(parts: authenticode.SignedDataParts) -> authenticode.SignedDataParts:
    attribute = parts.signers[0].unsigned_attrs[0]  # type: ignore[index]
    element = der.read_tlv(attribute, 0, len(attribute))
    values = der.children(attribute, der.children(attribute, element)[1])[0]
    return authenticode.read_parts(attribute[values.start:values.end], "test")
