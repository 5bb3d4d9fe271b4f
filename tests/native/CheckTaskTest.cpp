#include "task/CheckTask.h"

#include "Machine.h"

namespace {

// Local times in these tests are Berlin's, so that daylight saving shows.
class CheckTaskTest : public Machine {
protected:
    void SetUp() override
    {
        Machine::SetUp();
        UseTimeZone("Europe/Berlin");
    }

    static int64_t LocalTime(int year, int month, int day, int hour, int minute, int second)
    {
        struct tm local = {};
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_min = minute;
        local.tm_sec = second;
        local.tm_isdst = -1;
        return mktime(&local);
    }

    static int Create()
    {
        TaskSchedulerConnection connection;
        EXPECT_EQ(connection.Connect(), 1);
        int result = CreateCheckTask(connection);
        connection.Disconnect();
        return result;
    }

    static bool Saved(platform::SavedTask* task = nullptr)
    {
        platform::SavedTask ignored;
        return platform::LoadSavedTask(kCheckTaskName, task != nullptr ? task : &ignored);
    }
};

TEST_F(CheckTaskTest, SavesTheHourlyCheckOfTheProgramItself)
{
    platform::SetClock(LocalTime(2027, 1, 31, 10, 20, 45));
    InstallCheckTask();

    platform::SavedTask task;
    ASSERT_TRUE(Saved(&task));
    EXPECT_EQ(task.application,
              L"C:\\Program Files (x86)\\Vorla Printer Driver\\VorlaLogChecker.exe");
    EXPECT_EQ(task.parameters, L"/CHK");
    EXPECT_EQ(task.comment, L"Display Vorla Offers");
    EXPECT_TRUE(task.accountSet);
    EXPECT_EQ(task.account, L"") << "the empty account is the local system account";
    EXPECT_FALSE(task.passwordSet);
    EXPECT_EQ(task.workingDirectory, L"");

    ASSERT_EQ(task.triggers.size(), 1u);
    TASK_TRIGGER expected = {};
    expected.cbTriggerSize = 48;
    expected.wBeginYear = 2027;
    expected.wBeginMonth = 2;
    expected.wBeginDay = 7;
    expected.wStartHour = 10;
    expected.wStartMinute = 20;
    expected.wEndYear = 2027;
    expected.wEndMonth = 3;
    expected.wEndDay = 2;
    expected.MinutesDuration = 1440;
    expected.MinutesInterval = 60;
    expected.rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE;
    expected.TriggerType = TASK_TIME_TRIGGER_DAILY;
    expected.Type.Daily.DaysInterval = 1;
    EXPECT_EQ(memcmp(&task.triggers[0], &expected, sizeof expected), 0)
        << "every other field stays 0";
}

TEST_F(CheckTaskTest, TriggerDatesAreLocalTimesOfExactSecondCounts)
{
    TASK_TRIGGER trigger;
    // Summer time begins on 28 March 2027: seven days of seconds later the clock shows 13:05.
    ASSERT_EQ(FillCheckTrigger(LocalTime(2027, 3, 25, 12, 5, 59), &trigger), 1);
    EXPECT_EQ(trigger.wBeginMonth, 4);
    EXPECT_EQ(trigger.wBeginDay, 1);
    EXPECT_EQ(trigger.wStartHour, 13);
    EXPECT_EQ(trigger.wStartMinute, 5);
    // And back in autumn (31 October 2027): 00:30 becomes 23:30 of the day before.
    ASSERT_EQ(FillCheckTrigger(LocalTime(2027, 10, 27, 0, 30, 0), &trigger), 1);
    EXPECT_EQ(trigger.wBeginMonth, 11);
    EXPECT_EQ(trigger.wBeginDay, 2);
    EXPECT_EQ(trigger.wStartHour, 23);
    EXPECT_EQ(trigger.wStartMinute, 30);
    // A leap year's February.
    ASSERT_EQ(FillCheckTrigger(LocalTime(2028, 2, 25, 8, 0, 0), &trigger), 1);
    EXPECT_EQ(trigger.wBeginMonth, 3);
    EXPECT_EQ(trigger.wBeginDay, 3);
    EXPECT_EQ(trigger.wEndMonth, 3);
    EXPECT_EQ(trigger.wEndDay, 26);
}

TEST_F(CheckTaskTest, DatesPastTheYear2038AreRight)
{
    platform::SetClock(LocalTime(2037, 12, 30, 9, 15, 0));
    InstallCheckTask();
    platform::SavedTask task;
    ASSERT_TRUE(Saved(&task));
    ASSERT_EQ(task.triggers.size(), 1u);
    EXPECT_EQ(task.triggers[0].wBeginYear, 2038);
    EXPECT_EQ(task.triggers[0].wBeginMonth, 1);
    EXPECT_EQ(task.triggers[0].wBeginDay, 6);
    EXPECT_EQ(task.triggers[0].wEndYear, 2038);
    EXPECT_EQ(task.triggers[0].wEndMonth, 1);
    EXPECT_EQ(task.triggers[0].wEndDay, 29);

    TASK_TRIGGER trigger;
    ASSERT_EQ(FillCheckTrigger(LocalTime(2100, 6, 1, 12, 0, 0), &trigger), 1);
    EXPECT_EQ(trigger.wBeginYear, 2100);
    EXPECT_EQ(trigger.wBeginDay, 8);
    EXPECT_EQ(trigger.wEndMonth, 7);
    EXPECT_EQ(trigger.wEndDay, 1);
}

TEST_F(CheckTaskTest, DatesTheRuntimeCannotBreakDownSaveNothing)
{
    platform::SetClock(32535215999LL - 604800);  // the end is beyond the runtime's last day
    TaskSchedulerConnection connection;
    ASSERT_EQ(connection.Connect(), 1);
    EXPECT_EQ(CreateCheckTask(connection), kTaskNoTrigger);
    connection.Disconnect();
    EXPECT_FALSE(Saved());
}

TEST_F(CheckTaskTest, SecondInstallLeavesTheTaskAsItWas)
{
    InstallCheckTask();
    platform::SavedTask first;
    ASSERT_TRUE(Saved(&first));

    platform::SetClock(kNow + 86400);
    platform::SetModulePath("C:\\Elsewhere\\VorlaLogChecker.exe");
    EXPECT_EQ(Create(), kTaskNameTaken);
    platform::SavedTask second;
    ASSERT_TRUE(Saved(&second));
    EXPECT_EQ(second.application, first.application);
    ASSERT_EQ(second.triggers.size(), 1u);
    EXPECT_EQ(memcmp(&second.triggers[0], &first.triggers[0], sizeof(TASK_TRIGGER)), 0);
}

struct Failure {
    const char* call;
    long status;
    int expected;
};

void PrintTo(const Failure& failure, std::ostream* out)
{
    *out << failure.call << " fails with " << std::hex << failure.status;
}

class CheckTaskFailureTest : public CheckTaskTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(CheckTaskFailureTest, LeavesNoTaskAndReleasesEverything)
{
    platform::FailCall(GetParam().call, GetParam().status);
    EXPECT_EQ(Create(), GetParam().expected);
    EXPECT_FALSE(Saved());
    // Machine::TearDown checks that every interface was released and the apartment balanced.
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CheckTaskFailureTest,
    ::testing::Values(Failure{"ITaskScheduler::NewWorkItem", HRESULT_FROM_WIN32(ERROR_FILE_EXISTS),
                              kTaskNameTaken},
                      Failure{"ITaskScheduler::NewWorkItem", E_OUTOFMEMORY, kTaskNameTaken},
                      Failure{"GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY, kTaskNotDescribed},
                      Failure{"GetDriveTypeW", DRIVE_NO_ROOT_DIR, kTaskNotDescribed},
                      Failure{"ITask::SetApplicationName", E_OUTOFMEMORY, kTaskNotDescribed},
                      Failure{"ITask::SetParameters", E_OUTOFMEMORY, kTaskNotDescribed},
                      Failure{"IScheduledWorkItem::SetAccountInformation", E_ACCESSDENIED,
                              kTaskNotDescribed},
                      Failure{"IScheduledWorkItem::CreateTrigger", E_OUTOFMEMORY, kTaskNoTrigger},
                      Failure{"ITaskTrigger::SetTrigger", E_INVALIDARG, kTaskNoTrigger},
                      Failure{"ITask::QueryInterface", E_NOINTERFACE, kTaskNotSaved},
                      Failure{"IPersistFile::Save", E_ACCESSDENIED, kTaskNotSaved}),
    [](const ::testing::TestParamInfo<Failure>& info) {
        std::string name = info.param.call;
        name = name.substr(name.rfind(':') + 1);
        return name + "_" + std::to_string(info.index);
    });

TEST_F(CheckTaskTest, FailedCommentIsNoReasonToGiveUp)
{
    platform::FailCall("IScheduledWorkItem::SetComment", E_OUTOFMEMORY);
    EXPECT_EQ(Create(), kTaskSaved);
    platform::SavedTask task;
    ASSERT_TRUE(Saved(&task));
    EXPECT_EQ(task.comment, L"");
    EXPECT_EQ(task.parameters, L"/CHK");
}

TEST_F(CheckTaskTest, PathThatFillsTheBufferIsNeverSaved)
{
    // A path cut short could name another program, and the task runs as the system account.
    std::string folder = "C:\\" + std::string(MAX_PATH - 3 - 20, 'd');
    platform::SetModulePath(folder + "\\VorlaLogChecker.exe");
    EXPECT_EQ(Create(), kTaskNotDescribed);
    EXPECT_FALSE(Saved());

    std::string longest =
        "C:\\" + std::string(MAX_PATH - 1 - 3 - 20, 'd') + "\\VorlaLogChecker.exe";
    ASSERT_EQ(longest.size(), static_cast<size_t>(MAX_PATH - 1));
    platform::SetModulePath(longest);
    EXPECT_EQ(Create(), kTaskSaved);
    platform::SavedTask task;
    ASSERT_TRUE(Saved(&task));
    EXPECT_EQ(task.application, std::wstring(longest.begin(), longest.end()));
}

TEST_F(CheckTaskTest, ConnectionWithoutSchedulerCreatesNothing)
{
    TaskSchedulerConnection connection;
    EXPECT_EQ(CreateCheckTask(connection), kTaskNoScheduler);
    EXPECT_TRUE(platform::CallLog().empty());
}

TEST_F(CheckTaskTest, LibraryThatCannotStartIsLeftAlone)
{
    platform::FailCall("CoInitialize", RPC_E_CHANGED_MODE);
    InstallCheckTask();
    EXPECT_EQ(platform::CallLog(), std::vector<std::string>{"CoInitialize"})
        << "no CoUninitialize either";
}

TEST_F(CheckTaskTest, SchedulerThatCannotBeCreatedEndsTheApartment)
{
    platform::FailCall("CoCreateInstance", REGDB_E_CLASSNOTREG);
    InstallCheckTask();
    EXPECT_EQ(platform::CallLog(),
              (std::vector<std::string>{"CoInitialize", "CoCreateInstance", "CoUninitialize"}));
    EXPECT_FALSE(Saved());
}

TEST_F(CheckTaskTest, ApartmentOpenedEarlierOnTheThreadStaysOpen)
{
    ASSERT_EQ(CoInitialize(NULL), S_OK);
    InstallCheckTask();
    EXPECT_TRUE(Saved());
    EXPECT_EQ(platform::ApartmentDepth(), 1);
    CoUninitialize();
}

// The task starts this very file as the system account every hour: it must name it exactly, and
// only where nobody but the machine's administrators decides what lies there later.
TEST_F(CheckTaskTest, TaskNamesTheProgramOnlyOnALocalFixedDrive)
{
    struct Case {
        const char* path;      // as the module path, in UTF-8
        const wchar_t* saved;  // what the task must start; none: no task
        wchar_t drive;
        UINT driveType;
    };
    const Case kCases[] = {
        // Folder names outside any ANSI code page are saved as they are, not best-fitted.
        {"C:\\Vorła Drukarki\\VorlaLogChecker.exe", L"C:\\Vorła Drukarki\\VorlaLogChecker.exe", 0,
         0},
        {"C:\\Принтер\\打印机\\VorlaLogChecker.exe", L"C:\\Принтер\\打印机\\VorlaLogChecker.exe", 0,
         0},
        {"d:\\Drivers\\VorlaLogChecker.exe", L"d:\\Drivers\\VorlaLogChecker.exe", L'D',
         DRIVE_FIXED},
        {"E:\\VorlaLogChecker.exe", nullptr, L'E', DRIVE_REMOVABLE},
        {"F:\\VorlaLogChecker.exe", nullptr, L'F', DRIVE_REMOTE},
        {"G:\\VorlaLogChecker.exe", nullptr, L'G', DRIVE_CDROM},
        {"R:\\VorlaLogChecker.exe", nullptr, L'R', DRIVE_RAMDISK},
        {"Q:\\VorlaLogChecker.exe", nullptr, L'Q', DRIVE_NO_ROOT_DIR},
        {"\\\\printsrv\\drivers\\VorlaLogChecker.exe", nullptr, 0, 0},
        {"\\\\?\\C:\\Drivers\\VorlaLogChecker.exe", nullptr, 0, 0},
        {"UNC\\printsrv\\drivers\\VorlaLogChecker.exe", nullptr, 0, 0},
        {"C:VorlaLogChecker.exe", nullptr, 0, 0},
        {"VorlaLogChecker.exe", nullptr, 0, 0},
    };
    for (const Case& c : kCases) {
        platform::ResetState();
        platform::SetModulePath(c.path);
        if (c.drive != 0)
            platform::SetDriveType(c.drive, c.driveType);
        EXPECT_EQ(Create(), c.saved != nullptr ? kTaskSaved : kTaskNotDescribed) << c.path;
        platform::SavedTask task;
        ASSERT_EQ(Saved(&task), c.saved != nullptr) << c.path;
        if (c.saved != nullptr) {
            EXPECT_TRUE(task.application == c.saved) << c.path;
        }
    }
}

}  // namespace
