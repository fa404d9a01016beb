"""An RFC 3161 time stamp for a release's signature, asked for by the
release itself: its own request with a fresh nonce, and a reply taken only
when it answers that request, so that nobody between here and the server
(plain HTTP, as a rule) can put bytes of their own in the release."""
from __future__ import annotations

import hashlib
import http.client
import secrets
import urllib.parse
import urllib.request
from dataclasses import dataclass

from asn1crypto import cms, tsp

from . import der, files

from .authenticode import NONCE_BITS

# Four times the largest time stamp a release carries: room for what an
# authority adds that the release's form leaves out (its root, a status text).
MAX_REPLY = 64 * 1024
# For one read, and for the whole reply.
TIMEOUT_SECONDS = 30
REPLY_SECONDS = 60


class TimeStampError(Exception):
    """The server cannot be asked, or its reply is not the answer to the request."""


@dataclass(frozen=True)
class Request:
    der: bytes
    imprint: bytes  # SHA-256 of the signer's signature value
    nonce: int


def request_for(signature_value: bytes) -> Request:
    """A request for a time stamp over the signer's signature value, as
    Authenticode stamps it: SHA-256, a 64-bit nonce, the authority's certificates."""
    imprint = hashlib.sha256(signature_value).digest()
    nonce = secrets.randbits(NONCE_BITS)
    query = tsp.TimeStampReq({"version": "v1", "message_imprint": {
        "hash_algorithm": {"algorithm": "sha256"}, "hashed_message": imprint}, "nonce": nonce, "cert_req": True})
    return Request(query.dump(), imprint, nonce)


def plain_http(url: str) -> bool:
    return urllib.parse.urlsplit(url).scheme.lower() == "http"


def ask(url: str, request: Request) -> bytes:
    """The server's reply to the request, at most MAX_REPLY bytes."""
    if urllib.parse.urlsplit(url).scheme.lower() not in ("http", "https"):
        raise TimeStampError(f"{url} is not an http:// or https:// URL")
    query = urllib.request.Request(url, data=request.der, method="POST", headers={
        "Content-Type": "application/timestamp-query", "Accept": "application/timestamp-reply"})
    try:
        with urllib.request.urlopen(query, timeout=TIMEOUT_SECONDS) as response:
            return files.read_within(response, MAX_REPLY, REPLY_SECONDS)
    except files.InputError as error:
        raise TimeStampError(f"the time-stamp server's reply {error}") from None
    except (OSError, ValueError, http.client.HTTPException) as error:
        raise TimeStampError(f"the time-stamp server at {url} cannot be asked: {error}") from None


def token_of(reply: bytes, request: Request) -> bytes:
    """The time stamp a reply carries, when the server granted the request
    and the token's imprint and nonce are the request's own. The reply is
    walked by hand: asn1crypto takes a TimeStampResp without a token, as a
    refusal is, for no TimeStampResp at all."""
    try:
        top = der.check_strict(reply)
        fields = der.children(reply, top) if top.tag == der.SEQUENCE else []
        if [f.tag for f in fields] not in ([der.SEQUENCE], [der.SEQUENCE, der.SEQUENCE]):
            raise ValueError("not a status and a token")
        status = tsp.PKIStatusInfo.load(reply[fields[0].start:fields[0].end], strict=True)["status"].native
        if status not in ("granted", "granted_with_mods"):
            raise TimeStampError(f"the time-stamp server refused the request ({status})")
        if len(fields) == 1:
            raise TimeStampError("the time-stamp server's reply grants no time stamp")
        token = reply[fields[1].start:fields[1].end]
        signed = cms.ContentInfo.load(token, strict=True)["content"]
        info = signed["encap_content_info"]["content"].parsed if isinstance(signed, cms.SignedData) else None
        imprint = info["message_imprint"] if isinstance(info, tsp.TSTInfo) else None
        answered = imprint is not None and (imprint["hash_algorithm"]["algorithm"].native, imprint[
            "hashed_message"].native, info["nonce"].native) == ("sha256", request.imprint, request.nonce)
    except (ValueError, TypeError, KeyError, IndexError, AttributeError):
        raise TimeStampError("the time-stamp server's reply is not an RFC 3161 TimeStampResp") from None
    if not answered:
        raise TimeStampError("the time-stamp server's reply answers another request than this release's: its "
                             "imprint or nonce is not the one asked for")
    return token
