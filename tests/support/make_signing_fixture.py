#!/usr/bin/env python3
"""Makes the signing material of the unit tests at test time, in DIR:
keys a and b (openssl), each as NAME.pem, NAME.point (x and y in hex) and
NAME.name (the name a block gives it), and signed-a.xml, a document signed
with key a and serial 42 by scripts/sign-document.

Usage: make_signing_fixture.py DIR
"""
import os
import re
import subprocess
import sys

TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def main(folder):
    os.makedirs(folder, exist_ok=True)
    for name in ("a", "b"):
        key = os.path.join(folder, name + ".pem")
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout",
                        "-out", key], check=True)
        der = subprocess.run(["openssl", "ec", "-in", key, "-pubout", "-outform", "DER"],
                             check=True, capture_output=True).stdout
        with open(os.path.join(folder, name + ".point"), "w") as f:
            f.write(der[-64:].hex())
        document = os.path.join(folder, "unsigned.xml")
        with open(document, "wb") as f:
            f.write(b'<?xml version="1.0"?>\n<version><v>2.0</v></version>\n')
        signed = os.path.join(folder, "signed-%s.xml" % name)
        subprocess.run([sys.executable, os.path.join(TOP, "scripts", "sign-document"),
                        "--key", key, "--serial", "42", document, signed], check=True)
        with open(signed, "rb") as f:
            key_name = re.search(rb'key="([0-9a-f]{16})"', f.read()).group(1)
        with open(os.path.join(folder, name + ".name"), "wb") as f:
            f.write(key_name)
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[1]))
