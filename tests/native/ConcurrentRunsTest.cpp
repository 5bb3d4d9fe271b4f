// Separate runs share the key and take no lock: a scheduled "/CHK" may meet others started by
// hand at the same moment. Whatever the interleaving, every run exits 0 and the key ends with one
// valid stamp. How many pages open is up to the interleaving; the tests report it.
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>

#include "Machine.h"
#include "task/CheckTask.h"

namespace {

const int kProcesses = 16;
const int kRounds = 4;

// Starts one process of the native program per argument, all released at the same instant, and
// returns their exit codes (-1000 for a process that did not exit normally).
std::vector<int> RunTogether(const std::vector<std::string>& arguments)
{
    int gate[2];
    if (pipe(gate) != 0)
        return {};
    std::vector<pid_t> children;
    for (const std::string& argument : arguments) {
        pid_t child = fork();
        if (child == 0) {
            close(gate[1]);
            char ignored;
            // Blocks until the parent closes its end, which releases every child at once.
            while (read(gate[0], &ignored, 1) > 0) {
            }
            execl(NATIVE_EXE, NATIVE_EXE, argument.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        children.push_back(child);
    }
    close(gate[0]);
    close(gate[1]);
    std::vector<int> codes;
    for (pid_t child : children) {
        int status = 0;
        waitpid(child, &status, 0);
        codes.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : -1000);
    }
    return codes;
}

class ConcurrentRunsTest : public Machine {
protected:
    // The key holds one stamp of the clock as a 4-byte REG_DWORD, and `installed` unchanged.
    static void ExpectOneValidStamp(const char* installed)
    {
        DWORD type = 0;
        std::string data;
        ASSERT_TRUE(platform::GetValue(kKeyPath, "LastCheckDate", &type, &data));
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        ASSERT_EQ(data.size(), 4u);
        DWORD stamp = 0;
        memcpy(&stamp, data.data(), 4);
        EXPECT_EQ(stamp, static_cast<DWORD>(kNow));
        if (installed != nullptr) {
            EXPECT_TRUE(platform::GetValue(kKeyPath, "Installed", &type, &data));
            EXPECT_EQ(data, std::string(installed, 4));
        }
    }

    static void ExpectAllExitZero(const std::vector<int>& codes, size_t count)
    {
        ASSERT_EQ(codes.size(), count);
        for (size_t i = 0; i < codes.size(); ++i)
            EXPECT_EQ(codes[i], 0) << "process " << i;
    }
};

TEST_F(ConcurrentRunsTest, SixteenWeeklyChecksOnADueStateLeaveOneValidStamp)
{
    struct Start {
        const char* name;
        bool keyExists;
    };
    for (const Start& start : {Start{"due", true}, Start{"key missing", false}}) {
        std::string pages;
        for (int round = 0; round < kRounds; ++round) {
            SCOPED_TRACE(::testing::Message() << start.name << ", round " << round);
            platform::ResetState();
            platform::SetClock(kNow);
            if (start.keyExists) {
                platform::SetDwordValue(kKeyPath, "LastCheckDate",
                                        static_cast<DWORD>(kNow - 8 * 86400));
                platform::SetDwordValue(kKeyPath, "Installed", 0);
            }
            ExpectAllExitZero(RunTogether(std::vector<std::string>(kProcesses, "/CHK")),
                              kProcesses);
            ExpectOneValidStamp(start.keyExists ? "\0\0\0\0" : nullptr);
            size_t opened = platform::ShellCalls().size();
            EXPECT_GE(opened, 1u);
            EXPECT_LE(opened, static_cast<size_t>(kProcesses));
            pages += " " + std::to_string(opened);
        }
        std::cout << kProcesses << " concurrent /CHK runs from a " << start.name << " state opened"
                  << pages << " pages in " << kRounds << " rounds\n";
    }
}

TEST_F(ConcurrentRunsTest, MixedSwitchesTogetherSaveOneTaskAndOneStamp)
{
    std::vector<std::string> arguments;
    for (int i = 0; i < kProcesses; ++i)
        arguments.push_back(i % 3 == 0 ? "/INS" : i % 3 == 1 ? "/CHK" : "/INV");
    ExpectAllExitZero(RunTogether(arguments), arguments.size());

    ExpectOneValidStamp(nullptr);
    EXPECT_GE(platform::ShellCalls().size(), 5u) << "every /INV opens the page";
    EXPECT_EQ(platform::SavedTaskNames(), std::vector<std::wstring>{kCheckTaskName});
    platform::SavedTask task;
    ASSERT_TRUE(platform::LoadSavedTask(kCheckTaskName, &task));
    EXPECT_EQ(task.parameters, L"/CHK");
    EXPECT_EQ(task.triggers.size(), 1u);
    std::cout << "mixed concurrent runs opened " << platform::ShellCalls().size() << " pages\n";
}

}  // namespace
