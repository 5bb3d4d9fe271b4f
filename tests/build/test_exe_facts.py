"""What the shipped exe must be, read from the file itself.

Usage: python3 tests/build/test_exe_facts.py --exe build/windows/VorlaLogChecker.exe
"""

import argparse
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peimage  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXE = os.path.join(ROOT, "build", "windows", "VorlaLogChecker.exe")

# DLLs that every Windows the program may meet (XP and later) ships, loaded or delayed.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "gdi32.dll", "shell32.dll",
               "ole32.dll", "oleaut32.dll", "msvcrt.dll"}
# The hourly run that finds nothing due must load no more than this; shell32 and ole32 cost
# more than the rest of that run and are needed only by the rare ones.
LOAD_TIME_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}
DELAYED_DLLS = {"shell32.dll", "ole32.dll"}
SIZE_LIMIT = 24 * 1024


def dll_names(imports):
    return {i.dll.lower() for i in imports}


class ExeFacts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE, "rb") as f:
            cls.data = f.read()
        cls.pe = peimage.PeImage(cls.data)

    def test_headers(self):
        pe = self.pe
        self.assertEqual(pe.magic, peimage.PE32_MAGIC, "PE32")
        self.assertEqual(pe.machine, peimage.IMAGE_FILE_MACHINE_I386, "i386")
        self.assertEqual(pe.subsystem, 2, "GUI subsystem")
        self.assertEqual((pe.subsystem_version_major, pe.subsystem_version_minor), (5, 1),
                         "subsystem version 5.01")
        self.assertEqual(pe.timestamp, 0, "a link time stamp makes every build differ")

    def test_size(self):
        # The limit is on the program; a signature's certificate table (data directory 4)
        # comes on top of it.
        _, signature_size = self.pe.directory(4)
        self.assertLessEqual(len(self.data) - signature_size, SIZE_LIMIT)

    def test_no_build_paths(self):
        # The tree the exe was built from (wherever that was) must not show in it.
        for marker in (ROOT.encode(), os.path.dirname(EXE).encode(), b"CMakeFiles"):
            self.assertNotIn(marker, self.data)


class Imports(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = peimage.load(EXE)
        cls.imports = cls.pe.imports()
        cls.delayed = cls.pe.delay_imports()

    def test_only_system_dlls(self):
        self.assertLessEqual(dll_names(self.imports) | dll_names(self.delayed), SYSTEM_DLLS)

    def test_no_dll_both_loaded_and_delayed(self):
        self.assertFalse(dll_names(self.imports) & dll_names(self.delayed))

    def test_hourly_run_loads_only_what_it_needs(self):
        self.assertLessEqual(dll_names(self.imports), LOAD_TIME_DLLS)
        self.assertEqual(dll_names(self.delayed), DELAYED_DLLS)

    def test_delay_tables_lead_to_code(self):
        # Until its first call, each delayed slot must hold the address of the stub that loads
        # the DLL; an empty or stray slot is a crash on the first call.
        for entry in self.delayed:
            self.assertEqual(entry.attributes & 1, 1)
            self.assertEqual(len(entry.iat_values), len(entry.functions))
            for function, value in zip(entry.functions, entry.iat_values):
                section = self.pe.section_of(value - self.pe.image_base)
                self.assertIsNotNone(section, "%s slot holds %#x" % (function, value))
                self.assertTrue(section.flags & peimage.SECTION_EXECUTE,
                                "%s slot points into %s" % (function, section.name))


class VersionResource(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        block = peimage.load(EXE).resource(peimage.RT_VERSION, 1)
        if block is None:
            raise AssertionError("no version resource")
        cls.info = peimage.VersionInfo(block)

    def test_versions(self):
        self.assertEqual(self.info.file_version, "1.0.0.0")
        self.assertEqual(self.info.product_version, "1.0.0.0")

    def test_one_string_table_us_english_unicode(self):
        self.assertEqual(list(self.info.string_tables), ["040904B0"])
        strings = self.info.string_tables["040904B0"]
        self.assertEqual(strings.get("FileVersion"), "1.0.0.0")
        self.assertEqual(strings.get("ProductVersion"), "1.0.0.0")
        self.assertEqual(self.info.translations, [(0x0409, 1200)])


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", default=EXE)
    args, rest = parser.parse_known_args()
    EXE = os.path.abspath(args.exe)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
