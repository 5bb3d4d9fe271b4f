""""/INS" under Wine: the task saved through Task Scheduler 1.0, decoded from its .JOB file.

    python3 tests/wine/test_task.py [--exe PATH/VorlaLogChecker.exe] [unittest options]
"""

import os
import sys
import time
import unittest
from datetime import datetime
from zoneinfo import ZoneInfo

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import jobfile  # noqa: E402
import winehost  # noqa: E402

EXE = None  # set from the command line
# Not UTC, so that a trigger computed in UTC, or with the zone misread, shows up. Wine gives the
# program this zone through the Unix TZ of its process (see winehost).
ZONE = "Europe/Berlin"
WEEK = winehost.WEEK
THIRTY_DAYS = 2592000

prefix = None


def setUpModule():
    global prefix
    prefix = winehost.WinePrefix(zone=ZONE)
    unittest.addModuleCleanup(prefix.close)
    prefix.create()
    prefix.start_scheduler()
    prefix.install_exe(EXE)
    prefix.install_browser_recorder()


def local_times(start, end, offset):
    """Local datetimes of every whole second from start to end, plus offset seconds."""
    zone = ZoneInfo(ZONE)
    return [datetime.fromtimestamp(t + offset, zone) for t in range(int(start), int(end) + 1)]


class InstallTask(unittest.TestCase):
    def setUp(self):
        self.reset()

    def reset(self):
        if os.path.exists(prefix.task_file()):
            os.remove(prefix.task_file())
        prefix.set_windows_version(None)
        prefix.reg_delete_key(winehost.VENDOR_KEY_32)
        prefix.clear_pages()

    def install(self, after_path=" /INS"):
        start = time.time()
        code = prefix.run_batch(after_path)
        end = time.time()
        self.assertEqual(code, 0, "exit code")
        return start, end

    def assertTaskDescribed(self, job, start, end):
        self.assertEqual(job.application, prefix.exe_path)
        self.assertEqual(job.parameters, "/CHK")
        self.assertEqual(job.comment, "Display Vorla Offers")
        # The account ("" = local system) can't be checked here: this Wine build doesn't store
        # it in the file.
        self.assertEqual(len(job.triggers), 1)
        t = job.triggers[0]

        # The program reads the clock once; any second of the run is a fair reading of it.
        begins = {(d.year, d.month, d.day, d.hour, d.minute)
                  for d in local_times(start, end, WEEK)}
        ends = {(d.year, d.month, d.day) for d in local_times(start, end, THIRTY_DAYS)}
        self.assertIn((t.begin_year, t.begin_month, t.begin_day, t.start_hour, t.start_minute),
                      begins)
        self.assertIn((t.end_year, t.end_month, t.end_day), ends)

        self.assertEqual(t.size, 48)
        self.assertEqual(t.reserved1, 0)
        self.assertEqual(t.minutes_duration, 1440)
        # Every hour around the clock. Wine's scheduler ignores the repetition when it runs
        # tasks, but saves the record as given.
        self.assertEqual(t.minutes_interval, 60)
        self.assertEqual(t.flags, jobfile.TRIGGER_FLAG_HAS_END_DATE)
        self.assertEqual(t.trigger_type, 1)  # DAILY
        self.assertEqual(t.specific0, 1)     # every day
        self.assertEqual((t.reserved2, t.reserved3), (0, 0))
        # specific1, specific2 and padding are not checked: Wine's SetTrigger copies only the
        # days interval from the DAILY union into a record it never cleared, so the file
        # holds whatever Wine had on its stack there.

    def test_saves_daily_check_task(self):
        start, end = self.install()
        self.assertTrue(os.path.exists(prefix.task_file()), "no task file")
        self.assertTaskDescribed(jobfile.load(prefix.task_file()), start, end)
        # Registering the task is all "/INS" does.
        self.assertEqual(prefix.pages(), [])
        self.assertIsNone(prefix.reg_read_key(winehost.VENDOR_KEY_32))

    def test_second_install_under_wine_rewrites_task(self):
        self.install()
        first = jobfile.load(prefix.task_file())
        start, end = self.install()
        second = jobfile.load(prefix.task_file())
        # Windows' NewWorkItem refuses a name that exists (ERROR_FILE_EXISTS), leaving the
        # first task as it was. Wine's accepts it and its Save writes the file again, with a
        # new job id: that is what this asserts, so a change in Wine shows up here.
        self.assertNotEqual(first.uuid, second.uuid)
        self.assertTaskDescribed(second, start, end)

    def test_older_windows_registers_nothing(self):
        prefix.set_windows_version("winxp")
        self.install()
        self.assertFalse(os.path.exists(prefix.task_file()), "task file written")

    def test_other_tails_register_nothing(self):
        for after_path in (" /ins", " /INS ", " /INS /CHK", " /INSX"):
            with self.subTest(tail=after_path):
                self.reset()
                self.install(after_path)
                self.assertFalse(os.path.exists(prefix.task_file()), "task file written")


if __name__ == "__main__":
    EXE, argv = winehost.parse_test_args()
    unittest.main(argv=argv)
