"""Decoder of Task Scheduler 1.0 .JOB files, as published in Microsoft's .JOB file format.

A file is a fixed-length section (68 bytes), then: running instance count, application name,
parameters, working directory, author and comment as counted UTF-16 strings, user data and
reserved data as counted bytes, the triggers (a count and 48-byte records), and an optional
signature. All little-endian.

Run as a script to print a file's fields: python3 jobfile.py FILE.job
"""

import struct
import sys
import uuid
from dataclasses import dataclass, field, fields
from typing import List, Optional

FIXED = struct.Struct("<HH16sHHHHHHIIIII8H")
TRIGGER = struct.Struct("<HHHHHHHHHHIIIIHHHHHH")
assert FIXED.size == 68 and TRIGGER.size == 48

TRIGGER_TYPES = {0: "ONCE", 1: "DAILY", 2: "WEEKLY", 3: "MONTHLYDATE", 4: "MONTHLYDOW",
                 5: "ON_IDLE", 6: "AT_SYSTEMSTART", 7: "AT_LOGON"}
TRIGGER_FLAG_HAS_END_DATE = 0x1
TRIGGER_FLAG_KILL_AT_DURATION_END = 0x2
TRIGGER_FLAG_DISABLED = 0x4


@dataclass
class Trigger:
    size: int
    reserved1: int
    begin_year: int
    begin_month: int
    begin_day: int
    end_year: int
    end_month: int
    end_day: int
    start_hour: int
    start_minute: int
    minutes_duration: int
    minutes_interval: int
    flags: int
    trigger_type: int
    specific0: int  # DAILY: days interval
    specific1: int
    specific2: int
    padding: int
    reserved2: int
    reserved3: int


@dataclass
class JobFile:
    product_version: int
    file_version: int
    uuid: uuid.UUID
    app_name_offset: int
    trigger_offset: int
    error_retry_count: int
    error_retry_interval: int
    idle_deadline: int
    idle_wait: int
    priority: int
    maximum_run_time: int
    exit_code: int
    status: int
    flags: int
    last_run: tuple  # SYSTEMTIME: year, month, weekday, day, hour, minute, second, ms
    running_instance_count: int = 0
    # None is an absent string (count 0); "" is a present, empty one (count 1).
    application: Optional[str] = None
    parameters: Optional[str] = None
    working_directory: Optional[str] = None
    author: Optional[str] = None
    comment: Optional[str] = None
    user_data: bytes = b""
    reserved_data: bytes = b""
    triggers: List[Trigger] = field(default_factory=list)
    signature: Optional[bytes] = None


class _Reader:
    def __init__(self, data, offset):
        self.data = data
        self.offset = offset

    def take(self, size, what):
        if self.offset + size > len(self.data):
            raise ValueError("file ends inside %s (offset %d, %d bytes wanted, %d left)"
                             % (what, self.offset, size, len(self.data) - self.offset))
        chunk = self.data[self.offset:self.offset + size]
        self.offset += size
        return chunk

    def word(self, what):
        return struct.unpack("<H", self.take(2, what))[0]

    def string(self, what):
        count = self.word(what + " length")
        if count == 0:
            return None
        text = self.take(2 * count, what).decode("utf-16-le")
        if text[-1] != "\0":
            raise ValueError("%s is not null-terminated" % what)
        return text[:-1]

    def counted_bytes(self, what):
        return self.take(self.word(what + " size"), what)


def parse(data):
    if len(data) < FIXED.size:
        raise ValueError("%d bytes: shorter than the fixed-length section" % len(data))
    f = FIXED.unpack_from(data)
    job = JobFile(product_version=f[0], file_version=f[1], uuid=uuid.UUID(bytes_le=f[2]),
                  app_name_offset=f[3], trigger_offset=f[4], error_retry_count=f[5],
                  error_retry_interval=f[6], idle_deadline=f[7], idle_wait=f[8],
                  priority=f[9], maximum_run_time=f[10], exit_code=f[11], status=f[12],
                  flags=f[13], last_run=tuple(f[14:22]))

    r = _Reader(data, FIXED.size)
    job.running_instance_count = r.word("running instance count")
    if r.offset != job.app_name_offset:
        raise ValueError("application name at %d, header says %d"
                         % (r.offset, job.app_name_offset))
    job.application = r.string("application name")
    job.parameters = r.string("parameters")
    job.working_directory = r.string("working directory")
    job.author = r.string("author")
    job.comment = r.string("comment")
    job.user_data = r.counted_bytes("user data")
    job.reserved_data = r.counted_bytes("reserved data")
    if r.offset != job.trigger_offset:
        raise ValueError("triggers at %d, header says %d" % (r.offset, job.trigger_offset))
    for i in range(r.word("trigger count")):
        job.triggers.append(Trigger(*TRIGGER.unpack(r.take(TRIGGER.size, "trigger %d" % i))))
    rest = data[r.offset:]
    if rest:
        job.signature = rest
    return job


def load(path):
    with open(path, "rb") as f:
        return parse(f.read())


def describe(job, raw=False):
    """Readable lines: the strings, then each trigger; raw adds every trigger field."""
    lines = []
    indent = " " * 19
    for name in ("application", "parameters", "working_directory", "author", "comment"):
        lines.append("%-18s %r" % (name, getattr(job, name)))
    for i, t in enumerate(job.triggers):
        kind = TRIGGER_TYPES.get(t.trigger_type, str(t.trigger_type))
        if t.trigger_type == 1:
            kind += " every %d day(s)" % t.specific0
        begin = "%04d-%02d-%02d %02d:%02d" % (t.begin_year, t.begin_month, t.begin_day,
                                              t.start_hour, t.start_minute)
        end = "%04d-%02d-%02d" % (t.end_year, t.end_month, t.end_day)
        if not t.flags & TRIGGER_FLAG_HAS_END_DATE:
            end += " (unused)"
        lines.append("%-18s %s from %s" % ("trigger %d" % i, kind, begin))
        lines.append("%srepeat every %d min for %d min, end date %s, flags 0x%x"
                     % (indent, t.minutes_interval, t.minutes_duration, end, t.flags))
        if raw:
            lines.append(indent + ", ".join("%s=%d" % (f.name, getattr(t, f.name))
                                            for f in fields(t)))
    if not job.triggers:
        lines.append("%-18s none" % "triggers")
    return lines


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: jobfile.py FILE.job")
    print("\n".join(describe(load(sys.argv[1]), raw=True)))
