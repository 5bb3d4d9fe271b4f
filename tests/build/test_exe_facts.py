"""What the shipped exe must be, read from the file itself.

Usage: python3 tests/build/test_exe_facts.py --exe build/windows/VorlaLogChecker.exe
"""

import argparse
import os
import re
import subprocess
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
OBJDUMP = "i686-w64-mingw32-objdump"
STACK_GUARD_UNSEEDED = (0xBB40E64E).to_bytes(4, "little")


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
        # The limit is on the program; a signature's certificate table comes on top of it.
        _, signature_size = self.pe.directory(peimage.DIRECTORY_SECURITY)
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


class Hardening(unittest.TestCase):
    """What a program that runs as the system account should be, as binary analysers check a
    32-bit PE: ASLR, DEP, SEH, W^X, shared sections. The README says why the rest can't apply."""

    @classmethod
    def setUpClass(cls):
        cls.pe = peimage.load(EXE)
        cls.listing = subprocess.run([OBJDUMP, "-d", "--section=.text", EXE], check=True,
                                     capture_output=True, text=True).stdout
        assert "ret" in cls.listing, "no code disassembled"

    def test_aslr_with_relocations(self):
        self.assertTrue(self.pe.dll_characteristics & peimage.DLLCHARACTERISTICS_DYNAMIC_BASE)
        self.assertFalse(self.pe.characteristics & peimage.FILE_RELOCS_STRIPPED)
        rva, size = self.pe.directory(peimage.DIRECTORY_BASE_RELOCATION)
        self.assertGreater(size, 0, "a relocatable image needs its relocations")
        self.assertIsNotNone(self.pe.section_of(rva))

    def test_dep(self):
        self.assertTrue(self.pe.dll_characteristics & peimage.DLLCHARACTERISTICS_NX_COMPAT)

    def test_no_seh_and_no_handler_registered(self):
        # NO_SEH tells the loader to dispatch no exception to a handler in this image: true only
        # while no code of ours links a frame into the chain at fs:[0].
        self.assertTrue(self.pe.dll_characteristics & peimage.DLLCHARACTERISTICS_NO_SEH)
        self.assertNotIn("%fs:", self.listing)

    def stack_guard(self):
        """The guard's address as objdump writes it. It is found by the value it holds until the
        start-up seeds it."""
        data = self.pe.data
        places = [self.pe.image_base + s.virtual_address + i - s.raw_offset
                  for s in self.pe.sections if s.flags & peimage.SECTION_WRITE
                  for i in [data.find(STACK_GUARD_UNSEEDED, s.raw_offset,
                                      s.raw_offset + s.raw_size)] if i >= 0]
        self.assertEqual(len(places), 1, "the stack guard")
        return "0x%x" % places[0]

    def test_stack_buffers_are_guarded(self):
        # Every guarded function compares against the guard on return; only the seeding writes it.
        address = self.stack_guard()
        checks = re.findall(r"\tsub +%s,%%e" % address, self.listing)
        writes = re.findall(r",%s$" % address, self.listing, re.M)
        self.assertGreaterEqual(len(checks), 5, "functions with buffers that check the guard")
        self.assertEqual(len(writes), 1, "only the seeding writes the guard")

    def test_start_up_seeds_the_guard_first(self):
        # Unseeded, the guard holds a value that anyone can read in this file, and an overrun
        # that writes it back passes every check. So the seeding must be the entry point's first
        # call, ahead of every function that the guard protects.
        write = re.compile(r",%s$" % self.stack_guard())
        code = [(int(address, 16), text) for address, text in
                re.findall(r"^ *([0-9a-f]+):\t[0-9a-f ]+\t(.+)$", self.listing, re.M)]

        def until(start, mnemonic):
            """The instructions from start up to the first with this mnemonic, and that one."""
            texts = [text for address, text in code if address >= start]
            ends = [i for i, text in enumerate(texts) if text.startswith(mnemonic)]
            return (texts[:ends[0]], texts[ends[0]]) if ends else (texts, None)

        _, first_call = until(self.pe.image_base + self.pe.entry_point, "call")
        target = re.fullmatch(r"call +0x([0-9a-f]+)", first_call or "")
        self.assertIsNotNone(target, "the entry point's first call is %r" % first_call)
        callee, _ = until(int(target.group(1), 16), "ret")
        self.assertTrue(any(write.search(text) for text in callee),
                        "the entry point's first call (%s) does not seed the guard" % first_call)

    def test_no_section_writable_and_executable_or_shared(self):
        for section in self.pe.sections:
            writable = section.flags & peimage.SECTION_WRITE
            self.assertFalse(writable and section.flags & peimage.SECTION_EXECUTE, section.name)
            self.assertFalse(writable and section.flags & peimage.SECTION_SHARED, section.name)

    def test_imports_not_executable(self):
        for index in (peimage.DIRECTORY_IMPORT, peimage.DIRECTORY_IAT):
            rva, size = self.pe.directory(index)
            if size:
                section = self.pe.section_of(rva)
                self.assertFalse(section.flags & peimage.SECTION_EXECUTE, section.name)


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
