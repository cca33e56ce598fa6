#!/usr/bin/env python3
"""Runs VexloService for real under Wine and narrates its life, step by step.

Usage: demo.py --build BUILD_DIR --out OUT_DIR [--screenshots|--no-screenshots]

Lays out the client in a fresh Wine prefix (OUT_DIR/pfx), serves a version
document from 127.0.0.1, installs the service with -install and walks through:
the first check finds the same version; a raised version puts the update icon
on the shortcut, stores version.xml and writes "0" into update.ini; clearing
the marker brings the normal icon back; -stop and -uninstall end it. Exits 0
when every step happened, else 1 with the step that did not.
"""
import argparse
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import version_server  # noqa: E402
from vexlo_wine import SERVICE_EXE, WinePrefix, read_lnk, wait_for  # noqa: E402

CHECK_INTERVAL = 3   # passes between checks: a check about every 4 s
MARKER_INTERVAL = 1  # update.ini read about every 2 s
STEP_TIMEOUT = 60
STARTED = time.monotonic()


class StepFailed(Exception):
    pass


def say(text):
    print("[%6.1fs] %s" % (time.monotonic() - STARTED, text), flush=True)


def show(label, value):
    if isinstance(value, bytes):
        value = repr(value.decode("latin-1"))
    print("           %-22s %s" % (label + ":", value), flush=True)


def wait_step(step, condition, timeout=STEP_TIMEOUT):
    """Polls condition, printing a dot a second, until it holds."""
    deadline = time.monotonic() + timeout
    last_dot = time.monotonic()
    print("           waiting ", end="", flush=True)
    while True:
        value = condition()
        if value:
            print(" done", flush=True)
            return value
        if time.monotonic() >= deadline:
            print(" gave up", flush=True)
            raise StepFailed("%s (nothing after %d s)" % (step, timeout))
        if time.monotonic() - last_dot >= 1:
            print(".", end="", flush=True)
            last_dot = time.monotonic()
        time.sleep(0.1)


class Desktop:
    """The Wine desktop under Xvfb, restarted before each picture: it notices
    shortcuts added or removed, not a shortcut rewritten in place."""

    def __init__(self, prefix, out_dir):
        self.prefix = prefix
        self.out_dir = out_dir
        self.display = self.free_display()
        self.xvfb = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "800x600x24",
                                      "-nolisten", "tcp"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.env = dict(prefix.env, DISPLAY=self.display, WINEDEBUG="-all")
        self.explorer = None
        if not wait_for(lambda: os.path.exists("/tmp/.X11-unix/X" + self.display[1:]), 20):
            raise StepFailed("Xvfb did not start")

    @staticmethod
    def free_display():
        for number in range(77, 200):
            if not os.path.exists("/tmp/.X11-unix/X%d" % number) and \
                    not os.path.exists("/tmp/.X%d-lock" % number):
                return ":%d" % number
        raise StepFailed("no free X display")

    def capture(self):
        xwd = subprocess.run(["xwd", "-root", "-silent", "-display", self.display],
                             capture_output=True, timeout=30)
        return xwd.stdout

    def picture(self, name):
        if self.explorer:
            self.explorer.kill()
            self.explorer.wait()
        blank = self.capture()
        self.explorer = subprocess.Popen(["wine", "explorer", "/desktop=shell,800x600"],
                                         env=self.env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # Drawn once two captures a second apart agree and differ from before.
        previous = [blank]

        def settled():
            time.sleep(1)
            now = self.capture()
            done = now != blank and now == previous[0]
            previous[0] = now
            return done

        wait_for(settled, 30, 0)
        path = os.path.join(self.out_dir, name)
        subprocess.run(["/usr/bin/convert", "xwd:-", path], input=previous[0], check=True)
        show("screenshot", path)

    def close(self):
        if self.explorer:
            self.explorer.kill()
        self.xvfb.kill()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--screenshots", dest="screenshots", action="store_true", default=None)
    parser.add_argument("--no-screenshots", dest="screenshots", action="store_false")
    args = parser.parse_args()
    screenshots = args.screenshots
    if screenshots is None:
        screenshots = shutil.which("Xvfb") is not None
    template = os.environ["VEXLO_WINE_TEMPLATE"]
    args.out = os.path.abspath(args.out)
    args.build = os.path.abspath(args.build)
    os.makedirs(args.out, exist_ok=True)

    prefix = WinePrefix(template, os.path.join(args.out, "pfx"))
    server_dir = os.path.join(args.out, "server")
    desktop = None
    step = "setting up"
    try:
        step = "preparing the Wine prefix"
        say("Preparing a fresh Wine prefix in %s" % prefix.path)
        prefix.create()
        prefix.start()

        step = "starting the version server"
        if version_server.start(server_dir) != 0:
            raise StepFailed(step)
        with open(os.path.join(server_dir, "port")) as f:
            port = int(f.read())
        url = "http://127.0.0.1:%d/doc/desktop.xml" % port

        def serve(version):
            document = ("<?xml version=\"1.0\"?>\n<version>\n  <number>%s</number>\n"
                        "  <notes>Vexlo client %s</notes>\n</version>\n" % (version, version))
            tmp = os.path.join(server_dir, "docs", "desktop.tmp")
            with open(tmp, "w") as f:
                f.write(document)
            os.replace(tmp, os.path.join(server_dir, "docs", "desktop.xml"))
            return document.encode()

        def requests():
            try:
                with open(os.path.join(server_dir, "requests.log")) as f:
                    return sum(1 for line in f if "/doc/desktop.xml?" in line)
            except FileNotFoundError:
                return 0

        say("Serving version 1.0.0 at %s" % url)
        serve("1.0.0")

        step = "laying out the client"
        bin_dir = os.path.join(args.build, "bin")
        prefix.lay_out_client(os.path.join(bin_dir, "VexloService.exe"),
                              os.path.join(bin_dir, "vexlo_client_stub.exe"))
        here = os.path.dirname(os.path.abspath(__file__))
        subprocess.run([sys.executable, os.path.join(here, "make_icons.py"), prefix.service],
                       check=True)

        def service_file(name):
            return os.path.join(prefix.service, name)

        def read(name):
            try:
                with open(service_file(name), "rb") as f:
                    return f.read()
            except FileNotFoundError:
                return None

        def write(name, data):
            with open(service_file(name), "wb") as f:
                f.write(data)

        first_version = serve("1.0.0")
        write("version.xml", first_version)
        write("config.xml", ("<config>\n  <checkInterval>%d</checkInterval>\n"
                             "  <markerInterval>%d</markerInterval>\n"
                             "  <baseUrl>%s</baseUrl>\n</config>\n"
                             % (CHECK_INTERVAL, MARKER_INTERVAL, url)).encode())
        # The client's updater has no update pending: the normal icon is due.
        write("update.ini", b"1")
        say("Client laid out in C:\\Games\\Vexlo, the service in %s" % SERVICE_EXE)
        for name in ("VexloService.exe", "update.ico", "normal.ico", "version.xml",
                     "config.xml", "update.ini"):
            show(name, "%d bytes" % len(read(name)))

        def probe(*words):
            out = prefix.run(os.path.join(bin_dir, "vexlo_probe.exe"), *words).stdout
            return out.decode(errors="replace").replace("\r", "").strip()

        def state():
            return {"1": "stopped", "2": "start pending", "3": "stop pending",
                    "4": "running"}.get(probe("state"), probe("state"))

        link_path = prefix.desktop_path("Vexlo.lnk")

        def link_icon():
            try:
                return read_lnk(link_path).get("icon_location")
            except (OSError, ValueError, IndexError):
                return None

        step = "installing the service"
        say("Installing: VexloService.exe -install")
        prefix.run(SERVICE_EXE, "-install")
        wait_step(step, lambda: state() == "running")
        show("service state", state())
        show("regist.ini", read("regist.ini"))
        for line in probe("config").splitlines():
            key, value = line.split("=", 1)
            if key == "description":  # GBK bytes, as the manager stores them
                value = bytes.fromhex(value).decode("gbk")
            show("service " + key, value)
        for line in probe("registry").splitlines():
            if "." not in line.split("=", 1)[0]:
                show("HKCU " + line.split("=", 1)[0], line.split("=", 1)[1])

        step = "showing the normal icon at start"
        say("The marker is cleared, so the service puts the normal icon on the desktop")
        wait_step(step, lambda: link_icon() == "C:\\Games\\Vexlo\\Service\\normal.ico")
        link = read_lnk(link_path)
        show("shortcut", link_path)
        show("shortcut target", link.get("local_base_path"))
        show("shortcut icon", "%s, index %d" % (link["icon_location"], link["icon_index"]))
        if screenshots:
            desktop = Desktop(prefix, args.out)
            desktop.picture("1-normal-icon.png")

        step = "the first check"
        say("Waiting for the first check: the server still says 1.0.0")
        wait_step(step, lambda: requests() >= 1)
        time.sleep(1)  # the check's own work after the request
        if read("version.xml") != first_version:
            raise StepFailed(step + ": version.xml changed although the version is the same")
        show("version.xml", "unchanged (version 1.0.0)")
        show("update.ini", read("update.ini"))

        step = "detecting the update"
        say("The server now offers version 1.1.0")
        new_version = serve("1.1.0")
        wait_step(step, lambda: read("update.ini") == b"0" and read("version.xml") == new_version
                  and link_icon() == "C:\\Games\\Vexlo\\Service\\update.ico")
        show("shortcut icon", link_icon())
        show("version.xml", read("version.xml").decode().strip().replace("\n", " "))
        show("update.ini", read("update.ini"))
        if desktop:
            desktop.picture("2-update-icon.png")

        step = "restoring the normal icon"
        say("The client's updater clears the marker (update.ini := 1)")
        write("update.ini", b"1")
        wait_step(step, lambda: link_icon() == "C:\\Games\\Vexlo\\Service\\normal.ico")
        show("shortcut icon", link_icon())
        if desktop:
            desktop.picture("3-normal-icon-again.png")

        step = "explaining a check"
        say("What support staff run on a player's PC: VexloCheck.exe, beside the service")
        shutil.copy(os.path.join(bin_dir, "VexloCheck.exe"), service_file("VexloCheck.exe"))
        checked = prefix.run("C:\\Games\\Vexlo\\Service\\VexloCheck.exe")
        for line in checked.stdout.decode(errors="replace").replace("\r", "").splitlines():
            print("           | " + line, flush=True)
        show("VexloCheck exit code", "%d (0 update, 1 no change)" % checked.returncode)
        os.remove(service_file("VexloCheck.exe"))

        step = "stopping the service"
        say("Stopping: VexloService.exe -stop")
        prefix.run(SERVICE_EXE, "-stop")
        wait_step(step, lambda: state() == "stopped")
        show("service state", state())
        wait_step(step, lambda: "Service stopped" in prefix.service_entries())
        for entry in prefix.service_entries():
            show("event log", entry)

        step = "uninstalling the service"
        say("Uninstalling: VexloService.exe -uninstall")
        prefix.run(SERVICE_EXE, "-uninstall")
        wait_step(step, lambda: probe("state") == "missing")
        show("service state", "not installed")

        say("Every step happened. The prefix stays in %s" % prefix.path)
        say("Look inside with: WINEPREFIX=%s HOME=%s.home wine explorer" % (prefix.path, template))
        return 0
    except (StepFailed, subprocess.SubprocessError, OSError) as failure:
        say("FAILED at step '%s': %s" % (step, failure))
        return 1
    finally:
        if desktop:
            desktop.close()
        version_server.stop(server_dir)
        prefix.stop()


if __name__ == "__main__":
    sys.exit(main())
