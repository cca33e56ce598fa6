#!/usr/bin/env python3
"""The deployer's package: its contents, the size budget, the signature and
the version resource of the exe; and its installers run as IT and players
run them: the MSI under Wine's msiexec, the example game installer built
from the NSIS include.

Environment: VEXLO_BUILD_DIR (the mingw build tree), VEXLO_VERSION,
VEXLO_WINE_TEMPLATE, VEXLO_PROBE_EXE, VEXLO_E2E_DIR; for the installers also
VEXLO_SOURCE_DIR, VEXLO_SERVICE_EXE and VEXLO_CHECK_EXE.
"""
import os
import re
import shutil
import struct
import subprocess
import sys
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import version_server  # noqa: E402
from vexlo_wine import CLIENT_EXE, PUBLIC_DESKTOP, SERVICE_EXE, WinePrefix, wait_for  # noqa: E402

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
        for exe, budget in (("VexloService.exe", 260000), ("VexloCheck.exe", 300000),
                            ("VexloSelfTest.exe", 300000)):
            self.assertIn(exe + " is signed.", result.stdout)
            self.assertRegex(result.stdout, r"%s: \d+ bytes \(budget %d\)" % (exe, budget))
        self.assertIn("VexloService-%s-win64.msi is signed." % VERSION, result.stdout)

        with zipfile.ZipFile(os.path.join(self.work, "out", TOP + ".zip")) as package:
            self.assertEqual(sorted(TOP + "/" + name for name in (
                "VexloService.exe", "VexloCheck.exe", "VexloSelfTest.exe", "config.xml", "version.xml",
                "version-signed-example.xml", "VexloService-%s-win64.msi" % VERSION,
                "VexloService.wxs", "VexloService.nsh", "VexloGameSetup.nsi",
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
        for other in ("VexloCheck.exe", "VexloSelfTest.exe", "VexloService-%s-win64.msi" % VERSION):
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
        self.assertIn("VexloService-%s-win64.msi is NOT signed" % VERSION, result.stdout)

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


# Where the guide says a game goes, and the example installer's default: a
# path with a space, which the registration must quote.
GAME_DIR = "C:\\Program Files\\Vexlo"
INSTALLED_EXE = GAME_DIR + "\\Service\\VexloService.exe"
OLD_VERSION = "0.9.0"
RECORD_KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VexloService"
UNINSTALL_KEY = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Vexlo"
STATE_FILES = ("config.xml", "version.xml", "update.ini")
SERVICE_FILES = ("VexloService.exe", "VexloCheck.exe", "regist.ini")
GAME_FILES = ("version.xml", "update.ini", "config.xml", "update.ico", "normal.ico")
OLD_DOCUMENT = b"<version><v>1.0</v></version>"
NEW_DOCUMENT = b"<version><v>1.1</v></version>"


def stamp_version(exe, copy, major, minor):
    """A copy of exe whose version resource says major.minor.0.0: an older
    release of the same code, or a program that outranks every release."""
    with open(exe, "rb") as f:
        image = bytearray(f.read())
    fixed = image.index(b"\xbd\x04\xef\xfe")  # VS_FIXEDFILEINFO's signature
    version = major << 16 | minor
    struct.pack_into("<IIII", image, fixed + 8, version, 0, version, 0)
    with open(copy, "wb") as f:
        f.write(image)


class InstallerTest(unittest.TestCase):
    """The package's installers under Wine, as IT and a player run them:
    silent, logged, upgraded over a running service, removed, and failing."""

    def setUp(self):
        self.work = os.path.join(os.environ["VEXLO_E2E_DIR"], "installer-" + self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.addCleanup(shutil.rmtree, self.work, True)
        self.prefix = WinePrefix(os.environ["VEXLO_WINE_TEMPLATE"], os.path.join(self.work, "pfx"))
        self.prefix.create()
        self.addCleanup(self.prefix.remove)
        self.addCleanup(self.prefix.stop)
        self.prefix.start()
        self.service_dir = os.path.join(self.prefix.drive_c, "Program Files", "Vexlo", "Service")
        self.server = os.path.join(self.work, "server")
        self.assertEqual(0, version_server.start(self.server))
        self.addCleanup(version_server.stop, self.server)
        with open(os.path.join(self.server, "port")) as f:
            self.url = "http://127.0.0.1:%d/doc/desktop.xml" % int(f.read())
        self.serve(OLD_DOCUMENT)
        # The game as its own installer lays it out: the service's folder
        # holds the game's part (icons, the first version.xml, update.ini,
        # settings with a check on every pass).
        self.game = os.path.join(self.work, "game")
        os.makedirs(os.path.join(self.game, "Service"))
        shutil.copy(os.environ["VEXLO_PROBE_EXE"], os.path.join(self.game, "Vexlo.exe"))
        for name, data in (("update.ico", b"\0\0\1\0u"), ("normal.ico", b"\0\0\1\0n"),
                           ("version.xml", OLD_DOCUMENT), ("update.ini", b"1"),
                           ("config.xml", ("<c><check>0</check><marker>0</marker><url>%s</url></c>"
                                           % self.url).encode())):
            with open(os.path.join(self.game, "Service", name), "wb") as f:
                f.write(data)

    def serve(self, document):
        docs = os.path.join(self.server, "docs")
        with open(os.path.join(docs, "desktop.tmp"), "wb") as f:
            f.write(document)
        os.replace(os.path.join(docs, "desktop.tmp"), os.path.join(docs, "desktop.xml"))

    def build(self, version, service_exe=None, build=""):
        """The installers of a release, built by the package step's own
        script from the shipped sources: (MSI, example game installer).
        build names another build of the same version."""
        version_label = version + build
        folder = os.path.join(self.work, "release-" + version_label)
        os.makedirs(folder)
        exe = os.path.join(folder, "VexloService.exe")
        if service_exe:
            shutil.copy(service_exe, exe)
        elif version == VERSION:
            shutil.copy(os.environ["VEXLO_SERVICE_EXE"], exe)
        else:
            major, minor, _ = (int(part) for part in version.split("."))
            stamp_version(os.environ["VEXLO_SERVICE_EXE"], exe, major, minor)
        shutil.copy(os.environ["VEXLO_CHECK_EXE"], folder)
        for name in ("VexloService.wxs", "VexloService.nsh", "VexloGameSetup.nsi"):
            shutil.copy(os.path.join(os.environ["VEXLO_SOURCE_DIR"], "packaging", name), folder)
        msi = os.path.join(self.work, "VexloService-%s.msi" % version_label)
        example = os.path.join(self.work, "VexloGame-%s.exe" % version_label)
        result = subprocess.run(
            ["cmake", "-DVEXLO_INSTALLER_DIR=" + folder, "-DVEXLO_VERSION=" + version,
             "-DVEXLO_MSI=" + msi, "-DVEXLO_EXAMPLE_OUT=" + example,
             "-DVEXLO_GAME_FILES=" + self.game,
             # The example is 32-bit; this Wine runs 64-bit programs only.
             "-DVEXLO_EXAMPLE_TARGET=amd64-unicode", "-P",
             os.path.join(os.environ["VEXLO_SOURCE_DIR"], "cmake", "package_installers.cmake")],
            capture_output=True, text=True, timeout=120,
            env={k: v for k, v in os.environ.items() if not k.startswith("VEXLO_SIGN_")})
        self.assertEqual(0, result.returncode, result.stdout + result.stderr)
        return msi, example

    def windows_path(self, path):
        return "Z:" + path.replace("/", "\\")

    def msiexec(self, *args):
        """msiexec as IT runs it: silent, with a verbose log; its exit code."""
        log = os.path.join(self.work, "msiexec-%d.log" % len(os.listdir(self.work)))
        result = self.prefix.run("start", "/wait", "msiexec", *args, "/qn", "/norestart", "/l*v",
                                 self.windows_path(log), timeout=180)
        self.assertTrue(os.path.exists(log), "no log from msiexec")
        with open(log, "rb") as f:
            self.log = f.read().decode("latin-1")
        return result.returncode

    def lay_out_game(self):
        shutil.copytree(self.game, os.path.dirname(self.service_dir))

    def service_path(self, name):
        return os.path.join(self.service_dir, name)

    def read(self, name):
        try:
            with open(self.service_path(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def probe(self, *args):
        # From the build tree: the game's Vexlo.exe (the probe too) goes with
        # the game's uninstaller.
        result = self.prefix.run(self.windows_path(os.environ["VEXLO_PROBE_EXE"]), *args)
        return result.stdout.decode(errors="replace").replace("\r", "").strip()

    def fields(self, *args):
        return dict(line.split("=", 1) for line in self.probe(*args).splitlines() if "=" in line)

    def record(self):
        """The service's record of checks, as values (the key's own time
        changes when the manager writes the key); [] when there is none."""
        exported = os.path.join(self.work, "record.reg")
        if os.path.exists(exported):
            os.remove(exported)
        self.prefix.run("reg", "export", RECORD_KEY, self.windows_path(exported), "/y")
        if not os.path.exists(exported):
            return []
        with open(exported, "rb") as f:
            text = f.read().decode("utf-16")
        return sorted(line for line in text.splitlines() if line.startswith('"Last'))

    def installed_version(self):
        return self.fields("version", INSTALLED_EXE).get("fixed")

    def assert_runs_registered_as_by_install(self):
        self.assertTrue(wait_for(lambda: self.probe("state") == "4"), "the service does not run")
        config = self.fields("config")
        self.assertEqual('"%s"' % INSTALLED_EXE, config["path"])  # quoted: never split at spaces
        self.assertEqual("0x110", config["type"])
        self.assertEqual("2", config["start"])
        self.assertNotEqual("", config["description"])

    def assert_first_check_brings_the_shortcut(self):
        self.serve(NEW_DOCUMENT)
        self.assertTrue(wait_for(lambda: self.read("update.ini") == b"0"), "no check came")
        self.assertEqual(NEW_DOCUMENT, self.read("version.xml"))
        icon = self.fields("link", PUBLIC_DESKTOP + "\\Vexlo.lnk").get("icon")
        self.assertEqual(INSTALLED_EXE.rsplit("\\", 1)[0] + "\\update.ico", icon)
        self.assertTrue(wait_for(lambda: self.record() != []), "no record of the check")

    def assert_upgrade_keeps_the_state(self, upgrade):
        """A fresh install of the older release first: it runs as -install
        registers it, and its first check brings the shortcut. Then upgrade,
        while it runs: the new exe is in place and runs, and the state files
        and the record of checks come through untouched."""
        self.assert_runs_registered_as_by_install()
        self.assertEqual(OLD_VERSION + ".0", self.installed_version())
        self.assert_first_check_brings_the_shortcut()
        state = {name: self.read(name) for name in STATE_FILES}
        record = self.record()
        upgrade()
        self.assertEqual(VERSION + ".0", self.installed_version())
        self.assert_runs_registered_as_by_install()
        self.assertEqual(state, {name: self.read(name) for name in STATE_FILES})
        self.assertEqual(record, self.record())

    def assert_nothing_of_the_service_left(self):
        self.assertTrue(wait_for(lambda: self.probe("state") == "missing"))
        self.assertEqual("missing", self.probe("record"))  # the service's key is gone
        for name in SERVICE_FILES:
            self.assertFalse(os.path.exists(self.service_path(name)), name)

    def test_msi_installs_upgrades_over_the_running_service_and_uninstalls(self):
        old, _ = self.build(OLD_VERSION)
        new, _ = self.build(VERSION)
        self.lay_out_game()
        self.assertEqual(0, self.msiexec("/i", self.windows_path(old), "GAMEDIR=" + GAME_DIR))
        self.assertIn("RegisterService", self.log)
        # The game folder is remembered: IT gives it once.
        self.assert_upgrade_keeps_the_state(
            lambda: self.assertEqual(0, self.msiexec("/i", self.windows_path(new))))
        self.assertIn("RemoveExistingProducts", self.log)

        self.assertEqual(0, self.msiexec("/x", self.windows_path(new)))
        self.assert_nothing_of_the_service_left()
        for name in GAME_FILES:  # the game's own files stay
            self.assertTrue(os.path.exists(self.service_path(name)), name)

    def test_msi_without_a_game_folder_or_failing_late_leaves_no_service(self):
        msi, _ = self.build(VERSION)
        self.lay_out_game()
        # GAMEDIR is required: without it nothing is installed. (Windows
        # ends a failed launch condition with 1603, Wine's msiexec with 67.)
        self.assertNotEqual(0, self.msiexec("/i", self.windows_path(msi)))
        self.assert_nothing_of_the_service_left()
        # Nor outside the 64-bit Program Files, whatever the form of the name.
        for folder in ("C:\\Games\\Vexlo", "C:\\Program Files\\..\\Games\\Vexlo",
                       "C:\\PROGRA~1\\Vexlo"):
            self.assertNotEqual(0, self.msiexec("/i", self.windows_path(msi), "GAMEDIR=" + folder))
            self.assertRegex(self.log, r"Action ended [^\n]*RefuseGameDirOutsideProgramFiles\. Return value [03]\.")
            self.assert_nothing_of_the_service_left()
        # A failure once the service is registered and started rolls back.
        # (Windows ends it with 1603, Wine's msiexec with 91.)
        self.assertNotEqual(0, self.msiexec("/i", self.windows_path(msi), "GAMEDIR=" + GAME_DIR,
                                            "VEXLOFAILWHENDEFERRED=1"))
        self.assertRegex(self.log, r"Action ended [^\n]*RegisterService\. Return value 1")
        self.assert_nothing_of_the_service_left()

    def msi_table(self, msi, table):
        """A table of the package as Windows Installer reads it, as rows of
        {column: value}."""
        exported = subprocess.run(["msiinfo", "export", msi, table], capture_output=True,
                                  text=True, check=True).stdout.replace("\r", "")
        lines = exported.split("\n")
        columns = lines[0].split("\t")
        return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]

    def test_msi_tables_version_lock_and_guard_what_windows_installer_does(self):
        msi, _ = self.build(VERSION)
        table = lambda name: self.msi_table(msi, name)  # noqa: E731

        # Each exe carries its version resource's file version, so that no
        # versioned file already at its name wins over it; and whatever
        # stands there is removed before the copy.
        files = {row["File"]: row for row in table("File")}
        for key, exe in (("VexloServiceExe", os.environ["VEXLO_SERVICE_EXE"]),
                         ("VexloCheckExe", os.environ["VEXLO_CHECK_EXE"])):
            with open(exe, "rb") as f:
                image = f.read()
            fixed = image.index(b"\xbd\x04\xef\xfe")
            high, low = struct.unpack_from("<II", image, fixed + 8)
            self.assertEqual("%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF),
                             files[key]["Version"], key)
        removals = {(row["Component_"], row["FileName"], row["DirProperty"], row["InstallMode"])
                    for row in table("RemoveFile")}
        self.assertIn(("ServiceExe", "VexloService.exe", "SERVICEDIR", "1"), removals)
        self.assertIn(("CheckExe", "VexloCheck.exe", "SERVICEDIR", "1"), removals)
        for name in ("regist.tmp", "regist.old", "version.tmp", "version.old", "update.tmp",
                     "update.old"):
            self.assertIn(("ServiceExe", name, "SERVICEDIR", "2"), removals)
        self.assertEqual("regist.ini", files["RegistIni"]["FileName"])  # taken at removal

        # The folder and the exes are locked by the package's own table.
        folder = "O:BAG:SYD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
        exe = "O:BAG:SYD:PAI(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)"
        self.assertEqual({("SERVICEDIR", "CreateFolder", folder, ""),
                          ("VexloServiceExe", "File", exe, ""),
                          ("VexloCheckExe", "File", exe, "")},
                         {(row["LockObject"], row["Table"], row["SDDLText"], row["Condition"])
                          for row in table("MsiLockPermissionsEx")})
        actions = {row["Action"]: row for row in table("CustomAction")}
        for row in actions.values():
            text = (row["Source"] + " " + row["Target"]).lower()
            for tool in ("cmd.exe", "icacls.exe", "[cmd]", "[icacls]"):
                self.assertNotIn(tool, text, row["Action"])

        # No -uninstall on a rollback that a repair or an upgrade reaches;
        # -install only after the copy, and never at a repair.
        sequence = {row["Action"]: row for row in table("InstallExecuteSequence")}
        at = lambda action: int(sequence[action]["Sequence"])  # noqa: E731
        uninstalls = [name for name, row in actions.items()
                      if row["Target"] == "-uninstall" and int(row["Type"]) & 0x100]
        self.assertEqual(["RollbackRegistration"], uninstalls)
        self.assertEqual(3410, int(actions["RollbackRegistration"]["Type"]))
        self.assertEqual(3410, int(actions["RollbackUnregistration"]["Type"]))
        condition = sequence["RollbackRegistration"]["Condition"]
        self.assertIn("NOT Installed", condition)
        self.assertIn("NOT OLDERVEXLOFOUND", condition)
        self.assertIn("NOT Installed", sequence["RegisterService"]["Condition"])
        self.assertLess(at("RemoveFiles"), at("InstallFiles"))
        self.assertLess(at("InstallFiles"), at("RollbackRegistration"))
        self.assertLess(at("RollbackRegistration"), at("RegisterService"))
        self.assertLess(at("StopServices"), at("RollbackUnregistration"))
        self.assertLess(at("UnregisterService"), at("RemoveFiles"))
        self.assertIn("NOT UPGRADINGPRODUCTCODE", sequence["UnregisterService"]["Condition"])
        properties = {row["Property"]: row["Value"] for row in table("Property")}
        self.assertEqual(("1", "1"), (properties.get("ARPNOREPAIR"), properties.get("ARPNOMODIFY")))

        # 64-bit: the components, and the search for the remembered folder,
        # with a second one in the 32-bit view.
        for row in table("Component"):
            self.assertEqual(256, int(row["Attributes"]) & 256, row["Component"])
        locators = {row["Signature_"]: int(row["Type"]) for row in table("RegLocator")}
        self.assertEqual(16, locators["RememberedGameDir"] & 16)
        self.assertEqual(0, locators["RememberedGameDir32"] & 16)

        # An older release and a rebuild of this same version are upgraded.
        older = [row for row in table("Upgrade") if row["ActionProperty"] == "OLDERVEXLOFOUND"]
        self.assertEqual([("768", VERSION, "Service")],
                         [(row["Attributes"], row["VersionMax"], row["Remove"]) for row in older])
        refusal = actions["RefuseAnotherGameDir"]
        self.assertEqual(19, int(refusal["Type"]))  # an error message that ends the installation
        self.assertTrue(refusal["Target"].startswith(
            "VexloService is installed for the game folder [REMEMBEREDGAMEDIR]: "))
        self.assertEqual("(Installed OR OLDERVEXLOFOUND) AND REMEMBEREDGAMEDIR AND "
                         "NOT GAMEDIR ~= REMEMBEREDGAMEDIR",
                         sequence["RefuseAnotherGameDir"]["Condition"])
        # A repair, which any user may start, and a game folder a standard
        # user may change end the installation before anything is done.
        for name in ("RefuseRepair", "RefuseGameDirOutsideProgramFiles"):
            self.assertEqual(19, int(actions[name]["Type"]), name)
            self.assertLess(at(name), at("InstallInitialize"), name)
        self.assertEqual("Installed AND REINSTALL", sequence["RefuseRepair"]["Condition"])
        self.assertIn("GAMEDIR ~<< ProgramFiles64Folder",
                      sequence["RefuseGameDirOutsideProgramFiles"]["Condition"])
        self.assertLess(at("TakeRememberedGameDir"), at("RefuseAnotherGameDir"))
        self.assertLess(at("RefuseAnotherGameDir"), at("LaunchConditions"))
        # Windows refuses the package on 32-bit Windows (1633), and older
        # installers than 5.0, which ignore the lock table, outright.
        summary = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True,
                                 check=True).stdout
        self.assertIn("Template: x64;", summary)
        self.assertRegex(summary, r"\nVersion: 500\b")
        conditions = [row["Condition"] for row in table("LaunchCondition")]
        self.assertIn("VersionNT64 > 601 OR (VersionNT64 = 601 AND ServicePackLevel >= 1)",
                      conditions)

    def test_msi_upgrade_that_fails_late_keeps_the_record_of_checks(self):
        old, _ = self.build(OLD_VERSION)
        new, _ = self.build(VERSION)
        self.lay_out_game()
        self.assertEqual(0, self.msiexec("/i", self.windows_path(old), "GAMEDIR=" + GAME_DIR))
        self.assert_runs_registered_as_by_install()
        self.assert_first_check_brings_the_shortcut()
        record = self.record()
        self.assertNotEqual(0, self.msiexec("/i", self.windows_path(new), "VEXLOFAILWHENDEFERRED=1"))
        self.assertRegex(self.log, r"Action ended [^\n]*RegisterService\. Return value 1")
        # No -uninstall is rolled back in an upgrade. (Windows also brings the
        # older release back, registered by its own rollback; Wine's msiexec
        # removes it in a process of its own, which it never rolls back.)
        self.assertEqual(record, self.record())

    def test_msi_rebuild_of_the_same_version_replaces_the_installed_one(self):
        first, _ = self.build(VERSION)
        second, _ = self.build(VERSION, build="-rebuild")
        first_code = {row["Property"]: row["Value"]
                      for row in self.msi_table(first, "Property")}["ProductCode"]
        self.lay_out_game()
        self.assertEqual(0, self.msiexec("/i", self.windows_path(first), "GAMEDIR=" + GAME_DIR))
        self.assert_runs_registered_as_by_install()
        self.assertEqual(0, self.msiexec("/i", self.windows_path(second)))
        self.assertIn("Found application: " + first_code, self.log)
        self.assert_runs_registered_as_by_install()
        self.assertEqual(0, self.msiexec("/x", self.windows_path(second)))
        self.assert_nothing_of_the_service_left()

    def remembered_game_dir(self, view):
        """GameDir under the product key in the registry's 32- or 64-bit
        view, or None."""
        result = self.prefix.run("reg", "query", "HKLM\\Software\\Marvonel\\VexloService", "/v",
                                 "GameDir", "/reg:%d" % view)
        match = re.search(r"GameDir\s+REG_SZ\s+(.*?)\s*$", result.stdout.decode(errors="replace"),
                          re.M)
        return match.group(1) if match else None

    def test_msi_remembers_the_game_folder_in_the_64_bit_view_and_finds_one_left_in_the_32_bit_view(self):
        msi, _ = self.build(VERSION)
        self.lay_out_game()
        # As a release built without the 64-bit bits left it.
        self.prefix.run("reg", "add", "HKLM\\Software\\Marvonel\\VexloService", "/v", "GameDir",
                        "/d", GAME_DIR + "\\", "/f", "/reg:32")
        self.assertEqual(0, self.msiexec("/i", self.windows_path(msi)))
        self.assert_runs_registered_as_by_install()
        self.assertEqual(GAME_DIR + "\\", self.remembered_game_dir(64))

    def test_msi_replaces_a_program_planted_at_the_exes_name_and_never_runs_it(self):
        msi, _ = self.build(VERSION)
        self.lay_out_game()
        # The probe leaves "<its path>.ran" when run with any other command
        # line, -install among them. Stamped 99.0, it is the versioned file
        # that Windows Installer's versioning rules would keep over an
        # unversioned one.
        planted = self.service_path("VexloService.exe")
        stamp_version(os.environ["VEXLO_PROBE_EXE"], planted, 99, 0)
        code = self.msiexec("/i", self.windows_path(msi), "GAMEDIR=" + GAME_DIR)
        self.assertFalse(os.path.exists(planted + ".ran"), "the planted program ran")
        self.assertEqual(0, code)
        self.assertEqual(VERSION + ".0", self.installed_version())
        self.assert_runs_registered_as_by_install()

    def test_msi_upgrade_for_another_game_folder_is_refused_and_the_same_one_taken(self):
        old, _ = self.build(OLD_VERSION)
        new, _ = self.build(VERSION)
        self.lay_out_game()
        self.assertEqual(0, self.msiexec("/i", self.windows_path(old), "GAMEDIR=" + GAME_DIR))
        self.assert_runs_registered_as_by_install()
        elsewhere = os.path.join(self.prefix.drive_c, "Games", "Elsewhere")
        self.assertNotEqual(0, self.msiexec("/i", self.windows_path(new),
                                            "GAMEDIR=C:\\Games\\Elsewhere"))
        # Windows logs the refusal's message and ends it with 3; Wine's
        # msiexec logs the action alone, ended with 0.
        self.assertRegex(self.log, r"Action ended [^\n]*RefuseAnotherGameDir\. Return value [03]\.")
        self.assertIn("Property(S): REMEMBEREDGAMEDIR = %s\\\n" % GAME_DIR, self.log)
        self.assertFalse(os.path.exists(os.path.join(elsewhere, "Service")))
        self.assertEqual(OLD_VERSION + ".0", self.installed_version())
        self.assert_runs_registered_as_by_install()
        # The same folder, given as at the first install (the remembered one
        # ends in a backslash), is an upgrade in place.
        self.assertEqual(0, self.msiexec("/i", self.windows_path(new), "GAMEDIR=" + GAME_DIR))
        self.assertEqual(VERSION + ".0", self.installed_version())
        self.assert_runs_registered_as_by_install()

    def setup(self, example, *args):
        # Into its default folder, GAME_DIR: /D= takes no quotes either.
        return self.prefix.run(self.windows_path(example), *args, timeout=180).returncode

    def uninstall(self, in_place=True):
        # _?= runs the uninstaller in place, so that it is waited for. It
        # takes no quotes, so the folder goes by its short name.
        folder = self.probe("short", GAME_DIR)
        switches = ("/S", "_?=" + folder) if in_place else ("/S",)
        # Not through pipes: a Wine process the uninstaller's wait leaves
        # behind can hold them open long after it has ended.
        return subprocess.run(["wine", folder + "\\Uninstall.exe", *switches], env=self.prefix.env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=180).returncode

    def test_nsis_example_installs_upgrades_over_the_running_service_and_uninstalls(self):
        _, old = self.build(OLD_VERSION)
        _, new = self.build(VERSION)
        self.assertEqual(0, self.setup(old, "/S"))
        self.assert_upgrade_keeps_the_state(
            lambda: self.assertEqual(0, self.setup(new, "/S")))
        self.assertEqual(0, self.uninstall())
        self.assert_nothing_of_the_service_left()

    def test_nsis_example_failure_leaves_no_service(self):
        # A "service" that cannot register itself: the probe under its name.
        _, example = self.build(VERSION, service_exe=os.environ["VEXLO_PROBE_EXE"])
        self.assertEqual(2, self.setup(example, "/S"))
        self.assert_nothing_of_the_service_left()

    def hold_service(self):
        """A program holding the service open, as the Services console does:
        a deleted service stays listed, marked for deletion, until it ends."""
        holder = subprocess.Popen(["wine", self.windows_path(os.environ["VEXLO_PROBE_EXE"]),
                                   "hold-service", "300"], env=self.prefix.env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        self.assertEqual(b"held", holder.stdout.readline().strip())
        return holder

    def test_nsis_example_uninstaller_in_place_returns_its_failure(self):
        _, example = self.build(VERSION)
        self.assertEqual(0, self.setup(example, "/S"))
        self.assert_runs_registered_as_by_install()
        # What deployment tools run: this very command, with the long name.
        quiet = self.prefix.run("reg", "query", UNINSTALL_KEY, "/v", "QuietUninstallString")
        self.assertIn('"%s\\Uninstall.exe" /S _?=%s' % (GAME_DIR, GAME_DIR),
                      quiet.stdout.decode(errors="replace"))
        holder = self.hold_service()
        # The service stays listed past the uninstaller's wait: it fails, and
        # run in place it says so.
        self.assertEqual(2, self.uninstall())
        self.assertNotEqual("missing", self.probe("state"))
        # Without _?= it hands over to its copy in %TEMP% and ends at once
        # with 0, while the removal has only begun and cannot yet succeed.
        self.assertEqual(0, self.uninstall(in_place=False))
        self.assertNotEqual("missing", self.probe("state"))
        holder.kill()
        holder.wait()
        # That copy goes on, and succeeds once nothing holds the service.
        self.assert_nothing_of_the_service_left()

    def test_nsis_example_never_runs_an_exe_planted_at_the_service_names(self):
        _, example = self.build(VERSION)
        # A standard user's program at the service's name and at the name an
        # upgrade keeps the previous release under. Run with any switch, it
        # leaves "<its path>.ran"; stamped 99.0, it outranks any release.
        os.makedirs(self.service_dir)
        for name in ("VexloService.exe", "VexloService.exe.old"):
            stamp_version(os.environ["VEXLO_PROBE_EXE"], self.service_path(name), 99, 0)
        self.assertEqual(0, self.setup(example, "/S"))
        self.assert_runs_registered_as_by_install()
        self.assertEqual(VERSION + ".0", self.installed_version())
        self.assertFalse(os.path.exists(self.service_path("VexloService.exe.old")))
        self.assertEqual([], [name for name in os.listdir(self.service_dir) if name.endswith(".ran")])

    def test_nsis_example_failed_upgrade_keeps_the_previous_service_running(self):
        _, old = self.build(OLD_VERSION)
        # A "service" that cannot register itself: the probe under its name.
        _, broken = self.build(VERSION, service_exe=os.environ["VEXLO_PROBE_EXE"])
        self.assertEqual(0, self.setup(old, "/S"))
        self.assert_runs_registered_as_by_install()
        self.assert_first_check_brings_the_shortcut()
        state = {name: self.read(name) for name in STATE_FILES}
        record = self.record()
        self.assertEqual(2, self.setup(broken, "/S"))
        self.assert_runs_registered_as_by_install()
        self.assertEqual(OLD_VERSION + ".0", self.installed_version())
        self.assertEqual(state, {name: self.read(name) for name in STATE_FILES})
        self.assertEqual(record, self.record())
        for name in ("VexloService.exe.old", "VexloCheck.exe.old"):
            self.assertFalse(os.path.exists(self.service_path(name)), name)

    def test_nsis_example_refuses_a_folder_outside_program_files(self):
        _, example = self.build(VERSION)
        # /D= takes no quotes: short names stand in for the spaces.
        for folder in ("C:\\Games\\Vexlo", "C:\\PROGRA~1\\..\\Games\\Vexlo", "C:\\PROGRA~1"):
            self.assertEqual(2, self.setup(example, "/S", "/D=" + folder), folder)
            self.assertFalse(os.path.exists(os.path.join(self.prefix.drive_c, "Games")), folder)
            self.assertFalse(os.path.exists(os.path.join(self.prefix.drive_c, "Program Files",
                                                         "Uninstall.exe")), folder)
            self.assertEqual("missing", self.probe("state"), folder)

if __name__ == "__main__":
    unittest.main()
