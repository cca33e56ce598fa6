#!/usr/bin/env python3
"""Runs the benchmarks under Wine and writes build/bench/results.md.

Usage: run_bench.py --build BUILD_DIR --out OUT_DIR [--quick]

--quick uses tiny counts and short windows: it only shows that every
benchmark still runs. Figures come from a full run.
"""
import argparse
import os
import platform
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import version_server  # noqa: E402
from vexlo_wine import SERVICE_EXE, WinePrefix, wait_for  # noqa: E402

DOCUMENT = b"<?xml version=\"1.0\"?><version><number>1.0.0</number></version>"


TOP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def sign(document, key, scratch):
    unsigned = os.path.join(scratch, "unsigned.xml")
    signed = os.path.join(scratch, "signed.xml")
    with open(unsigned, "wb") as f:
        f.write(document)
    subprocess.run([sys.executable, os.path.join(TOP, "scripts", "sign-document"), "--key", key,
                    unsigned, signed], check=True)
    with open(signed, "rb") as f:
        return f.read()


def parse(output):
    values = {}
    for line in output.decode(errors="replace").splitlines():
        parts = line.split()
        if len(parts) == 2:
            try:
                values[parts[0]] = float(parts[1])
            except ValueError:
                pass
    return values


def run_bench(prefix, exe, *args, timeout=3600):
    result = prefix.run(exe, *args, timeout=timeout)
    if result.returncode != 0:
        raise RuntimeError("vexlo_bench %s failed: %s" % (" ".join(args), result.stderr.decode(
            errors="replace")[-2000:]))
    return parse(result.stdout)


def unix_pid_of(name):
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                if name.encode() in f.read():
                    return int(pid)
        except OSError:
            pass
    return None


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    return ticks / os.sysconf("SC_CLK_TCK")


def size_budget(build):
    """The package's size budget for the exe, as the build tree was configured."""
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("VEXLO_EXE_SIZE_BUDGET:"):
                return int(line.split("=", 1)[1])
    raise RuntimeError("no VEXLO_EXE_SIZE_BUDGET in the build tree")


def machine():
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    wine = subprocess.run(["wine", "--version"], capture_output=True).stdout.decode().strip()
    return "%s, %d cores, %s, %s" % (model, os.cpu_count(), platform.platform(), wine)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    out = os.path.abspath(args.out)
    bin_dir = os.path.join(os.path.abspath(args.build), "bin")
    os.makedirs(out, exist_ok=True)
    counts = dict(checks=20, pairs=1, memory=200, idle=5, stops=3, refused=5, refused_runs=2,
                  hung_stops=2, endless=3, endless_idle=3) \
        if args.quick else dict(checks=200, pairs=6, memory=10000, idle=60, stops=20, refused=100,
                                refused_runs=5, hung_stops=10, endless=20, endless_idle=30)

    prefix = WinePrefix(os.environ["VEXLO_WINE_TEMPLATE"], os.path.join(out, "pfx"))
    server_dir = os.path.join(out, "server")
    prefix.create()
    prefix.start()
    try:
        if version_server.start(server_dir) != 0:
            raise RuntimeError("the version server did not start")
        with open(os.path.join(server_dir, "port")) as f:
            url = "http://127.0.0.1:%s/doc/desktop.xml" % f.read()
        with open(os.path.join(server_dir, "docs", "desktop.xml"), "wb") as f:
            f.write(DOCUMENT)
        bench = os.path.join(bin_dir, "vexlo_bench.exe")

        # The same document signed, checked by the build with a key.
        signed_document = sign(DOCUMENT, os.path.join(TOP, "tests", "keys", "first.pem"), out)
        with open(os.path.join(server_dir, "docs", "signed.xml"), "wb") as f:
            f.write(signed_document)
        keyed = os.path.join(bin_dir, "vexlo_bench_keyed.exe")
        signed_url = url.replace("desktop.xml", "signed.xml")
        # Side by side, in turns: two processes differ by more than a check's
        # work costs (README), so one pair alone says little.
        steady_pairs = []
        for run in range(counts["pairs"]):
            print("steady-state check cost, pair %d: 2 x %d checks ..." % (run + 1, counts["checks"]),
                  flush=True)
            # Each build goes first in every other pair, so that drift of the
            # machine falls on both alike.
            runs = [(bench, url), (keyed, signed_url)]
            if run % 2:
                runs.reverse()
            results = {exe: run_bench(prefix, exe, "check", address, str(counts["checks"]))
                       for exe, address in runs}
            steady_pairs.append((results[bench], results[keyed]))
        check, signed = steady_pairs[0]
        steady_ratios = [pair[1]["check.median"] / pair[0]["check.median"] for pair in steady_pairs]
        steady_p10 = [pair[1]["check.p10"] / pair[0]["check.p10"] for pair in steady_pairs]
        # A document the PC does not hold yet: every step of the judgement.
        print("new document check cost: 2 x %d checks ..." % counts["checks"], flush=True)
        check_new = run_bench(prefix, bench, "check-new", url, str(counts["checks"]))
        signed_new = run_bench(prefix, keyed, "check-new", signed_url, str(counts["checks"]))
        print("memory: %d checks and %d shortcut writes ..." % (counts["memory"], counts["memory"]),
              flush=True)
        memory = run_bench(prefix, bench, "memory", url, str(counts["memory"]))
        refused_runs = []
        for run in range(counts["refused_runs"]):
            print("refused port, run %d: %d checks ..." % (run + 1, counts["refused"]), flush=True)
            refused_runs.append(run_bench(prefix, bench, "refused",
                                          "http://127.0.0.1:1/desktop.xml",
                                          str(counts["refused"])))
        refused = refused_runs[0]
        print("endless body: %d checks, then %d s idle ..."
              % (counts["endless"], counts["endless_idle"]), flush=True)
        endless = run_bench(prefix, bench, "endless", url.replace("/doc/desktop.xml", "/endless"),
                            str(counts["endless"]), str(counts["endless_idle"]))

        prefix.lay_out_client(os.path.join(bin_dir, "VexloService.exe"),
                              os.path.join(bin_dir, "vexlo_client_stub.exe"))
        with open(os.path.join(prefix.service, "version.xml"), "wb") as f:
            f.write(DOCUMENT)
        with open(os.path.join(prefix.service, "config.xml"), "w") as f:
            f.write("<c><check>3600</check><marker>10</marker><url>%s</url></c>" % url)
        prefix.run(SERVICE_EXE, "-install")
        pid = wait_for(lambda: unix_pid_of("VexloService.exe"), 30)
        if not pid:
            raise RuntimeError("the service process did not appear")
        # Past the first check (pass five) and the first marker polls.
        time.sleep(8)
        print("idle cost: %d s of the running service ..." % counts["idle"], flush=True)
        cpu_before, wall_before = cpu_seconds(pid), time.monotonic()
        time.sleep(counts["idle"])
        cpu_used = cpu_seconds(pid) - cpu_before
        wall = time.monotonic() - wall_before

        print("stop latency: %d stops ..." % counts["stops"], flush=True)
        stop = run_bench(prefix, bench, "stop", str(counts["stops"]))
        # A server that never answers, and a check on every pass from the fifth
        # (about 4 s after start): each stop lands inside a download.
        with open(os.path.join(prefix.service, "config.xml"), "w") as f:
            f.write("<c><check>0</check><marker>10</marker><url>%s</url></c>"
                    % url.replace("/doc/desktop.xml", "/hang"))
        print("stop during a silent download: %d stops ..." % counts["hung_stops"], flush=True)
        hung_stop = run_bench(prefix, bench, "stop", str(counts["hung_stops"]), "5500")
        prefix.run(SERVICE_EXE, "-uninstall")
    finally:
        version_server.stop(server_dir)
        prefix.stop()
        prefix.remove()

    kib = 1024.0
    exe_size = os.path.getsize(os.path.join(bin_dir, "VexloService.exe"))
    rows = [
        ("size of VexloService.exe (budget %d bytes)" % size_budget(args.build),
         "%d bytes" % exe_size, "static, stripped, unsigned"),
        ("one check (download + compare), median", "%.2f ms" % check["check.median"],
         "p10 %.2f / p90 %.2f ms" % (check["check.p10"], check["check.p90"])),
        ("size of the exe built with two keys", "%d bytes" % os.path.getsize(
            os.path.join(bin_dir, "VexloServiceKeyed.exe")), "the same budget"),
        ("steady-state check of a signed document, keyed build, median",
         "%.2f ms" % signed["check.median"],
         "p10 %.2f / p90 %.2f ms" % (signed["check.p10"], signed["check.p90"])),
        ("steady-state signed check / unsigned check with the keyless build (goal <= 1.05)",
         "%.2f" % statistics.median(steady_ratios),
         "median of %d pairs side by side: %s; of their p10s %.2f" % (
             len(steady_ratios), " / ".join("%.2f" % r for r in steady_ratios),
             statistics.median(steady_p10))),
        ("check of a new signed document / new unsigned document (goal <= 1.1)",
         "%.2f" % (signed_new["check.median"] / check_new["check.median"]),
         "medians, same run: %.2f / %.2f ms" % (signed_new["check.median"],
                                                check_new["check.median"])),
        ("bare WinHTTP GET (own session), median", "%.2f ms" % check["winhttp.median"],
         "p10 %.2f / p90 %.2f ms" % (check["winhttp.p10"], check["winhttp.p90"])),
        ("bare XMLHTTP GET, object reused, median", "%.2f ms" % check["xmlhttp_reused.median"],
         "p10 %.2f / p90 %.2f ms" % (check["xmlhttp_reused.p10"], check["xmlhttp_reused.p90"])),
        ("check / bare WinHTTP (goal <= 1.2)",
         "%.2f" % (check["check.median"] / check["winhttp.median"]), "medians"),
        ("check / reused XMLHTTP (the earlier request object)",
         "%.2f" % (check["check.median"] / check["xmlhttp_reused.median"]), "medians"),
        ("check against a refused port, median of %d" % counts["refused"],
         "%.2f ms" % refused["refused_check.median"], "max %.2f ms" % refused["refused_check.max"]),
        ("bare WinHTTP failure on that port, median",
         "%.2f ms" % refused["refused_bare.median"], "max %.2f ms" % refused["refused_bare.max"]),
        ("the service's request on the calling thread, same port, median",
         "%.2f ms" % refused["refused_direct.median"],
         "the rest of a check is the hand-over to the request thread"),
        ("refused check / bare failure, each of %d runs (goal <= 1.5)" % len(refused_runs),
         " / ".join("%.2f" % (r["refused_check.median"] / r["refused_bare.median"])
                    for r in refused_runs), "medians of each run"),
        ("private memory growth over %d endless bodies and a trickle given up (goal < 2 MiB)"
         % counts["endless"],
         "%+.0f KiB" % ((endless["memory.during"] - endless["memory.before"]) / kib),
         "%.0f KiB before" % (endless["memory.before"] / kib)),
        ("the same, %d s later" % counts["endless_idle"],
         "%+.0f KiB" % ((endless["memory.after"] - endless["memory.before"]) / kib),
         "CPU in those %d s: %.3f s (goal 0)" % (counts["endless_idle"], endless["idle.cpu"])),
        ("private memory growth, checks 100 -> %d (goal < 64 KiB)" % counts["memory"],
         "%+.0f KiB" % ((memory["checks.atend"] - memory["checks.at100"]) / kib),
         "%.0f KiB at 100" % (memory["checks.at100"] / kib)),
        ("private memory growth, shortcut writes 100 -> %d (goal < 64 KiB)" % counts["memory"],
         "%+.0f KiB" % ((memory["links.atend"] - memory["links.at100"]) / kib),
         "%.0f KiB at 100" % (memory["links.at100"] / kib)),
        ("idle CPU of the running service (goal well under 0.1%)",
         "%.4f %%" % (100.0 * cpu_used / wall), "%.2f s CPU over %.0f s" % (cpu_used, wall)),
        ("stop latency, median of %d (goal <= 1.1 s)" % counts["stops"],
         "%.3f s" % (stop["stop.median"] / 1000), "max %.3f s" % (stop["stop.max"] / 1000)),
        ("stop during a silent download, median of %d (goal <= 1.1 s)" % counts["hung_stops"],
         "%.3f s" % (hung_stop["stop.median"] / 1000),
         "max %.3f s" % (hung_stop["stop.max"] / 1000)),
    ]
    lines = ["| measurement | value | detail |", "|---|---|---|"]
    lines += ["| %s | %s | %s |" % row for row in rows]
    table = "\n".join(lines)
    header = "Measured %s%s on %s.\n\n" % (time.strftime("%Y-%m-%d"),
                                           " (quick run: counts too small for figures)"
                                           if args.quick else "", machine())
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write(header + table + "\n")
    print()
    print(header + table)
    return 0


if __name__ == "__main__":
    sys.exit(main())
