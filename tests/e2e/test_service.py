#!/usr/bin/env python3
"""End-to-end tests of VexloService.exe under Wine's real service control manager.

Each test gets its own copy of the booted template prefix, its own persistent
wineserver and its own version server, and lays the client out as a publisher
would: C:\\Games\\Vexlo\\Vexlo.exe with the service one folder below it.

Environment: VEXLO_WINE_TEMPLATE, VEXLO_SERVICE_EXE, VEXLO_PROBE_EXE, VEXLO_E2E_DIR.
The probe (tools/probe) stands in for the client and reads what the tests check.
Run one test: test_service.py RuntimeTest.test_stop_writes_entries_and_ends
"""
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import version_server  # noqa: E402
from vexlo_wine import (CLIENT_EXE, PUBLIC_DESKTOP, SERVICE_DIR, SERVICE_EXE,  # noqa: E402
                        WinePrefix, entries, wait_for)

RUNNING, STOPPED = "4", "1"
DESCRIPTION_GBK = "Marvonel游戏 Vexlo客户端更新服务".encode("gbk").hex()


class ServiceTest(unittest.TestCase):
    def setUp(self):
        self.run_dir = os.path.join(os.environ["VEXLO_E2E_DIR"], self.id().rsplit(".", 1)[-1])
        shutil.rmtree(self.run_dir, ignore_errors=True)
        os.makedirs(self.run_dir)
        self.wine_prefix = WinePrefix(os.environ["VEXLO_WINE_TEMPLATE"],
                                      os.path.join(self.run_dir, "pfx"))
        self.wine_prefix.create()
        self.addCleanup(self.wine_prefix.remove)
        self.addCleanup(self.wine_prefix.stop)  # also after a failed start
        self.wine_prefix.start()
        self.env = self.wine_prefix.env

        self.server_dir = os.path.join(self.run_dir, "server")
        self.assertEqual(0, version_server.start(self.server_dir))
        self.addCleanup(version_server.stop, self.server_dir)
        with open(os.path.join(self.server_dir, "port")) as f:
            self.port = int(f.read())

        # The probe stands in for the client: the shortcut then has a real target.
        self.wine_prefix.lay_out_client(os.environ["VEXLO_SERVICE_EXE"],
                                        os.environ["VEXLO_PROBE_EXE"])
        self.service = self.wine_prefix.service
        for icon in ("update.ico", "normal.ico"):
            self.write(icon, b"\0\0\1\0" + icon.encode())
        self.write("version.xml", b"<version><v>1.0</v></version>")
        self.serve(b"<version><v>1.0</v></version>")
        self.configure(0, 0)

    # --- the client's folder and the server ---
    def configure(self, check, marker, url=None):
        url = url or "http://127.0.0.1:%d/doc/desktop.xml" % self.port
        self.write("config.xml", ("<config><check>%s</check><marker>%s</marker>"
                                  "<url>%s</url></config>" % (check, marker, url)).encode())

    def path(self, name):
        return os.path.join(self.service, name)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        try:
            with open(self.path(name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None

    def serve(self, document=None, route=None):
        """Serves document at /doc/desktop.xml, or answers there as route does."""
        docs = os.path.join(self.server_dir, "docs")
        route_file = os.path.join(docs, "desktop.xml.route")
        if route:
            with open(route_file, "w") as f:
                f.write(route)
            return
        if os.path.exists(route_file):
            os.remove(route_file)
        with open(os.path.join(docs, "desktop.tmp"), "wb") as f:
            f.write(document)
        os.replace(os.path.join(docs, "desktop.tmp"), os.path.join(docs, "desktop.xml"))

    def requests(self, all_lines=False):
        try:
            with open(os.path.join(self.server_dir, "requests.log")) as f:
                return [line for line in f if all_lines or "/doc/desktop.xml?" in line]
        except FileNotFoundError:
            return []

    # --- Wine ---
    def command(self, *args, timeout=120):
        """Runs the service exe with args; returns the entries it wrote itself."""
        result = self.wine_prefix.run(SERVICE_EXE, *args, timeout=timeout)
        self.assertEqual(0, result.returncode, result.stderr.decode(errors="replace"))
        return entries(result.stderr.decode(errors="replace"))

    def probe(self, *args):
        result = self.wine_prefix.run(CLIENT_EXE, *args)
        return result.stdout.decode(errors="replace").replace("\r", "").strip()

    def state(self):
        return self.probe("state")

    def wait_state(self, state, timeout=40):
        # Each look starts a Wine process: look less often than at a file.
        return wait_for(lambda: self.state() == state, timeout, interval=0.3)

    def service_entries(self):
        return self.wine_prefix.service_entries()

    def link_icon(self):
        out = self.probe("link", PUBLIC_DESKTOP + "\\Vexlo.lnk")
        return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)

    def install(self):
        self.assertEqual([], self.command("-install"))
        self.assertTrue(self.wait_state(RUNNING), "service did not reach the running state")


class InstallTest(ServiceTest):
    def test_install_configures_registers_and_starts(self):
        self.write("regist.ini", b"older text\r\nmore")
        self.install()

        config = dict(line.split("=", 1) for line in self.probe("config").splitlines())
        self.assertEqual("0x110", config["type"])  # own process, interactive
        self.assertEqual("2", config["start"])  # automatic
        self.assertEqual("1", config["error"])
        self.assertEqual('"%s"' % SERVICE_EXE, config["path"])  # quoted: never split at spaces
        self.assertEqual("", config["dependencies"])
        self.assertEqual("LocalSystem", config["account"])
        self.assertEqual(DESCRIPTION_GBK, config["description"])
        # Restarted a minute after its first two failures in a day. Wine 8
        # accepts the setting but stores none; the installation goes on.
        if not config["recovery"].startswith("unavailable"):
            self.assertEqual("restart/60000,restart/60000,none/0 reset=86400", config["recovery"])
        # Delayed automatic start, only the privilege it uses, a service SID
        # of its own. Wine 8 refuses all three; the service runs all the same.
        expected = {"delayed": "1", "privileges": "SeChangeNotifyPrivilege", "sid": "1"}
        for name, value in expected.items():
            if not config[name].startswith("unavailable"):
                self.assertEqual(value, config[name], name)
        self.assertEqual(b"1", self.read("regist.ini"))

        registry = dict(line.split("=", 1) for line in self.probe("registry").splitlines())
        self.assertEqual(SERVICE_DIR, registry["AppFolder"])
        self.assertEqual(PUBLIC_DESKTOP, registry["DesktopPath"])
        self.assertEqual("1", registry["AppFolder.type"])  # REG_SZ
        self.assertEqual(["ServiceMain"], self.service_entries())

    def test_switches_ignore_letter_case(self):
        self.assertEqual([], self.command("-INSTALL"))
        self.assertTrue(self.wait_state(RUNNING))
        self.command("-Stop")
        self.assertTrue(self.wait_state(STOPPED))
        self.command("-sTaRt")
        self.assertTrue(self.wait_state(RUNNING))
        self.command("-UNINSTALL")
        self.assertTrue(wait_for(lambda: self.state() == "missing"))

    def test_reinstall_over_a_running_service_leaves_it_running(self):
        self.install()
        self.assertEqual([], self.command("-install"))
        self.assertTrue(self.wait_state(RUNNING))
        self.assertEqual(["ServiceMain", "want to stopped Service", "Service stopped",
                          "ServiceMain"], wait_for(lambda: len(self.service_entries()) >= 4
                                                   and self.service_entries()))

    def test_uninstall_removes_the_service_and_is_quiet_when_absent(self):
        self.install()
        self.assertEqual([], self.command("-uninstall"))
        self.assertTrue(wait_for(lambda: self.state() == "missing"))
        self.assertEqual([], self.command("-uninstall"))
        self.assertEqual("missing", self.state())


class RuntimeTest(ServiceTest):
    def test_update_flow_through_the_running_service(self):
        self.install()
        document = b"<version><v>1.1</v><notes>new levels</notes></version>"
        self.serve(document)
        self.assertTrue(wait_for(lambda: self.read("update.ini") == b"0"))
        self.assertEqual(document, self.read("version.xml"))
        self.assertEqual(SERVICE_DIR + "update.ico", self.link_icon().get("icon"))

        self.write("update.ini", b"1")  # the client's updater clears the marker
        normal = SERVICE_DIR + "normal.ico"
        self.assertTrue(wait_for(lambda: self.link_icon().get("icon") == normal))
        self.assertEqual("0", self.link_icon().get("index"))
        self.assertEqual(document, self.read("version.xml"))

        # The steady state: checks and marker polls on every pass write nothing.
        link = self.wine_prefix.desktop_path("Vexlo.lnk")
        watched = [link] + [self.path(name) for name in ("version.xml", "update.ini", "regist.ini")]
        before = [os.stat(path).st_mtime_ns for path in watched]
        listing = sorted(os.listdir(self.service))
        record = self.probe("record")  # the service's own record of its checks
        self.assertNotEqual("missing", record)
        requests = len(self.requests())
        self.assertTrue(wait_for(lambda: len(self.requests()) >= requests + 6))
        self.assertEqual(before, [os.stat(path).st_mtime_ns for path in watched])
        self.assertEqual(listing, sorted(os.listdir(self.service)))
        self.assertEqual(record, self.probe("record"))
        # Nor after a restart of the service.
        self.command("-stop")
        self.assertTrue(self.wait_state(STOPPED))
        self.command("-start")
        self.assertTrue(self.wait_state(RUNNING))
        requests = len(self.requests())
        self.assertTrue(wait_for(lambda: len(self.requests()) >= requests + 3))
        self.assertEqual(before, [os.stat(path).st_mtime_ns for path in watched])

        # A shortcut deleted, changed or cut short is put right at a next poll.
        with open(link, "rb") as f:
            written = f.read()
        changed = written
        for old, new in (("normal.ico", "normal.icp"),):
            for encoding in ("latin-1", "utf-16-le"):
                changed = changed.replace(old.encode(encoding), new.encode(encoding))
        self.assertNotEqual(written, changed)
        for why, damage in (("deleted", None), ("changed", changed),
                            ("cut short", written[:len(written) // 2])):
            if damage is None:
                os.remove(link)
            else:
                with open(link, "wb") as f:
                    f.write(damage)
            self.assertTrue(wait_for(lambda: self.link_icon().get("icon") == normal), why)
            with open(link, "rb") as f:
                self.assertEqual(len(written), len(f.read()), why)

    def test_stop_writes_entries_and_ends(self):
        self.install()
        started = time.monotonic()
        self.assertEqual([], self.command("-stop"))
        self.assertTrue(self.wait_state(STOPPED))
        self.assertLess(time.monotonic() - started, 20)  # about a second, on a slow machine too
        self.assertEqual(["ServiceMain", "want to stopped Service", "Service stopped"],
                         wait_for(lambda: len(self.service_entries()) >= 3
                                  and self.service_entries()))
        # A stopped service is sent nothing.
        self.assertEqual([], self.command("-stop"))
        self.assertEqual(STOPPED, self.state())
        self.assertEqual(3, len(self.service_entries()))

    def test_unknown_control_is_logged_and_changes_nothing(self):
        self.install()
        self.assertEqual("ok", self.probe("control", "128"))  # check now: taken, no entry
        self.assertEqual("ok", self.probe("control", "200"))
        self.assertTrue(wait_for(lambda: "Bad service request" in self.service_entries()))
        self.assertEqual("ok", self.probe("control", "4"))  # interrogate: no entry
        self.assertEqual(RUNNING, self.state())
        self.assertEqual(["ServiceMain", "Bad service request"], self.service_entries())


class DispatcherTest(ServiceTest):
    def test_anything_but_one_switch_takes_the_dispatcher_path(self):
        # Outside the service control manager the dispatcher call fails (under
        # Wine after about ten seconds), so all cases run at once.
        cases = [[], ["/install"], ["--install"], ["install"], ["-install", "extra"], ["-"]]
        running = [subprocess.Popen(["wine", SERVICE_EXE, *args], env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE) for args in cases]
        for args, process in zip(cases, running):
            out, err = process.communicate(timeout=120)
            self.assertEqual(0, process.returncode, args)
            self.assertEqual(["Register Service Main Function Error!"],
                             entries(err.decode(errors="replace")), args)
        self.assertEqual("missing", self.state())
        self.assertIsNone(self.read("regist.ini"))


if __name__ == "__main__":
    unittest.main()
