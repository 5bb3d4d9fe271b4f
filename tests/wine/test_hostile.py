"""Hostile conditions under Wine: odd data that another product may leave in the shared
check-state key, stamps at the ends of the 32-bit range, and many weekly checks at once.

    python3 tests/wine/test_hostile.py [--exe PATH/VorlaLogChecker.exe] [unittest options]

The odd data comes from tests/data/registry_matrix.tsv, whose header says what each column
means. Wine's registry stores strings wide, as Windows does, so a row's ANSI string data is
stored as the same characters in UTF-16 and Wine's RegQueryValueExA converts them back.
Wine takes the host's clock, which a test can't set: rows that need a particular clock are
skipped, and the rest run against the clock of the moment.
"""

import os
import re
import sys
import time
import unittest
from datetime import datetime, timezone

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winehost  # noqa: E402

EXE = None  # set from the command line
PAGE = winehost.OFFERS_PAGE
WEEK = winehost.WEEK
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
    def run_on(self, values, command, page, stamp):
        """Runs command on a key holding exactly values; checks the page and the stamp.

        stamp: True when LastCheckDate must end as a fresh stamp, False when the key must end
        exactly as it started.
        """
        prefix.clear_pages()
        prefix.reg_replace_key(values)
        # Otherwise a failure below could be the writer's rather than the program's.
        self.assertEqual(prefix.reg_read_raw(), values, "the key as set up")
        start = time.time()
        code = prefix.run(command)
        end = time.time()
        self.assertEqual(code, 0, "exit code")
        self.assertEqual(prefix.pages(), [PAGE] if page else [], "offers page")
        after = prefix.reg_read_raw()
        self.assertIsNotNone(after, "key gone")
        if stamp:
            stamp_of(self, after, start, end)
            del after["LastCheckDate"]
            values = {k: v for k, v in values.items() if k != "LastCheckDate"}
        self.assertEqual(after, values, "values that must stay as they were")


class RegistryMatrix(KeyCase):
    """Each table row through "/CHK" and "/INV" on Wine's registry (one test per row)."""

    rows = load_matrix(MATRIX)
    ran = 0
    skipped = []

    @classmethod
    def tearDownClass(cls):
        sys.stderr.write("\nregistry matrix under Wine: %d of %d rows ran, %d skipped%s\n"
                         % (cls.ran, len(cls.rows), len(cls.skipped),
                            "".join("\n  skipped %s" % s for s in cls.skipped)))

    def test_00_table_has_rows_for_the_host_clock(self):
        # A table whose rows all need a set clock would leave nothing to run here.
        self.assertTrue(any(row.get("clock") == "any" for row in self.rows),
                        "no row of %s runs against the host clock" % MATRIX)

    def check_row(self, row):
        if row["clock"] != "any":
            when = datetime.fromtimestamp(int(row["clock"]), timezone.utc)
            reason = ("%s needs the clock at %s (%s); Wine gives the program the host's clock"
                      % (row["case"], row["clock"], when.strftime("%Y-%m-%d %H:%M:%S UTC")))
            type(self).skipped.append(reason)
            self.skipTest(reason)
        kind = winehost.REG_TYPES.get(row["type"])
        self.assertIsNotNone(kind, "type %r unknown here" % row["type"])
        for command, column in COMMANDS:
            with self.subTest(command=command):
                clock = int(time.time())
                values = {row["value"]: (kind, stored_form(row["type"],
                                                           row_data(row["data"], clock)))}
                if row["value"] == "Installed":
                    values["LastCheckDate"] = (REG_DWORD,
                                               (clock - EIGHT_DAYS).to_bytes(4, "little"))
                self.run_on(values, command, row[column + "_page"] == "1",
                            row[column + "_stamp"] == "1")
        type(self).ran += 1


def _add_row_tests():
    for number, row in enumerate(RegistryMatrix.rows, 1):
        name = "test_%02d_%s" % (number, re.sub(r"\W", "_", row.get("case", "")))
        test = (lambda row: lambda self: self.check_row(row))(row)
        test.__doc__ = "%(case)s: %(value)s %(type)s %(data)s" % row
        setattr(RegistryMatrix, name, test)


_add_row_tests()


class StampExtremes(KeyCase):
    """Stamps at the ends of the signed and unsigned 32-bit ranges, against the host clock.

    Whether each lies in the past or the future depends on today's date, so the expectation
    comes from the clock: a stamp read as signed would put the upper half in 1901-1969.
    """

    STAMPS = [("0", 0), ("0x7FFFFFFF", 0x7FFFFFFF), ("0x80000000", 0x80000000),
              ("0xFFFFFFFF", 0xFFFFFFFF)]

    def setUp(self):
        if time.time() >= 1 << 32:
            self.skipTest("the host clock is past 2106: stamps then stand for later times")

    def test_weekly_check(self):
        for label, stamp in self.STAMPS:
            with self.subTest(stamp=label):
                now = time.time()
                values = {"LastCheckDate": (REG_DWORD, stamp.to_bytes(4, "little"))}
                if stamp > now + 60:
                    self.run_on(values, "/CHK", page=False, stamp=True)
                elif now - stamp >= WEEK + 60:
                    self.run_on(values, "/CHK", page=True, stamp=True)
                elif stamp < now - 60 and now - stamp < WEEK - 60:
                    self.run_on(values, "/CHK", page=False, stamp=False)
                else:
                    self.skipTest("%s is within a minute of a boundary right now" % label)

    def test_offers_now(self):
        for label, stamp in self.STAMPS:
            with self.subTest(stamp=label):
                values = {"LastCheckDate": (REG_DWORD, stamp.to_bytes(4, "little"))}
                self.run_on(values, "/INV", page=True, stamp=True)


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
