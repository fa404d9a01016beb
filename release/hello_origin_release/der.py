"""Strict DER at the level of tags and lengths, for bytes from anyone: a
reader that re-encodes what it reads and must get the same bytes back, and
the writer the verifier builds the one expected form with."""
from __future__ import annotations

import base64
from dataclasses import dataclass

# Deep enough for a certificate inside a time stamp inside a signature.
MAX_DEPTH = 40
CONSTRUCTED = 0x20
BOOLEAN, INTEGER, BIT_STRING, OCTET_STRING, NULL, OID = 0x01, 0x02, 0x03, 0x04, 0x05, 0x06
SEQUENCE, SET = 0x30, 0x31


class DerError(ValueError):
    """Not strict DER: which rule the element at `offset` breaks."""

    def __init__(self, offset: int, rule: str) -> None:
        super().__init__(f"offset {offset}: {rule}")
        self.offset, self.rule = offset, rule


@dataclass(frozen=True)
class Tlv:
    tag: int
    start: int  # offset of the tag
    content: int  # offset of the content
    end: int

    def value(self, data: bytes) -> bytes:
        return data[self.content:self.end]


def pem(label: str, blocks: list[bytes]) -> str:
    """DER in PEM armour, 64 characters a line, one block after another."""
    text = []
    for block in blocks:
        encoded = base64.b64encode(block).decode()
        text += [f"-----BEGIN {label}-----", *(encoded[n:n + 64] for n in range(0, len(encoded), 64)),
                 f"-----END {label}-----"]
    return "".join(line + "\n" for line in text)


def pem_blocks(text: bytes, label: str) -> list[bytes]:
    """The DER of each PEM block of `label` in `text`; for "CERTIFICATE" also
    OpenSSL's "TRUSTED CERTIFICATE", whose first element is the certificate.
    A block that is not base64 is left out."""
    found = []
    for armour in (label, f"TRUSTED {label}") if label == "CERTIFICATE" else (label,):
        begin, end = f"-----BEGIN {armour}-----".encode(), f"-----END {armour}-----".encode()
        for piece in text.split(begin)[1:]:
            body = piece.split(end, 1)
            try:
                block = base64.b64decode(b"".join(body[0].split()), validate=True) if len(body) == 2 else b""
                if block and armour != label:
                    block = block[:read_tlv(block, 0, len(block)).end]
            except (ValueError, DerError):
                continue
            if block:
                found.append(block)
    return found


def header(tag: int, length: int) -> bytes:
    if length < 0x80:
        return bytes((tag, length))
    size = (length.bit_length() + 7) // 8
    return bytes((tag, 0x80 | size)) + length.to_bytes(size, "big")


def tlv(tag: int, content: bytes) -> bytes:
    return header(tag, len(content)) + content


def read_tlv(data: bytes, offset: int, end: int) -> Tlv:
    """One element at `offset`, its length in the shortest form, inside `end`."""
    if offset + 2 > end:
        raise DerError(offset, "an element cut short")
    tag, first = data[offset], data[offset + 1]
    if tag & 0x1F == 0x1F:
        raise DerError(offset, "a multi-byte tag")
    if first < 0x80:
        length, content = first, offset + 2
    else:
        size = first & 0x7F
        if size == 0:
            raise DerError(offset, "an indefinite length")
        if size > 4 or offset + 2 + size > end:
            raise DerError(offset, "a length of more than 4 bytes")
        length = int.from_bytes(data[offset + 2:offset + 2 + size], "big")
        content = offset + 2 + size
        if header(tag, length) != data[offset:content]:
            raise DerError(offset, "a length not in its shortest form")
    if content + length > end:
        raise DerError(offset, "content past the end of what holds it")
    return Tlv(tag, offset, content, content + length)


def children(data: bytes, parent: Tlv) -> list[Tlv]:
    found, offset = [], parent.content
    while offset < parent.end:
        child = read_tlv(data, offset, parent.end)
        found.append(child)
        offset = child.end
    return found


def _check_primitive(data: bytes, element: Tlv) -> None:
    value = element.value(data)
    if element.tag == BOOLEAN and value not in (b"\x00", b"\xff"):
        raise DerError(element.start, "a BOOLEAN other than 00 or FF")
    if element.tag == INTEGER and (not value or len(value) > 1 and (
            value[0] == 0 and value[1] < 0x80 or value[0] == 0xFF and value[1] >= 0x80)):
        raise DerError(element.start, "an INTEGER not in its shortest form")
    if element.tag == NULL and value:
        raise DerError(element.start, "a NULL with content")
    if element.tag == OID and (not value or value[-1] & 0x80 or any(
            value[n] == 0x80 and (n == 0 or not value[n - 1] & 0x80) for n in range(len(value)))):
        raise DerError(element.start, "an OBJECT IDENTIFIER not in its shortest form")
    if element.tag == BIT_STRING and (not value or value[0] > 7 or len(value) == 1 and value[0]
                                      or value[-1] & ((1 << value[0]) - 1)):
        raise DerError(element.start, "a BIT STRING with stray unused bits")


def check_strict(data: bytes) -> Tlv:
    """The one element `data` holds, walked to its leaves: definite, shortest
    lengths, short tags, nothing after it, universal types other than
    SEQUENCE and SET primitive, the primitives above in their one form.
    Returns the element."""
    top = read_tlv(data, 0, len(data))
    if top.end != len(data):
        raise DerError(top.end, "bytes after the element")
    pending = [(top, 0)]
    while pending:
        element, depth = pending.pop()
        if depth > MAX_DEPTH:
            raise DerError(element.start, f"nested more than {MAX_DEPTH} deep")
        if not element.tag & CONSTRUCTED:
            _check_primitive(data, element)
        elif element.tag & 0xC0 == 0 and element.tag not in (SEQUENCE, SET):
            raise DerError(element.start, "a constructed string")
        else:
            pending.extend((child, depth + 1) for child in children(data, element))
    return top
