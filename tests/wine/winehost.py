"""Throwaway Wine prefixes for running the shipped program against the real Windows API.

Wine's helper processes (wineserver, services, winedevice, ...) outlive the command that started
them and inherit its stdout and stderr. Every Wine command here therefore writes to a log file in
the prefix's scratch folder, never to a pipe: a reader of such a pipe (a test runner capturing
output, `| cat`) would wait for processes that never end. Every command has a timeout.

Time zones: Wine takes the Windows time zone from the Unix `TZ` of each Wine process itself (or
/etc/localtime when unset), not from the wineserver's. Wine also copies `TZ` into the Windows
environment, where msvcrt's localtime reads it in its own format and takes an Olson name such as
"Europe/Berlin" as UTC. So the program runs from a batch file that clears the Windows `TZ` while
the Unix one stays set: the program then sees the prefix's zone exactly as a Windows user would.

Clock: set_clock() makes every later run of the program see one fixed second as the current
time, through an i386 LD_PRELOAD object built from clock/FixedClock.c. It reaches the program's
32-bit process and what that process starts (the browser), never the 64-bit wineserver or the
services, and never the commands this module runs to set up or read back the prefix.
"""

import argparse
import os
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
INSTALL_DIR = r"C:\Program Files (x86)\Vorla Printer Driver"
EXE_NAME = "VorlaLogChecker.exe"
TASK_NAME = "Vorla PrinterDriver Log Checker for KDLX"
OFFERS_PAGE = "http://www.vorla.eu/KDLXsuper19/"
WEEK = 604800
# How far a stamp may lie outside the run's own start and end, in seconds, for runs on the host's
# clock: the host clock and Wine's are the same clock, so this only absorbs rounding.
STAMP_SLACK = 2

CLOCK_SHIM_SOURCE = os.path.join(HERE, "clock", "FixedClock.c")
# The variable the shim reads; Wine starts a child process with its parent's Unix environment, so
# the browser that a run starts sees the run's clock too.
CLOCK_VARIABLE = "VORLA_CLOCK"

# The program is 32-bit: its HKLM\SOFTWARE key lands in the 32-bit view. reg.exe is pointed at
# the Wow6432Node path in the 64-bit view, so the view we look at is never in doubt.
VENDOR_KEY_32 = r"HKLM\SOFTWARE\Wow6432Node\VORLA"
STATE_KEY_32 = VENDOR_KEY_32 + r"\VorlaPrinterAgentForKDLX"
VENDOR_KEY_64 = r"HKLM\SOFTWARE\VORLA"
STATE_KEY_64 = VENDOR_KEY_64 + r"\VorlaPrinterAgentForKDLX"

# Value types by name, as reg.exe and regedit name them.
REG_TYPES = {"REG_NONE": 0, "REG_SZ": 1, "REG_EXPAND_SZ": 2, "REG_BINARY": 3, "REG_DWORD": 4,
             "REG_DWORD_BIG_ENDIAN": 5, "REG_LINK": 6, "REG_MULTI_SZ": 7, "REG_QWORD": 11}
REG_ROOTS = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER",
             "HKCR": "HKEY_CLASSES_ROOT", "HKU": "HKEY_USERS"}

APP_DEFAULTS_KEY = r"HKCU\Software\Wine\AppDefaults" + "\\" + EXE_NAME
BROWSER_KEY = r"HKCU\Software\Wine\WineBrowser"

# Processes that stay up for the prefix's whole life; anything else still running means a run
# has not settled yet (the program itself, winebrowser, the page recorder).
RESIDENT_PROCESSES = {
    "wineserver", "wineserver32", "wineserver64", "services.exe", "winedevice.exe",
    "plugplay.exe", "svchost.exe", "explorer.exe", "rpcss.exe",
}

DEFAULT_TIMEOUT = 60


class WineError(RuntimeError):
    pass


class WinePrefix:
    """One 64-bit prefix in a scratch folder, with a persistent wineserver.

    Use as a context manager, or call create() and close() yourself.
    """

    def __init__(self, zone="Europe/Berlin", root=None):
        self.root = root or tempfile.mkdtemp(prefix="vorla-wine-")
        self.path = os.path.join(self.root, "prefix")
        self.logs = os.path.join(self.root, "logs")
        self.pages_file = os.path.join(self.root, "pages.txt")
        self.zone = zone
        self.exe_path = INSTALL_DIR + "\\" + EXE_NAME
        self.clock = None
        self.clock_shim = os.path.join(self.root, "FixedClock.so")
        os.makedirs(self.path, exist_ok=True)
        os.makedirs(self.logs, exist_ok=True)

        env = {k: v for k, v in os.environ.items()
               if k not in ("TZ", "DISPLAY", "WAYLAND_DISPLAY", "WINEARCH", "WINESERVER",
                            "WINELOADER")}
        env.update({
            "WINEPREFIX": self.path,
            "WINEDEBUG": "-all",
            # No .NET or HTML engine installers, and no menu entries in the user's home.
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "TZ": zone,
        })
        self.env = env

    # -- life cycle ---------------------------------------------------------------------------

    def __enter__(self):
        try:
            self.create()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def create(self):
        """Boots the prefix; returns with a fresh persistent wineserver and no Schedule service."""
        self.start_server()
        self._run(["wineboot", "-i"], timeout=300, log="wineboot.log")
        # The first boot leaves two services.exe behind, and the Schedule service then refuses
        # to start ("service database locked"). A fresh server starts one clean set.
        self.restart_server()

    def close(self):
        try:
            self.stop_server()
        finally:
            shutil.rmtree(self.root, ignore_errors=True)

    def start_server(self):
        # -p: keep the server (and with it the system services) up between our commands;
        # otherwise it ends a few seconds after the last process and takes the services along.
        # (Debian's wrapper passes -p0 first; ours comes later and wins.) The prefix folder
        # must exist already, or this server quits at once and Wine starts a -p0 one itself.
        self._run(["wineserver", "-p"], timeout=30, log="wineserver.log")

    def stop_server(self):
        if os.path.isdir(self.path):
            self._run(["wineserver", "-k"], timeout=30, log="wineserver.log", check=False)
        try:
            self._wait_for(lambda: not self.processes(), 30, "prefix processes to end")
        except WineError:
            # A wine process that was still starting when the server went (seen on a loaded
            # machine) never learns of it: nothing of the prefix's is worth keeping now.
            for pid, _ in self.processes():
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            if os.path.isdir(self.path):
                self._run(["wineserver", "-k"], timeout=30, log="wineserver.log", check=False)
            self._wait_for(lambda: not self.processes(), 30, "prefix processes to end")

    def restart_server(self):
        self.stop_server()
        self.start_server()

    def start_scheduler(self):
        """Starts Wine's Task Scheduler service, which Task Scheduler 1.0 clients need."""
        for _ in range(3):
            if self._run(["wine", "net", "start", "schedule"], log="net.log", check=False) == 0:
                return
            self.restart_server()
        raise WineError("the Schedule service did not start; see " + self._log_path("net.log"))

    # -- the program --------------------------------------------------------------------------

    def install_exe(self, exe, folder=INSTALL_DIR):
        """Copies exe into the Windows folder as the program; returns its Windows path."""
        target = self.unix_path(folder)
        os.makedirs(target, exist_ok=True)
        shutil.copyfile(exe, os.path.join(target, EXE_NAME))
        return folder + "\\" + EXE_NAME

    def run(self, switch):
        """Runs the program with one switch, as the scheduled task would; returns the exit code."""
        return self.run_batch(" " + switch if switch else "")

    def run_batch(self, after_path, timeout=DEFAULT_TIMEOUT, cwd=None, path_first=None,
                  program=None):
        """Runs the quoted program path followed by after_path, blanks kept exactly as given.

        cmd hands a batch file's command line over as written (`wine EXE "/INV "` would keep
        the quotes). cwd: the Windows folder to run it in; path_first: a Windows folder put
        first on PATH; program: another Windows path of an exe to run instead. Returns the
        program's exit code once everything it started has ended.
        """
        if any(c in after_path for c in '%&|<>^"\r\n'):
            raise ValueError("characters that cmd would interpret: %r" % after_path)
        lines = ["@echo off", "set TZ="]
        if cwd:
            lines.append('cd /d "%s"' % cwd)
        if path_first:
            lines.append('set "PATH=%s;%%PATH%%"' % path_first)
        lines += ['"%s"%s' % (program or self.exe_path, after_path),
                  "exit /b %ERRORLEVEL%"]
        with open(self.unix_path(r"C:\vorla-run.bat"), "w", newline="") as f:
            f.write("\r\n".join(lines) + "\r\n")
        code = self._run(["wine", "cmd", "/c", r"C:\vorla-run.bat"], timeout=timeout,
                         log="run.log", check=False, env=self._program_env(self.env))
        self.wait_idle()
        return code

    def run_direct(self, args, timeout=DEFAULT_TIMEOUT, program=None):
        """Runs `wine PROGRAM ARGS` with no TZ at all: local time is then the host's zone.

        program: another Windows path of the exe (any characters; a batch file can hold only
        those of its code page).
        """
        env = self._program_env(self.env)
        del env["TZ"]
        code = self._run(["wine", program or self.exe_path] + list(args), timeout=timeout,
                         log="run.log", check=False, env=env)
        self.wait_idle()
        return code

    def run_parallel(self, args, count, timeout=DEFAULT_TIMEOUT * 3):
        """Starts `count` copies of `wine PROGRAM ARGS` at once (no TZ, as run_direct).

        Each copy is a `wine` process of its own, started straight from here with its output in
        a log file of its own, so each exit code is the program's and nothing serialises the
        starts. (`start /b` from one batch file would start them as quickly but hide the exit
        codes.) Returns (exit codes in start order, how many copies were still running when
        the last had been started), once all have ended and the prefix is idle.
        """
        env = self._program_env(self.env)
        del env["TZ"]
        argv = ["wine", self.exe_path] + list(args)
        procs, logs = [], []
        try:
            for n in range(count):
                logs.append(open(self._log_path("parallel-%d.log" % n), "ab"))
                procs.append(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=logs[-1],
                                              stderr=subprocess.STDOUT, env=env, cwd=self.root,
                                              start_new_session=True))
            together = sum(1 for p in procs if p.poll() is None)
            deadline = time.monotonic() + timeout
            codes = [p.wait(max(0.1, deadline - time.monotonic())) for p in procs]
        except subprocess.TimeoutExpired:
            raise WineError("%d copies of %s did not all finish within %d s"
                            % (count, " ".join(argv), timeout))
        finally:
            for p in procs:
                if p.poll() is None:
                    os.killpg(p.pid, signal.SIGKILL)  # the session started above
                    p.wait()
            for f in logs:
                f.close()
        self.wait_idle(timeout)
        return codes, together

    def set_clock(self, seconds):
        """Every later run of the program sees `seconds` (since 1970-01-01 00:00:00 UTC) as the
        current time, frozen there for the whole run; None gives it the host's clock again."""
        if seconds is not None and not os.path.exists(self.clock_shim):
            build_clock_shim(self.clock_shim)
        self.clock = None if seconds is None else int(seconds)

    def _program_env(self, env):
        env = dict(env)
        if self.clock is not None:
            # The 64-bit Wine processes on the way (the loader, cmd) skip it with one line in
            # the log; only 32-bit ones load it.
            env["LD_PRELOAD"] = self.clock_shim
            env[CLOCK_VARIABLE] = str(self.clock)
        return env

    def set_windows_version(self, version):
        """Makes Wine report `version` (e.g. "winxp") to the program alone; None restores."""
        if version is None:
            self.reg_delete_key(APP_DEFAULTS_KEY)
        else:
            self._reg(["add", APP_DEFAULTS_KEY, "/v", "Version", "/t", "REG_SZ", "/d", version,
                       "/f"])

    def task_file(self):
        return os.path.join(self.path, "drive_c", "windows", "tasks", TASK_NAME + ".job")

    # -- pages the program opened -------------------------------------------------------------

    def install_browser_recorder(self):
        """Makes winebrowser hand web addresses to a script that appends them to pages_file,
        each after the set clock of the run that opened it (empty on the host's clock)."""
        script = os.path.join(self.root, "browser-recorder")
        with open(script, "w") as f:
            f.write("#!/bin/sh\nprintf '%%s\\t%%s\\n' \"$%s\" \"$*\" >> %s\n"
                    % (CLOCK_VARIABLE, shlex.quote(self.pages_file)))
        os.chmod(script, 0o755)
        self._reg(["add", BROWSER_KEY, "/v", "Browsers", "/t", "REG_SZ", "/d", script, "/f"])

    def pages(self):
        """Each address handed to the browser since the last clear_pages(), in order."""
        return [address for _, address in self.pages_with_clock()]

    def pages_with_clock(self):
        """(set clock of the run that opened it or None, address) for each page, in order."""
        try:
            with open(self.pages_file) as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        pages = []
        for line in lines:
            clock, _, address = line.partition("\t")
            pages.append((int(clock) if clock else None, address))
        return pages

    def clear_pages(self):
        if os.path.exists(self.pages_file):
            os.remove(self.pages_file)

    # -- registry -----------------------------------------------------------------------------

    def reg_read_key(self, key=STATE_KEY_32):
        """The key's values as {name: value} (REG_DWORD as int, strings as str), None if absent."""
        code, output = self._reg(["query", key], check=False)
        if code != 0:
            if "Unable to find" in output:
                return None
            raise WineError("reg query %s failed: %s" % (key, output.strip()))
        values = {}
        for line in output.splitlines():
            if not line.startswith("    "):
                continue  # the key's own name, subkeys, blank lines
            parts = line.strip().split("    ")
            name, kind = parts[0], parts[1]
            data = parts[2] if len(parts) > 2 else ""
            values[name] = int(data, 16) if kind == "REG_DWORD" else data
        return values

    def reg_set_dword(self, name, value, key=STATE_KEY_32):
        self._reg(["add", key, "/v", name, "/t", "REG_DWORD", "/d", str(value), "/f"])

    def reg_delete_key(self, key):
        """Deletes key and all below it; a missing key is fine."""
        code, output = self._reg(["delete", key, "/f"], check=False)
        if code != 0 and "Unable to find" not in output:
            raise WineError("reg delete %s failed: %s" % (key, output.strip()))

    def reg_replace_key(self, values, key=STATE_KEY_32):
        """Replaces key, and everything below it, with a key holding exactly `values`.

        values: {name: (type number, data bytes as stored)}; string types are stored as UTF-16LE.
        "reg add" can't give every type every byte string, so this imports a .reg file of raw
        hex(type) data. It is written in UTF-16 with the "Version 5.00" header, as regedit
        writes it: from an ANSI file Wine widens hex(2) and hex(7) data as if it were ANSI text.
        """
        lines = ["Windows Registry Editor Version 5.00", "",
                 "[-%s]" % _reg_file_key(key), "", "[%s]" % _reg_file_key(key)]
        for name, (kind, data) in sorted(values.items()):
            lines.append("%s=hex(%x):%s" % (_reg_file_name(name), kind,
                                             ",".join("%02x" % b for b in data)))
        path = r"C:\vorla-import.reg"
        with open(self.unix_path(path), "wb") as f:
            f.write(("\r\n".join(lines) + "\r\n").encode("utf-16"))
        # /reg:64 as everywhere here: without it Wine 8 imports into the 32-bit view, and the
        # Wow6432Node path in the file then lands in Wow6432Node\Wow6432Node.
        self._reg(["import", path])

    def reg_read_raw(self, key=STATE_KEY_32):
        """The key's values as {name: (type number, data bytes as stored)}, None if absent.

        Read through "reg export", which is exact for the data this program and the tests
        write. It is not for malformed data: a REG_DWORD of any other size than four comes out
        as four bytes, and a string type stored as REG_SZ shows only up to its first NUL.
        """
        path = r"C:\vorla-export.reg"
        target = self.unix_path(path)
        if os.path.exists(target):
            os.remove(target)
        code, output = self._reg(["export", key, path, "/y"], check=False)
        if code != 0:
            if "Unable to find" in output:
                return None
            raise WineError("reg export %s failed: %s" % (key, output.strip()))
        with open(target, "rb") as f:
            return _parse_reg_export(f.read().decode("utf-16"))

    def _reg(self, args, check=True):
        out = self._log_path("reg.out")
        with open(out, "wb") as f:
            code = self._spawn(["wine", "reg"] + args + ["/reg:64"], DEFAULT_TIMEOUT, f, self.env)
        with open(out, encoding="utf-8", errors="replace") as f:
            output = f.read()
        if check and code != 0:
            raise WineError("reg %s failed (%d): %s" % (" ".join(args), code, output.strip()))
        return code, output

    # -- processes ----------------------------------------------------------------------------

    def processes(self):
        """(pid, name) of each live process that belongs to this prefix."""
        marker = b"WINEPREFIX=" + os.fsencode(self.path)
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry, "rb") as f:
                    if f.read().rsplit(b")", 1)[1].split()[0] == b"Z":
                        continue
                with open("/proc/%s/environ" % entry, "rb") as f:
                    if marker not in f.read().split(b"\0"):
                        continue
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    argv0 = f.read().split(b"\0")[0].decode(errors="replace")
            except (OSError, IndexError):
                continue  # gone meanwhile, or not ours to read
            found.append((int(entry), argv0.replace("\\", "/").rsplit("/", 1)[-1].lower()))
        return found

    def wait_idle(self, timeout=30):
        """Waits until only the prefix's resident processes are left.

        ShellExecute hands the page to winebrowser, which starts the recorder and may exit
        before it: each is started before its parent ends, so an empty set seen twice in a row
        means the run has settled, whatever it did.
        """
        quiet = [0]

        def settled():
            busy = [p for p in self.processes() if p[1] not in RESIDENT_PROCESSES]
            quiet[0] = 0 if busy else quiet[0] + 1
            return quiet[0] >= 2

        self._wait_for(settled, timeout, "the run's processes to end")

    # -- plumbing -----------------------------------------------------------------------------

    def unix_path(self, windows_path):
        """Where a C: path, or a \\\\server\\share path shared with share(), lies."""
        if windows_path.startswith("\\\\"):
            parts = [p for p in windows_path.split("\\") if p]
            return os.path.join(self.path, "dosdevices", "unc", *parts)
        drive, rest = windows_path.split(":", 1)
        assert drive.upper() == "C"
        return os.path.join(self.path, "drive_c", *[p for p in rest.split("\\") if p])

    def share(self, server, name):
        """Makes \\\\server\\name a network share of a fresh folder; returns its UNC path.

        Wine resolves UNC paths through dosdevices/unc/SERVER/SHARE.
        """
        folder = os.path.join(self.root, "shares", server, name)
        os.makedirs(folder, exist_ok=True)
        link = os.path.join(self.path, "dosdevices", "unc", server, name)
        os.makedirs(os.path.dirname(link), exist_ok=True)
        if not os.path.islink(link):
            os.symlink(folder, link)
        return "\\\\%s\\%s" % (server, name)

    def _log_path(self, name):
        return os.path.join(self.logs, name)

    def _run(self, argv, timeout=DEFAULT_TIMEOUT, log="wine.log", check=True, env=None):
        with open(self._log_path(log), "ab") as f:
            f.write(("$ %s\n" % " ".join(argv)).encode())
            f.flush()
            code = self._spawn(argv, timeout, f, env or self.env)
        if check and code != 0:
            raise WineError("%s exited with %d; see %s" % (" ".join(argv), code,
                                                           self._log_path(log)))
        return code

    def _spawn(self, argv, timeout, out, env):
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT, env=env, cwd=self.root,
                                start_new_session=True)
        try:
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)  # the session started just above
            proc.wait()
            raise WineError("%s did not finish within %d s" % (" ".join(argv), timeout))

    def _wait_for(self, condition, timeout, what):
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                raise WineError("timed out after %d s waiting for %s (still there: %s)"
                                % (timeout, what, self.processes()))
            time.sleep(0.1)


def build_clock_shim(output):
    """Builds the i386 clock shim; needs only a gcc that knows -m32, no 32-bit C library."""
    subprocess.run(["gcc", "-m32", "-O2", "-fPIC", "-shared", "-nostdlib", "-ffreestanding",
                    "-o", output, CLOCK_SHIM_SOURCE], check=True, stdin=subprocess.DEVNULL)


def _reg_file_key(key):
    root, _, rest = key.partition("\\")
    return REG_ROOTS.get(root.upper(), root) + ("\\" + rest if rest else "")


def _reg_file_name(name):
    if name == "":
        return "@"
    return '"%s"' % name.replace("\\", "\\\\").replace('"', '\\"')


def _parse_reg_export(text):
    """The values in the first section of an exported .reg file (the exported key's own; its
    subkeys follow), as reg_read_raw returns them."""
    lines = text.replace("\r\n", "\n").split("\n")
    values = {}
    i = next(n for n, line in enumerate(lines) if line.startswith("[")) + 1
    while i < len(lines) and not lines[i].startswith("["):
        line = lines[i]
        i += 1
        if not line:
            continue
        if line.startswith("@="):
            name, rest = "", line[2:]
        else:
            name, rest = _parse_reg_string(line)
            assert rest.startswith("="), line
            rest = rest[1:]
        if rest.startswith('"'):
            text_value, tail = _parse_reg_string(rest)
            assert tail == "", line
            values[name] = (REG_TYPES["REG_SZ"], (text_value + "\0").encode("utf-16-le"))
        elif rest.startswith("dword:"):
            values[name] = (REG_TYPES["REG_DWORD"], int(rest[6:], 16).to_bytes(4, "little"))
        else:
            kind = REG_TYPES["REG_BINARY"]
            if rest.startswith("hex("):
                kind_text, _, rest = rest[4:].partition("):")
                kind = int(kind_text, 16)
            else:
                assert rest.startswith("hex:"), line
                rest = rest[4:]
            while rest.endswith("\\"):  # long data goes on over indented lines
                rest = rest[:-1] + lines[i].strip()
                i += 1
            values[name] = (kind, bytes(int(h, 16) for h in rest.split(",") if h))
    return values


def _parse_reg_string(text):
    """A quoted, backslash-escaped .reg string at the start of text; returns (string, rest)."""
    assert text.startswith('"'), text
    escapes = {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "0": "\0"}
    out = []
    i = 1
    while text[i] != '"':
        if text[i] == "\\":
            i += 1
            out.append(escapes[text[i]])
        else:
            out.append(text[i])
        i += 1
    return "".join(out), text[i + 1:]


def parse_test_args(argv=None):
    """The test files' command line: --exe PATH, then unittest's own options.

    Returns (absolute program path, argv for unittest.main).
    """
    argv = list(sys.argv if argv is None else argv)
    repo = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--exe", default=os.path.join(repo, "build", "windows", EXE_NAME))
    args, rest = parser.parse_known_args(argv[1:])
    exe = os.path.abspath(args.exe)
    if not os.path.isfile(exe):
        sys.exit("%s: no program at %s (build the windows preset, or pass --exe)"
                 % (argv[0], exe))
    return exe, argv[:1] + rest
