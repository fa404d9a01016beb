"""Each rule of the release image check, broken once in the tested program."""
from __future__ import annotations

import os
import struct
import unittest
from pathlib import Path

from hello_origin_release import image_check, pe

PROGRAM = Path(os.environ["HELLO_ORIGIN_PROGRAM"]).read_bytes()
IMAGE = pe.read(PROGRAM)


def patched(offset: int, layout: str, value: int) -> bytes:
    data = bytearray(PROGRAM)
    struct.pack_into(layout, data, offset, value)
    return bytes(data)


class ImageCheck(unittest.TestCase):
    def test_table(self) -> None:
        characteristics = IMAGE.optional_header + 70
        rows = [
            ("the program", PROGRAM, None),
            ("a console program", patched(IMAGE.optional_header + 68, "<H", 3), "Subsystem is 3"),
            *((f"without {name}", patched(characteristics, "<H", IMAGE.dll_characteristics & ~bit), name)
              for bit, name in ((0x40, "DYNAMIC_BASE"), (0x20, "HIGH_ENTROPY_VA"), (0x100, "NX_COMPAT"))),
            ("a DLL that is not a KnownDLL", PROGRAM.replace(b"USER32.dll", b"EVIL32.dll"), "imports EVIL32.dll"),
            ("a delay-loaded DLL", patched(IMAGE.optional_header + 112 + 8 * 13, "<I", 0x1000), "delay-loads"),
            ("an element the program does not need", PROGRAM.replace(b"<dpiAwareness", b"<dpiAwarenesz"),
             "<dpiAwarenesz>"),
            ("another execution level", PROGRAM.replace(b'"asInvoker"', b'"asInvokeR"'), "asInvoker"),
            ("an x86 image", patched(PROGRAM.index(b"PE\0\0") + 4, "<H", 0x14C), "not an x86-64 image"),
        ]
        for name, data, problem in rows:
            with self.subTest(name):
                found = image_check.problems(data)
                self.assertEqual([problem in p for p in found if problem], [True] if problem else [], found)
                self.assertEqual(len(found), 1 if problem else 0, found)


if __name__ == "__main__":
    unittest.main()
