"""Wine prefixes for running VexloService.exe for real: shared by the
end-to-end tests, the demo and the benchmarks.

A prefix is a copy of the booted template (scripts/lib/wine-prefix.sh makes
it), with a persistent wineserver of its own. The event-log entries of the
service process are read from Wine's eventlog trace, which services.exe and
the service inherit from the process that started them.
"""
import os
import re
import shutil
import struct
import subprocess
import time

ENTRY_RE = re.compile(r'trace:eventlog:ReportEventW L"(.*)"')
SERVICE_DIR = "C:\\Games\\Vexlo\\Service\\"
SERVICE_EXE = SERVICE_DIR + "VexloService.exe"
CLIENT_EXE = "C:\\Games\\Vexlo\\Vexlo.exe"
PUBLIC_DESKTOP = "C:\\users\\Public\\Desktop"


def wait_for(condition, timeout=40, interval=0.2):
    """Polls condition until it gives a true value or timeout seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def entries(text):
    return ENTRY_RE.findall(text)


# Wine's own libraries, programs and tables under C:\windows, which it only
# ever reads, are most of a prefix's 700 MB: each test's prefix links them
# to the template's instead of copying them. Everything else (the registry,
# settings, profiles) is a copy of its own.
_READ_ONLY = (".dll", ".exe", ".nls", ".sys", ".drv", ".ocx", ".acm", ".cpl", ".tlb")


def _copy_or_link(source, target):
    if source.lower().endswith(_READ_ONLY) and "%sdrive_c%swindows%s" % ((os.sep,) * 3) in source:
        os.link(source, target)
    else:
        shutil.copy2(source, target)


class WinePrefix:
    def __init__(self, template, path):
        self.template = template
        self.path = path
        self.service_log = path + "-service-stderr.log"
        self.env = dict(os.environ, WINEPREFIX=path, HOME=template + ".home",
                        WINEDEBUG="-all,+eventlog",
                        WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d")
        self.drive_c = os.path.join(path, "drive_c")
        self.client = os.path.join(self.drive_c, "Games", "Vexlo")
        self.service = os.path.join(self.client, "Service")

    def create(self):
        self.remove()
        shutil.copytree(self.template, self.path, symlinks=True, copy_function=_copy_or_link)
        if os.path.exists(self.service_log):
            os.remove(self.service_log)

    def start(self):
        # Kept off the caller's pipes too: a server left behind by a failed
        # test must not hold the test runner's output open.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        # Starts services.exe with this stderr, so that the service's entries
        # land in service_log, and outside any caller's pipes. On a loaded
        # machine Wine's launcher now and then fails this first program of a
        # prefix ("ShellExecuteEx failed: Internal error") before any of the
        # project's code runs: it is asked again.
        with open(self.service_log, "ab") as log:
            for attempt in range(3):
                started = subprocess.run(["wine", "cmd", "/c", "exit", "0"], env=self.env,
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                         timeout=120)
                if started.returncode == 0:
                    return
            started.check_returncode()

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        # Wine finds a prefix's server by the folder's inode: until this one
        # is gone, a new prefix that gets the same inode would reach it.
        subprocess.run(["wineserver", "-w"], env=self.env, stderr=subprocess.DEVNULL,
                       timeout=60)

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)

    def lay_out_client(self, service_exe, client_exe):
        """The client folder with the client and the service one folder below."""
        os.makedirs(self.service, exist_ok=True)
        shutil.copy(service_exe, os.path.join(self.service, "VexloService.exe"))
        shutil.copy(client_exe, os.path.join(self.client, "Vexlo.exe"))

    def run(self, *args, timeout=120):
        return subprocess.run(["wine", *args], env=self.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=timeout)

    def service_entries(self):
        with open(self.service_log, "rb") as f:
            return entries(f.read().decode(errors="replace"))

    def desktop_path(self, name):
        return os.path.join(self.drive_c, "users", "Public", "Desktop", name)


def read_lnk(path):
    """The fields of a shell link file that the service writes."""
    with open(path, "rb") as f:
        d = f.read()
    if d[:4] != b"L\0\0\0":
        raise ValueError("not a shell link: %s" % path)
    flags, = struct.unpack_from("<I", d, 0x14)
    icon_index, show_cmd = struct.unpack_from("<iI", d, 0x38)
    r = {"flags": flags, "icon_index": icon_index, "show_cmd": show_cmd}
    pos = 0x4C
    if flags & 0x01:
        pos += 2 + struct.unpack_from("<H", d, pos)[0]
    if flags & 0x02:
        size, _, link_info_flags, _, base = struct.unpack_from("<5I", d, pos)
        if link_info_flags & 1:
            r["local_base_path"] = d[pos + base:d.index(b"\0", pos + base)].decode("latin-1")
        pos += size
    for bit, key in ((4, "name"), (8, "relative_path"), (0x10, "working_dir"),
                     (0x20, "arguments"), (0x40, "icon_location")):
        if flags & bit:
            n, = struct.unpack_from("<H", d, pos)
            pos += 2
            width = 2 if flags & 0x80 else 1
            raw = d[pos:pos + n * width]
            r[key] = raw.decode("utf-16-le" if width == 2 else "latin-1").rstrip("\0")
            pos += n * width
    return r
