#!/usr/bin/env python3
"""The build's reading of VEXLO_DOCUMENT_KEYS (cmake/DocumentKeys.cmake):
the name and point it compiles, and a stop naming the file for anything
that is not a P-256 public key."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
KEYS = os.path.join(HERE, "..", "keys")
SIGN_DOCUMENT = os.path.join(HERE, "..", "..", "scripts", "sign-document")


def read_key(path):
    result = subprocess.run(["cmake", "-DKEY_FILE=" + path, "-P",
                             os.path.join(HERE, "read_document_key.cmake")],
                            capture_output=True, text=True)
    return result.returncode, result.stderr


class DocumentKeysTest(unittest.TestCase):
    def test_name_and_point_are_those_of_the_key_and_the_signing_tool(self):
        public = os.path.join(KEYS, "first.pub.pem")
        status, output = read_key(public)
        self.assertEqual(0, status, output)
        der = subprocess.run(["openssl", "pkey", "-pubin", "-in", public, "-outform", "DER"],
                             check=True, capture_output=True).stdout
        point = re.search(r"point=(.*)", output).group(1).split(", ")
        self.assertEqual(list(der[-64:]), [int(byte, 16) for byte in point])
        with tempfile.TemporaryDirectory() as scratch:
            document = os.path.join(scratch, "d.xml")
            with open(document, "wb") as f:
                f.write(b"<v><a>1</a></v>")
            subprocess.run([sys.executable, SIGN_DOCUMENT, "--key",
                            os.path.join(KEYS, "first.pem"), document, document], check=True)
            with open(document, "rb") as f:
                signed_name = re.search(rb'key="([0-9a-f]+)"', f.read()).group(1).decode()
        self.assertEqual(signed_name, re.search(r"name=(\w+)", output).group(1))

    def test_anything_but_a_p256_public_key_stops_the_build_naming_the_file(self):
        with tempfile.TemporaryDirectory() as scratch:
            p384 = os.path.join(scratch, "p384.pem")
            subprocess.run(["openssl", "ecparam", "-name", "secp384r1", "-genkey", "-noout",
                            "-out", p384], check=True)
            p384_public = os.path.join(scratch, "p384.pub.pem")
            subprocess.run(["openssl", "ec", "-in", p384, "-pubout", "-out", p384_public],
                           check=True, capture_output=True)
            with open(os.path.join(KEYS, "first.pub.pem")) as f:
                good = f.read()
            garbled = os.path.join(scratch, "garbled.pub.pem")
            with open(garbled, "w") as f:
                f.write(good.replace("BAAE", "BAAF", 1) if "BAAE" in good
                        else good[:40] + "!" + good[41:])
            cut = os.path.join(scratch, "cut.pub.pem")
            with open(cut, "w") as f:
                lines = good.splitlines()
                f.write("\n".join(lines[:2] + lines[-1:]) + "\n")
            for path in (os.path.join(scratch, "missing.pem"), p384_public, cut, garbled,
                         os.path.join(KEYS, "first.pem"), scratch):
                status, output = read_key(path)
                self.assertNotEqual(0, status, path)
                self.assertIn("VEXLO_DOCUMENT_KEYS: " + path, output.replace("\n  ", " "), path)


if __name__ == "__main__":
    unittest.main()
