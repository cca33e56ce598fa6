#!/usr/bin/env python3
"""The deployer's package: its contents, the size budget, the signature and
the version resource of the exe.

Environment: VEXLO_BUILD_DIR (the mingw build tree), VEXLO_VERSION,
VEXLO_WINE_TEMPLATE, VEXLO_PROBE_EXE, VEXLO_E2E_DIR.
"""
import os
import re
import shutil
import subprocess
import sys
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from vexlo_wine import CLIENT_EXE, SERVICE_EXE, WinePrefix, wait_for  # noqa: E402

BUILD = os.environ.get("VEXLO_BUILD_DIR", "")
VERSION = os.environ.get("VEXLO_VERSION", "")
TOP = "VexloService-%s-win64" % VERSION


def openssl(work, *args):
    subprocess.run(["openssl", *args], cwd=work, check=True, capture_output=True)


def make_code_signing_certificate(work):
    """A throwaway CA and a code-signing certificate it issued, as PKCS#12
    with a password file. Returns (ca.pem, cert.p12, password file)."""
    openssl(work, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
            "-subj", "/CN=Vexlo Test Code Signing CA", "-keyout", "ca.key", "-out", "ca.pem")
    openssl(work, "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=Marvonel Test",
            "-keyout", "signer.key", "-out", "signer.csr")
    with open(os.path.join(work, "signer.ext"), "w") as f:
        f.write("keyUsage=digitalSignature\nextendedKeyUsage=codeSigning\n")
    openssl(work, "x509", "-req", "-in", "signer.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-days", "2", "-extfile", "signer.ext", "-out", "signer.pem")
    with open(os.path.join(work, "password"), "w") as f:
        f.write("not-a-secret")
    openssl(work, "pkcs12", "-export", "-in", "signer.pem", "-inkey", "signer.key",
            "-passout", "file:password", "-out", "signer.p12")
    return tuple(os.path.join(work, name) for name in ("ca.pem", "signer.p12", "password"))


class PackageTest(unittest.TestCase):
    def setUp(self):
        self.work = os.path.join(os.environ["VEXLO_E2E_DIR"], "package-" + self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.addCleanup(shutil.rmtree, self.work, True)

    def cpack(self, *args, **signing):
        env = {k: v for k, v in os.environ.items() if not k.startswith("VEXLO_SIGN_")}
        env.update(signing)
        return subprocess.run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"),
                               "-B", os.path.join(self.work, "out"), *args],
                              env=env, capture_output=True, text=True, timeout=300)

    def verify(self, exe, ca):
        return subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", exe],
                              capture_output=True, text=True).returncode

    def test_signed_package_holds_exe_guide_and_samples_and_runs_the_same(self):
        ca, p12, password = make_code_signing_certificate(self.work)
        result = self.cpack(VEXLO_SIGN_PKCS12=p12, VEXLO_SIGN_PASSWORD_FILE=password)
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        for exe, budget in (("VexloService.exe", 250000), ("VexloCheck.exe", 300000),
                            ("VexloSelfTest.exe", 300000)):
            self.assertIn(exe + " is signed.", result.stdout)
            self.assertRegex(result.stdout, r"%s: \d+ bytes \(budget %d\)" % (exe, budget))

        with zipfile.ZipFile(os.path.join(self.work, "out", TOP + ".zip")) as package:
            self.assertEqual(sorted(TOP + "/" + name for name in (
                "VexloService.exe", "VexloCheck.exe", "VexloSelfTest.exe", "config.xml", "version.xml",
                "version-signed-example.xml",
                "DEPLOYMENT.txt")), sorted(package.namelist()))
            package.extractall(os.path.join(self.work, "unzipped"))
        unzipped = os.path.join(self.work, "unzipped", TOP)
        # The signed sample is the sample with a block after its root element.
        with open(os.path.join(unzipped, "version.xml"), "rb") as f:
            sample = f.read()
        with open(os.path.join(unzipped, "version-signed-example.xml"), "rb") as f:
            signed = f.read()
        self.assertRegex(signed, re.escape(sample) + rb'<\?vexlo-signature key="[0-9a-f]{16}" '
                         rb'serial="[1-9][0-9]*" signature="[0-9a-f]{128}"\?>\n\Z')
        with open(os.path.join(unzipped, "DEPLOYMENT.txt"), "rb") as f:
            guide = f.read()
        self.assertIn(b"\r\n", guide)
        self.assertNotIn(b"\n", guide.replace(b"\r\n", b""))  # CRLF only, for Notepad
        self.assertIn(VERSION.encode(), guide.split(b"\r\n")[0])

        exe = os.path.join(unzipped, "VexloService.exe")
        self.assertEqual(0, self.verify(exe, ca))
        for other in ("VexloCheck.exe", "VexloSelfTest.exe"):
            self.assertEqual(0, self.verify(os.path.join(unzipped, other), ca))
        tampered = os.path.join(self.work, "tampered.exe")
        with open(exe, "rb") as f:
            image = bytearray(f.read())
        image[0x1000] ^= 0xFF  # a byte of the signed code
        with open(tampered, "wb") as f:
            f.write(image)
        self.assertNotEqual(0, self.verify(tampered, ca))

        # The signature changes nothing of what the exe does.
        prefix = WinePrefix(os.environ["VEXLO_WINE_TEMPLATE"], os.path.join(self.work, "pfx"))
        prefix.create()
        self.addCleanup(prefix.remove)
        self.addCleanup(prefix.stop)  # also after a failed start
        prefix.start()
        prefix.lay_out_client(exe, os.environ["VEXLO_PROBE_EXE"])
        self.assertEqual(0, prefix.run(SERVICE_EXE, "-install").returncode)
        state = lambda: prefix.run(CLIENT_EXE, "state").stdout.decode().strip()  # noqa: E731
        self.assertTrue(wait_for(lambda: state() == "4"))
        self.assertEqual(["ServiceMain"], prefix.service_entries())

    def test_unsigned_package_says_so(self):
        result = self.cpack()
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        self.assertIn("VexloService.exe is NOT signed", result.stdout)
        self.assertIn("VexloCheck.exe is NOT signed", result.stdout)
        self.assertIn("VexloSelfTest.exe is NOT signed", result.stdout)

    def test_an_exe_over_its_size_budget_fails_the_package(self):
        for budget in ("CPACK_VEXLO_EXE_SIZE_BUDGET", "CPACK_VEXLO_CHECK_SIZE_BUDGET",
                       "CPACK_VEXLO_SELFTEST_SIZE_BUDGET"):
            result = self.cpack("-D", budget + "=1000")
            self.assertNotEqual(0, result.returncode, budget)
            self.assertIn("over its budget of 1000", result.stdout + result.stderr)
            self.assertFalse(os.path.exists(os.path.join(self.work, "out", TOP + ".zip")))

    def test_version_resource_carries_the_project_version(self):
        prefix = WinePrefix(os.environ["VEXLO_WINE_TEMPLATE"], os.path.join(self.work, "pfx"))
        prefix.create()
        self.addCleanup(prefix.remove)
        exe = os.path.join(BUILD, "bin", "VexloService.exe")
        result = prefix.run(os.environ["VEXLO_PROBE_EXE"], "version", "Z:" + exe.replace("/", "\\"))
        prefix.stop()
        fields = dict(line.split("=", 1) for line in
                      result.stdout.decode().replace("\r", "").splitlines() if "=" in line)
        self.assertEqual(VERSION + ".0", fields.get("fixed"))
        self.assertEqual(VERSION, fields.get("FileVersion"))
        self.assertEqual(VERSION, fields.get("ProductVersion"))
        self.assertEqual("VexloService", fields.get("ProductName"))
        self.assertEqual("Vexlo client update service", fields.get("FileDescription"))


if __name__ == "__main__":
    unittest.main()
