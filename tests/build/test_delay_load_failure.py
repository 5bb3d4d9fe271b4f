"""A delay-loaded DLL or function that is missing ends the run quietly, under Wine.

shell32 and ole32 are loaded on a run's first call into them. Where that fails on some Windows
(the DLL absent or broken, the function not exported), the run must end with exit code 0 and
nothing else: no crash dialog, no half-done work. Copies of the shipped exe are patched so that
the DLL name or the function name in its delay-load table names nothing that exists, and each is
run on the path that makes that first call.

Usage: /usr/bin/python3 tests/build/test_delay_load_failure.py [--exe EXE]
"""

import argparse
import os
import shutil
import sys
import tempfile
import unittest

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import winehost  # noqa: E402

EXE = os.path.join(ROOT, "build", "windows", "VorlaLogChecker.exe")


def patched(data, dll, function=None):
    """A copy of the image with the delayed DLL's name, or one function's name, made unknown.

    Names keep their length, so nothing else in the file moves.
    """
    pe = pefile.PE(data=data)
    entry = next(e for e in pe.DIRECTORY_ENTRY_DELAY_IMPORT if e.dll.decode().lower() == dll)
    if function is None:
        offset, length = pe.get_offset_from_rva(entry.struct.szName), len(entry.dll)
        replacement = b"x" * (length - 4) + b".dll"
    else:
        name = next(i for i in entry.imports if i.name == function.encode())
        offset, length = name.name_offset, len(function)
        replacement = b"X" * length
    result = bytearray(data)
    result[offset:offset + length] = replacement
    return bytes(result)


class DelayLoadFailure(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE, "rb") as f:
            cls.original = f.read()
        cls.scratch = tempfile.mkdtemp(prefix="vorla-delay-")
        cls.prefix = winehost.WinePrefix()
        try:
            cls.prefix.create()
            cls.prefix.install_browser_recorder()
        except BaseException:
            cls.prefix.close()
            shutil.rmtree(cls.scratch, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.prefix.close()
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def setUp(self):
        self.prefix.reg_delete_key(winehost.STATE_KEY_32)
        self.prefix.clear_pages()
        if os.path.exists(self.prefix.task_file()):
            os.remove(self.prefix.task_file())

    def install(self, data):
        path = os.path.join(self.scratch, winehost.EXE_NAME)
        with open(path, "wb") as f:
            f.write(data)
        self.prefix.install_exe(path)

    def assert_ended_quietly(self, switch):
        self.assertEqual(self.prefix.run(switch), 0)
        self.assertEqual(self.prefix.pages(), [])
        # Stopped at the failed call: the stamp that follows the page was not written either.
        self.assertIsNone(self.prefix.reg_read_key())
        self.assertFalse(os.path.exists(self.prefix.task_file()))

    def test_unpatched_exe_shows_the_page(self):
        # The same prefix and recorder see the page when nothing is missing, so an empty
        # record below means the run stopped, not that the recorder is deaf.
        self.install(self.original)
        self.assertEqual(self.prefix.run("/INV"), 0)
        self.assertEqual(len(self.prefix.pages()), 1)

    def test_shell32_missing_on_a_due_check(self):
        self.install(patched(self.original, "shell32.dll"))
        self.assert_ended_quietly("/CHK")

    def test_shell_execute_missing(self):
        self.install(patched(self.original, "shell32.dll", "ShellExecuteA"))
        self.assert_ended_quietly("/INV")

    def test_ole32_missing(self):
        self.install(patched(self.original, "ole32.dll"))
        self.assert_ended_quietly("/INS")

    def test_co_initialize_missing(self):
        self.install(patched(self.original, "ole32.dll", "CoInitialize"))
        self.assert_ended_quietly("/INS")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", default=EXE)
    args, rest = parser.parse_known_args()
    EXE = os.path.abspath(args.exe)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
