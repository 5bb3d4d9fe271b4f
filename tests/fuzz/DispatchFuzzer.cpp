// Arbitrary command lines through the program's own start-up rule, and the tail through WinMain.
//
// Input: one control byte, then the command line (up to its first NUL).
//   control % 6      the machine's starting state (see kStarts)
//   control & 0x40   Shift-JIS code page, so that lead bytes carry the byte after them
//   control & 0x80   hand the bytes to WinMain as the tail itself, blanks in front and all
// Every run must return 0 and release everything; a tail equal to a switch must have done what
// the switch does from that state, and any other tail nothing beyond the version query and the
// comparisons.
#include <cstring>
#include <memory>

#include "FuzzMachine.h"
#include "entry/Entry.h"
#include "task/CheckTask.h"

namespace {

const int64_t kNow = 1800000000;
const int64_t kDay = 86400;

struct Start {
    bool keyExists;
    int64_t stampAge;  // seconds before now; 0: no stamp
    DWORD installed;
    bool taskSaved;
    // What "/CHK" and "/INV" do from here.
    bool checkPages, checkStamps, offerPages;
};

const Start kStarts[] = {
    {false, 0, 0, false, true, true, true},           // key missing
    {true, 8 * kDay, 0, false, true, true, true},     // due
    {true, 3600, 0, false, false, false, true},       // not due
    {true, -kDay, 0, false, false, true, true},       // stamp ahead of the clock
    {true, 8 * kDay, 1, false, false, false, false},  // agent installed
    {true, 8 * kDay, 0, true, true, true, true},      // due, task saved earlier
};

void Prepare(const Start& start)
{
    platform::SetClock(kNow);
    platform::SetModulePath(fuzz::kModulePath);
    if (start.keyExists) {
        platform::CreateKey(fuzz::kKeyPath);
        if (start.stampAge != 0)
            platform::SetDwordValue(fuzz::kKeyPath, "LastCheckDate",
                                    static_cast<DWORD>(kNow - start.stampAge));
        platform::SetDwordValue(fuzz::kKeyPath, "Installed", start.installed);
    }
    if (start.taskSaved) {
        platform::SavedTask task = platform::SavedTask();
        task.name = kCheckTaskName;
        task.application = L"C:\\Old\\VorlaLogChecker.exe";
        task.parameters = L"/CHK";
        platform::SaveTask(task);
    }
}

// The tail by the rule as written for the simplest lines: no quotes, no lead bytes.
size_t PlainTailOffset(const std::string& line)
{
    size_t i = 0;
    while (i < line.size() && static_cast<unsigned char>(line[i]) > ' ')
        ++i;
    while (i < line.size() && static_cast<unsigned char>(line[i]) <= ' ')
        ++i;
    return i;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::UseOwnStateDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const uint8_t control = data[0];
    const Start& start = kStarts[control % 6];
    const bool doubleByte = (control & 0x40) != 0;
    const bool rawTail = (control & 0x80) != 0;
    std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
    line = line.substr(0, line.find('\0'));

    platform::ResetState();
    if (doubleByte)
        platform::SetAnsiCodePage(932);

    // Exactly the line's size, so that a scan past the terminator is caught.
    std::unique_ptr<char[]> buffer(new char[line.size() + 1]);
    memcpy(buffer.get(), line.c_str(), line.size() + 1);
    char* tail = buffer.get();
    if (!rawTail) {
        tail = GetCommandTail(buffer.get());
        FUZZ_CHECK(tail >= buffer.get() && tail <= buffer.get() + line.size());
        FUZZ_CHECK(*tail == 0 || static_cast<unsigned char>(*tail) > ' ');
        if (!doubleByte && line.find('"') == std::string::npos)
            FUZZ_CHECK(tail == buffer.get() + PlainTailOffset(line));
    }
    const std::string command = tail;
    const bool install = command == "/INS", check = command == "/CHK", offer = command == "/INV";

    const HINSTANCE instance = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000));

    // Any other tail may make no call but the version query and the comparisons, which the call
    // log shows whatever the machine holds: the machine is set up only for a switch.
    if (!install && !check && !offer) {
        FUZZ_CHECK(WinMain(instance, NULL, tail, SW_SHOWDEFAULT) == 0);
        FUZZ_CHECK(command == tail);  // the program only compares its tail
        fuzz::CheckEverythingReleased();
        for (const std::string& call : platform::CallLog())
            FUZZ_CHECK(call == "GetVersionExA" || call == "lstrcmpA");
        return 0;
    }

    Prepare(start);
    const fuzz::Value stampBefore = fuzz::ReadValue("LastCheckDate");
    const fuzz::Value installedBefore = fuzz::ReadValue("Installed");
    FUZZ_CHECK(WinMain(instance, NULL, tail, SW_SHOWDEFAULT) == 0);
    fuzz::CheckEverythingReleased();

    const bool page = (check && start.checkPages) || (offer && start.offerPages);
    const bool stamp = (check && start.checkStamps) || (offer && start.offerPages);
    FUZZ_CHECK(platform::ShellCalls().size() == (page ? 1u : 0u));
    fuzz::Value stampAfter = fuzz::ReadValue("LastCheckDate");
    FUZZ_CHECK(stamp ? fuzz::IsStampOf(stampAfter, kNow) : stampAfter == stampBefore);
    FUZZ_CHECK(fuzz::ReadValue("Installed") == installedBefore);
    FUZZ_CHECK(platform::KeyExists(fuzz::kKeyPath) == (start.keyExists || stamp));

    platform::SavedTask task;
    bool saved = platform::LoadSavedTask(kCheckTaskName, &task);
    FUZZ_CHECK(saved == (start.taskSaved || install));
    if (saved) {
        const wchar_t* application =
            start.taskSaved ? L"C:\\Old\\VorlaLogChecker.exe"
                            : L"C:\\Program Files (x86)\\Vorla Printer Driver\\VorlaLogChecker.exe";
        FUZZ_CHECK(task.application == application);
    }
    return 0;
}
