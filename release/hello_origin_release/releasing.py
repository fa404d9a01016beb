"""Making a release: the clean build of the committed sources, the image
check, the signature and its time stamp in the release's one form, the
verifier's own verdict on the signed file, and only then the files of dist/."""
from __future__ import annotations

import datetime
import hashlib
import tempfile
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from . import authenticode, build, der, image_check, pe, release_form, signing, timestamping, trust, verdict

FILES = ("hello-origin.exe", "hello-origin-unsigned.exe", "hello-origin.exe.sig.pem", "BUILDINFO", "SHA256SUMS")


class ReleaseError(Exception):
    """The release cannot be made; the text says why. Nothing was written."""


@dataclass(frozen=True)
class Order:
    domain: str
    out: Path
    signer: signing.SigningInput | None = None
    password: str = ""
    url: str | None = None
    timestamp_url: str | None = None
    tsa_anchors: trust.Anchors = trust.Anchors()
    host_tools: bool = False
    mirror: str | None = None


def time_stamped(signature: bytes, url: str, say: Callable[[str], None]) -> bytes:
    """The signature with a time stamp from `url` beside its signer, in the
    release's form; the reply must answer this release's own request."""
    value = authenticode.read_parts(signature, "signature").signers[0].signature
    request = timestamping.request_for(value)
    if timestamping.plain_http(url):
        say(f"note: {url} is plain HTTP, which anyone on the way can answer: the reply is taken only when it answers "
            "this release's request (its imprint and its 64-bit nonce) and passes the verifier's rules for a time stamp")
    try:
        token = timestamping.token_of(timestamping.ask(url, request), request)
    except timestamping.TimeStampError as error:
        raise ReleaseError(str(error)) from None
    try:
        return release_form.canonical(signature, release_form.canonical_time_stamp(token))
    except authenticode.Refused as refusal:
        raise ReleaseError(f"the time-stamp server's token cannot be put in the release's form: {refusal}") from None


def signed_release(image: Path, unsigned: bytes, order: Order, work: Path, say: Callable[[str], None]) -> dict[str, bytes]:
    """The signed files: osslsigncode's signature with the fields no signature
    covers written in the one form the verifier takes, attached to the
    unsigned image as anyone can attach the detached signature, and judged
    by the verifier as a download would be."""
    signer = order.signer
    assert signer is not None
    try:
        signing.sign(image, work / "signed.exe", signer, order.password, order.url or f"https://{order.domain}/", work)
    except signing.SigningError as error:
        raise ReleaseError(str(error)) from None
    try:
        written = release_form.signature_in((work / "signed.exe").read_bytes())
        signature = release_form.canonical(written)
    except authenticode.Refused as refusal:
        raise ReleaseError(f"osslsigncode's signature cannot be put in the release's form: {refusal}") from None
    if order.timestamp_url:
        signature = time_stamped(signature, order.timestamp_url, say)
    signed = pe.attach(pe.read(unsigned), signature)
    # The promise to users: the file is one the verifier accepts, trusting
    # the system's certificates and those given to sign with.
    anchors = trust.Anchors(trust.system_certificates() + der.pem(
        "CERTIFICATE", [signing.der_of(c) for c in signer.certificates]).encode())
    policy = verdict.Policy(hashlib.sha256(signing.der_of(signer.certificate)).hexdigest(), anchors, order.tsa_anchors)
    outcome = verdict.judge(signed, lambda: unsigned, policy, datetime.datetime.now(datetime.timezone.utc))
    if outcome.status != verdict.Status.ACCEPTED:
        raise ReleaseError(f"the signed file is not one the verifier accepts: {outcome.refusal}")
    # As osslsigncode extract-signature -pem writes it.
    return {"hello-origin-unsigned.exe": unsigned, "hello-origin.exe": signed,
            "hello-origin.exe.sig.pem": der.pem("PKCS7", [signature]).encode()}


def make(root: Path, order: Order, say: Callable[[str], None]) -> tuple[str, str]:
    """The release of HEAD in `order.out`; its commit and SHA256SUMS."""
    commit = build.git(root, "rev-parse", "HEAD")
    place = root / "build/release"
    with tempfile.TemporaryDirectory() as folder:
        tools = build.toolchain(order.host_tools, order.mirror, place, say)
        build.export_head(root, place / "source")
        image, _ = build.build_image(place / "source", place / "build", order.domain, tools=tools)
        unsigned = image.read_bytes()
        broken = image_check.problems(unsigned)
        if broken:
            raise ReleaseError("the image breaks its own promises: " + "; ".join(broken))
        files = {"BUILDINFO": build.buildinfo(commit, place / "build", order.domain, tools).encode()}
        if order.signer is None:
            files["hello-origin.exe"] = unsigned
        else:
            files.update(signed_release(image, unsigned, order, Path(folder), say))
    order.out.mkdir(parents=True, exist_ok=True)
    for name in FILES:
        (order.out / name).unlink(missing_ok=True)
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in sorted(files.items()))
    for name, data in {**files, "SHA256SUMS": sums.encode()}.items():
        (order.out / name).write_bytes(data)
    return commit, sums
