#!/usr/bin/env python3
"""What each run of the shipped program costs under Wine, against a program that does nothing.

The program is started every hour on every machine, and nearly every run finds that a week has
not passed: that run must cost no more than starting an empty program. This script builds the
shipped exe and two baselines with the same toolchain and options (cmake/windows.cmake): an
empty program, and one that only reads the registry value the check reads, which is the floor
for that hourly run. In one warm prefix it then times each of the program's paths against the
empty program, pair by pair (A B A B ...), so that both sides of a ratio see the same machine
load, and prints for each path:

  - the median of the per-pair wall-time ratios, with the spread of the middle half,
  - the medians of both sides' wall times, and the path's peak resident memory,
  - the DLLs the path's process loaded beyond those the empty program loads.

Each timed run also checks that the path did its work (page shown, task saved), so a path
that broke cannot pass for a fast one. Timed runs start the program as `wine PROGRAM SWITCH`,
as directly as Wine allows, with no TZ in its environment.

With --against OLD.exe it also times the not-due and due "/CHK" and "/INV" of the program
against another build of it (a copy kept from before a change), pair by pair, so that a
change's cost is read off one ratio instead of two runs' worth of noise.

Usage: python3 bench/startup_cost.py [--pairs N] [--exe PATH] [--against OLD.exe] [--no-build]
       (--exe times another build of the program, e.g. one from an earlier commit, against
       the baselines built from the tree)
"""

import argparse
import datetime
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import winehost  # noqa: E402

BUILD_DIR = os.path.join(ROOT, "build", "windows")
SHIPPED = os.path.join(BUILD_DIR, "VorlaLogChecker.exe")
EMPTY = os.path.join(BUILD_DIR, "EmptyProgram.exe")
REGISTRY = os.path.join(BUILD_DIR, "RegistryProgram.exe")
EMPTY_CRT = os.path.join(BUILD_DIR, "EmptyCrtProgram.exe")

CHECK_TARGET_RATIO = 1.10
SIZE_LIMIT = 24 * 1024
MEMORY_RUNS = 5
TIME = shutil.which("time", path="/usr/bin:/bin")
WINE32_LOADER = "/usr/lib/wine/wine"


def build():
    log = os.path.join(tempfile.gettempdir(), "vorla-bench-build.log")
    with open(log, "wb") as out:
        for argv in (["cmake", "--preset", "windows"],
                     ["cmake", "--build", BUILD_DIR, "--target", "VorlaLogChecker",
                      "EmptyProgram", "RegistryProgram"]):
            if subprocess.call(argv, cwd=ROOT, stdin=subprocess.DEVNULL, stdout=out,
                               stderr=subprocess.STDOUT) != 0:
                sys.exit("build failed: %s (see %s)" % (" ".join(argv), log))
        # mingw's ordinary way to build a GUI program, C runtime start-up included.
        argv = ["i686-w64-mingw32-gcc-win32", "-mwindows", "-Os", "-s", "-o", EMPTY_CRT,
                os.path.join(ROOT, "bench", "EmptyCrtProgram.c")]
        if subprocess.call(argv, cwd=ROOT, stdin=subprocess.DEVNULL, stdout=out,
                           stderr=subprocess.STDOUT) != 0:
            sys.exit("build failed: %s (see %s)" % (" ".join(argv), log))


class Bench:
    def __init__(self, prefix, shipped):
        self.prefix = prefix
        self.folder = prefix.unix_path(winehost.INSTALL_DIR)
        prefix.install_exe(shipped)
        self.programs = {}
        for name, path in (("empty", EMPTY), ("registry", REGISTRY), ("empty-crt", EMPTY_CRT)):
            shutil.copyfile(path, os.path.join(self.folder, os.path.basename(path)))
            self.programs[name] = winehost.INSTALL_DIR + "\\" + os.path.basename(path)
        self.programs["shipped"] = prefix.exe_path
        # As the hourly task sees it: no TZ at all, so local time is the host's.
        self.env = {k: v for k, v in prefix.env.items() if k != "TZ"}
        self.log = os.path.join(prefix.logs, "bench-run.log")

    def run(self, program, switch=None, debug=None):
        """Starts one program and waits for it; returns (seconds, exit code).

        Only the program's own process is timed; whatever it left running (the browser) is
        waited for afterwards, outside the time, so it can't disturb the next run.
        """
        env = dict(self.env)
        if debug:
            env["WINEDEBUG"] = debug
        self.settle()
        with open(self.log, "wb") as out:
            start = time.perf_counter()
            code = subprocess.call(self.argv(program, switch), stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=subprocess.STDOUT, env=env,
                                   cwd=self.prefix.root)
            elapsed = time.perf_counter() - start
        self.prefix.wait_idle()
        return elapsed, code

    def settle(self, quiet_polls=3, interval=0.05, timeout=10):
        """Waits until the prefix's processes have used no CPU for a few polls in a row.

        After a registry edit, or a task file saved or removed, the wineserver and the
        Schedule service keep working for a while; a run timed meanwhile would pay for it.
        """
        deadline = time.monotonic() + timeout
        last, quiet = None, 0
        while quiet < quiet_polls and time.monotonic() < deadline:
            ticks = 0
            for pid, _ in self.prefix.processes():
                try:
                    with open("/proc/%d/stat" % pid, "rb") as f:
                        fields = f.read().rsplit(b")", 1)[1].split()
                    ticks += int(fields[11]) + int(fields[12])  # utime, stime
                except (OSError, IndexError, ValueError):
                    pass  # ended meanwhile
            quiet = quiet + 1 if ticks == last else 0
            last = ticks
            time.sleep(interval)

    def peak_memory(self, program, switch=None):
        """The program's peak resident set in KiB, or None without GNU time.

        Taken in runs of its own: a child of this script starts with the script's resident
        set as its peak, so the program is started from GNU time, a small process.
        """
        if not TIME:
            return None
        report = os.path.join(self.prefix.logs, "bench-time.txt")
        with open(self.log, "wb") as out:
            code = subprocess.call([TIME, "-f", "%M", "-o", report] +
                                   self.argv(program, switch), stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=subprocess.STDOUT, env=self.env,
                                   cwd=self.prefix.root)
        self.prefix.wait_idle()
        if code != 0:
            raise RuntimeError("a run exited with %d" % code)
        with open(report) as f:
            return int(f.read().split()[-1])

    def argv(self, program, switch):
        return ["wine", self.programs[program]] + ([switch] if switch else [])

    def loaded_dlls(self, program, switch=None):
        """Lower-case names of the modules the program's own process loaded, itself excluded."""
        self.run(program, switch, debug="+loaddll,+pid")
        with open(self.log, encoding="utf-8", errors="replace") as f:
            lines = f.read().splitlines()
        loads = []
        for line in lines:
            m = re.match(r'^([0-9a-f]+):[0-9a-f]+:trace:loaddll:\S+ Loaded L"([^"]+)"', line)
            if m:
                loads.append((m.group(1), m.group(2).replace("\\\\", "\\").rsplit("\\", 1)[-1]
                              .lower()))
        exe = self.programs[program].rsplit("\\", 1)[-1].lower()
        pids = {pid for pid, name in loads if name == exe}
        if len(pids) != 1:
            raise RuntimeError("can't tell the program's process in the loaddll trace")
        return {name for pid, name in loads if pid in pids and name != exe}


def percentile(values, fraction):
    ordered = sorted(values)
    position = (len(ordered) - 1) * fraction
    low = int(position)
    high = min(low + 1, len(ordered) - 1)
    return ordered[low] + (ordered[high] - ordered[low]) * (position - low)


def measure_against(bench, pairs, switch, before_each=None, check=None):
    """Times `pairs` pairs of (the other build, this build), both with the switch."""
    rows = []
    for _ in range(pairs):
        pair = []
        for program in ("against", "shipped"):
            if before_each:
                before_each()
            pair.append(bench.run(program, switch))
            if pair[-1][1] != 0:
                raise RuntimeError("a run exited with %d" % pair[-1][1])
            if check:
                check()
        rows.append(tuple(pair))
    return rows


def measure(bench, pairs, program, switch=None, before_pair=None, check=None, baseline="empty"):
    """Times `pairs` pairs of (baseline, program+switch); returns the pairs' figures."""
    rows = []
    for _ in range(pairs):
        if before_pair:
            before_pair()
        a = bench.run(baseline)
        b = bench.run(program, switch)
        if a[1] != 0 or b[1] != 0:
            raise RuntimeError("a run exited with %d / %d" % (a[1], b[1]))
        if check:
            check()
        rows.append((a, b))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--pairs", type=int, default=40, help="pairs per path (default 40)")
    parser.add_argument("--exe", help="time this build of the program instead of the tree's")
    parser.add_argument("--against", metavar="OLD.exe",
                        help="also time the program against this other build of it")
    parser.add_argument("--no-build", action="store_true", help="use build/windows as it is")
    args = parser.parse_args()
    if args.pairs < 1:
        parser.error("--pairs must be positive")

    if not args.no_build:
        build()
    shipped = os.path.abspath(args.exe) if args.exe else SHIPPED
    load_before = os.getloadavg()[0]
    # The machine is shared: ahead of other work, the runs (and the prefix's server and
    # services, started from here) are timed with less of it mixed in. Only root may.
    try:
        os.nice(-10)
    except PermissionError:
        pass

    with winehost.WinePrefix() as prefix:
        bench = Bench(prefix, shipped)
        if args.against:
            shutil.copyfile(args.against, os.path.join(bench.folder, "Against.exe"))
            bench.programs["against"] = winehost.INSTALL_DIR + "\\Against.exe"
        prefix.install_browser_recorder()
        prefix.start_scheduler()
        task_file = prefix.task_file()

        stamped = {}

        def stamp_now():
            stamped["value"] = int(time.time())
            prefix.reg_set_dword("LastCheckDate", stamped["value"])

        def expect_stamp_kept():
            if prefix.reg_read_key().get("LastCheckDate") != stamped["value"]:
                raise RuntimeError("the not-due run changed the stamp")

        def make_due():
            prefix.reg_set_dword("LastCheckDate", 0)

        def expect_no_page():
            if prefix.pages():
                raise RuntimeError("a page was shown on a run that had nothing due")

        def expect_page():
            if len(prefix.pages()) != 1:
                raise RuntimeError("expected one page shown, got %r" % prefix.pages())
            prefix.clear_pages()

        def remove_task():
            if os.path.exists(task_file):
                os.remove(task_file)

        def expect_task():
            if not os.path.exists(task_file):
                raise RuntimeError("the task was not saved")

        # Warm the prefix: the first starts of each program pay for file caches and the like.
        stamp_now()
        for _ in range(3):
            for program in ("empty", "registry", "empty-crt"):
                bench.run(program)
            bench.run("shipped", "/CHK")
        expect_no_page()

        def install_task():
            remove_task()
            bench.run("shipped", "/INS")
            expect_task()

        # label, program, switch, before the path, before each pair, after each pair, after the
        # path
        paths = [
            ("registry-only program (floor)", "registry", None, stamp_now, None, None, None),
            ("/CHK, not due", "shipped", "/CHK", stamp_now, None, expect_no_page,
             expect_stamp_kept),
            ("/CHK, due (page shown)", "shipped", "/CHK", prefix.clear_pages, make_due,
             expect_page, None),
            ("/INV", "shipped", "/INV", prefix.clear_pages, None, expect_page, None),
            ("/INS, fresh store", "shipped", "/INS", None, remove_task, expect_task, None),
            ("/INS, task exists", "shipped", "/INS", install_task, None, expect_task, None),
        ]

        empty_dlls = bench.loaded_dlls("empty")
        empty_memory = median_or_none([bench.peak_memory("empty") for _ in range(MEMORY_RUNS)])
        results = []
        for label, program, switch, setup, before_pair, check, finish in paths:
            print("timing %s ..." % label, file=sys.stderr, flush=True)
            if setup:
                setup()
            rows = measure(bench, args.pairs, program, switch, before_pair, check)
            # Memory and loaded DLLs from runs of their own, each prepared like a timed one.
            memory = []
            for _ in range(MEMORY_RUNS):
                if before_pair:
                    before_pair()
                memory.append(bench.peak_memory(program, switch))
                if check:
                    check()
            if before_pair:
                before_pair()
            dlls = bench.loaded_dlls(program, switch)
            if check:
                check()
            if finish:
                finish()
            results.append((label, rows, median_or_none(memory), dlls))

        # The same not-due run against the empty program built mingw's ordinary way.
        print("timing /CHK, not due, against mingw's usual empty program ...", file=sys.stderr,
              flush=True)
        stamp_now()
        crt_rows = measure(bench, args.pairs, "shipped", "/CHK", None, expect_no_page,
                           baseline="empty-crt")
        expect_stamp_kept()

        against = []
        if args.against:
            for label, switch, setup, before_each, check in (
                    ("/CHK, not due", "/CHK", stamp_now, None, expect_no_page),
                    ("/CHK, due (page shown)", "/CHK", prefix.clear_pages, make_due,
                     expect_page),
                    ("/INV", "/INV", prefix.clear_pages, None, expect_page)):
                print("timing %s against %s ..." % (label, args.against), file=sys.stderr,
                      flush=True)
                setup()
                against.append((label, measure_against(bench, args.pairs, switch, before_each,
                                                       check)))

    load = (load_before, os.getloadavg()[0])
    report(args, shipped, empty_dlls, empty_memory, results, load, crt_rows)
    if against:
        print()
        print("Against %s (%d bytes): this build's time over the other's, pair by pair" % (
            os.path.abspath(args.against), os.path.getsize(args.against)))
        print()
        print("| path | ratio (median) | middle half | other ms | this ms |")
        print("|---|---|---|---|---|")
        for label, rows in against:
            pair_ratios = [b[0] / a[0] for a, b in rows]
            print("| %s | %.2fx | %.2f-%.2f | %.1f | %.1f |" % (
                label, statistics.median(pair_ratios), percentile(pair_ratios, 0.25),
                percentile(pair_ratios, 0.75), 1000 * statistics.median(a[0] for a, _ in rows),
                1000 * statistics.median(b[0] for _, b in rows)))


def i386_mode():
    """How Wine's 32-bit side runs: natively, or under the emulator that binfmt_misc hands
    i386 programs to. Timings under emulation are several times slower, so a table must say."""
    folder = "/proc/sys/fs/binfmt_misc"
    try:
        with open(os.path.join(folder, "status")) as f:
            if f.read().strip() != "enabled":
                return "native"
        with open(WINE32_LOADER, "rb") as f:
            header = f.read(128)
        names = sorted(os.listdir(folder))
    except OSError:
        return "native"
    for name in names:
        fields = {}
        try:
            with open(os.path.join(folder, name)) as f:
                lines = f.read().splitlines()
        except OSError:
            continue
        if not lines or lines[0] != "enabled":
            continue
        for line in lines[1:]:
            key, _, value = line.partition(" ")
            fields[key] = value
        if "magic" not in fields or "interpreter" not in fields:
            continue
        magic = bytes.fromhex(fields["magic"])
        mask = bytes.fromhex(fields.get("mask", "ff" * len(magic)))
        offset = int(fields.get("offset", "0"))
        window = header[offset:offset + len(magic)]
        if len(window) == len(magic) and all(h & m == g & m for h, g, m in zip(window, magic, mask)):
            version = subprocess.run([fields["interpreter"], "--version"], stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                     text=True).stdout.splitlines()
            return "emulated by %s" % (version[0] if version else fields["interpreter"])
    return "native"


def median_or_none(values):
    return None if None in values else statistics.median(values)


def mib(kib):
    return "n/a" if kib is None else "%.1f" % (kib / 1024.0)


def report(args, shipped, empty_dlls, empty_memory, results, load, crt_rows):
    size = os.path.getsize(shipped)
    wine = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, text=True).stdout.strip()
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass

    print("Startup cost under Wine, %s" % datetime.datetime.now(datetime.timezone.utc)
          .strftime("%Y-%m-%d %H:%M UTC"))
    print("Machine: %s, %d cores, Linux %s, %s; %d pairs per path" % (
        cpu, os.cpu_count(), platform.release(), wine, args.pairs))
    print("32-bit code: %s" % i386_mode())
    # Other work on the machine widens the spread; the load says how much there was.
    print("Load average (1 min) at start and end: %.2f, %.2f" % load)
    shown = os.path.relpath(shipped, ROOT)
    print("Program: %s, %d bytes (%.1f KiB)" % (shipped if shown.startswith("..") else shown,
                                                size, size / 1024.0))
    print("Empty program loads: %s" % " ".join(sorted(empty_dlls)))
    print()
    print("| path | ratio to empty (median) | middle half | empty ms | path ms | "
          "peak RSS MiB (empty / path) | DLLs beyond the empty program's |")
    print("|---|---|---|---|---|---|---|")
    ratios = {}
    loads = {}
    for label, rows, memory, dlls in results:
        pair_ratios = [b[0] / a[0] for a, b in rows]
        ratios[label] = statistics.median(pair_ratios)
        loads[label] = dlls
        print("| %s | %.2fx | %.2f-%.2f | %.1f | %.1f | %s / %s | %s |" % (
            label, ratios[label], percentile(pair_ratios, 0.25), percentile(pair_ratios, 0.75),
            1000 * statistics.median(a[0] for a, _ in rows),
            1000 * statistics.median(b[0] for _, b in rows),
            mib(empty_memory), mib(memory),
            " ".join(sorted(dlls - empty_dlls)) or "none"))

    floor = loads["registry-only program (floor)"]
    check = "/CHK, not due"
    print()
    crt_ratios = [b[0] / a[0] for a, b in crt_rows]
    crt_ratio = statistics.median(crt_ratios)
    print("Targets:")
    print("  %-66s %s (%.2fx; reading one registry value alone: %.2fx)" % (
        "not-due /CHK at most %.2fx the empty program built like ours" % CHECK_TARGET_RATIO,
        "met" if ratios[check] <= CHECK_TARGET_RATIO else "MISSED", ratios[check],
        ratios["registry-only program (floor)"]))
    print("  %-66s %s (%.2fx, middle half %.2f-%.2f)" % (
        "not-due /CHK at most %.2fx mingw's ordinary empty GUI program" % CHECK_TARGET_RATIO,
        "met" if crt_ratio <= CHECK_TARGET_RATIO else "MISSED", crt_ratio,
        percentile(crt_ratios, 0.25), percentile(crt_ratios, 0.75)))
    extra = loads[check] - floor
    print("  %-66s %s" % ("not-due /CHK loads nothing beyond empty + advapi32's own",
                          "met" if not extra else "MISSED: " + " ".join(sorted(extra))))
    print("  %-66s %s (%d bytes)" % ("program at most 24 KiB",
                                     "met" if size <= SIZE_LIMIT else "MISSED", size))
    print("  (not-due /CHK against the registry-only floor: %.2fx)" % (
        ratios[check] / ratios["registry-only program (floor)"]))
    print("  (advapi32 brings along: %s)" % (" ".join(sorted(floor - empty_dlls - {"advapi32.dll"}))
                                           or "nothing"))


if __name__ == "__main__":
    main()
