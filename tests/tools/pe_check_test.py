#!/usr/bin/env python3
"""The mitigation check of the built exe, and that it catches each one missing.

Environment: VEXLO_SERVICE_EXE, VEXLO_CHECK_EXE and VEXLO_SELFTEST_EXE, the built executables.
"""
import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import pe_check  # noqa: E402


class PeCheckTest(unittest.TestCase):
    def setUp(self):
        with open(os.environ["VEXLO_SERVICE_EXE"], "rb") as f:
            self.image = bytearray(f.read())
        pe, = struct.unpack_from("<I", self.image, 0x3C)
        self.characteristics_at = pe + 24 + 70

    def headers(self):
        pe, = struct.unpack_from("<I", self.image, 0x3C)
        return pe, pe + 24

    def failing(self, image):
        return [name for name, passed in pe_check.checks(bytes(image)) if not passed]

    def test_the_shipped_exes_have_every_mitigation(self):
        self.assertEqual([], self.failing(self.image))
        for exe in ("VEXLO_SERVICE_EXE", "VEXLO_CHECK_EXE", "VEXLO_SELFTEST_EXE"):
            self.assertEqual(0, pe_check.main(["pe_check", os.environ[exe]]), exe)

    def test_each_missing_mitigation_is_named(self):
        for bit, name in ((pe_check.DYNAMIC_BASE, "dynamic base (ASLR)"),
                          (pe_check.HIGH_ENTROPY_VA, "high-entropy addresses"),
                          (pe_check.NX_COMPAT, "NX compatible (DEP)")):
            image = bytearray(self.image)
            value, = struct.unpack_from("<H", image, self.characteristics_at)
            struct.pack_into("<H", image, self.characteristics_at, value & ~bit)
            self.assertEqual([name], self.failing(image))
        for message, name in ((pe_check.STACK_PROTECTOR_MESSAGE, "stack protector"),
                              (pe_check.FORTIFY_MESSAGE, "fortified calls")):
            image = bytes(self.image).replace(message, b"x" * len(message))
            self.assertEqual([name], self.failing(image))
        # A library imported at start-up that is no known DLL.
        self.assertIn("oleaut32.dll", pe_check.imported_dlls(
            bytes(self.image), *self.headers()))
        image = bytes(self.image).replace(b"OLEAUT32.dll", b"WINHTTP.dll\0")
        self.assertEqual(["imports only known DLLs"], self.failing(image))

    def test_what_is_no_64_bit_image_is_refused(self):
        for image in (b"", b"MZ" + bytes(100), bytes(self.image[:0x3C]) + b"\xff\xff\0\0"):
            with self.assertRaises(ValueError):
                pe_check.checks(image)


if __name__ == "__main__":
    unittest.main()
