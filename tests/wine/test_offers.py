"""The weekly check ("/CHK"), the offers page ("/INV"), the command tail and the version gate,
run under Wine against the real registry, shell and browser hand-off.

    python3 tests/wine/test_offers.py [--exe PATH/VorlaLogChecker.exe] [unittest options]
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import winehost  # noqa: E402

EXE = None  # set from the command line
PAGE = winehost.OFFERS_PAGE
WEEK = winehost.WEEK
DAY = 86400
STAMP_SLACK = winehost.STAMP_SLACK

prefix = None


def setUpModule():
    global prefix
    prefix = winehost.WinePrefix()
    unittest.addModuleCleanup(prefix.close)
    prefix.create()
    # With the scheduler up, a tail mistaken for "/INS" would leave a task file to find.
    prefix.start_scheduler()
    prefix.install_exe(EXE)
    prefix.install_browser_recorder()


class PrefixCase(unittest.TestCase):
    def setUp(self):
        self.reset()

    def reset(self):
        prefix.reg_delete_key(winehost.VENDOR_KEY_32)
        prefix.reg_delete_key(winehost.VENDOR_KEY_64)
        prefix.set_windows_version(None)
        if os.path.exists(prefix.task_file()):
            os.remove(prefix.task_file())
        prefix.clear_pages()

    def given(self, key=winehost.STATE_KEY_32, **dwords):
        for name, value in dwords.items():
            prefix.reg_set_dword(name, value, key)

    def run_program(self, switch=None, after_path=None):
        """Runs the program and checks its exit code; returns (start, end) host times."""
        start = time.time()
        if after_path is not None:
            code = prefix.run_batch(after_path)
        else:
            code = prefix.run(switch)
        end = time.time()
        self.assertEqual(code, 0, "exit code")
        return start, end

    def assertPageShownOnce(self):
        self.assertEqual(prefix.pages(), [PAGE])

    def assertNoPage(self):
        self.assertEqual(prefix.pages(), [])

    def assertStamped(self, values, run_times):
        self.assertIn("LastCheckDate", values)
        start, end = run_times
        stamp = values["LastCheckDate"]
        self.assertTrue(int(start) - STAMP_SLACK <= stamp <= int(end) + STAMP_SLACK,
                        "LastCheckDate %d outside the run [%d, %d]" % (stamp, start, end))

    def assertUntouched(self):
        """Nothing at all happened: no key, no page, no task."""
        self.assertIsNone(prefix.reg_read_key(winehost.STATE_KEY_32))
        self.assertIsNone(prefix.reg_read_key(winehost.VENDOR_KEY_32))
        self.assertNoPage()
        self.assertFalse(os.path.exists(prefix.task_file()), "task file written")


class ShowOffersNow(PrefixCase):
    """"/INV" shows the page whatever the stamp, unless the printer agent is installed."""

    def test_first_run_opens_page_and_creates_key_with_stamp(self):
        times = self.run_program("/INV")
        self.assertPageShownOnce()
        values = prefix.reg_read_key()
        self.assertEqual(set(values), {"LastCheckDate"})
        self.assertStamped(values, times)
        self.assertIsNone(prefix.reg_read_key(winehost.STATE_KEY_64), "written to 64-bit view")

    def test_opens_page_and_restamps_whatever_the_stamp(self):
        now = int(time.time())
        for label, stamp in [("an hour old", now - 3600), ("a day ahead", now + DAY),
                             ("eight days old", now - 8 * DAY)]:
            with self.subTest(stamp=label):
                self.reset()
                self.given(LastCheckDate=stamp)
                times = self.run_program("/INV")
                self.assertPageShownOnce()
                self.assertStamped(prefix.reg_read_key(), times)

    def test_installed_agent_means_no_page_and_no_stamp(self):
        old = int(time.time()) - 8 * DAY
        self.given(Installed=1, LastCheckDate=old)
        self.run_program("/INV")
        self.assertNoPage()
        self.assertEqual(prefix.reg_read_key(), {"Installed": 1, "LastCheckDate": old})

    def test_installed_other_than_one_still_shows_page(self):
        for installed in (0, 2):
            with self.subTest(Installed=installed):
                self.reset()
                self.given(Installed=installed)
                times = self.run_program("/INV")
                self.assertPageShownOnce()
                values = prefix.reg_read_key()
                self.assertEqual(values["Installed"], installed)
                self.assertStamped(values, times)


class WeeklyCheck(PrefixCase):
    """"/CHK" shows the page once a week has passed since the stamp."""

    def test_missing_key_is_due(self):
        times = self.run_program("/CHK")
        self.assertPageShownOnce()
        self.assertStamped(prefix.reg_read_key(), times)

    def test_key_without_stamp_is_due(self):
        self.given(Installed=0)
        times = self.run_program("/CHK")
        self.assertPageShownOnce()
        self.assertStamped(prefix.reg_read_key(), times)

    def test_stamp_a_week_old_or_older_is_due(self):
        for age in (WEEK, WEEK + DAY, 365 * DAY):
            with self.subTest(age=age):
                self.reset()
                self.given(LastCheckDate=int(time.time()) - age)
                times = self.run_program("/CHK")
                self.assertPageShownOnce()
                self.assertStamped(prefix.reg_read_key(), times)

    def test_stamp_younger_than_a_week_is_not_due(self):
        for age in (3600, WEEK - 120):
            with self.subTest(age=age):
                self.reset()
                stamp = int(time.time()) - age
                self.given(LastCheckDate=stamp)
                self.run_program("/CHK")
                self.assertNoPage()
                self.assertEqual(prefix.reg_read_key(), {"LastCheckDate": stamp})

    def test_future_stamp_is_reset_to_now_without_page(self):
        # 0xF0000000 lies in 2097: only an unsigned reading of the stamp puts it in the future.
        for label, stamp in [("a day ahead", int(time.time()) + DAY),
                             ("0xF0000000", 0xF0000000)]:
            with self.subTest(stamp=label):
                self.reset()
                self.given(LastCheckDate=stamp)
                times = self.run_program("/CHK")
                self.assertNoPage()
                self.assertStamped(prefix.reg_read_key(), times)

    def test_installed_agent_means_no_page_even_when_due(self):
        old = int(time.time()) - 8 * DAY
        self.given(Installed=1, LastCheckDate=old)
        self.run_program("/CHK")
        self.assertNoPage()
        self.assertEqual(prefix.reg_read_key(), {"Installed": 1, "LastCheckDate": old})

    def test_stamp_in_64bit_view_is_not_read(self):
        fresh = int(time.time())
        self.given(winehost.STATE_KEY_64, LastCheckDate=fresh)
        times = self.run_program("/CHK")
        self.assertPageShownOnce()
        self.assertStamped(prefix.reg_read_key(), times)
        self.assertEqual(prefix.reg_read_key(winehost.STATE_KEY_64), {"LastCheckDate": fresh})

    def test_started_by_wine_with_quoted_path(self):
        # The way the task starts it: quoted path with blanks, then " /CHK".
        start = time.time()
        code = prefix.run_direct(["/CHK"])
        end = time.time()
        self.assertEqual(code, 0)
        self.assertPageShownOnce()
        self.assertStamped(prefix.reg_read_key(), (start, end))


class CommandTail(PrefixCase):
    """The whole tail after the program name must equal a switch, case included."""

    def test_other_tails_do_nothing(self):
        for after_path in [" /inv", " /Chk", " /INV ", " /CHK  ", " /INS /CHK", " /INV /CHK",
                           "", " /INVX", " /CH", " INV", " /INV/CHK"]:
            with self.subTest(tail=after_path):
                self.reset()
                self.run_program(after_path=after_path)
                self.assertUntouched()

    def test_blanks_between_program_and_switch_are_skipped(self):
        times = self.run_program(after_path="   /CHK")
        self.assertPageShownOnce()
        self.assertStamped(prefix.reg_read_key(), times)


class VersionGate(PrefixCase):
    """Before Windows Vista (major version 6) every switch does nothing."""

    def test_older_windows_does_nothing(self):
        for version in ("winxp", "win2003"):
            for switch in ("/INV", "/CHK", "/INS"):
                with self.subTest(version=version, switch=switch):
                    self.reset()
                    prefix.set_windows_version(version)
                    self.run_program(switch)
                    self.assertUntouched()

    def test_vista_is_supported(self):
        prefix.set_windows_version("vista")
        times = self.run_program("/INV")
        self.assertPageShownOnce()
        self.assertStamped(prefix.reg_read_key(), times)


if __name__ == "__main__":
    EXE, argv = winehost.parse_test_args()
    unittest.main(argv=argv)
