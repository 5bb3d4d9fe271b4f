""""/INS", then the month that follows on its own: the saved task's every start replayed under
Wine, the program's clock set to each.

    python3 tests/wine/test_month.py [--exe PATH/VorlaLogChecker.exe] [unittest options]

Wine's scheduler can't run the task, so scheduler.py plays it from the saved .job: "/CHK" at
every hourly start from the begin date to the end date. About 1,300 runs of the program in all;
docs/developing.md says how long that takes.
"""

import os
import sys
import unittest
from datetime import datetime
from zoneinfo import ZoneInfo

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import jobfile  # noqa: E402
import scheduler  # noqa: E402
import winehost  # noqa: E402

EXE = None  # set from the command line
PAGE = winehost.OFFERS_PAGE
WEEK = winehost.WEEK
HOUR = 3600
ZONE = "Europe/Berlin"
# A Monday at a whole minute, with no change of daylight-saving time in the month after it, so
# that every start of the task lies a whole number of hours after installation.
INSTALLED = datetime(2027, 1, 11, 10, 20, tzinfo=ZoneInfo(ZONE))
INSTALLED_AT = int(INSTALLED.timestamp())

prefix = None
starts = None


def setUpModule():
    global prefix, starts
    prefix = winehost.WinePrefix(zone=ZONE)
    unittest.addModuleCleanup(prefix.close)
    prefix.create()
    prefix.start_scheduler()
    prefix.install_exe(EXE)
    prefix.install_browser_recorder()
    prefix.set_clock(INSTALLED_AT)
    try:
        if prefix.run("/INS") != 0:
            raise AssertionError('"/INS" did not exit with 0')
    finally:
        prefix.set_clock(None)
    job = jobfile.load(prefix.task_file())
    if len(job.triggers) != 1:
        raise AssertionError("the task has %d triggers" % len(job.triggers))
    starts = scheduler.start_times(job.triggers[0], ZONE)


def day_and_time(clock):
    """(days since installation by the local calendar, local "HH:MM:SS")."""
    local = datetime.fromtimestamp(clock, ZoneInfo(ZONE))
    return (local.date() - INSTALLED.date()).days, local.strftime("%H:%M:%S")


class MonthAfterInstallation(unittest.TestCase):
    def setUp(self):
        prefix.reg_delete_key(winehost.VENDOR_KEY_32)
        prefix.clear_pages()

    def replay(self, times):
        """Runs "/CHK" at each time; returns the times of the runs that opened the page,
        having checked that each exited with 0 and that each page's run stamped its own time."""
        opened = []
        for run in scheduler.replay(prefix, times):
            self.assertEqual(run.code, 0, "exit code of the run at %s" % (day_and_time(run.clock),))
            if run.pages:
                self.assertEqual(run.pages, [(run.clock, PAGE)],
                                 "pages of the run at %s" % (day_and_time(run.clock),))
                self.assertEqual(prefix.reg_read_key(), {"LastCheckDate": run.clock},
                                 "the key after the page at %s" % (day_and_time(run.clock),))
                opened.append(run.clock)
        return opened

    def test_task_starts_hourly_from_day_7_to_the_end_of_day_30(self):
        first = INSTALLED_AT + 7 * 86400
        self.assertEqual(day_and_time(starts[0]), (7, "10:20:00"))
        self.assertEqual(starts, list(range(first, starts[-1] + 1, HOUR)))
        self.assertEqual(day_and_time(starts[-1]), (30, "23:20:00"))
        # Nothing after the end date: the next hourly start would be on day 31.
        self.assertEqual(day_and_time(starts[-1] + HOUR)[0], 31)
        self.assertEqual(len(starts), 14 + 23 * 24)

    def test_page_opens_at_the_first_run_then_weekly(self):
        opened = self.replay(starts)
        self.assertEqual([day_and_time(t) for t in opened],
                         [(7, "10:20:00"), (14, "10:20:00"), (21, "10:20:00"), (28, "10:20:00")])
        self.assertEqual(opened, [starts[0] + n * WEEK for n in range(4)])
        self.assertEqual(prefix.reg_read_key(), {"LastCheckDate": opened[-1]})

    def test_installed_agent_sees_no_page_all_month(self):
        prefix.reg_set_dword("Installed", 1)
        self.assertEqual(self.replay(starts), [])
        self.assertEqual(prefix.reg_read_key(), {"Installed": 1})

    def test_clock_set_back_after_a_page_starts_the_week_again(self):
        # Right after the first page the clock goes back an hour, and the scheduler starts the
        # hour's run again: it finds the stamp an hour ahead, rewrites it and shows nothing.
        # The week then counts from that run, so the next page comes an hour early.
        page = starts[0]
        self.assertEqual(self.replay([page, page - HOUR]), [page])
        self.assertEqual(prefix.reg_read_key(), {"LastCheckDate": page - HOUR})
        rest = [t for t in starts[1:] if t <= page + WEEK]
        self.assertEqual([day_and_time(t) for t in self.replay(rest)], [(14, "09:20:00")])
        self.assertEqual(prefix.reg_read_key(), {"LastCheckDate": page - HOUR + WEEK})


if __name__ == "__main__":
    EXE, argv = winehost.parse_test_args()
    unittest.main(argv=argv)
