"""Two builds of the shipped exe from the same sources give the same bytes, with the recorded
toolchain.

The sources are copied to two folders at different paths and depths, and each copy is built
from clean with the `windows` preset, under a different time zone, locale and umask, seconds
apart. Anything in the file that depends on when or where it was built (a link time stamp,
resource compiler output, a source or build path) makes the two differ. Each build must have
used the packages of toolchain/packages.txt at their versions: two builds with one other
toolchain would agree with each other and still not be a release's bytes.

Usage: /usr/bin/python3 tests/build/test_reproducible.py [--keep]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import pefile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# What the windows preset reads; the rest of the tree plays no part in the shipped exe.
SOURCES = ["CMakeLists.txt", "CMakePresets.json", "cmake", "src", "res", "bench", "toolchain"]
RECORD = os.path.join(ROOT, "toolchain", "packages.txt")
KEEP = False


def build_copy(source_root, env_changes, umask):
    for name in SOURCES:
        source = os.path.join(ROOT, name)
        target = os.path.join(source_root, name)
        if os.path.isdir(source):
            shutil.copytree(source, target, ignore=shutil.ignore_patterns("__pycache__"))
        else:
            shutil.copy2(source, target)
    env = dict(os.environ)
    env.update(env_changes)
    log = os.path.join(source_root, "build.log")
    old_umask = os.umask(umask)
    try:
        with open(log, "wb") as out:
            for argv in (["cmake", "--preset", "windows"],
                         ["cmake", "--build", "build/windows", "-j2", "--target",
                          "VorlaLogChecker"]):
                if subprocess.call(argv, cwd=source_root, env=env, stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=subprocess.STDOUT) != 0:
                    with open(log, errors="replace") as f:
                        raise AssertionError("%s failed in %s:\n%s" % (" ".join(argv),
                                                                       source_root, f.read()))
    finally:
        os.umask(old_umask)
    with open(os.path.join(source_root, "build", "windows", "VorlaLogChecker.exe"), "rb") as f:
        return f.read()


def packages(path):
    """The package=version lines of a toolchain record."""
    with open(path) as f:
        return [line for line in f.read().splitlines() if line and not line.startswith("#")]


def describe_difference(first, second):
    if len(first) != len(second):
        return "sizes differ: %d and %d bytes" % (len(first), len(second))
    offset = next(i for i in range(len(first)) if first[i] != second[i])
    where = "headers"
    try:
        section = pefile.PE(data=first).get_section_by_offset(offset)
        if section:
            where = "section %s" % section.Name.rstrip(b"\0").decode("ascii", "replace")
    except pefile.PEFormatError:
        pass
    count = sum(1 for a, b in zip(first, second) if a != b)
    return "%d bytes differ, the first at offset %#x (%s)" % (count, offset, where)


class Reproducible(unittest.TestCase):
    def test_two_clean_builds_in_different_places_are_identical(self):
        scratch = tempfile.mkdtemp(prefix="vorla-repro-")
        try:
            first_root = os.path.join(scratch, "a")
            second_root = os.path.join(scratch, "second", "somewhere", "much-deeper-checkout")
            os.makedirs(first_root)
            os.makedirs(second_root)
            first = build_copy(first_root, {"TZ": "UTC", "LC_ALL": "C"}, 0o022)
            second = build_copy(second_root, {"TZ": "Pacific/Kiritimati", "LC_ALL": "C.UTF-8",
                                              "LANG": "C.UTF-8"}, 0o077)
            if first != second:
                self.fail(describe_difference(first, second))
            for root in (first_root, second_root):
                self.assertNotIn(root.encode(), first)
                used = os.path.join(root, "build", "windows", "toolchain.txt")
                self.assertEqual(packages(used), packages(RECORD),
                                 "%s: the build's toolchain is not the recorded one" % used)
        finally:
            if KEEP:
                print("builds kept in", scratch)
            else:
                shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--keep", action="store_true", help="leave the two builds in place")
    args, rest = parser.parse_known_args()
    KEEP = args.keep
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
