"""The release image's own promises, read with the PE reader: a 64-bit GUI
program for x86-64 that imports only KnownDLLs, keeps ASLR and DEP, loads
no DLL late, and whose manifest holds only what the program needs. A run
under Wine tells none of these: Wine reads no .config that could redirect
a dependency, and a program without ASLR shows its box just the same."""
from __future__ import annotations

import re
import struct

from . import pe

GUI_SUBSYSTEM = 2
DELAY_IMPORT_TABLE = 13
RT_MANIFEST = 24
MAX_IMPORTED_DLLS = 64
# KnownDLLs of every supported Windows: any other DLL is looked up first in
# the program's own folder, the Downloads folder.
KNOWN_DLLS = frozenset(("advapi32.dll", "comdlg32.dll", "gdi32.dll", "imm32.dll", "kernel32.dll", "msvcrt.dll",
                        "ole32.dll", "oleaut32.dll", "rpcrt4.dll", "shell32.dll", "shlwapi.dll", "user32.dll",
                        "ws2_32.dll"))
# DllCharacteristics a builder's LDFLAGS (-Wl,--no-dynamicbase, say) must not strip.
REQUIRED_CHARACTERISTICS = {0x40: "DYNAMIC_BASE (ASLR, the image loads at a random address)",
                            0x20: "HIGH_ENTROPY_VA (ASLR across the whole 64-bit address space)",
                            0x100: "NX_COMPAT (DEP, no code runs from the stack or the heap)"}
# A dependent assembly in the manifest is one a .config beside the program
# can redirect to a private copy, and other elements (<file>, say) name DLLs
# to load from the program's folder.
MANIFEST_ELEMENTS = frozenset(("application", "assembly", "compatibility", "dpiAware", "dpiAwareness",
                               "requestedExecutionLevel", "requestedPrivileges", "security", "supportedOS",
                               "trustInfo", "windowsSettings"))


def _string(image: pe.PeImage, rva: int, what: str) -> str:
    for size in (64, 16, 1):
        try:
            text = image.at_rva(rva, size, what)
        except pe.PeError:
            continue
        if b"\0" in text:
            return text.split(b"\0")[0].decode("ascii", "replace")
    raise pe.PeError(what, "no name ends within its section")


def imports(image: pe.PeImage) -> list[str]:
    rva, _ = image.directories[pe.IMPORT_TABLE]
    names: list[str] = []
    for index in range(MAX_IMPORTED_DLLS if rva else 0):
        descriptor = struct.unpack("<5I", image.at_rva(rva + 20 * index, 20, "the import directory"))
        if descriptor == (0, 0, 0, 0, 0):
            return names
        names.append(_string(image, descriptor[3], "an imported DLL's name"))
    if rva:
        raise pe.PeError("the import directory", f"more than {MAX_IMPORTED_DLLS} DLLs")
    return names


def manifest(image: pe.PeImage) -> bytes | None:
    """The RT_MANIFEST resource: its first name and language."""
    rva, _ = image.directories[pe.RESOURCE_TABLE]
    if not rva:
        return None

    def entries(offset: int) -> list[tuple[int, int]]:
        named, numbered = struct.unpack("<HH", image.at_rva(rva + offset + 12, 4, "the resource directory"))
        return [struct.unpack("<II", image.at_rva(rva + offset + 16 + 8 * n, 8, "the resource directory"))
                for n in range(named + numbered)]

    directory = 0
    for wanted in (RT_MANIFEST, None):
        found = [target for name, target in entries(directory) if wanted is None or name == wanted]
        if not found or not found[0] & 0x80000000:
            return None
        directory = found[0] & 0x7FFFFFFF
    leaf = next((target for _, target in entries(directory)), None)
    if leaf is None or leaf & 0x80000000:
        return None
    data_rva, data_size = struct.unpack("<II", image.at_rva(rva + leaf, 8, "the resource data entry"))
    return image.at_rva(data_rva, data_size, "the manifest")


def problems(data: bytes) -> list[str]:
    """What the image breaks, one line each; none for a sound release image."""
    try:
        image = pe.read(data)
        found = []
        if image.subsystem != GUI_SUBSYSTEM:
            found.append(f"Subsystem is {image.subsystem}, not the Windows GUI ({GUI_SUBSYSTEM})")
        for bit, name in REQUIRED_CHARACTERISTICS.items():
            if not image.dll_characteristics & bit:
                found.append(f"DllCharacteristics lacks {name}")
        found += [f"imports {dll}, which is not a KnownDLL" for dll in imports(image) if dll.lower() not in KNOWN_DLLS]
        if len(image.directories) > DELAY_IMPORT_TABLE and image.directories[DELAY_IMPORT_TABLE] != (0, 0):
            found.append("delay-loads DLLs, which the loader looks up beside the program")
        text = manifest(image)
        if text is None or b'requestedExecutionLevel level="asInvoker"' not in text:
            found.append("no manifest that asks for asInvoker")
        for element in sorted(set(re.findall(rb"<([A-Za-z][A-Za-z0-9]*)", text or b""))):
            if element.decode() not in MANIFEST_ELEMENTS:
                found.append(f"the manifest has <{element.decode()}>, which the program does not need and the loader "
                             "acts on")
        return found
    except pe.PeError as error:
        return [str(error)]
