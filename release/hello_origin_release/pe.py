"""A bounded reader of the few fields of a PE image that releasing and
verifying need, after Microsoft's "PE Format": the headers, the data
directories, the section table and the attribute certificate table."""
from __future__ import annotations

import hashlib
import struct
from dataclasses import dataclass

from . import der

MACHINE_AMD64 = 0x8664
PE32_PLUS = 0x020B
IMPORT_TABLE = 1
RESOURCE_TABLE = 2
CERTIFICATE_TABLE = 4
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
# The optional header of PE32+ up to its data directories.
OPTIONAL_HEADER_FIXED = 112
MAX_SECTIONS = 96


class PeError(ValueError):
    """The bytes are not the image they should be, at `field`."""

    def __init__(self, field: str, reason: str) -> None:
        super().__init__(f"{field}: {reason}")
        self.field, self.reason = field, reason


@dataclass(frozen=True)
class Section:
    name: bytes
    virtual_address: int
    virtual_size: int
    raw_offset: int
    raw_size: int


@dataclass(frozen=True)
class PeImage:
    data: bytes
    optional_header: int
    subsystem: int
    dll_characteristics: int
    directories: tuple[tuple[int, int], ...]
    sections: tuple[Section, ...]

    @property
    def checksum_offset(self) -> int:
        return self.optional_header + 64

    @property
    def certificate_entry_offset(self) -> int:
        return self.optional_header + OPTIONAL_HEADER_FIXED + 8 * CERTIFICATE_TABLE

    @property
    def certificate_table(self) -> tuple[int, int]:
        return self.directories[CERTIFICATE_TABLE]

    def at_rva(self, rva: int, size: int, what: str) -> bytes:
        """`size` bytes of the loaded image at `rva`, from the file."""
        for section in self.sections:
            start = rva - section.virtual_address
            if 0 <= start and start + size <= min(section.raw_size, max(section.virtual_size, section.raw_size)):
                offset = section.raw_offset + start
                if offset + size <= len(self.data):
                    return self.data[offset:offset + size]
        raise PeError(what, f"{size} bytes at RVA 0x{rva:x} lie in no section's data")


def _unpack(layout: str, data: bytes, offset: int, what: str) -> tuple[int, ...]:
    if offset < 0 or offset + struct.calcsize(layout) > len(data):
        raise PeError(what, f"beyond the end of the {len(data)}-byte file")
    return struct.unpack_from(layout, data, offset)


def read(data: bytes) -> PeImage:
    if len(data) < 64 or data[:2] != b"MZ":
        raise PeError("DOS header", "not a PE image: no MZ header")
    (pe,) = _unpack("<I", data, 0x3C, "e_lfanew")
    if data[pe:pe + 4] != b"PE\0\0":
        raise PeError("PE signature", "not a PE image: no PE signature")
    machine, section_count, _, _, _, optional_size, _ = _unpack("<HHIIIHH", data, pe + 4, "the file header")
    if machine != MACHINE_AMD64:
        raise PeError("FileHeader.Machine", f"not an x86-64 image: 0x{machine:04x}")
    optional = pe + 24
    if optional_size < OPTIONAL_HEADER_FIXED or optional + optional_size > len(data):
        raise PeError("SizeOfOptionalHeader", f"{optional_size} bytes do not fit")
    (magic,) = _unpack("<H", data, optional, "the optional header")
    if magic != PE32_PLUS:
        raise PeError("OptionalHeader.Magic", f"not a PE32+ image: 0x{magic:04x}")
    subsystem, dll_characteristics = _unpack("<HH", data, optional + 68, "Subsystem")
    (directory_count,) = _unpack("<I", data, optional + 108, "NumberOfRvaAndSizes")
    if directory_count > 16 or OPTIONAL_HEADER_FIXED + 8 * directory_count > optional_size:
        raise PeError("NumberOfRvaAndSizes", f"{directory_count} directories do not fit the optional header")
    if directory_count <= CERTIFICATE_TABLE:
        raise PeError("NumberOfRvaAndSizes", "no certificate table entry")
    directories = tuple(
        _unpack("<II", data, optional + OPTIONAL_HEADER_FIXED + 8 * n, "the data directories")
        for n in range(directory_count))
    if section_count > MAX_SECTIONS:
        raise PeError("NumberOfSections", f"{section_count} sections")
    table = optional + optional_size
    sections = []
    for n in range(section_count):
        name, virtual_size, virtual_address, raw_size, raw_offset = _unpack(
            "<8sIIII", data, table + 40 * n, "the section table")
        sections.append(Section(name.rstrip(b"\0"), virtual_address, virtual_size, raw_offset, raw_size))
    return PeImage(data, optional, subsystem, dll_characteristics, directories, tuple(sections))


def certificate_entry(image: PeImage) -> bytes | None:
    """The signature in the one WIN_CERTIFICATE entry, as the release writes
    it: one entry, quadword aligned, ending the file, its length the table's,
    holding one DER element and fewer than 8 zero bytes of padding after it;
    None for an image without a certificate table."""
    offset, size = image.certificate_table
    if (offset, size) == (0, 0):
        return None
    table = "the certificate table"
    end_of_headers = image.optional_header + OPTIONAL_HEADER_FIXED + 8 * len(image.directories)
    if size < 8 or offset % 8 or size % 8 or offset < end_of_headers or offset + size != len(image.data):
        raise PeError(table, f"{size} bytes at offset {offset} do not end the {len(image.data)}-byte file as one "
                      "quadword-aligned entry")
    length, revision, kind = struct.unpack_from("<IHH", image.data, offset)
    if length != size:
        raise PeError(table, f"its entry says {length} bytes, the table holds {size}")
    if (revision, kind) != (WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA):
        raise PeError(table, f"its entry is not an Authenticode signature (revision 0x{revision:04x}, type 0x{kind:04x})")
    entry = image.data[offset + 8:offset + size]
    try:
        end = der.read_tlv(entry, 0, len(entry)).end
    except der.DerError as error:
        raise PeError(table, f"its entry does not hold one DER element: {error}") from None
    if entry[end:] != bytes(len(entry) - end) or len(entry) - end >= 8:
        raise PeError(table, f"{len(entry) - end} bytes after the signature that are not its padding")
    return entry[:end]


def checksum(data: bytes, checksum_offset: int) -> int:
    """The optional header's CheckSum of `data`: its 16-bit words summed with
    end-around carry, the field itself taken as zero, plus the file's length."""
    zeroed = data[:checksum_offset] + bytes(4) + data[checksum_offset + 4:]
    if len(zeroed) % 2:
        zeroed += b"\0"
    total = sum(struct.unpack(f"<{len(zeroed) // 2}H", zeroed))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(data)


def authenticode_digest(image: PeImage, algorithm: str = "sha256") -> bytes:
    """The Authenticode digest of an unsigned image: every byte but the
    CheckSum and the certificate table's directory entry."""
    if image.certificate_table != (0, 0):
        raise PeError("the certificate table", "the image is signed already")
    data = image.data
    digest = hashlib.new(algorithm)
    digest.update(data[:image.checksum_offset])
    digest.update(data[image.checksum_offset + 4:image.certificate_entry_offset])
    digest.update(data[image.certificate_entry_offset + 8:])
    return digest.digest()


def attach(image: PeImage, signature: bytes) -> bytes:
    """The signed file: the unsigned image, its signature appended in one
    WIN_CERTIFICATE entry padded to 8 bytes, the directory entry and the
    CheckSum set, as osslsigncode writes them."""
    if image.certificate_table != (0, 0):
        raise PeError("the certificate table", "the image is signed already")
    if len(image.data) % 8:
        raise PeError("file", f"the image's {len(image.data)} bytes are not a multiple of 8")
    length = 8 + len(signature)
    length += -length % 8
    entry = struct.pack("<IHH", length, WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA)
    signed = bytearray(image.data + entry + signature + bytes(length - 8 - len(signature)))
    struct.pack_into("<II", signed, image.certificate_entry_offset, len(image.data), length)
    struct.pack_into("<I", signed, image.checksum_offset, checksum(bytes(signed), image.checksum_offset))
    return bytes(signed)
