"""What the shipped exe must be, read from the file itself.

Usage: /usr/bin/python3 tests/build/test_exe_facts.py --exe build/windows/VorlaLogChecker.exe
"""

import argparse
import os
import re
import subprocess
import sys
import unittest

import pefile

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
STATUS_STACK_BUFFER_OVERRUN = 0xC0000409


def directory(pe, name):
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]]


def dll_names(entries):
    return {e.dll.decode().lower() for e in entries}


def load():
    return pefile.PE(EXE)


class ExeFacts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = load()

    def test_headers(self):
        pe = self.pe
        self.assertEqual(pe.PE_TYPE, pefile.OPTIONAL_HEADER_MAGIC_PE, "PE32")
        self.assertEqual(pe.FILE_HEADER.Machine, pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"])
        self.assertEqual(pe.OPTIONAL_HEADER.Subsystem,
                         pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"])
        self.assertEqual((pe.OPTIONAL_HEADER.MajorSubsystemVersion,
                          pe.OPTIONAL_HEADER.MinorSubsystemVersion), (5, 1),
                         "subsystem version 5.01")
        self.assertEqual(pe.FILE_HEADER.TimeDateStamp, 0,
                         "a link time stamp makes every build differ")

    def test_size(self):
        # The limit is on the program; a signature's certificate table comes on top of it.
        signature = directory(self.pe, "IMAGE_DIRECTORY_ENTRY_SECURITY").Size
        self.assertLessEqual(len(self.pe.__data__) - signature, SIZE_LIMIT)

    def test_no_build_paths(self):
        # The tree the exe was built from (wherever that was) must not show in it.
        for marker in (ROOT.encode(), os.path.dirname(EXE).encode(), b"CMakeFiles"):
            self.assertNotIn(marker, self.pe.__data__)


class Imports(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = load()
        cls.imports = getattr(cls.pe, "DIRECTORY_ENTRY_IMPORT", [])
        cls.delayed = getattr(cls.pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])

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
            self.assertEqual(entry.struct.grAttrs & 1, 1, "addresses as RVAs")
            for function in entry.imports:
                value = function.struct_iat.AddressOfData
                section = self.pe.get_section_by_rva(value - self.pe.OPTIONAL_HEADER.ImageBase)
                self.assertIsNotNone(section, "%s slot holds %#x" % (function.name, value))
                self.assertTrue(section.IMAGE_SCN_MEM_EXECUTE,
                                "%s slot points into %s" % (function.name, section.Name))


class Hardening(unittest.TestCase):
    """What a program that runs as the system account should be, as binary analysers check a
    32-bit PE: ASLR, DEP, SEH, W^X, shared sections, the stack guard. docs/administering.md says
    why the rest can't apply."""

    @classmethod
    def setUpClass(cls):
        cls.pe = load()
        cls.listing = subprocess.run([OBJDUMP, "-d", "--section=.text", EXE], check=True,
                                     capture_output=True, text=True).stdout
        cls.code = [(int(address, 16), text) for address, text in
                    re.findall(r"^ *([0-9a-f]+):\t[0-9a-f ]+\t(.+)$", cls.listing, re.M)]
        assert any(text == "ret" for _, text in cls.code), "no code disassembled"

    def until(self, start, *mnemonics):
        """The instructions from start up to the first with one of these mnemonics, and that
        one (None if there is none)."""
        texts = [text for address, text in self.code if address >= start]
        ends = [i for i, text in enumerate(texts) if text.split()[0] in mnemonics]
        return (texts[:ends[0]], texts[ends[0]]) if ends else (texts, None)

    def calls_through_import(self, function):
        """A call of the imported function, as objdump writes it, or None if none is imported."""
        return next(("call   *0x%x" % i.address for e in self.pe.DIRECTORY_ENTRY_IMPORT
                     for i in e.imports if i.name == function), None)

    def test_aslr_with_relocations(self):
        self.assertTrue(self.pe.OPTIONAL_HEADER.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE)
        self.assertFalse(self.pe.FILE_HEADER.IMAGE_FILE_RELOCS_STRIPPED)
        relocations = directory(self.pe, "IMAGE_DIRECTORY_ENTRY_BASERELOC")
        self.assertGreater(relocations.Size, 0, "a relocatable image needs its relocations")
        self.assertIsNotNone(self.pe.get_section_by_rva(relocations.VirtualAddress))

    def test_dep(self):
        self.assertTrue(self.pe.OPTIONAL_HEADER.IMAGE_DLLCHARACTERISTICS_NX_COMPAT)

    def test_no_seh_and_no_handler_registered(self):
        # NO_SEH tells the loader to dispatch no exception to a handler in this image: true only
        # while no code of ours links a frame into the chain at fs:[0].
        self.assertTrue(self.pe.OPTIONAL_HEADER.IMAGE_DLLCHARACTERISTICS_NO_SEH)
        self.assertNotIn("%fs:", self.listing)

    def stack_guard(self):
        """The guard's address as objdump writes it. It is found by the value it holds until the
        start-up seeds it."""
        places = [self.pe.OPTIONAL_HEADER.ImageBase + s.VirtualAddress + i
                  for s in self.pe.sections if s.IMAGE_SCN_MEM_WRITE
                  for i in [s.get_data().find(STACK_GUARD_UNSEEDED)] if i >= 0]
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
        entry = self.pe.OPTIONAL_HEADER.ImageBase + self.pe.OPTIONAL_HEADER.AddressOfEntryPoint
        _, first_call = self.until(entry, "call")
        target = re.fullmatch(r"call +0x([0-9a-f]+)", first_call or "")
        self.assertIsNotNone(target, "the entry point's first call is %r" % first_call)
        callee, _ = self.until(int(target.group(1), 16), "ret")
        self.assertTrue(any(write.search(text) for text in callee),
                        "the entry point's first call (%s) does not seed the guard" % first_call)

    def test_overrun_ends_the_process_as_windows_does(self):
        # A failed check calls the guard's failure path, which must end the process at once with
        # the status Windows gives an overrun, through TerminateProcess: an exit code of 0, or
        # ExitProcess (which runs DLLs' detach code on an overwritten stack), would hide it.
        check = re.compile(r"sub +%s,%%e" % self.stack_guard())
        failure_paths = set()
        for address, text in self.code:
            if check.match(text):
                _, call = self.until(address + 1, "call")
                failure_paths.add(call)
        self.assertEqual(len(failure_paths), 1, "every check calls one failure path")
        target = re.fullmatch(r"call +0x([0-9a-f]+)", failure_paths.pop() or "")
        self.assertIsNotNone(target, "the failure path is called directly")
        path, end = self.until(int(target.group(1), 16), "ret", "jmp")
        terminate = self.calls_through_import(b"TerminateProcess")
        self.assertIn(terminate, path, "the failure path calls TerminateProcess")
        status = [i for i, text in enumerate(path)
                  if re.search(r"\$0x%x\b" % STATUS_STACK_BUFFER_OVERRUN, text)]
        self.assertTrue(status and status[-1] < path.index(terminate),
                        "TerminateProcess gets STATUS_STACK_BUFFER_OVERRUN")
        self.assertNotIn(self.calls_through_import(b"ExitProcess"), path)
        self.assertNotEqual(end, "ret", "the failure path returns")

    def test_no_section_writable_and_executable_or_shared(self):
        for section in self.pe.sections:
            writable = section.IMAGE_SCN_MEM_WRITE
            self.assertFalse(writable and section.IMAGE_SCN_MEM_EXECUTE, section.Name)
            self.assertFalse(writable and section.IMAGE_SCN_MEM_SHARED, section.Name)

    def test_imports_not_executable(self):
        for name in ("IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_IAT"):
            entry = directory(self.pe, name)
            if entry.Size:
                section = self.pe.get_section_by_rva(entry.VirtualAddress)
                self.assertFalse(section.IMAGE_SCN_MEM_EXECUTE, section.Name)


class VersionResource(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        pe = load()
        if not getattr(pe, "VS_FIXEDFILEINFO", None):
            raise AssertionError("no version resource")
        cls.fixed = pe.VS_FIXEDFILEINFO[0]
        cls.info = {i.Key: i for i in pe.FileInfo[0]}

    def test_versions(self):
        for most, least in ((self.fixed.FileVersionMS, self.fixed.FileVersionLS),
                            (self.fixed.ProductVersionMS, self.fixed.ProductVersionLS)):
            self.assertEqual((most, least), (0x00010000, 0), "1.0.0.0")

    def test_one_string_table_us_english_unicode(self):
        tables = self.info[b"StringFileInfo"].StringTable
        self.assertEqual([t.LangID for t in tables], [b"040904B0"])
        self.assertEqual(tables[0].entries.get(b"FileVersion"), b"1.0.0.0")
        self.assertEqual(tables[0].entries.get(b"ProductVersion"), b"1.0.0.0")
        translations = self.info[b"VarFileInfo"].Var
        self.assertEqual([(v.ValueLength, v.entry) for v in translations],
                         [(4, {b"Translation": "0x0409 0x04b0"})], "one pair: 0x0409, 1200")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", default=EXE)
    args, rest = parser.parse_known_args()
    EXE = os.path.abspath(args.exe)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
