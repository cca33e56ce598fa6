#!/usr/bin/env python3
"""VexloCheck.exe beside the installed, running service under Wine: each kind
of answer gives its exit code and a report that names what was seen, no run
writes anything in the service's folder or on the desktop, and the service's
own next check is undisturbed.

Environment as in test_service.py, and VEXLO_CHECK_EXE, VEXLO_KEYED_CHECK_EXE.
"""
import calendar
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_faults import KEYS, NEW, OLD, STOP_BOUND_S, FaultTest, SigningTest  # noqa: E402
from test_service import RUNNING, ServiceTest  # noqa: E402
from vexlo_wine import CLIENT_EXE, SERVICE_DIR, wait_for  # noqa: E402

CHECK_EXE = SERVICE_DIR + "VexloCheck.exe"
# The download's one-minute deadline, and room for Wine to start the tool.
DEADLINE_BOUND_S = 60 + 30
# A service that cannot be asked is said so at once; the tool would otherwise
# wait for an answer for more than a minute.
ASK_BOUND_S = 30


class CheckTest(FaultTest):
    def check(self, *args, exe=CHECK_EXE):
        result = self.wine_prefix.run(exe, *args, timeout=DEADLINE_BOUND_S + 60)
        return result.returncode, result.stdout.decode(errors="replace").replace("\r", "")

    def snapshot(self):
        """Name, size and modification time of everything the tool must not touch."""
        desktop = self.wine_prefix.desktop_path("")
        return {os.path.join(folder, name): (os.stat(os.path.join(folder, name)).st_size,
                                             os.stat(os.path.join(folder, name)).st_mtime_ns)
                for folder in (self.service, desktop) for name in os.listdir(folder)}

    def assert_report(self, expected_code, expected, *args, exe=CHECK_EXE):
        code, report = self.check(*args, exe=exe)
        self.assertEqual(expected_code, code, report)
        for fact in expected:
            self.assertIn(fact, report)
        return report


class ServiceFolderCheckTest(CheckTest):
    def setUp(self):
        super().setUp()
        shutil.copy(os.environ["VEXLO_CHECK_EXE"], self.path("VexloCheck.exe"))

    def test_each_answer_gives_its_verdict_and_nothing_is_written(self):
        self.configure(3600, 2)  # the service checks once, near its start
        self.write("version.xml", OLD)
        self.write("update.ini", b"1")
        self.serve(OLD)
        self.install()
        self.assertTrue(self.wait_requests(1))
        self.assertTrue(wait_for(lambda: self.link_icon().get("icon", "").endswith("normal.ico")))
        before = self.snapshot()
        base = "http://127.0.0.1:%d/" % self.port

        # The same document, byte for byte; then the same version in other bytes.
        report = self.assert_report(1, ["status 200", "NO CHANGE (SameAsStored)",
                                        'version "1.0"', "update.ini  cleared",
                                        "VexloService is running", "icon " + SERVICE_DIR,
                                        "config.xml read", "check interval 3600 passes"])
        self.assertIn("GET %sdoc/desktop.xml?time=" % base, report)
        # The shortcut's path as a person reads it, with no doubled backslash.
        self.assertIn("Desktop\\Vexlo.lnk\n", report)
        self.assertNotIn("\\\\", report)
        self.serve(OLD + b"\n")
        self.assert_report(1, ["NO CHANGE (SameVersion)"])
        # A new version.
        self.serve(NEW)
        report = self.assert_report(0, ["Content-Length %d" % len(NEW), 'version "2.0"',
                                        "UPDATE"])
        self.assertIn('Stored      %sversion.xml: version "1.0"' % SERVICE_DIR, report)
        # What a server says is quoted without its control characters: no
        # escape sequence reaches the terminal.
        self.serve(b"<version><v>2.0\x1b[2J\x1b]0;x\x07</v></version>")
        report = self.assert_report(0, ['version "2.0?[2J?]0;x?"'])
        self.assertNotIn("\x1b", report)
        # Answers that are no document.
        for route, why, seen in (("xmlerror404", "ErrorStatus", "status 404"),
                                 ("portal", "HtmlPage", "Content-Type text/html"),
                                 ("gzip", "UndecodedEncoding", "Content-Encoding gzip"),
                                 ("garbage", "EmptyBody", "status 200")):
            self.serve(route=route)
            self.assert_report(1, ["NO CHANGE (%s)" % why, seen])
        # A server named by its address that asks for Windows credentials is
        # asked once and given none: no machine account's answer to relay.
        self.assert_report(1, ["NO CHANGE (ErrorStatus)", "status 401"], "--url", base + "auth401")
        asked = [line for line in self.requests(all_lines=True) if "/auth401" in line]
        self.assertEqual(1, len(asked), asked)
        self.assertNotIn("Authorization", asked[0])
        # WinHTTP's own setting as a list whose first proxies are dead, one
        # refusing, one resetting the connection it took before any answer:
        # the next one carries the check, and the report names each.
        with open(os.path.join(self.server_dir, "reset.port")) as f:
            resetting = "127.0.0.1:%s" % f.read()
        proxies = "127.0.0.1:1;%s;127.0.0.1:%d" % (resetting, self.port)
        self.assertEqual("ok", self.probe("machine-proxy", proxies))
        self.assert_report(1, ["ways out named by WinHTTP's own setting: %s" % proxies.replace(";", ", "),
                               "through 127.0.0.1:1: the connection was refused",
                               "through %s: the connection failed during the exchange; "
                               "the next way out was tried" % resetting,
                               "through 127.0.0.1:%d\n" % self.port, "status 200"],
                           "--url", "http://vexlo-proxied.test/doc/desktop.xml")
        # A setting that names only a proxy WinHTTP cannot use never goes direct.
        self.assertEqual("ok", self.probe("machine-proxy", "socks=127.0.0.1:%d" % self.port))
        asked = len(self.requests(all_lines=True))
        self.assert_report(1, ["1 left out: SOCKS", "NO CHANGE (NoUsableProxy)"])
        self.assertEqual(asked, len(self.requests(all_lines=True)))
        self.assertEqual("ok", self.probe("machine-proxy", "none"))
        self.assert_report(1, ["NO CHANGE (ConnectionRefused)", "Answer      none"],
                           "--url", "http://127.0.0.1:1/doc/desktop.xml")
        # A silent server: the tool ends by the download's deadline.
        self.serve(route="hang")
        started = time.monotonic()
        code, report = self.check()
        self.assertEqual(1, code, report)
        self.assertLess(time.monotonic() - started, DEADLINE_BOUND_S)
        self.assertRegex(report, r"NO CHANGE \((TimedOut|Deadline)\)")

        # A fresh upload at another address, judged against another stored copy.
        fresh = os.path.join(self.server_dir, "docs", "fresh.xml")
        with open(fresh, "wb") as f:
            f.write(NEW.replace(b"2.0", b"3.0"))
        self.assert_report(0, ['version "3.0"', "(given with --url"],
                           "--url", base + "doc/fresh.xml")
        fleet = os.path.join(self.wine_prefix.drive_c, "fleet.xml")
        with open(fleet, "wb") as f:
            f.write(NEW.replace(b"2.0", b"3.0"))
        self.assert_report(1, ["NO CHANGE (SameAsStored)", "C:\\fleet.xml"],
                           "--url", base + "doc/fresh.xml", "--stored", "C:\\fleet.xml")
        # Another service folder.
        other = os.path.join(self.wine_prefix.drive_c, "Other")
        os.makedirs(other)
        with open(os.path.join(other, "version.xml"), "wb") as f:
            f.write(b"<v><a>0.1</a></v>")
        self.assert_report(0, ["Folder      C:\\Other\\", "config.xml is missing",
                               'version "0.1"', "update.ini  missing"],
                           "--folder", "C:\\Other", "--url", base + "doc/fresh.xml")

        # What the tool cannot run as asked.
        for args in (["--bogus"], ["--url"], ["--url", base, "--url", base], ["extra"],
                     ["--stored", "C:\\missing.xml"], ["--folder", "C:\\missing"]):
            code, report = self.check(*args)
            self.assertEqual(2, code, args)
            self.assertIn("Usage: VexloCheck.exe", report, args)

        self.assertEqual(before, self.snapshot())
        # The running service was not disturbed: its next check takes the update.
        self.assertEqual("4", self.state())
        self.assertEqual(["ServiceMain"], self.service_entries())
        self.assertEqual(OLD, self.read("version.xml"))
        self.stop_and_wait(STOP_BOUND_S)
        self.serve(NEW)
        self.assertEqual([], self.command("-start"))
        self.assert_update_then_quiet(NEW)


class ServiceRecordTest(CheckTest):
    KEY = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VexloService"

    def setUp(self):
        super().setUp()
        shutil.copy(os.environ["VEXLO_CHECK_EXE"], self.path("VexloCheck.exe"))

    def plant(self, name, kind, data):
        result = self.wine_prefix.run("reg", "add", self.KEY, "/v", name, "/t", kind, "/d", data,
                                      "/f")
        self.assertEqual(0, result.returncode, result.stderr)

    def test_the_service_keeps_its_own_word_for_support_staff(self):
        # The service's address answers 404; the tool's --url reaches a good
        # document: the report says what the service saw, and that it differs.
        self.configure(0, 2)  # a check on every pass
        self.serve(route="xmlerror404")
        self.install()
        self.assertTrue(self.wait_requests(2))
        self.assertTrue(wait_for(lambda: self.probe("record") != "missing"))
        fresh = os.path.join(self.server_dir, "docs", "fresh.xml")
        with open(fresh, "wb") as f:
            f.write(NEW)
        fresh_url = "http://127.0.0.1:%d/doc/fresh.xml" % self.port
        report = self.assert_report(0, ["UPDATE"], "--url", fresh_url)
        self.assertRegex(report, r"the service's last check: NO CHANGE \(ErrorStatus\) since "
                                 r"20\d\d-\d\d-\d\d \d\d:\d\d:\d\d UTC, direct; "
                                 r"last stored a document never")
        self.assertIn("the service's verdict differs from this check's (UPDATE)", report)
        self.assertIn("section 5", report)

        # Many checks with the same outcome write nothing; a new outcome is
        # written once. (Wine's service manager touches the key itself in the
        # first seconds after a start.)
        self.assertTrue(self.wait_requests(len(self.requests()) + 3))
        written = self.probe("record")
        requests = len(self.requests())
        self.assertTrue(self.wait_requests(requests + 6))
        self.assertEqual(written, self.probe("record"))
        self.serve(NEW)
        self.assert_update_then_quiet(NEW)
        # The update, then the same document again: two outcomes, two writes.
        self.assertTrue(self.wait_requests(len(self.requests()) + 3))
        self.assertNotEqual(written, self.probe("record"))
        written = self.probe("record")
        requests = len(self.requests())
        self.assertTrue(self.wait_requests(requests + 6))
        self.assertEqual(written, self.probe("record"))
        report = self.assert_report(1, ["NO CHANGE (SameAsStored)"])
        self.assertRegex(report, r"the service's last check: NO CHANGE \(SameAsStored\) since "
                                 r".* UTC, direct; last stored a document 20\d\d-")
        self.assertNotIn("the service's verdict", report)
        self.assertNotIn("way out differs", report)
        self.stop_and_wait(STOP_BOUND_S)
        # A stopped service is not asked: a clear line, exit code 2, at once.
        self.assert_not_asked("VexloService is not running")

        # A damaged or planted record is never trusted nor shown raw; each
        # damage is tried on a record that is whole again.
        whole = (("LastCheckOutcome", "REG_SZ", "SameAsStored"), ("LastCheckRoute", "REG_SZ", "direct"))
        for name, kind, data in (("LastCheckRoute", "REG_SZ", "direct\x1b]0;owned\x07"),
                                 ("LastCheckRoute", "REG_SZ", "direct\r\nVerdict     UPDATE"),
                                 ("LastCheckOutcome", "REG_DWORD", "7"),
                                 ("LastCheckOutcome", "REG_SZ", "Ok\x1b[2J"),
                                 ("LastCheckOutcome", "REG_SZ", "x" * 5000),
                                 ("LastCheckSince", "REG_SZ", "yesterday")):
            for value in whole:
                self.plant(*value)
            self.assert_report(1, ["the service's last check: NO CHANGE (SameAsStored)"])
            self.plant(name, kind, data)
            report = self.assert_report(1, ["damaged or incomplete"])
            self.assertNotIn("\x1b", report)
            self.assertNotIn("owned", report)
            self.assertEqual(1, report.count("Verdict"))
        # The service writes a fresh one at its next change: it checks near
        # its start, then not for an hour.
        self.serve(route="xmlerror404")
        self.configure(3600, 60)
        self.assertEqual([], self.command("-start"))
        self.assertTrue(wait_for(lambda: "ErrorStatus) since" in self.check()[1]))

        # Twenty requests to check now within two seconds: one check (counted
        # once the tool's own request below has been answered).
        checks = len(self.requests())
        burst_at = int(time.time())
        self.assertEqual("ok", self.probe("control", "128", "20"))
        self.assertTrue(self.wait_requests(checks + 1))
        # Support staff ask the service while the tool's --url reaches a good
        # document: the report shows what the service sees now, and that it
        # differs. (The tool asks again until ten seconds have passed since
        # the request the service last took.)
        with open(fresh, "wb") as f:
            f.write(NEW.replace(b"2.0", b"3.0"))
        asked_at = int(time.time())
        report = self.assert_report(0, ["UPDATE", "the service's last check: NO CHANGE "
                                        "(ErrorStatus)"],
                                    "--ask-service", "--url", fresh_url)
        answer = re.search(r"the service's check just asked for: NO CHANGE \(ErrorStatus\) at "
                           r"(\S+ \S+) UTC, direct; its next scheduled check in (\d+) passes",
                           report)
        self.assertTrue(answer, report)
        answered_at = calendar.timegm(time.strptime(answer.group(1), "%Y-%m-%d %H:%M:%S"))
        self.assertGreaterEqual(answered_at, asked_at)
        # Not taken before ten seconds had passed since the twenty.
        self.assertGreaterEqual(answered_at, burst_at + 10)
        # The schedule stands: the next check is an hour after the first one,
        # not after an asked one.
        self.assertLess(int(answer.group(2)), 3601)
        self.assertIn("the service's verdict differs from this check's (UPDATE)", report)
        self.assertEqual(checks + 2, len(self.requests()))

        # -uninstall leaves no record behind.
        self.assertEqual([], self.command("-uninstall"))
        self.assertTrue(wait_for(lambda: self.state() == "missing"))
        self.assertEqual("missing", self.probe("record"))
        self.assert_report(1, ["VexloService is not installed"])
        self.assert_not_asked("VexloService is not installed")

    def assert_not_asked(self, why):
        started = time.monotonic()
        self.assert_report(2, ["cannot ask the service to check now: " + why, "exit code 2"],
                           "--ask-service")
        self.assertLess(time.monotonic() - started, ASK_BOUND_S)


class SelfTestKitTest(ServiceTest):
    """VexloSelfTest.exe run as a publisher's QA runs it, in this prefix."""
    KIT = "C:\\kit\\"
    PRODUCT_KEY = "HKCU\\Software\\Marvonel\\Vexlo"
    WINHTTP = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections"

    def copy_kit(self, service_exe):
        kit = os.path.join(self.wine_prefix.drive_c, "kit")
        os.makedirs(kit, exist_ok=True)
        shutil.copy(os.environ["VEXLO_SELFTEST_EXE"], os.path.join(kit, "VexloSelfTest.exe"))
        shutil.copy(service_exe, os.path.join(kit, "VexloService.exe"))

    def run_kit(self, service_exe, *args):
        self.copy_kit(service_exe)
        result = self.wine_prefix.run(self.KIT + "VexloSelfTest.exe", *args, timeout=600)
        return result.returncode, result.stdout.decode("latin-1").replace("\r", "")

    def journal(self):
        return os.path.join(self.wine_prefix.drive_c, "ProgramData", "Vexlo Self-Test",
                            "journal.txt")

    def reg_query(self, key, value=None):
        """The value's line as reg prints it, or None when it (or the key) is missing."""
        args = ["reg", "query", key] + (["/v", value] if value else [])
        result = self.wine_prefix.run(*args)
        if result.returncode != 0:
            return None
        text = result.stdout.decode("latin-1").replace("\r", "")
        lines = [line.split(None, 2) for line in text.splitlines() if value and value in line]
        return lines[0][1:] if value else text

    def machine_proxy(self):
        """WinHTTP's own setting without the counter Windows bumps at each write."""
        kind, data = self.reg_query(self.WINHTTP, "WinHttpSettings")
        return kind, data[:8] + data[16:]

    def lines(self, report, verdict):
        return [line for line in report.splitlines() if re.match(r"\S.{29} %s " % verdict, line)]

    def test_the_kit_passes_the_service_and_puts_the_pc_back(self):
        # Without --run it changes nothing and says what a run would change.
        code, report = self.run_kit(os.environ["VEXLO_SERVICE_EXE"])
        self.assertEqual(2, code, report)
        self.assertIn("Nothing was changed", report)
        self.assertFalse(os.path.exists(os.path.join(self.wine_prefix.drive_c, "Program Files",
                                                     "Vexlo Self-Test")))
        # A product value of the machine's own, past any fixed buffer and of
        # a type the service never writes: it comes back byte for byte.
        saved = "".join("%02X" % (i % 251) for i in range(5000))
        self.assertEqual(0, self.wine_prefix.run("reg", "add", self.PRODUCT_KEY, "/v", "AppFolder",
                                                 "/t", "REG_BINARY", "/d", saved, "/f").returncode)
        # A folder with spaces and a letter outside ASCII.
        code, report = self.run_kit(os.environ["VEXLO_SERVICE_EXE"], "--run", "--folder",
                                    "C:\\Test PCs\\Vexlo \xdc", "--report", self.KIT + "report.txt")
        self.assertEqual(0, code, report)
        self.assertEqual([], self.lines(report, "FAIL"))
        passed = self.lines(report, "PASS")
        for scenario in ("Install: -install", "Install: image path", "Update: first check",
                         "Steady state", "Shortcut: read back whole", "Answer: 404 with XML",
                         "Answer: sign-in page", "Answer: endless body",
                         "Answer: silent server", "Answer: refused port",
                         "Files: read-only state files", "Files: planted libraries",
                         "Proxy: list, first one dead", "Proxy: setting put back",
                         "Stop during a download", "Remove: -uninstall", "Put back"):
            self.assertTrue([line for line in passed if line.startswith(scenario)], scenario)
        # What Wine does not store or enforce is said so, never passed.
        for scenario in ("Install: delayed start", "Install: failure actions",
                         "Process: child processes", "Signed: newer document"):
            self.assertTrue([line for line in self.lines(report, "NOT SHOWN")
                             if line.startswith(scenario)], scenario)
        with open(os.path.join(self.wine_prefix.drive_c, "kit", "report.txt"), "rb") as f:
            self.assertEqual(report, f.read().decode("latin-1").replace("\r", ""))
        # Nothing of the run is left.
        self.assertEqual("missing", self.state())
        self.assertFalse(os.path.exists(os.path.join(self.wine_prefix.drive_c, "Test PCs")))
        self.assertFalse(os.path.exists(self.wine_prefix.desktop_path("Vexlo.lnk")))
        self.assertEqual(["REG_BINARY", saved], self.reg_query(self.PRODUCT_KEY, "AppFolder"))
        self.assertIsNone(self.reg_query(self.PRODUCT_KEY, "DesktopPath"))
        self.assertFalse(os.path.exists(self.journal()))
        # A real install is never touched.
        self.install()
        code, report = self.run_kit(os.environ["VEXLO_SERVICE_EXE"], "--run")
        self.assertEqual(2, code, report)
        self.assertIn("a real install is never touched", report)
        self.assertEqual(RUNNING, self.state())

    def test_a_kit_killed_in_the_proxy_scenario_is_put_back_from_its_journal(self):
        self.assertEqual("ok", self.probe("machine-proxy", "none"))
        before = self.machine_proxy()
        self.copy_kit(os.environ["VEXLO_SERVICE_EXE"])
        with open(os.path.join(self.run_dir, "killed-run.txt"), "wb") as out:
            kit = subprocess.Popen(["wine", self.KIT + "VexloSelfTest.exe", "--run"],
                                   env=self.env, stdin=subprocess.DEVNULL, stdout=out,
                                   stderr=subprocess.STDOUT)
        try:
            # Killed once the journal says the proxy is set and it is.
            def proxy_set():
                try:
                    with open(self.journal(), "rb") as f:
                        journaled = b"proxy-set" in f.read()
                except OSError:
                    return False
                return journaled and "3132372E302E302E31" in self.machine_proxy()[1]
            self.assertTrue(wait_for(proxy_set, timeout=400, interval=1))
        finally:
            kit.kill()
            kit.wait(timeout=60)
        # Left behind, running or on its way to (the scenario restarts it).
        self.assertNotEqual("missing", self.state())

        # A program holding the service open (the Services console) keeps it
        # marked for deletion: the kit says what to close, and keeps its journal.
        holder = subprocess.Popen(["wine", CLIENT_EXE, "hold-service", "300"], env=self.env,
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        self.assertEqual(b"held", holder.stdout.readline().strip())
        code, report = self.run_kit(os.environ["VEXLO_SERVICE_EXE"], "--put-back")
        self.assertEqual(1, code, report)
        self.assertIn("LEFT      the service VexloService, marked for deletion", report)
        self.assertIn("services.msc", report)
        self.assertTrue(os.path.exists(self.journal()))
        holder.kill()
        holder.wait()

        code, report = self.run_kit(os.environ["VEXLO_SERVICE_EXE"], "--put-back")
        self.assertEqual(0, code, report)
        for line in ("put back  WinHTTP's own proxy setting, read back as it was",
                     "put back  the service VexloService and its process: gone",
                     "put back  C:\\users\\Public\\Desktop\\Vexlo.lnk: gone",
                     "put back  the product key's values and keys, as they were",
                     "put back  C:\\Program Files\\Vexlo Self-Test: gone",
                     "Everything is put back."):
            self.assertIn(line, report)
        self.assertEqual(before, self.machine_proxy())
        self.assertEqual("missing", self.state())
        self.assertFalse(os.path.exists(os.path.join(self.wine_prefix.drive_c, "Program Files",
                                                     "Vexlo Self-Test")))
        self.assertFalse(os.path.exists(self.wine_prefix.desktop_path("Vexlo.lnk")))
        self.assertIsNone(self.reg_query("HKCU\\Software\\Marvonel"))
        self.assertIsNone(self.reg_query("HKU\\.DEFAULT\\Software\\Marvonel"))
        code, report = self.run_kit(os.environ["VEXLO_SERVICE_EXE"], "--put-back")
        self.assertEqual(0, code, report)
        self.assertIn("Nothing to put back", report)

    def test_folders_a_standard_user_could_swap_are_refused(self):
        drive_c = self.wine_prefix.drive_c
        shared = os.path.join(drive_c, "Shared")
        os.makedirs(shared)
        os.chmod(shared, 0o777)  # Wine gives Everyone the Unix mode's rights
        code, report = self.run_kit(os.environ["VEXLO_SERVICE_EXE"], "--run", "--folder",
                                    "C:\\Shared\\Kit")
        self.assertEqual(2, code, report)
        self.assertIn("C:\\Shared\\ is not only the administrators'", report)
        self.assertEqual([], os.listdir(shared))
        # A kit's own proxy setting (its mark in the bypass list) with no
        # journal is never taken for the machine's: a killed run without its
        # journal left it.
        self.assertEqual("ok", self.probe("machine-proxy", "127.0.0.1:9",
                                          "vexlo-selftest-mark.invalid"))
        code, report = self.run_kit(os.environ["VEXLO_SERVICE_EXE"], "--run")
        self.assertEqual(2, code, report)
        self.assertIn("names 127.0.0.1:9, as a run of this kit sets it", report)
        self.assertIn("netsh winhttp reset proxy", report)
        # A proxy of the PC's own on 127.0.0.1 (a local filter) is the PC's:
        # a run goes ahead and leaves it as it was.
        self.assertEqual("ok", self.probe("machine-proxy", "127.0.0.1:9", "127.0.0.1"))
        own = self.machine_proxy()
        code, report = self.run_kit(os.environ["VEXLO_SERVICE_EXE"], "--run", "--only", "install")
        self.assertEqual(0, code, report)
        self.assertEqual(own, self.machine_proxy())
        self.assertEqual("ok", self.probe("machine-proxy", "none"))
        # The journal's folder and file, planted where the kit looks for them.
        folder = os.path.dirname(self.journal())
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        os.chmod(folder, 0o777)
        code, report = self.run_kit(os.environ["VEXLO_SERVICE_EXE"], "--put-back")
        self.assertEqual(2, code, report)
        self.assertIn("journal folder", report)
        os.chmod(folder, 0o755)
        # A standard user's file, hard-linked in, naming a folder of his
        # choice for the kit to delete.
        planted = os.path.join(drive_c, "planted.txt")
        with open(planted, "wb") as f:
            f.write(b"client " + "C:\\Keep".encode().hex().encode() + b"\r\n")
        os.makedirs(os.path.join(drive_c, "Keep"))
        os.link(planted, self.journal())
        code, report = self.run_kit(os.environ["VEXLO_SERVICE_EXE"], "--put-back")
        self.assertEqual(2, code, report)
        self.assertIn("hard link", report)
        self.assertTrue(os.path.exists(os.path.join(drive_c, "Keep")))

# Each faulty service breaks one promise (tests/CMakeLists.txt builds them):
# the group of scenarios that covers it, the scenario whose FAIL names it,
# and any other scenario the same fault must fail as well.
KIT_FAULTS = {
    "steady_rewrite": ("update", "Steady state", ()),
    "wrong_target": ("update", "Shortcut: read back whole", ()),
    "no_normal_icon": ("update", "Marker: normal icon", ()),
    "wrong_marker": ("update", "Update: first check", ()),
    "kept_read_only": ("files", "Files: read-only state files", ()),
    "first_proxy_only": ("proxy", "Proxy: list, first one dead", ()),
    "unquoted_path": ("install", "Install: image path", ()),
    "uninstall_leaves_process": ("install", "Remove: -uninstall", ()),
    "slow_stop": ("stop", "Stop", ("Stop during a download",)),
    "no_step_timeout": ("answers", "Answer: silent server", ()),
    "error_as_document": ("answers", "Answer: 404 with XML", ()),
    "html_as_document": ("answers", "Answer: sign-in page", ()),
    "endless_taken": ("answers", "Answer: endless body", ()),
    "stall_after_refusal": ("refused", "Answer: refused port", ()),
}


class KitFaultTest(SelfTestKitTest):
    """The kit against a service with one deliberate fault: exit 1, a FAIL in
    the scenario that names the fault and in no other, and the PC put back."""

    def run_fault(self, fault):
        group, named, also = KIT_FAULTS[fault]
        exe = os.path.join(os.environ["VEXLO_FAULT_DIR"], "VexloService_%s.exe" % fault)
        code, report = self.run_kit(exe, "--run", "--only", group)
        failed = [line[:30].strip() for line in self.lines(report, "FAIL")]
        self.assertEqual(1, code, report)
        self.assertIn(named, failed, report)
        self.assertEqual([], [name for name in failed if name != named and name not in also],
                         report)
        self.assertTrue(self.lines(report, "PASS"), report)
        self.assertEqual("missing", self.state())
        self.assertFalse(os.path.exists(self.wine_prefix.desktop_path("Vexlo.lnk")))


def _fault_test(fault):
    return lambda self: self.run_fault(fault)


for _fault in KIT_FAULTS:
    setattr(KitFaultTest, "test_" + _fault, _fault_test(_fault))


class KeyedCheckTest(CheckTest):
    sign = SigningTest.sign

    def test_a_keyed_build_names_why_a_document_does_not_count(self):
        shutil.copy(os.environ["VEXLO_KEYED_CHECK_EXE"], self.path("VexloCheck.exe"))
        first = os.path.join(KEYS, "first.pem")
        third = os.path.join(self.run_dir, "third.pem")
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout",
                        "-out", third], check=True)
        stored = self.sign(OLD, first, 100)
        self.write("version.xml", stored)
        before = self.snapshot()
        cases = (
            (NEW, 1, ["NO CHANGE (Unsigned)", "the stored copy's serial is 100"]),
            (self.sign(NEW, third, 200), 1, ["NO CHANGE (UnknownKey)", "serial 200"]),
            (self.sign(NEW, first, 99), 1, ["NO CHANGE (OldSerial)",
                                            "the signature verifies with that key"]),
            (stored, 1, ["NO CHANGE (SameAsStored)", "not verified"]),
            (self.sign(NEW, first, 200), 0, ["UPDATE", 'version "2.0"',
                                             "the serial is above the stored copy's"]),
        )
        for document, code, facts in cases:
            self.serve(document)
            report = self.assert_report(code, facts)
            self.assertIn("this build trusts ", report)
        self.assertEqual(before, self.snapshot())


if __name__ == "__main__":
    unittest.main()
