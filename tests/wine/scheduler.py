"""Plays the Task Scheduler for a saved work item, which Wine's own scheduler can't run.

start_times() reads a DAILY trigger as Task Scheduler 1.0 does; replay() starts the program at
each of those times, with the program's clock set to that time, one run after the other.
"""

from collections import namedtuple
from datetime import date, datetime, timedelta
from zoneinfo import ZoneInfo

import jobfile

Run = namedtuple("Run", "clock code pages")
Run.__doc__ = """One started run: its clock, its exit code, and the pages it opened, each as
(clock seen by the browser, address)."""


def start_times(trigger, zone):
    """Every time, in seconds since 1970 UTC, at which the scheduler starts a DAILY trigger.

    Each day from the begin date, every days-interval days, the first start is at the start
    hour and minute of the local wall clock; it repeats every MinutesInterval minutes while
    MinutesDuration lasts (a repetition at the very end of the span would be the next span's
    first start).

    The end date is read as inclusive: the record gives begin and end as whole days, the begin
    date counts, and the end date is the day on which the trigger deactivates, so it is active
    through that day and ends at its local midnight. Starts on the end date run; repetitions
    that would start after that midnight do not. For this task, whose spans run from the start
    time to the same time the next day, that leaves out the night after the end date.
    """
    if trigger.trigger_type != 1:
        raise ValueError("not a DAILY trigger: type %d" % trigger.trigger_type)
    tz = ZoneInfo(zone)
    day = date(trigger.begin_year, trigger.begin_month, trigger.begin_day)
    if not trigger.flags & jobfile.TRIGGER_FLAG_HAS_END_DATE:
        raise ValueError("a trigger without an end date starts without end")
    last_day = date(trigger.end_year, trigger.end_month, trigger.end_day)
    step = timedelta(days=max(trigger.specific0, 1))
    every = trigger.minutes_interval * 60
    times = set()
    while day <= last_day:
        first = datetime(day.year, day.month, day.day, trigger.start_hour,
                         trigger.start_minute, tzinfo=tz).timestamp()
        offsets = range(0, trigger.minutes_duration * 60, every) if every else [0]
        for offset in offsets:
            when = int(first) + offset
            if datetime.fromtimestamp(when, tz).date() <= last_day:
                times.add(when)
        day += step
    return sorted(times)


def replay(prefix, times, switch="/CHK"):
    """Runs the program with `switch` at each of `times` in turn, the clock set to each;
    yields a Run as each ends. The prefix has the host's clock again afterwards.

    Each run is started straight by wine, with the command line the scheduler gives it (the
    program's path in quotes, a blank, the switch): through cmd, as a batch file, a run takes
    several times as long, and a month is hundreds of runs. Wine then gives the program the
    host's time zone, which "/CHK" never reads.
    """
    seen = len(prefix.pages_with_clock())
    try:
        for clock in times:
            prefix.set_clock(clock)
            code = prefix.run_direct([switch])
            pages = prefix.pages_with_clock()
            yield Run(clock, code, pages[seen:])
            seen = len(pages)
    finally:
        prefix.set_clock(None)
