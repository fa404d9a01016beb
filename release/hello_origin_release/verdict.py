"""The verdict on a download: read it as the release's signed image, check
its signature and the chains behind it, then hold it byte for byte to the
rebuild with that signature attached. Pure: the rebuild, the clock and the
lines it reports come from the caller."""
from __future__ import annotations

import datetime
import enum
from dataclasses import dataclass
from typing import Callable

from cryptography.x509.oid import ExtendedKeyUsageOID

from . import authenticode, files, pe, trust
from .authenticode import Refused, Signature

# A release's signature with a time stamp and chains is some 10 KiB; nothing near this is one.
MAX_SIGNATURE = 256 * 1024
MAX_DOWNLOAD = files.MAX_DOWNLOAD


class Status(enum.IntEnum):
    """The verdicts, as exit codes."""
    ACCEPTED = 0
    REFUSED = 1
    NOT_SIGNED = 3
    SIGNER_NOT_CHECKED = 4


@dataclass(frozen=True)
class Policy:
    signer_sha256: str | None = None
    anchors: trust.Anchors = trust.Anchors()
    tsa_anchors: trust.Anchors = trust.Anchors()


@dataclass(frozen=True)
class Outcome:
    status: Status
    signature: Signature | None = None
    refusal: Refused | None = None


def read_signature(data: bytes) -> Signature | None:
    """The file's signature in the one place and form a release has it, or
    None for a file without a certificate table."""
    try:
        entry = pe.certificate_entry(pe.read(data))
    except pe.PeError as error:
        raise Refused(error.field, error.reason) from None
    if entry is None:
        return None
    if len(entry) > MAX_SIGNATURE:
        raise Refused("the certificate table", f"{len(entry)} bytes, more than any release's signature")
    return authenticode.read_signature(entry)


def check_trust(signature: Signature, policy: Policy, now: datetime.datetime) -> None:
    """The signer's chain, and the time stamp's; a time-stamped signature is
    judged at the time stamp's time, as Windows judges it, unless its
    certificate is for lifetime signing, which Windows judges now."""
    stamp = signature.time_stamp
    at = now if stamp is None or trust.lifetime_signing(signature.signer) else stamp.time
    trust.check_chain(signature.chain, policy.anchors, at, "signature", ExtendedKeyUsageOID.CODE_SIGNING)
    if stamp is not None:
        trust.check_chain(stamp.chain, policy.tsa_anchors, stamp.time, "time stamp", ExtendedKeyUsageOID.TIME_STAMPING)


def first_difference(a: bytes, b: bytes) -> int | None:
    if a == b:
        return None
    return next((n for n, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def region(image: pe.PeImage, offset: int) -> str:
    """Where in a release's file `offset` lies, by the rebuild's layout."""
    if offset >= len(image.data):
        return "the certificate table, or past the program's end"
    if image.checksum_offset <= offset < image.checksum_offset + 4:
        return "the optional header's CheckSum"
    if image.certificate_entry_offset <= offset < image.certificate_entry_offset + 8:
        return "the certificate table's directory entry"
    for section in image.sections:
        if section.raw_offset <= offset < section.raw_offset + section.raw_size:
            return f"section {section.name.decode('ascii', 'replace')}"
    return "the headers"


def compare(data: bytes, signature: Signature | None, rebuild: bytes) -> None:
    """The file must be the rebuild, with the file's signature attached when
    it has one, and that signature must sign the rebuild's digest."""
    image = pe.read(rebuild)
    expected = rebuild if signature is None else pe.attach(image, signature.der)
    offset = first_difference(data, expected)
    if offset is not None:
        against = "the rebuild" if signature is None else "the rebuild with the file's signature attached"
        raise Refused("bytes", f"differ from {against}, first at offset {offset} (0x{offset:x}), "
                      f"in {region(image, offset)}")
    if signature is not None and signature.signed_digest != pe.authenticode_digest(image):
        raise Refused("signature: SpcIndirectDataContent", "signs another image than the rebuild")


def refusal_of(error: Exception, signature: Signature | None) -> Outcome:
    """The refusal of a file whose reading raised `error`: a rule's own, or,
    the last word on bytes from anyone that no rule foresaw, a library's
    error while reading them, which refuses the file and never passes it."""
    if isinstance(error, Refused):
        return Outcome(Status.REFUSED, signature, error)
    return Outcome(Status.REFUSED, signature, Refused("signature" if signature is None else "file",
                                                      f"cannot be read ({type(error).__name__})"))


def judge(data: bytes, rebuild: Callable[[], bytes], policy: Policy, now: datetime.datetime,
          report: Callable[[str], None] = lambda line: None) -> Outcome:
    """The whole verdict. `rebuild` is called once the file's own fields have
    passed, and whatever it raises is the caller's: a rebuild that could not
    be made is no verdict on the file. `report` hears each step that holds."""
    signature = None
    try:
        if len(data) > MAX_DOWNLOAD:
            raise Refused("file", f"{len(data)} bytes; a release is far smaller")
        signature = read_signature(data)
        if signature is not None:
            report(f"signer: {signature.signer.name}, certificate SHA-256 {signature.signer.sha256}")
            if policy.signer_sha256 is not None and signature.signer.sha256 != policy.signer_sha256:
                raise Refused("signer", f"the signing certificate is not the one given with --signer "
                              f"({policy.signer_sha256})")
            if signature.time_stamp is not None:
                authority = signature.time_stamp.chain[0]
                report(f"time stamp: {signature.time_stamp.time:%Y-%m-%d %H:%M:%S} UTC, by {authority.name}, "
                       f"certificate SHA-256 {authority.sha256}")
            check_trust(signature, policy, now)
            report(f"signature: verifies, in the form {signature.form} writes")
    except Exception as error:
        return refusal_of(error, signature)
    rebuilt = rebuild()
    try:
        compare(data, signature, rebuilt)
    except Exception as error:
        return refusal_of(error, signature)
    report("bytes: identical to " + ("the rebuild" if signature is None else
                                     "the rebuild with the file's signature attached"))
    if signature is None:
        return Outcome(Status.NOT_SIGNED)
    if policy.signer_sha256 is None:
        return Outcome(Status.SIGNER_NOT_CHECKED, signature)
    return Outcome(Status.ACCEPTED, signature)
