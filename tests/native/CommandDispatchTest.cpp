#include "entry/Entry.h"

#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "Machine.h"
#include "task/CheckTask.h"

namespace {

// GetCommandTail works in place on a buffer of exactly the command line's size, so that a scan
// past the terminator shows up under AddressSanitizer.
std::string Tail(const std::string& commandLine)
{
    std::vector<char> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(0);
    return GetCommandTail(buffer.data());
}

class CommandTailTest : public Machine {};

TEST_F(CommandTailTest, SkipsTheProgramNameAndTheBlanksAfterIt)
{
    EXPECT_EQ(Tail("VorlaLogChecker.exe /CHK"), "/CHK");
    EXPECT_EQ(Tail("\"C:\\Program Files\\Vorla\\VorlaLogChecker.exe\" /CHK"), "/CHK");
    EXPECT_EQ(Tail("C:\\Pro\"gram Fi\"les\\x.exe /CHK"), "/CHK");
    EXPECT_EQ(Tail("x.exe \t\r\n\x01/INV"), "/INV");
    EXPECT_EQ(Tail("x.exe\t/CHK"), "/CHK");
    EXPECT_EQ(Tail("x.exe"), "");
    EXPECT_EQ(Tail(""), "");
    EXPECT_EQ(Tail("x.exe    "), "");
}

TEST_F(CommandTailTest, KeepsTheRestAsWritten)
{
    EXPECT_EQ(Tail("x.exe /INV  "), "/INV  ");
    EXPECT_EQ(Tail("x.exe /INS  /CHK"), "/INS  /CHK");
    EXPECT_EQ(Tail("x.exe \"/CHK\""), "\"/CHK\"");
    // Quotes only matter in the name: a quoted name running into the switch takes it along.
    EXPECT_EQ(Tail("\"x.exe\"/CHK"), "");
    EXPECT_EQ(Tail("\"C:\\x.exe /CHK"), "");
    // Bytes above 0x7F are part of a name, not separators (\374 is the code page's u-umlaut).
    EXPECT_EQ(Tail("C:\\Dr\374cker\\x.exe /CHK"), "/CHK");
}

TEST_F(CommandTailTest, DoubleByteTrailBytesAreNotQuotes)
{
    platform::SetAnsiCodePage(932);
    EXPECT_EQ(Tail("a\x81\" /CHK"), "/CHK");
    EXPECT_EQ(Tail("a\x81"), "");  // a lead byte before the terminator
    platform::SetAnsiCodePage(1252);
    EXPECT_EQ(Tail("a\x81\" /CHK"), "");
}

class DispatchTest : public Machine {
protected:
    static int Run(const char* tail)
    {
        return WinMain(kInstance, NULL, const_cast<LPSTR>(tail), SW_SHOWDEFAULT);
    }
    static bool TaskSaved()
    {
        platform::SavedTask task;
        return platform::LoadSavedTask(kCheckTaskName, &task);
    }
};

TEST_F(DispatchTest, EachSwitchRunsItsCommand)
{
    EXPECT_EQ(Run("/INS"), 0);
    EXPECT_TRUE(TaskSaved());
    EXPECT_TRUE(platform::ShellCalls().empty());

    EXPECT_EQ(Run("/CHK"), 0);
    EXPECT_EQ(platform::ShellCalls().size(), 1u);
    EXPECT_EQ(Run("/CHK"), 0);
    EXPECT_EQ(platform::ShellCalls().size(), 1u) << "a week has not passed";

    EXPECT_EQ(Run("/INV"), 0);
    EXPECT_EQ(platform::ShellCalls().size(), 2u);
}

TEST_F(DispatchTest, OnlyTheWholeTailInTheRightCaseMatches)
{
    const char* const kNoCommand[] = {"",         "/chk", "/Inv",     "/INV ", " /INV", "/INS /CHK",
                                      "/CHK/INV", "/IN",  "\"/INV\"", "INV",   "/INVX"};
    for (const char* tail : kNoCommand) {
        EXPECT_EQ(Run(tail), 0) << tail;
        EXPECT_FALSE(TouchedRegistry()) << "tail \"" << tail << "\"";
    }
    EXPECT_EQ(CallCount("CoInitialize"), 0);
    EXPECT_TRUE(platform::ShellCalls().empty());
    EXPECT_FALSE(TaskSaved());
}

TEST_F(DispatchTest, WrongStartUpHandlesRefuseToRun)
{
    EXPECT_EQ(WinMain(NULL, NULL, const_cast<LPSTR>("/INV"), SW_SHOWDEFAULT), -1);
    EXPECT_EQ(WinMain(kInstance, kInstance, const_cast<LPSTR>("/INV"), SW_SHOWDEFAULT), -1);
    EXPECT_TRUE(platform::CallLog().empty());
}

TEST_F(DispatchTest, OlderPlatformsAreTurnedAwayBeforeAnything)
{
    platform::SetOsVersion(5, 1);
    for (const char* tail : {"/INS", "/CHK", "/INV"})
        EXPECT_EQ(Run(tail), 0);
    std::vector<std::string> calls = platform::CallLog();
    for (const std::string& call : calls)
        EXPECT_EQ(call, "GetVersionExA") << "nothing but the version query may run";
    EXPECT_FALSE(TaskSaved());
    EXPECT_FALSE(platform::KeyExists(kKeyPath));

    platform::SetOsVersion(6, 0);
    EXPECT_EQ(Run("/INV"), 0);
    EXPECT_EQ(platform::ShellCalls().size(), 1u);
}

TEST_F(DispatchTest, VersionQueryFallsBackToTheShortRecord)
{
    platform::FailCall("GetVersionExA", ERROR_INSUFFICIENT_BUFFER, 1);
    EXPECT_EQ(IsSupportedOs(), 1);
    EXPECT_EQ(CallCount("GetVersionExA"), 2);

    platform::FailCall("GetVersionExA", ERROR_INVALID_PARAMETER, 0);
    EXPECT_EQ(IsSupportedOs(), 0) << "an unknown version is not a supported one";
    EXPECT_EQ(Run("/INV"), 0);
    EXPECT_TRUE(platform::ShellCalls().empty());
}

// The native program as a separate process, the way the scheduler starts it.
int RunProgram(const std::string& program, const std::vector<std::string>& arguments)
{
    pid_t child = fork();
    if (child == 0) {
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1000;
}

TEST_F(DispatchTest, ProgramUnderAPathWithSpacesRunsTheWeeklyCheck)
{
    std::string folder = dir_ + "/Vorla Printer Driver";
    std::filesystem::create_directory(folder);
    std::string program = folder + "/VorlaLogChecker";
    std::filesystem::copy_file(NATIVE_EXE, program);

    EXPECT_EQ(RunProgram(program, {"/CHK"}), 0);
    EXPECT_EQ(platform::ShellCalls().size(), 1u);
    EXPECT_EQ(RunProgram(program, {"/CHK"}), 0);
    EXPECT_EQ(platform::ShellCalls().size(), 1u);
    EXPECT_EQ(RunProgram(program, {"/INV "}), 0);
    EXPECT_EQ(RunProgram(program, {"/INV", "/INV"}), 0);
    EXPECT_EQ(RunProgram(program, {}), 0);
    EXPECT_EQ(platform::ShellCalls().size(), 1u);
    EXPECT_EQ(Stamp(), static_cast<DWORD>(kNow));
}

// shell32 and ole32 come in late, by name, into a process that the task runs as the system
// account: by then the search must not look in any folder a user may write to.
TEST_F(DispatchTest, DelayLoadedDllsComeOnlyFromTheSystemDirectory)
{
    const std::string program = NATIVE_EXE;
    EXPECT_EQ(RunProgram(program, {"/CHK"}), 0);
    EXPECT_EQ(RunProgram(program, {"/INS"}), 0);
    std::vector<platform::DllLoad> loads = platform::DllLoads();
    ASSERT_EQ(loads.size(), 2u);
    for (const platform::DllLoad& load : loads)
        EXPECT_EQ(load.search, "system") << load.dll;
    std::vector<std::string> calls = platform::CallLog();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[1], "SetDefaultDllDirectories") << "the first call after its lookup";
}

TEST_F(DispatchTest, WithoutTheLoaderUpdateTheCurrentDirectoryIsLeftOut)
{
    // Vista and Windows 7 before their loader update lack SetDefaultDllDirectories; it may also
    // refuse. The program's own folder then stays in the search: there is no call to remove it.
    for (int refused = 0; refused <= 1; ++refused) {
        platform::ResetState();
        platform::SetClock(kNow);
        if (refused)
            platform::FailCall("SetDefaultDllDirectories", ERROR_INVALID_PARAMETER);
        else
            platform::RemoveExport("SetDefaultDllDirectories");
        EXPECT_EQ(RunProgram(NATIVE_EXE, {"/INV"}), 0);
        EXPECT_EQ(platform::ShellCalls().size(), 1u);
        std::vector<platform::DllLoad> loads = platform::DllLoads();
        ASSERT_EQ(loads.size(), 1u);
        EXPECT_EQ(loads[0].search, "program folder; system; PATH") << "refused " << refused;
    }
}

}  // namespace
