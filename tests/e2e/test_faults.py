#!/usr/bin/env python3
"""Fault injection against the running service under Wine: bad servers, bad
files, bad folders, bad settings and a killed process. In every case the
service must not crash, must not lose its state files, and its loop must go on.

Environment and layout as in test_service.py, whose fixture these tests share.
"""
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from test_service import RUNNING, STOPPED, ServiceTest, version_server  # noqa: E402
from vexlo_wine import CLIENT_EXE, PUBLIC_DESKTOP, SERVICE_DIR, SERVICE_EXE, entries, wait_for  # noqa: E402

OLD = b"<version><v>1.0</v></version>"
NEW = b"<version><v>2.0</v><notes>new</notes></version>"
# A stop takes about a second, plus the time of the command that asks for it;
# one held up by a download would take that download's minute. The bound tells
# the two apart and leaves room for a slow machine.
STOP_BOUND_S = 20


class FaultTest(ServiceTest):
    def wait_requests(self, count, timeout=40):
        return wait_for(lambda: len(self.requests()) >= count, timeout)

    def service_pid(self, exe_name="VexloService.exe"):
        """The Unix process of this prefix's service."""
        wanted = ("WINEPREFIX=" + self.wine_prefix.path).encode()
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if exe_name.encode() not in f.read():
                        continue
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if wanted in f.read().split(b"\0"):
                        return int(pid)
            except OSError:
                pass
        return None

    def stop_and_wait(self, bound_s):
        started = time.monotonic()
        self.assertEqual([], self.command("-stop"))
        self.assertTrue(self.wait_state(STOPPED, 30))
        self.assertLess(time.monotonic() - started, bound_s)

    def start_or_install(self):
        """Installs the service the first time, starts it again later."""
        if self.state() == "missing":
            self.install()
        else:
            self.assertEqual([], self.command("-start"))
            self.assertTrue(self.wait_state(RUNNING))

    def assert_update_then_quiet(self, document, timeout=40):
        self.assertTrue(wait_for(lambda: self.read("update.ini") == b"0", timeout))
        self.assertEqual(document, self.read("version.xml"))
        self.assertEqual(RUNNING, self.state())


class ServerFaultTest(FaultTest):
    def test_silent_server_times_out_and_the_loop_goes_on(self):
        self.serve(route="hang")
        self.install()
        self.assertTrue(self.wait_requests(1))
        self.serve(NEW)
        # The hanging download gives up at its one-minute deadline; the next
        # check then finds the new version.
        self.assert_update_then_quiet(NEW, timeout=120)

    def test_stop_during_a_hanging_or_reset_download_is_prompt(self):
        self.install()
        for route in ("hang", "reset", "trickle"):
            if self.state() != RUNNING:
                self.command("-start")
                self.assertTrue(self.wait_state(RUNNING))
            before = len(self.requests())
            self.serve(route=route)
            self.assertTrue(self.wait_requests(before + 1))
            time.sleep(0.5)  # well inside the download
            self.stop_and_wait(bound_s=STOP_BOUND_S)
        self.assertEqual(3, self.service_entries().count("Service stopped"))
        self.assertEqual(OLD, self.read("version.xml"))

    def test_failed_connections_end_at_once_and_the_loop_keeps_its_schedule(self):
        self.write("update.ini", b"0")
        self.install()
        for route in ("drop", "close"):
            self.serve(route=route)
            before = len(self.requests())
            # A check on every pass: each failed request ends at once instead
            # of holding the loop for its minute.
            self.assertTrue(self.wait_requests(before + 5, timeout=45), route)
        # The marker poll comes on time between them.
        self.write("update.ini", b"1")
        self.assertTrue(wait_for(lambda: self.link_icon().get("icon", "").endswith("normal.ico"),
                                 timeout=10))
        self.serve(NEW)
        self.assert_update_then_quiet(NEW)

    def test_documents_with_a_byte_order_mark_bring_one_update_and_no_second(self):
        self.install()
        self.serve(route="bom16")
        self.assertTrue(wait_for(lambda: self.read("update.ini") == b"0"))
        stored = b'<?xml version="1.0"?>\r\n<version><v>8.8</v></version>\r\n'
        self.assertEqual(stored, self.read("version.xml"))  # the text, without the mark
        self.write("update.ini", b"1")
        for route in ("bom16", "bom8"):
            self.serve(route=route)
            before = len(self.requests())
            self.assertTrue(self.wait_requests(before + 3), route)
            self.assertEqual(b"1", self.read("update.ini"), route)
        self.assertEqual(stored, self.read("version.xml"))

    def make_certificates(self):
        """A throwaway CA, and server certificates: one it signed for this
        host, one it signed for another host, one signed by nobody known."""
        tls = os.path.join(self.server_dir, "tls")
        os.makedirs(tls, exist_ok=True)
        work = os.path.join(self.run_dir, "certs")
        os.makedirs(work)

        def openssl(*args):
            subprocess.run(["openssl", *args], cwd=work, check=True, capture_output=True)

        here = "subjectAltName=IP:127.0.0.1,DNS:localhost,DNS:127.0.0.1"
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=Vexlo Test CA", "-keyout", "ca.key", "-out", "ca.pem")
        openssl("x509", "-in", "ca.pem", "-outform", "DER", "-out", "ca.der")
        for name, names in (("trusted", here), ("otherhost", "subjectAltName=DNS:other.test")):
            openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name,
                    "-keyout", name + ".key", "-out", name + ".csr")
            with open(os.path.join(work, name + ".ext"), "w") as f:
                f.write(names + "\n")
            openssl("x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                    "-CAcreateserial", "-days", "2", "-extfile", name + ".ext",
                    "-out", name + ".crt")
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                "/CN=untrusted", "-addext", here, "-keyout", "untrusted.key",
                "-out", "untrusted.crt")
        for name in ("trusted", "otherhost", "untrusted"):
            with open(os.path.join(tls, name + ".pem"), "wb") as out:
                for part in (name + ".crt", name + ".key"):
                    with open(os.path.join(work, part), "rb") as f:
                        out.write(f.read())
        return os.path.join(work, "ca.der")

    def tls_log(self, name, key):
        return [line for line in self.requests(all_lines=True)
                if '"tls": "%s"' % name in line and key in line]

    def test_https_needs_a_trusted_certificate_for_the_right_host(self):
        ca = self.make_certificates()
        # Restarted, the server serves the certificates too.
        version_server.stop(self.server_dir)
        self.assertEqual(0, version_server.start(self.server_dir))
        self.assertEqual("ok", self.probe("trust", "Z:" + ca.replace("/", "\\")))
        self.serve(NEW)

        def https_url(name):
            with open(os.path.join(self.server_dir, "tls", name + ".port")) as f:
                return "https://127.0.0.1:%s/doc/desktop.xml" % f.read()

        for name in ("untrusted", "otherhost"):
            self.configure(0, 0, url=https_url(name))
            self.start_or_install()
            self.assertTrue(wait_for(lambda: len(self.tls_log(name, '"connection"')) >= 3), name)
            self.assertEqual([], self.tls_log(name, '"path"'), name)  # no request went out
            self.assertEqual(OLD, self.read("version.xml"), name)
            self.assertIsNone(self.read("update.ini"), name)
            self.stop_and_wait(bound_s=STOP_BOUND_S)

        # A redirect from https to plain http is not followed.
        self.configure(0, 0, url=https_url("trusted").replace("/doc/desktop.xml", "/toplain"))
        self.assertEqual([], self.command("-start"))
        self.assertTrue(self.wait_state(RUNNING))
        self.assertTrue(wait_for(lambda: len(self.tls_log("trusted", "/toplain?time=")) >= 3))
        self.assertEqual([], [line for line in self.requests() if '"tls"' not in line])
        self.assertIsNone(self.read("update.ini"))
        self.stop_and_wait(bound_s=STOP_BOUND_S)

        self.configure(0, 0, url=https_url("trusted"))
        self.assertEqual([], self.command("-start"))
        self.assertTrue(self.wait_state(RUNNING))
        self.assert_update_then_quiet(NEW)
        self.assertTrue(self.tls_log("trusted", "/doc/desktop.xml?time="))

    def test_garbage_nul_error_and_portal_answers_change_nothing(self):
        self.install()
        # Cloud storage's XML error answers, a proxy asking for credentials,
        # a captive portal's sign-in page behind a redirect, a version
        # document served as a web page, one served compressed (Wine, as
        # Windows 7, cannot be asked to decode it).
        for route in ("garbage", "nul", "status404", "empty", "xmlerror404", "xmlerror403",
                      "xmlerror500", "xmlerror503", "proxyauth", "portal", "htmlversion", "gzip"):
            before = len(self.requests())
            self.serve(route=route)
            self.assertTrue(self.wait_requests(before + 2), route)
            self.assertEqual(OLD, self.read("version.xml"), route)
            self.assertIsNone(self.read("update.ini"), route)
            self.assertEqual(RUNNING, self.state(), route)
        self.serve(NEW)
        self.assert_update_then_quiet(NEW)

    def resident_kib(self):
        with open("/proc/%d/status" % self.service_pid()) as f:
            return int(next(line for line in f if line.startswith("VmRSS:")).split()[1])

    def test_bodies_past_the_bound_change_nothing_and_memory_stays_flat(self):
        self.install()
        for route in ("oversize", "endless"):
            self.serve(route=route)
            before = len(self.requests())
            self.assertTrue(self.wait_requests(before + 3), route)
        # Wine reports no private bytes; its resident memory stands in.
        settled = self.resident_kib()
        before = len(self.requests())
        self.assertTrue(self.wait_requests(before + 20, timeout=120))
        self.assertLess(self.resident_kib() - settled, 2048)
        self.assertEqual(OLD, self.read("version.xml"))
        self.assertIsNone(self.read("update.ini"))
        self.serve(route="big")  # 768 KiB: inside the bound
        self.assertTrue(wait_for(lambda: self.read("update.ini") == b"0"))
        self.assertTrue(self.read("version.xml").startswith(b"<v><a>big</a></v>"))
        self.assertEqual(RUNNING, self.state())

    def test_documents_nested_past_the_bound_leave_the_service_checking(self):
        self.install()
        deep = b"<r><v>3.0</v>" + b"<a>" * 100000
        for document in (deep, deep + b"</a>" * 100000 + b"</r>"):
            self.serve(document)
            before = len(self.requests())
            self.assertTrue(self.wait_requests(before + 3))
            self.assertEqual(RUNNING, self.state())
            self.assertEqual(OLD, self.read("version.xml"))
        self.serve(NEW)
        self.assert_update_then_quiet(NEW)

    def test_proxies_of_the_machine_and_of_the_account_are_used(self):
        # The version server answers as a proxy too; the address's host
        # exists only through it.
        # Each setting is a list whose first proxy is dead (one resets each
        # connection it took, before any answer; another refuses it): the
        # service walks on to the next, as WinHTTP itself does not.
        proxy = "127.0.0.1:%d" % self.port
        with open(os.path.join(self.server_dir, "reset.port")) as f:
            resetting = "127.0.0.1:%s" % f.read()
        self.configure(0, 0, url="http://vexlo-proxied.test/doc/desktop.xml")
        self.assertEqual("ok", self.probe("machine-proxy", resetting + ";" + proxy))
        self.install()
        self.serve(NEW)
        self.assert_update_then_quiet(NEW)
        self.assertTrue([line for line in self.requests() if '"proxied": true' in line])
        self.assertTrue([line for line in self.requests(all_lines=True)
                         if '"reset": "GET http://vexlo-proxied.test' in line])
        self.stop_and_wait(bound_s=STOP_BOUND_S)

        # The account's manual proxy, for the built-in address (no config.xml).
        for name in ("config.xml", "update.ini"):
            os.remove(self.path(name))
        self.assertEqual("ok", self.probe("machine-proxy", "none"))
        self.assertEqual("ok", self.probe("account-proxy",
                                          "http=127.0.0.1:1;https=127.0.0.1:2;http=" + proxy))
        newer = NEW.replace(b"2.0", b"3.0")
        self.serve(newer)
        self.assertEqual([], self.command("-start"))
        self.assertTrue(self.wait_state(RUNNING))
        self.assert_update_then_quiet(newer)
        # The proxy is asked for the built-in address (Wine adds the port).
        built_in = urllib.parse.urlsplit(os.environ["VEXLO_DEFAULT_BASE_URL"])
        self.assertTrue([line for line in self.requests(all_lines=True)
                         if '"path": "http://%s' % built_in.hostname in line
                         and built_in.path + "?time=" in line])
        self.stop_and_wait(bound_s=STOP_BOUND_S)

        # A proxy script named in the account's Internet Options, beside a
        # manual proxy that is dead: the script comes first, as on Windows.
        self.assertEqual("ok", self.probe("account-proxy-and-script", "127.0.0.1:1",
                                          "http://127.0.0.1:%d/proxy.pac" % self.port))
        self.configure(0, 0, url="http://vexlo-scripted.test/doc/desktop.xml")
        os.remove(self.path("update.ini"))
        newest = NEW.replace(b"2.0", b"4.0")
        self.serve(newest)
        self.assertEqual([], self.command("-start"))
        self.assertTrue(self.wait_state(RUNNING))
        self.assert_update_then_quiet(newest)
        self.assertTrue([line for line in self.requests(all_lines=True)
                         if '"path": "http://vexlo-scripted.test' in line])


class FileFaultTest(FaultTest):
    def hold(self, name, seconds, how="hold", folder="C:\\Games\\Vexlo\\Service\\"):
        """Another process opens the file with no sharing at all (or, with
        hold-shared, for writing and sharing reading only)."""
        holder = subprocess.Popen(["wine", CLIENT_EXE, how, folder + name,
                                   str(seconds)], env=self.env, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(holder.kill)
        self.assertEqual(b"held", holder.stdout.readline().strip())
        return holder

    def test_version_file_held_without_sharing_defers_the_update(self):
        self.install()
        holder = self.hold("version.xml", 6)
        self.serve(NEW)
        before = len(self.requests())
        self.assertTrue(self.wait_requests(before + 2))
        # The local version cannot be read, so no update is reported yet.
        self.assertEqual(OLD, self.read("version.xml"))
        self.assertIsNone(self.read("update.ini"))
        holder.wait(timeout=60)
        self.assert_update_then_quiet(NEW)

    def test_update_found_while_the_updater_holds_the_marker_is_never_lost(self):
        self.write("update.ini", b"1")
        self.install()
        holder = self.hold("update.ini", 8)
        self.serve(NEW)
        before = len(self.requests())
        self.assertTrue(self.wait_requests(before + 2))
        self.assertEqual(OLD, self.read("version.xml"))  # never stored without its "0"
        holder.wait(timeout=60)
        self.assertTrue(wait_for(lambda: self.read("update.ini") == b"0"))
        self.assertEqual(NEW, self.read("version.xml"))
        self.assertTrue(self.link_icon().get("icon", "").endswith("update.ico"))
        self.assertNotIn("update.tmp", os.listdir(self.service))

        # Held across a stop and a start: the started service finds it again.
        self.write("update.ini", b"1")
        newer = NEW.replace(b"2.0", b"3.0")
        holder = self.hold("update.ini", 600)
        self.serve(newer)
        before = len(self.requests())
        self.assertTrue(self.wait_requests(before + 2))
        self.stop_and_wait(bound_s=STOP_BOUND_S)
        self.assertEqual(NEW, self.read("version.xml"))
        holder.kill()
        holder.wait(timeout=60)
        self.assertEqual([], self.command("-start"))
        self.assertTrue(self.wait_state(RUNNING))
        self.assertTrue(wait_for(lambda: self.read("update.ini") == b"0"))
        self.assertEqual(newer, self.read("version.xml"))

    def test_update_icon_lands_once_the_busy_shortcut_is_let_go(self):
        self.configure(0, 3)
        self.write("update.ini", b"1")
        self.install()
        link = self.wine_prefix.desktop_path("Vexlo.lnk")
        self.assertTrue(wait_for(lambda: self.link_icon().get("icon", "").endswith("normal.ico")))
        self.write("update.ini", b"0")  # pending from now on: no more normal icons
        # A scanner or a backup holds the shortcut while the update arrives.
        holder = self.hold("Vexlo.lnk", 12, how="hold-shared", folder=PUBLIC_DESKTOP + "\\")
        self.serve(NEW)
        self.assertTrue(wait_for(lambda: self.read("version.xml") == NEW))
        self.assertEqual(b"0", self.read("update.ini"))
        self.assertTrue(self.link_icon().get("icon", "").endswith("normal.ico"))
        holder.wait(timeout=60)
        # Within a marker interval of the release, and then left alone.
        self.assertTrue(wait_for(lambda: self.link_icon().get("icon", "").endswith("update.ico"),
                                 timeout=20))
        written = os.stat(link).st_mtime_ns
        before = len(self.requests())
        self.assertTrue(self.wait_requests(before + 8))  # two marker polls at least
        self.assertEqual(written, os.stat(link).st_mtime_ns)

    def test_read_only_state_files_are_replaced_whole(self):
        # A copy from a disc or a "protect my files" tool marks the files
        # read-only. Windows then refuses every replacement and write; the
        # service clears the mark of its own files and replaces them, never
        # writing into them (Wine would let root write in place).
        self.write("update.ini", b"1")
        inodes = {}
        for name in ("version.xml", "update.ini"):
            os.chmod(self.path(name), 0o444)
            inodes[name] = os.stat(self.path(name)).st_ino
        self.install()
        self.serve(NEW)
        self.assert_update_then_quiet(NEW)
        for name in ("version.xml", "update.ini"):
            self.assertNotEqual(inodes[name], os.stat(self.path(name)).st_ino, name)
            self.assertTrue(os.stat(self.path(name)).st_mode & 0o200, name)
        self.assertEqual([], [n for n in os.listdir(self.service) if n.endswith((".tmp", ".old"))])
        self.stop_and_wait(bound_s=STOP_BOUND_S)

    def test_unwritable_desktop_still_updates_the_state_files(self):
        self.install()
        desktop = self.wine_prefix.desktop_path("")
        os.rename(desktop, desktop.rstrip("/") + ".moved")
        with open(desktop.rstrip("/"), "w") as f:
            f.write("a file where the desktop folder was")
        self.serve(NEW)
        self.assert_update_then_quiet(NEW)
        self.assertEqual("ok", self.probe("control", "1"))
        self.assertTrue(self.wait_state(STOPPED))

    def test_killed_while_replacing_version_xml_leaves_a_whole_file(self):
        # Every request brings a new 1 MB document, so every check replaces
        # version.xml; the process is killed at a different moment each round.
        first = b"<v><a>0</a></v>"
        served = re.compile(rb"<v><a>[0-9]+</a><pad>x{1048576}</pad></v>")
        self.serve(route="counter")
        self.write("version.xml", first)
        self.configure(0, 1000)
        self.install()
        rng = random.Random(1)
        for round_number in range(4):
            pid = wait_for(self.service_pid)
            self.assertTrue(pid, round_number)
            before = len(self.requests())
            self.assertTrue(self.wait_requests(before + 1), round_number)
            time.sleep(rng.uniform(0.0, 0.3))  # in a download, a compare or a write
            os.kill(pid, signal.SIGKILL)
            stored = self.read("version.xml")
            self.assertTrue(stored == first or served.fullmatch(stored),
                            "round %d: version.xml is partial (%d bytes)"
                            % (round_number, len(stored)))
            # Wine's service manager does not notice the death; a restart of
            # the prefix starts the automatic service again.
            self.wine_prefix.stop()
            self.wine_prefix.start()
            self.assertTrue(self.wait_state(RUNNING), round_number)


class FolderAndSettingsFaultTest(FaultTest):
    def test_application_folder_without_room_for_its_file_names(self):
        # Folder of 250 bytes: "v.exe" fits, "config.xml" and the others do not.
        deep = "C:\\Deep"
        while len(deep) < 249:
            deep += "\\" + "d" * min(120, 249 - len(deep) - 1)
        folder = deep + "\\"
        self.assertEqual(250, len(folder))
        unix_folder = os.path.join(self.wine_prefix.drive_c, *folder[3:-1].split("\\"))
        os.makedirs(unix_folder)
        exe = os.path.join(unix_folder, "v.exe")
        with open(os.environ["VEXLO_SERVICE_EXE"], "rb") as src, open(exe, "wb") as dst:
            dst.write(src.read())
        with open(os.path.join(unix_folder, "update.ini"), "wb") as f:
            f.write(b"1")  # would bring the normal icon, if the path fitted
        result = self.wine_prefix.run(folder + "v.exe", "-install")
        self.assertEqual(0, result.returncode)
        self.assertTrue(self.wait_state(RUNNING))
        time.sleep(6)  # past the first marker polls and the first check
        self.assertEqual(RUNNING, self.state())
        self.assertEqual(["update.ini", "v.exe"], sorted(os.listdir(unix_folder)))
        self.assertFalse(os.path.exists(self.wine_prefix.desktop_path("Vexlo.lnk")))
        self.wine_prefix.run(folder + "v.exe", "-stop")
        self.assertTrue(self.wait_state(STOPPED))

    def test_intervals_at_the_ends_of_the_range_and_an_overlong_url(self):
        self.configure(-2147483648, 2147483647)
        self.install()
        # A check on every pass from the fifth on.
        self.assertTrue(self.wait_requests(4, timeout=30))
        self.stop_and_wait(bound_s=STOP_BOUND_S)

        self.configure(2147483647, 0, url="http://127.0.0.1:%d/doc/" % self.port + "u" * 300)
        self.write("update.ini", b"1")
        before = len(self.requests())
        self.assertEqual([], self.command("-start"))
        self.assertTrue(self.wait_state(RUNNING))
        # The marker poll runs on every pass: the normal icon comes.
        self.assertTrue(wait_for(lambda: self.link_icon().get("icon", "").endswith("normal.ico")))
        time.sleep(6)  # past pass five: the refused URL was not used
        self.assertEqual(before, len(self.requests()))
        self.stop_and_wait(bound_s=STOP_BOUND_S)

    def test_settings_and_version_saved_as_utf16_are_read(self):
        # As Notepad saves "Unicode" files: UTF-16 with a byte-order mark.
        version = "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<r><v>1.0 caf\u00e9</v></r>"
        same = "<d><v>1.0 caf\u00e9</v></d>".encode("utf-8")  # served without a charset
        changed = "<d><v>1.1 caf\u00e9</v></d>".encode("utf-8")
        for config_codec, version_codec in (("utf-16-le", "utf-16-be"), ("utf-16-be", "utf-16-le")):
            mark = b"\xff\xfe" if config_codec == "utf-16-le" else b"\xfe\xff"
            config = ("<config><check>0</check><marker>0</marker><url>http://127.0.0.1:%d/doc/"
                      "desktop.xml</url></config>" % self.port)
            self.write("config.xml", mark + config.encode(config_codec))
            mark = b"\xfe\xff" if version_codec == "utf-16-be" else b"\xff\xfe"
            self.write("version.xml", mark + version.encode(version_codec))
            self.serve(same)
            self.start_or_install()
            # The settings took effect: a check on every pass, at this server.
            before = len(self.requests())
            self.assertTrue(self.wait_requests(before + 3), config_codec)
            self.assertIsNone(self.read("update.ini"), config_codec)  # equal: no update
            self.stop_and_wait(bound_s=STOP_BOUND_S)
        self.serve(changed)
        self.assertEqual([], self.command("-start"))
        self.assertTrue(wait_for(lambda: self.read("update.ini") == b"0"))
        self.assertEqual(b"<d><v>1.1 caf\xe9</v></d>", self.read("version.xml"))  # in the ANSI code page
        self.write("update.ini", b"1")
        before = len(self.requests())
        self.assertTrue(self.wait_requests(before + 3))
        self.assertEqual(b"1", self.read("update.ini"))  # exactly one update

    def test_thousand_byte_versions_on_either_side(self):
        long_version = b"7" * 1000
        self.write("version.xml", b"<r><v>" + long_version + b"</v></r>")
        self.serve(b"<d><v>" + long_version + b"</v></d>")
        self.install()
        self.assertTrue(self.wait_requests(3))
        self.assertIsNone(self.read("update.ini"))
        changed = b"<d><v>" + long_version + b"8</v></d>"
        self.serve(changed)
        self.assert_update_then_quiet(changed)
        self.write("update.ini", b"1")
        before = len(self.requests())
        self.assertTrue(self.wait_requests(before + 3))
        self.assertEqual(b"1", self.read("update.ini"))  # no endless update


KEYS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "keys")
SIGN_DOCUMENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                             "sign-document")


class SigningTest(FaultTest):
    """The exe built with the two test keys (tests/keys) takes only documents
    signed with one of them, each with a serial above the stored one's."""

    def sign(self, document, key, serial):
        unsigned = os.path.join(self.run_dir, "unsigned.xml")
        signed = os.path.join(self.run_dir, "signed.xml")
        with open(unsigned, "wb") as f:
            f.write(document)
        subprocess.run([sys.executable, SIGN_DOCUMENT, "--key", key, "--serial", str(serial),
                        unsigned, signed], check=True)
        with open(signed, "rb") as f:
            return f.read()

    def assert_nothing_changes(self, document, stored, why):
        self.serve(document)
        before = len(self.requests())
        self.assertTrue(self.wait_requests(before + 2), why)
        self.assertEqual(stored, self.read("version.xml"), why)
        self.assertEqual(b"1", self.read("update.ini"), why)
        self.assertTrue(self.link_icon().get("icon", "").endswith("normal.ico"), why)

    def test_only_newer_documents_signed_with_a_built_in_key_count(self):
        shutil.copy(os.environ["VEXLO_KEYED_SERVICE_EXE"], self.path("VexloService.exe"))
        first, second = (os.path.join(KEYS, name + ".pem") for name in ("first", "second"))
        third = os.path.join(self.run_dir, "third.pem")
        subprocess.run(["openssl", "ecparam", "-name", "prime256v1", "-genkey", "-noout",
                        "-out", third], check=True)
        older = self.sign(NEW.replace(b"2.0", b"1.5"), first, 50)  # genuine, but old
        signed = self.sign(NEW, first, 100)
        self.write("update.ini", b"1")
        self.serve(NEW)  # unsigned: never taken
        self.install()
        before = len(self.requests())
        self.assertTrue(self.wait_requests(before + 3))
        self.assertEqual(OLD, self.read("version.xml"))

        # The first version.xml has no block: any validly signed document counts.
        self.serve(signed)
        self.assert_update_then_quiet(signed)  # byte for byte, its block included
        self.write("update.ini", b"1")
        self.assertTrue(wait_for(lambda: self.link_icon().get("icon", "").endswith("normal.ico")))

        newer = NEW.replace(b"2.0", b"3.0")
        good = self.sign(newer, first, 200)
        cases = {
            "tampered": good.replace(b"3.0", b"4.0"),
            "unsigned": newer,
            "foreign key": self.sign(newer, third, 200),
            "block cut off": good[:good.index(b"<?vexlo-signature")],
            "block cut short": good.rstrip()[:-10],
            "bytes after the block": good + b"<v>9.9</v>",
            "older serial": self.sign(newer, first, 99),
            "same serial": self.sign(newer, first, 100),
            "replay of an older document": older,
            "replay of the stored document": signed,
        }
        for why, document in cases.items():
            self.assert_nothing_changes(document, signed, why)

        # The second key of the build counts as well.
        latest = self.sign(newer, second, 300)
        self.serve(latest)
        self.assert_update_then_quiet(latest)
        self.assertTrue(self.link_icon().get("icon", "").endswith("update.ico"))

        # A UTF-8 document with its byte-order mark is verified as served and
        # stored as ANSI text without the mark; its serial still counts.
        self.write("update.ini", b"1")
        accented = self.sign(b"\xef\xbb\xbf" + "<v><a>5.0 caf\u00e9</a></v>\n".encode(), first, 400)
        stored = accented[3:].replace("\u00e9".encode(), b"\xe9")
        self.serve(accented)
        self.assert_update_then_quiet(stored)
        self.write("update.ini", b"1")
        self.assert_nothing_changes(accented, stored, "replay of the document with a mark")

        # A stored copy that something else damaged (the client's updater cut
        # short in a crash, an editor) never stops updates: its block counts
        # as none, and a document with a lower serial than it had lands.
        for version, why, damage in (
                (b"6.0", "cut inside its block", lambda text: text[:text.index(b'serial="') + 10]),
                (b"7.0", "hex broken", lambda text: text.replace(b'signature="', b'signature="G'))):
            current = self.read("version.xml")
            self.write("version.xml", damage(current))
            self.write("update.ini", b"1")
            document = self.sign(NEW.replace(b"2.0", version), first, 5)
            self.serve(document)
            self.assert_update_then_quiet(document)

    def test_a_build_without_keys_takes_signed_and_unsigned_documents(self):
        signed = self.sign(NEW, os.path.join(KEYS, "first.pem"), 100)
        self.install()
        self.serve(signed)
        self.assert_update_then_quiet(signed)
        newer = NEW.replace(b"2.0", b"3.0")
        self.write("update.ini", b"1")
        self.serve(newer)
        self.assert_update_then_quiet(newer)


class PlantingTest(FaultTest):
    """What a standard user can plant where the service runs, writes or loads."""

    def lay_out_client_with_spaces(self):
        """The client under C:\\Program Files\\Vexlo Game, the service's files
        in its Service folder; returns that folder's Unix path."""
        client = os.path.join(self.wine_prefix.drive_c, "Program Files", "Vexlo Game")
        shutil.copytree(self.service, os.path.join(client, "Service"))
        shutil.copy(os.environ["VEXLO_SERVICE_EXE"], os.path.join(client, "Service"))
        shutil.copy(os.environ["VEXLO_PROBE_EXE"], os.path.join(client, "Vexlo.exe"))
        return os.path.join(client, "Service")

    def test_path_with_spaces_is_registered_quoted_so_planted_programs_never_run(self):
        drive_c = self.wine_prefix.drive_c
        client = os.path.dirname(self.lay_out_client_with_spaces())
        # Where the manager looks first for an unquoted path.
        planted = [os.path.join(drive_c, "Program.exe"),
                   os.path.join(drive_c, "Program Files", "Vexlo.exe")]
        for path in planted:
            shutil.copy(os.environ["VEXLO_PROBE_EXE"], path)
        exe = "C:\\Program Files\\Vexlo Game\\Service\\VexloService.exe"

        # An older build's registration, without quotes: the planted program runs.
        self.assertEqual(0, self.wine_prefix.run("sc", "create", "VexloService",
                                                 "binpath=", exe).returncode)
        self.wine_prefix.run("sc", "start", "VexloService")
        self.assertTrue(wait_for(lambda: os.path.exists(planted[0] + ".ran")))
        os.remove(planted[0] + ".ran")

        # -install replaces it with the quoted path, and only the service runs.
        result = self.wine_prefix.run(exe, "-install")
        self.assertEqual(0, result.returncode)
        self.assertTrue(self.wait_state(RUNNING))
        config = dict(line.split("=", 1) for line in self.probe("config").splitlines())
        self.assertEqual('"%s"' % exe, config["path"])
        self.assertEqual([], [path for path in planted if os.path.exists(path + ".ran")])
        self.assertEqual(["ServiceMain"], self.service_entries())
        with open(os.path.join(client, "Service", "regist.ini"), "rb") as f:
            self.assertEqual(b"1", f.read())

        # A game folder that other users may swap (here Everyone may delete
        # and rename in its parent): -install registers nothing there, and
        # says why.
        self.assertEqual([], self.command("-uninstall"))
        shared = os.path.join(drive_c, "Shared")
        os.makedirs(shared)
        os.chmod(shared, 0o777)  # Wine gives Everyone the Unix mode's rights
        shutil.copytree(client, os.path.join(shared, "Vexlo"))
        result = self.wine_prefix.run("C:\\Shared\\Vexlo\\Service\\VexloService.exe", "-install")
        self.assertEqual(0, result.returncode)
        said = entries(result.stderr.decode(errors="replace"))
        self.assertEqual(1, len(said), said)
        # (Wine's trace doubles each backslash.)
        self.assertRegex(said[0], r"^Service not installed: other users may change "
                                  r"C:(\\\\)+Shared(\\\\)+: Everyone ")
        self.assertEqual("missing", self.state())

    def refusal(self, exe):
        """Runs exe -install; the one entry it wrote, with Wine's doubled
        backslashes made single again."""
        result = self.wine_prefix.run(exe, "-install")
        self.assertEqual(0, result.returncode)
        said = entries(result.stderr.decode(errors="replace"))
        self.assertEqual(1, len(said), said)
        return said[0].replace("\\\\", "\\")

    def test_game_in_a_users_profile_is_refused_by_any_name(self):
        # Under Wine the one user owns the whole drive, so only the place
        # can tell a profile apart: its user's programs, unelevated, may
        # rename a folder above the exe and plant another in its place.
        users = os.path.join(self.wine_prefix.drive_c, "users")
        [user] = [name for name in os.listdir(users) if name != "Public"]
        client = os.path.join(users, user, "Games", "Vexlo")
        shutil.copytree(self.service, os.path.join(client, "Service"))
        profile = "C:\\users\\%s" % user
        exe = profile + "\\Games\\Vexlo\\Service\\VexloService.exe"
        self.assertEqual(
            "Service not installed: %s is in a user's profile (%s): its programs may change "
            "it; install under C:\\Program Files" % (exe, profile), self.refusal(exe))
        self.assertEqual("missing", self.state())

        # Another account's profile, moved out of C:\users and listed with a
        # variable as Windows writes it, reached by its 8.3 name.
        self.assertEqual(0, self.wine_prefix.run(
            "reg", "add", "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList"
            "\\S-1-5-21-0-0-0-1001", "/v", "ProfileImagePath", "/t", "REG_EXPAND_SZ",
            "/d", "%SystemDrive%\\Player Profiles\\Ann", "/f").returncode)
        moved = os.path.join(self.wine_prefix.drive_c, "Player Profiles", "Ann", "Games", "Vexlo")
        shutil.copytree(client, moved)
        exe = "C:\\Player Profiles\\Ann\\Games\\Vexlo\\Service\\VexloService.exe"
        short = self.probe("short", exe)
        self.assertIn("~", short)
        self.assertNotIn("Player Profiles", short)
        self.assertEqual(
            "Service not installed: %s is in a user's profile (C:\\Player Profiles\\Ann): its "
            "programs may change it; install under C:\\Program Files" % exe, self.refusal(short))
        self.assertEqual("missing", self.state())

        # A refusal leaves the service there was as it was: an installer's
        # upgrade that is refused rolls back to a service that still runs.
        self.install()
        self.refusal(short)
        self.assertEqual(RUNNING, self.state())
        config = dict(line.split("=", 1) for line in self.probe("config").splitlines())
        self.assertEqual('"%s"' % SERVICE_EXE, config["path"])

    def test_service_installed_by_its_short_name_leaves_the_shortcut_alone(self):
        # An installer that registers the folder in its 8.3 form: the shortcut
        # the shell reads back names the long form, and is the same shortcut.
        self.configure(0, 0)
        self.write("update.ini", b"1")
        self.serve(OLD)
        folder = self.lay_out_client_with_spaces()
        short = self.probe("short", "C:\\Program Files\\Vexlo Game\\Service\\VexloService.exe")
        self.assertIn("~", short)
        self.assertEqual(0, self.wine_prefix.run(short, "-install").returncode)
        self.assertTrue(self.wait_state(RUNNING))
        link = self.wine_prefix.desktop_path("Vexlo.lnk")
        self.assertTrue(wait_for(lambda: os.path.exists(link)))
        self.assertTrue(wait_for(lambda: os.path.exists(os.path.join(folder, "regist.ini"))))
        written = os.stat(link).st_mtime_ns
        before = len(self.requests())
        self.assertTrue(self.wait_requests(before + 6))  # a marker poll on each pass
        self.assertEqual(written, os.stat(link).st_mtime_ns)

    def test_planted_links_and_folders_are_never_written_through(self):
        outside = os.path.join(self.wine_prefix.drive_c, "outside.txt")
        outside_version = os.path.join(self.wine_prefix.drive_c, "outside-version.xml")
        with open(outside, "wb") as f:
            f.write(b"not the service's")
        os.remove(self.path("version.xml"))
        with open(outside_version, "wb") as f:
            f.write(OLD)
        # Hard links at every name the service writes, to files outside its folder.
        os.link(outside_version, self.path("version.xml"))
        for name in ("version.tmp", "update.ini", "update.tmp", "regist.ini", "regist.tmp",
                     "version.old", "update.old", "regist.old"):
            os.link(outside, self.path(name))
        self.install()
        self.serve(NEW)
        self.assertTrue(wait_for(lambda: self.read("update.ini") == b"0"))
        self.assertEqual(NEW, self.read("version.xml"))
        self.assertEqual(b"1", self.read("regist.ini"))
        with open(outside, "rb") as f:
            self.assertEqual(b"not the service's", f.read())
        with open(outside_version, "rb") as f:
            self.assertEqual(OLD, f.read())

        # Folders at the temporary names: the plain files are rewritten in
        # place, and update.ini keeps the attribute it was given.
        for name in ("version.tmp", "update.tmp"):
            os.mkdir(self.path(name))
        self.assertEqual(0, self.wine_prefix.run(
            "cmd", "/c", "attrib", "+h", SERVICE_DIR + "update.ini").returncode)
        self.write("update.ini", b"1")
        newer = NEW.replace(b"2.0", b"3.0")
        self.serve(newer)
        self.assertTrue(wait_for(lambda: self.read("update.ini") == b"0"))
        self.assertEqual(newer, self.read("version.xml"))
        attributes = self.wine_prefix.run("cmd", "/c", "attrib", SERVICE_DIR + "update.ini")
        self.assertIn("H", attributes.stdout.decode(errors="replace").split("C:")[0])
        self.assertEqual(RUNNING, self.state())


if __name__ == "__main__":
    unittest.main()
