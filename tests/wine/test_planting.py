""""/INS" saves a task that the system account runs every hour: nothing a standard user can put
near the program may run inside it, and the task must start exactly this file.

- DLLs planted under the names of every DLL that the program's runs load, and of the classic
  planting targets, in the program's folder, the working directory and a folder first on PATH:
  every switch still does its job, and no planted DLL is loaded into the program. A program that
  opens the page without restricting its DLL search, in the same folder, loads one: the plants
  are live.
- The program installed under folder names outside the prefix's ANSI code page: the task names
  the folder exactly, not its best-fitted twin (where a decoy waits) or question marks.
- The program on a network share: no task, and the page still shows.

    python3 tests/wine/test_planting.py [--exe PATH/VorlaLogChecker.exe] [unittest options]
"""

import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import jobfile  # noqa: E402
import winehost  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
EXE = None  # set from the command line
PAGE = winehost.OFFERS_PAGE
MINGW_CC = "i686-w64-mingw32-gcc-win32"

# What the runs of the program load under Wine (WINEDEBUG=+loaddll; bench/startup_cost.py lists
# them per path), and what Windows' shell32, ole32 and the task scheduler load by name later and
# are not KnownDLLs there: the well-known planting targets.
PLANTED_NAMES = sorted({
    "advapi32.dll", "combase.dll", "gdi32.dll", "imm32.dll", "kernelbase.dll", "msvcrt.dll",
    "mstask.dll", "ole32.dll", "oleaut32.dll", "rpcrt4.dll", "sechost.dll", "shcore.dll",
    "shell32.dll", "shlwapi.dll", "taskschd.dll", "ucrtbase.dll", "user32.dll", "uxtheme.dll",
    "version.dll", "win32u.dll", "xmllite.dll",
    "apphelp.dll", "bcrypt.dll", "comctl32.dll", "cryptbase.dll", "cryptsp.dll", "dbghelp.dll",
    "dwmapi.dll", "iertutil.dll", "mpr.dll", "netapi32.dll", "ntmarta.dll", "profapi.dll",
    "propsys.dll", "secur32.dll", "sspicli.dll", "urlmon.dll", "userenv.dll", "winhttp.dll",
    "wininet.dll", "winmm.dll", "wldp.dll", "wtsapi32.dll",
})
WORKING_DIR = r"C:\Users\Public\Downloads"
PATH_DIR = r"C:\Tools"
MARKERS = r"C:\vorla-markers.txt"
CONTROL = winehost.INSTALL_DIR + r"\UnrestrictedProgram.exe"

prefix = None
marker_dll = None
control_exe = None


def build(source, output, *flags):
    subprocess.run([MINGW_CC, "-Os", "-s", "-o", output, os.path.join(HERE, "planting", source)]
                   + list(flags), check=True, stdin=subprocess.DEVNULL)


def setUpModule():
    global prefix, marker_dll, control_exe
    prefix = winehost.WinePrefix()
    unittest.addModuleCleanup(prefix.close)
    marker_dll = os.path.join(prefix.root, "marker.dll")
    control_exe = os.path.join(prefix.root, "control.exe")
    build("MarkerDll.c", marker_dll, "-shared", "-nostdlib", "-e", "_DllMain@12", "-lkernel32",
          "-lgcc")
    build("UnrestrictedProgram.c", control_exe, "-mwindows")
    prefix.create()
    prefix.start_scheduler()
    prefix.install_exe(EXE)
    prefix.install_browser_recorder()


def fired():
    """(process, DLL) Windows paths of every planted DLL loaded since the last clear."""
    path = prefix.unix_path(MARKERS)
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [tuple(line.split("\t")) for line in f.read().splitlines()]


def clear():
    if os.path.exists(prefix.unix_path(MARKERS)):
        os.remove(prefix.unix_path(MARKERS))
    if os.path.exists(prefix.task_file()):
        os.remove(prefix.task_file())
    prefix.reg_delete_key(winehost.VENDOR_KEY_32)
    prefix.clear_pages()


def task_application():
    if not os.path.exists(prefix.task_file()):
        return None
    return jobfile.load(prefix.task_file()).application


class PlantedDlls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        for folder in (winehost.INSTALL_DIR, WORKING_DIR, PATH_DIR):
            target = prefix.unix_path(folder)
            os.makedirs(target, exist_ok=True)
            for name in PLANTED_NAMES:
                shutil.copyfile(marker_dll, os.path.join(target, name))
        shutil.copyfile(control_exe, prefix.unix_path(CONTROL))

    @classmethod
    def tearDownClass(cls):
        for folder in (winehost.INSTALL_DIR, WORKING_DIR, PATH_DIR):
            for name in PLANTED_NAMES:
                os.remove(os.path.join(prefix.unix_path(folder), name))

    def setUp(self):
        clear()

    def run_planted(self, after_path, program=None):
        code = prefix.run_batch(after_path, cwd=WORKING_DIR, path_first=PATH_DIR,
                                program=program)
        self.assertEqual(code, 0, "exit code")

    def inside(self, program):
        return sorted({dll for process, dll in fired() if process.lower() == program.lower()})

    def test_plants_load_into_a_program_that_does_not_restrict_its_search(self):
        self.run_planted("", program=CONTROL)
        self.assertEqual(prefix.pages(), [PAGE])
        self.assertNotEqual(self.inside(CONTROL), [], "no plant fired: the test proves nothing")

    def test_every_switch_does_its_job_and_loads_nothing_planted(self):
        now = int(time.time())

        def page_and_stamp():
            self.assertEqual(prefix.pages(), [PAGE])
            self.assertIn("LastCheckDate", prefix.reg_read_key())

        def no_page():
            self.assertEqual(prefix.pages(), [])

        def task_saved():
            self.assertEqual(task_application(), prefix.exe_path)
            no_page()

        cases = [
            ("/INS", None, task_saved),
            ("/CHK", None, page_and_stamp),               # no stamp yet: due
            ("/CHK", now - 3600, no_page),                 # not due
            ("/CHK", now - winehost.WEEK - 60, page_and_stamp),
            ("/INV", now - 3600, page_and_stamp),
            ("", None, no_page),
        ]
        for switch, stamp, did_its_job in cases:
            with self.subTest(switch=switch, stamp=stamp):
                clear()
                if stamp is not None:
                    prefix.reg_set_dword("LastCheckDate", stamp)
                self.run_planted(" " + switch if switch else "")
                did_its_job()
                self.assertEqual(self.inside(prefix.exe_path), [])


class ExactPath(unittest.TestCase):
    def setUp(self):
        clear()

    def test_task_names_folders_outside_the_code_page_exactly(self):
        # Under code page 1252 "ł" best-fits to "l", and Cyrillic and Chinese to "?".
        code_page = prefix.reg_read_key(r"HKLM\System\CurrentControlSet\Control\Nls\CodePage")
        self.assertEqual(code_page["ACP"], "1252")
        prefix.install_exe(control_exe, r"C:\Vorla Drukarki")  # the decoy at the twin
        for folder in (r"C:\Vorła Drukarki", r"C:\Принтер", r"C:\打印机\驱动程序"):
            with self.subTest(folder=folder):
                clear()
                program = prefix.install_exe(EXE, folder)
                self.assertEqual(prefix.run_direct(["/INS"], program=program), 0)
                self.assertEqual(task_application(), program)
                self.assertEqual(prefix.run_direct(["/INV"], program=program), 0)
                self.assertEqual(prefix.pages(), [PAGE])

    def test_program_on_a_network_share_saves_no_task(self):
        program = prefix.install_exe(EXE, prefix.share("printsrv", "drivers"))
        self.assertEqual(prefix.run_direct(["/INS"], program=program), 0)
        self.assertIsNone(task_application())
        # The weekly check and the page don't depend on where the program lies.
        self.assertEqual(prefix.run_direct(["/CHK"], program=program), 0)
        self.assertEqual(prefix.run_direct(["/INV"], program=program), 0)
        self.assertEqual(prefix.pages(), [PAGE, PAGE])


if __name__ == "__main__":
    EXE, argv = winehost.parse_test_args()
    unittest.main(argv=argv)
