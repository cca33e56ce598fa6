#!/usr/bin/env python3
"""scripts/sign-document: what it writes and what it refuses. That its
signatures verify is shown through CNG (tests/fetch/cng_signature_test.cpp)
and by the keyed service end to end (tests/e2e/test_faults.py)."""
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
TOOL = os.path.join(TOP, "scripts", "sign-document")
KEYS = os.path.join(TOP, "tests", "keys")
DOCUMENT = b'<?xml version="1.0"?>\r\n<version><v>2.0</v></version>\r\n'
BLOCK = re.compile(rb'<\?vexlo-signature key="([0-9a-f]{16})" serial="([0-9]+)" '
                   rb'signature="[0-9a-f]{128}"\?>')


class SignDocumentTest(unittest.TestCase):
    def setUp(self):
        scratch = tempfile.TemporaryDirectory()
        self.addCleanup(scratch.cleanup)
        self.dir = scratch.name

    def sign(self, document, *options, key="first.pem"):
        source = os.path.join(self.dir, "in.xml")
        target = os.path.join(self.dir, "out.xml")
        with open(source, "wb") as f:
            f.write(document)
        if os.path.exists(target):
            os.remove(target)
        result = subprocess.run([sys.executable, TOOL, "--key", os.path.join(KEYS, key),
                                 *options, source, target], capture_output=True)
        if result.returncode != 0:
            self.assertFalse(os.path.exists(target))
            return None, result.stderr.decode()
        with open(target, "rb") as f:
            return f.read(), result.stderr.decode()

    def test_appends_one_block_and_replaces_an_earlier_one(self):
        before = int(time.time())
        signed, _ = self.sign(DOCUMENT)
        self.assertTrue(signed.startswith(DOCUMENT))
        block = BLOCK.fullmatch(signed[len(DOCUMENT):].rstrip(b"\r\n"))
        self.assertTrue(block)
        self.assertTrue(signed.endswith(b"?>\r\n"))  # the document's own line ends
        self.assertGreaterEqual(int(block.group(2)), before)  # the clock by default

        again, _ = self.sign(signed, "--serial", str(int(block.group(2)) + 1), key="second.pem")
        self.assertEqual(1, len(BLOCK.findall(again)))
        self.assertTrue(again.startswith(DOCUMENT))
        self.assertNotEqual(block.group(1), BLOCK.search(again).group(1))  # the other key's name

    def test_refuses_what_players_pcs_would_refuse_or_the_service_cannot_read(self):
        signed, _ = self.sign(DOCUMENT, "--serial", "100")
        far = str(int(time.time()) + 2 * 24 * 3600)
        p384 = os.path.join(self.dir, "p384.pem")
        subprocess.run(["openssl", "ecparam", "-name", "secp384r1", "-genkey", "-noout",
                        "-out", p384], check=True)
        cases = {
            "root not closed": (DOCUMENT[:-12], (), "first.pem"),
            "no document": (b"", (), "first.pem"),
            "UTF-16": ("<v><a>1</a></v>".encode("utf-16"), (), "first.pem"),
            "NUL byte": (b"<v><a>1\0</a></v>", (), "first.pem"),
            "serial far ahead": (DOCUMENT, ("--serial", far), "first.pem"),
            "negative serial": (DOCUMENT, ("--serial", "-1"), "first.pem"),
            "serial past 64 bits": (DOCUMENT, ("--serial", str(2 ** 64)), "first.pem"),
            "serial not above the replaced one": (signed, ("--serial", "100"), "first.pem"),
            "block not last": (signed + b"<x/>", ("--serial", "101"), "first.pem"),
            "public key": (DOCUMENT, (), "first.pub.pem"),
            "another curve": (DOCUMENT, (), p384),
        }
        for why, (document, options, key) in cases.items():
            output, message = self.sign(document, *options, key=key)
            self.assertIsNone(output, why)
            self.assertIn("sign-document: ", message, why)
        output, _ = self.sign(DOCUMENT, "--serial", far, "--allow-future-serial")
        self.assertIn(('serial="%s"' % far).encode(), output)


if __name__ == "__main__":
    unittest.main()
