"""Hostile conditions under Wine: odd data that another product may leave in the shared
check-state key, stamps at the ends of the 32-bit range, and many weekly checks at once.

    python3 tests/wine/test_hostile.py [--exe PATH/VorlaLogChecker.exe] [unittest options]

The odd data comes from tests/data/registry_matrix.tsv, whose header says what each column
means. Wine's registry stores strings wide, as Windows does, so a row's ANSI string data is
stored as the same characters in UTF-16 and Wine's RegQueryValueExA converts them back.
Each row runs with the program's clock set (winehost's set_clock): to the row's own clock, or
for a row that holds for any clock to the host's time of the moment, so every stamp is known to
the second.
"""

import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winehost  # noqa: E402

EXE = None  # set from the command line
PAGE = winehost.OFFERS_PAGE
EIGHT_DAYS = 691200
STAMP_SLACK = winehost.STAMP_SLACK
REG_DWORD = winehost.REG_TYPES["REG_DWORD"]
STRING_TYPES = {"REG_SZ", "REG_EXPAND_SZ", "REG_MULTI_SZ"}

MATRIX = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                      "data", "registry_matrix.tsv")
# Each command with the prefix of its two outcome columns.
COMMANDS = (("/CHK", "chk"), ("/INV", "inv"))

prefix = None


def setUpModule():
    global prefix
    prefix = winehost.WinePrefix()
    unittest.addModuleCleanup(prefix.close)
    prefix.create()
    prefix.install_exe(EXE)
    prefix.install_browser_recorder()


def load_matrix(path):
    """The table's rows as {column: field}, columns named by its first line that is no comment."""
    header, rows = None, []
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if not line or line.startswith("#"):
                continue
            fields = line.split("\t")
            if header is None:
                header = fields
            else:
                rows.append(dict(zip(header, fields)))
    return rows


def row_data(data, clock):
    """The bytes a row's data field stands for: "-", hex, or "clock+N:W" / "clock-N:W"."""
    if data == "-":
        return b""
    number = re.fullmatch(r"clock([+-]\d+):(\d+)", data)
    if number:
        value = (clock + int(number.group(1))) % (1 << 64)
        width = int(number.group(2))
        return value.to_bytes(max(width, 8), "little")[:width]
    return bytes.fromhex(data)


def stored_form(kind, data):
    """What the registry holds for data that RegQueryValueExA hands over as `data`."""
    if kind not in STRING_TYPES:
        return data
    # Every ANSI code page agrees on ASCII; beyond it, what the program reads would depend on
    # the prefix's locale, which nothing here pins down.
    return data.decode("ascii").encode("utf-16-le")


def stamp_of(test, values, start, end):
    """Checks that values hold a fresh stamp: a 4-byte REG_DWORD within the run's window."""
    test.assertIn("LastCheckDate", values)
    kind, data = values["LastCheckDate"]
    test.assertEqual(kind, REG_DWORD, "LastCheckDate type")
    test.assertEqual(len(data), 4, "LastCheckDate size")
    stamp = int.from_bytes(data, "little")
    test.assertTrue(int(start) - STAMP_SLACK <= stamp <= int(end) + STAMP_SLACK,
                    "LastCheckDate %d outside the run [%d, %d]" % (stamp, start, end))
    return stamp


def describe(values):
    """values as reg_read_raw returns them, for a person to read."""
    if values is None:
        return "no key"
    names = {number: name for name, number in winehost.REG_TYPES.items()}
    return ", ".join("%s %s %s" % (name or "(default)", names.get(kind, kind),
                                   int.from_bytes(data, "little") if kind == REG_DWORD
                                   and len(data) == 4 else data.hex() or "-")
                     for name, (kind, data) in sorted(values.items()))


class KeyCase(unittest.TestCase):
    def run_on(self, values, command, clock, page, stamp):
        """Runs command at clock on a key holding exactly values; checks the page and the stamp.

        stamp: True when LastCheckDate must end as a 4-byte REG_DWORD of the clock, False when
        the key must end exactly as it started.
        """
        prefix.clear_pages()
        prefix.reg_replace_key(values)
        # Otherwise a failure below could be the writer's rather than the program's.
        self.assertEqual(prefix.reg_read_raw(), values, "the key as set up")
        prefix.set_clock(clock)
        try:
            code = prefix.run(command)
        finally:
            prefix.set_clock(None)
        self.assertEqual(code, 0, "exit code")
        self.assertEqual(prefix.pages_with_clock(), [(clock, PAGE)] if page else [],
                         "offers page")
        after = prefix.reg_read_raw()
        self.assertIsNotNone(after, "key gone")
        if stamp:
            values = dict(values, LastCheckDate=(REG_DWORD, clock.to_bytes(4, "little")))
        self.assertEqual(after, values, "the key afterwards")


class RegistryMatrix(KeyCase):
    """Each table row through "/CHK" and "/INV" on Wine's registry (one test per row)."""

    rows = load_matrix(MATRIX)

    def check_row(self, row):
        kind = winehost.REG_TYPES.get(row["type"])
        self.assertIsNotNone(kind, "type %r unknown here" % row["type"])
        for command, column in COMMANDS:
            with self.subTest(command=command):
                clock = int(time.time()) if row["clock"] == "any" else int(row["clock"])
                values = {row["value"]: (kind, stored_form(row["type"],
                                                           row_data(row["data"], clock)))}
                if row["value"] == "Installed":
                    values["LastCheckDate"] = (REG_DWORD,
                                               (clock - EIGHT_DAYS).to_bytes(4, "little"))
                self.run_on(values, command, clock, row[column + "_page"] == "1",
                            row[column + "_stamp"] == "1")


def _add_row_tests():
    for number, row in enumerate(RegistryMatrix.rows, 1):
        name = "test_%02d_%s" % (number, re.sub(r"\W", "_", row.get("case", "")))
        test = (lambda row: lambda self: self.check_row(row))(row)
        test.__doc__ = "%(case)s: %(value)s %(type)s %(data)s" % row
        setattr(RegistryMatrix, name, test)


_add_row_tests()


class StampExtremes(KeyCase):
    """Stamps at the ends of the signed and unsigned 32-bit ranges, on either side of 2038.

    A stamp read as signed would put the upper half in 1901-1969: long past, so due.
    """

    BEFORE_2038 = 1800000000          # 2027-01-15
    AFTER_2038 = 0x80000000 + 3600    # 2038-01-19 04:14:08 UTC, past the signed range
    # (clock, stamp, page, stamp rewritten) for "/CHK".
    CHECKS = [
        (BEFORE_2038, 0, True, True),
        (BEFORE_2038, 0x7FFFFFFF, False, True),
        (BEFORE_2038, 0x80000000, False, True),
        (BEFORE_2038, 0xFFFFFFFF, False, True),
        (AFTER_2038, 0, True, True),
        (AFTER_2038, 0x7FFFFFFF, False, False),
        (AFTER_2038, 0x80000000, False, False),
        (AFTER_2038, 0xFFFFFFFF, False, True),
    ]

    def test_weekly_check(self):
        for clock, stamp, page, rewritten in self.CHECKS:
            with self.subTest(clock=clock, stamp=hex(stamp)):
                values = {"LastCheckDate": (REG_DWORD, stamp.to_bytes(4, "little"))}
                self.run_on(values, "/CHK", clock, page, rewritten)

    def test_offers_now_stamps_past_the_signed_range(self):
        for stamp in (0, 0x7FFFFFFF, 0xFFFFFFFF):
            with self.subTest(stamp=hex(stamp)):
                values = {"LastCheckDate": (REG_DWORD, stamp.to_bytes(4, "little"))}
                self.run_on(values, "/INV", self.AFTER_2038, True, True)


class ConcurrentChecks(unittest.TestCase):
    """Many "/CHK" at once on a due state, each a wine process of its own (see run_parallel).

    Nothing serialises the runs, so more than one may show the page; how many did is printed.
    Whatever the interleaving, every run must succeed and the key must end with one stamp
    that the next weekly check takes as recent.
    """

    COPIES = 16

    def run_together(self, label):
        prefix.clear_pages()
        start = time.time()
        codes, together = prefix.run_parallel(["/CHK"], self.COPIES)
        end = time.time()
        pages = prefix.pages()
        after = prefix.reg_read_raw()
        sys.stderr.write("\n%d concurrent /CHK (%s): %d running at once, %d pages opened, "
                         "key after: %s\n" % (self.COPIES, label, together, len(pages),
                                              describe(after)))
        self.assertEqual(codes, [0] * self.COPIES, "exit codes")
        self.assertGreaterEqual(len(pages), 1, "the check was due")
        self.assertLessEqual(len(pages), self.COPIES)
        self.assertEqual(set(pages), {PAGE})
        self.assertIsNotNone(after, "key missing")
        self.assertEqual(set(after), {"LastCheckDate"})
        stamp_of(self, after, start, end)
        # The program itself must read the stamp the race left as a recent one. (reg export,
        # behind reg_read_raw, shows any REG_DWORD as four bytes, whatever its size.)
        prefix.clear_pages()
        self.assertEqual(prefix.run("/CHK"), 0)
        self.assertEqual(prefix.pages(), [], "a page right after the stamp")
        self.assertEqual(prefix.reg_read_raw(), after)

    def test_key_missing(self):
        prefix.reg_delete_key(winehost.VENDOR_KEY_32)
        self.run_together("key missing")

    def test_stamp_eight_days_old(self):
        old = int(time.time()) - EIGHT_DAYS
        prefix.reg_replace_key({"LastCheckDate": (REG_DWORD, old.to_bytes(4, "little"))})
        self.run_together("stamp eight days old")


if __name__ == "__main__":
    EXE, argv = winehost.parse_test_args()
    unittest.main(argv=argv)
