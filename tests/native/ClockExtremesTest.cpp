// The weekly check and the task at the edges of time: stamps at the ends of their 32 bits, a clock
// set back, the signed 32-bit limit in 2038 and the end of the unsigned one in 2106.
#include "Machine.h"
#include "entry/Entry.h"
#include "task/CheckTask.h"

namespace {

const int64_t kHour = 3600;
const int64_t kDay = 86400;
const int64_t kWeek = 604800;
const int64_t k2038 = 0x80000000LL;   // 2038-01-19 03:14:08 UTC
const int64_t k2106 = 0x100000000LL;  // 2106-02-07 06:28:16 UTC

class ClockExtremesTest : public Machine {
protected:
    void SetUp() override
    {
        Machine::SetUp();
        UseTimeZone("UTC");
    }

    static void Run(const char* command)
    {
        char tail[8];
        snprintf(tail, sizeof tail, "%s", command);
        EXPECT_EQ(WinMain(kInstance, NULL, tail, SW_SHOWDEFAULT), 0);
    }

    // "/CHK" once an hour from `from`; the hours (counted from `from`) at which the page opened.
    static std::vector<int64_t> HourlyChecks(int64_t from, int hours)
    {
        std::vector<int64_t> pageHours;
        size_t pages = platform::ShellCalls().size();
        for (int hour = 0; hour < hours; ++hour) {
            int64_t now = from + hour * kHour;
            platform::SetClock(now);
            Run("/CHK");
            if (platform::ShellCalls().size() != pages) {
                pages = platform::ShellCalls().size();
                pageHours.push_back(hour);
                EXPECT_EQ(Stamp(), static_cast<DWORD>(now)) << "page at hour " << hour;
            }
        }
        return pageHours;
    }
};

struct StampCase {
    int64_t clock;
    DWORD stamp;
    bool page;
    bool rewritten;  // by the page's stamp, or because the stamp lay in the future
};

TEST_F(ClockExtremesTest, StampsAtTheEndsOfTheirRange)
{
    const StampCase kCases[] = {
        // Today: anything past 2038 lies in the future and restarts the week.
        {kNow, 0, true, true},
        {kNow, 0x7FFFFFFF, false, true},
        {kNow, 0x80000000, false, true},
        {kNow, 0xFFFFFFFF, false, true},
        // An hour into 2038: the stamps around the signed limit are an hour old, not 136 years.
        {k2038 + kHour, 0, true, true},
        {k2038 + kHour, 0x7FFFFFFF, false, false},
        {k2038 + kHour, 0x80000000, false, false},
        {k2038 + kHour, 0xFFFFFFFF, false, true},
        // At and just past the 2106 wrap, a stamp is the latest instant at or before now with its
        // low 32 bits: 0xFFFFFFFF and 0 are a moment old, 2038's stamps are from 2038.
        {k2106, 0xFFFFFFFF, false, false},
        {k2106, 0, false, false},
        {k2106 + kHour, 0, false, false},
        {k2106 + kHour, 0x7FFFFFFF, true, true},
        {k2106 + kHour, 0x80000000, true, true},
        {k2106 + kHour, 0xFFFFFFFF, false, false},
    };
    for (const StampCase& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "clock " << c.clock << ", stamp " << c.stamp);
        platform::ResetState();
        platform::SetClock(c.clock);
        platform::SetDwordValue(kKeyPath, "LastCheckDate", c.stamp);
        Run("/CHK");
        EXPECT_EQ(platform::ShellCalls().size(), c.page ? 1u : 0u);
        EXPECT_EQ(Stamp(), c.rewritten ? static_cast<DWORD>(c.clock) : c.stamp);
    }
}

TEST_F(ClockExtremesTest, ClockSetBackRestartsTheWeekWithoutAPage)
{
    for (int64_t back : {kDay, 10 * 365 * kDay}) {
        SCOPED_TRACE(::testing::Message() << "set back by " << back << " s");
        platform::ResetState();
        platform::SetDwordValue(kKeyPath, "LastCheckDate", static_cast<DWORD>(kNow - 8 * kDay));
        EXPECT_EQ(HourlyChecks(kNow, 1), std::vector<int64_t>{0});
        // The next hour's run finds the clock set back: the stamp now lies ahead of it.
        int64_t setBack = kNow + kHour - back;
        EXPECT_EQ(HourlyChecks(setBack, 15 * 24), (std::vector<int64_t>{168, 336}));
    }
}

TEST_F(ClockExtremesTest, HourlyRunsAcross2038AndAcross2106PageWeekly)
{
    for (int64_t edge : {k2038, k2106}) {
        SCOPED_TRACE(::testing::Message() << "across " << edge);
        platform::ResetState();
        int64_t from = edge - 10 * kDay;
        platform::SetDwordValue(kKeyPath, "LastCheckDate", static_cast<DWORD>(from - 8 * kDay));
        EXPECT_EQ(HourlyChecks(from, 30 * 24), (std::vector<int64_t>{0, 168, 336, 504, 672}));
    }
}

TEST_F(ClockExtremesTest, MissingKeyAfter2106IsDue)
{
    platform::SetClock(k2106 + kHour);
    Run("/CHK");
    EXPECT_EQ(platform::ShellCalls().size(), 1u);
    EXPECT_EQ(Stamp(), static_cast<DWORD>(kHour));
    EXPECT_EQ(HourlyChecks(k2106 + 2 * kHour, 8 * 24), std::vector<int64_t>{167});
}

struct InstallCase {
    int64_t clock;
    WORD begin[5];  // year, month, day, hour, minute
    WORD end[3];
};

TEST_F(ClockExtremesTest, TaskInstalledPast2038HasTheRightDates)
{
    const InstallCase kCases[] = {
        // 2040-02-22 12:34:56, a leap day ahead
        {2213526896LL, {2040, 2, 29, 12, 34}, {2040, 3, 23}},
        // 2106-02-01 06:30, the wrap inside the window
        {4294449000LL, {2106, 2, 8, 6, 30}, {2106, 3, 3}},
        // past the wrap
        {k2106 + kHour, {2106, 2, 14, 7, 28}, {2106, 3, 9}},
        // the runtime's last month
        {32501087940LL, {2999, 12, 8, 23, 59}, {2999, 12, 31}},
    };
    for (const InstallCase& c : kCases) {
        SCOPED_TRACE(::testing::Message() << "clock " << c.clock);
        platform::ResetState();
        platform::SetClock(c.clock);
        Run("/INS");
        platform::SavedTask task;
        ASSERT_TRUE(platform::LoadSavedTask(kCheckTaskName, &task));
        ASSERT_EQ(task.triggers.size(), 1u);
        const TASK_TRIGGER& t = task.triggers[0];
        EXPECT_EQ((std::vector<WORD>{t.wBeginYear, t.wBeginMonth, t.wBeginDay, t.wStartHour,
                                     t.wStartMinute}),
                  std::vector<WORD>(c.begin, c.begin + 5));
        EXPECT_EQ((std::vector<WORD>{t.wEndYear, t.wEndMonth, t.wEndDay}),
                  std::vector<WORD>(c.end, c.end + 3));
    }
}

}  // namespace
