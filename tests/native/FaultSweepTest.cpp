// Whatever the platform answers, a run ends with 0 from WinMain, holds nothing afterwards and
// leaves the machine as the program's rules say for that failure.
//
// For each switch and each starting state, a clean run records the platform calls it makes. The
// run is then repeated once per call occurrence with that one occurrence failing, in each way the
// platform really fails that call, and once more with every occurrence of the call failing.
// Calls that only a first failure brings about (the create after a refused open, the short
// version record after a refused long one) are failed as well, on top of that first failure.
//
// What each run must leave behind comes from Expectation below: a small model of the program's
// rules, written from what the program promises, not from how it is coded.
#include <shellapi.h>

#include <cerrno>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "Machine.h"
#include "entry/Entry.h"
#include "task/CheckTask.h"

namespace {

const HRESULT SCHED_E_NO_SECURITY_SERVICES = static_cast<HRESULT>(0x80041312L);
const HRESULT STG_E_MEDIUMFULL = static_cast<HRESULT>(0x80030070L);

// How each platform call fails in practice. A call the program makes that is missing here fails
// the sweep, so a new call cannot slip in untested. An empty list is a call without a failure:
//   lstrcmpA       compares two strings in memory and has no error result;
//   _time64        with no output pointer only reads the clock (its -1 needs a clock outside
//                  1970-3000, which no machine that runs this program has);
//   CoUninitialize returns nothing.
// RegCloseKey fails only for a handle that is not open; the stand-in reports the injected failure
// but still releases a valid handle, so the handle count keeps telling forgotten closes apart.
const std::map<std::string, std::vector<long>>& FailureTable()
{
    static const std::map<std::string, std::vector<long>> table = {
        {"GetVersionExA", {ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER}},
        {"lstrcmpA", {}},
        {"_time64", {}},
        {"RegOpenKeyExA", {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_NOT_ENOUGH_MEMORY}},
        {"RegCreateKeyExA", {ERROR_ACCESS_DENIED, ERROR_NOT_ENOUGH_MEMORY, ERROR_CANTWRITE}},
        {"RegQueryValueExA",
         {ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_MORE_DATA, ERROR_KEY_DELETED,
          ERROR_NOT_ENOUGH_MEMORY}},
        {"RegSetValueExA",
         {ERROR_ACCESS_DENIED, ERROR_KEY_DELETED, ERROR_NOT_ENOUGH_MEMORY, ERROR_CANTWRITE}},
        {"RegCloseKey", {ERROR_INVALID_HANDLE}},
        {"ShellExecuteA", {0, SE_ERR_FNF, SE_ERR_ACCESSDENIED, SE_ERR_OOM, SE_ERR_NOASSOC}},
        {"CoInitialize", {E_OUTOFMEMORY, E_UNEXPECTED, RPC_E_CHANGED_MODE}},
        {"CoCreateInstance", {REGDB_E_CLASSNOTREG, E_NOINTERFACE, E_OUTOFMEMORY, E_ACCESSDENIED}},
        {"CoUninitialize", {}},
        {"ITaskScheduler::NewWorkItem",
         {HRESULT_FROM_WIN32(ERROR_FILE_EXISTS), E_OUTOFMEMORY, E_INVALIDARG, E_ACCESSDENIED}},
        {"GetModuleFileNameW", {ERROR_INSUFFICIENT_BUFFER, ERROR_NOT_ENOUGH_MEMORY}},
        {"GetDriveTypeW", {DRIVE_UNKNOWN, DRIVE_NO_ROOT_DIR}},
        {"ITask::SetApplicationName", {E_OUTOFMEMORY, E_INVALIDARG}},
        {"ITask::SetParameters", {E_OUTOFMEMORY, E_INVALIDARG}},
        {"IScheduledWorkItem::SetAccountInformation",
         {E_ACCESSDENIED, E_INVALIDARG, E_OUTOFMEMORY, SCHED_E_NO_SECURITY_SERVICES}},
        {"IScheduledWorkItem::SetComment", {E_OUTOFMEMORY, E_INVALIDARG}},
        {"_localtime64", {EINVAL}},
        {"IScheduledWorkItem::CreateTrigger", {E_OUTOFMEMORY, E_INVALIDARG}},
        {"ITaskTrigger::SetTrigger", {E_INVALIDARG, E_OUTOFMEMORY}},
        {"ITask::QueryInterface", {E_NOINTERFACE}},
        {"IPersistFile::Save", {E_ACCESSDENIED, E_OUTOFMEMORY, E_FAIL, STG_E_MEDIUMFULL}},
    };
    return table;
}

const char kModulePath[] = "C:\\Program Files (x86)\\Vorla Printer Driver\\VorlaLogChecker.exe";
const DWORD kWeek = 604800;

struct Fault {
    std::string call;
    long status;
    int occurrence;  // 0: every call
};

// The machine as far as the program's rules speak of it.
struct World {
    bool keyExists = false;
    std::optional<DWORD> stamp;      // LastCheckDate, always a 4-byte REG_DWORD here
    std::optional<DWORD> installed;  // Installed, the same
    int pages = 0;
    bool taskSaved = false;  // a task of our name is in the store
    bool ourTask = false;    // and it is the hourly check of this program
    bool commentSet = false;

    bool operator==(const World& other) const
    {
        return keyExists == other.keyExists && stamp == other.stamp &&
               installed == other.installed && pages == other.pages &&
               taskSaved == other.taskSaved && ourTask == other.ourTask &&
               commentSet == other.commentSet;
    }
};

std::ostream& operator<<(std::ostream& out, const std::optional<DWORD>& value)
{
    if (value)
        return out << *value;
    return out << "none";
}

std::ostream& operator<<(std::ostream& out, const World& world)
{
    return out << "{key " << world.keyExists << ", stamp " << world.stamp << ", installed "
               << world.installed << ", pages " << world.pages << ", task " << world.taskSaved
               << "/" << world.ourTask << "/" << world.commentSet << "}";
}

// What the program must have done by the end of a run, given the faults.
class Expectation {
public:
    Expectation(const World& start, const std::vector<Fault>& faults)
        : world_(start), faults_(faults)
    {
    }

    World Run(const std::string& tail)
    {
        // The short record is asked for only after the long one was refused; a version that
        // cannot be read at all is no supported one.
        if (Fails("GetVersionExA") && Fails("GetVersionExA"))
            return world_;
        if (tail == "/INS")
            Install();
        else if (tail == "/CHK" && Due())
            Offer();
        else if (tail == "/INV")
            Offer();
        return world_;
    }

private:
    bool Fails(const std::string& call)
    {
        int n = ++counts_[call];
        for (const Fault& fault : faults_) {
            if (fault.call == call && (fault.occurrence == 0 || fault.occurrence == n))
                return true;
        }
        return false;
    }

    bool Open() { return !Fails("RegOpenKeyExA") && world_.keyExists; }
    void Close() { Fails("RegCloseKey"); }  // whatever it says, the key is closed
    DWORD Read(const std::optional<DWORD>& value)
    {
        return Fails("RegQueryValueExA") ? 0 : value.value_or(0);
    }

    // Into a key that opens for writing, or into one this very call creates; an existing key that
    // would not open for writing is left alone.
    void Stamp(bool createIfMissing)
    {
        if (!Open()) {
            if (!createIfMissing || Fails("RegCreateKeyExA"))
                return;
            bool existed = world_.keyExists;
            world_.keyExists = true;
            if (existed) {
                Close();
                return;
            }
        }
        if (!Fails("RegSetValueExA"))
            world_.stamp = static_cast<DWORD>(kNow);
        Close();
    }

    // The sweep's clock lies long before 2106, so the stamp is a plain count of seconds.
    bool Due()
    {
        if (!Open())
            return true;
        DWORD last = Read(world_.stamp);
        Close();
        int64_t elapsed = kNow - static_cast<int64_t>(last);
        if (elapsed < 0) {
            Stamp(false);
            return false;
        }
        return elapsed >= kWeek;
    }

    // A page that fails to open is stamped all the same.
    void Offer()
    {
        if (Open()) {
            DWORD installed = Read(world_.installed);
            Close();
            if (installed == 1)
                return;
        }
        if (!Fails("ShellExecuteA"))
            ++world_.pages;
        Stamp(true);
    }

    // Only the last step makes a task exist; the comment is the one step allowed to fail.
    void Install()
    {
        if (Fails("CoInitialize") || Fails("CoCreateInstance"))
            return;
        if (Fails("ITaskScheduler::NewWorkItem") || world_.taskSaved)
            return;
        if (Fails("GetModuleFileNameW") || Fails("GetDriveTypeW"))
            return;
        if (Fails("ITask::SetApplicationName") || Fails("ITask::SetParameters") ||
            Fails("IScheduledWorkItem::SetAccountInformation"))
            return;
        bool comment = !Fails("IScheduledWorkItem::SetComment");
        if (Fails("_localtime64") || Fails("_localtime64"))
            return;
        if (Fails("IScheduledWorkItem::CreateTrigger") || Fails("ITaskTrigger::SetTrigger"))
            return;
        if (Fails("ITask::QueryInterface") || Fails("IPersistFile::Save"))
            return;
        world_.taskSaved = true;
        world_.ourTask = true;
        world_.commentSet = comment;
    }

    World world_;
    std::vector<Fault> faults_;
    std::map<std::string, int> counts_;
};

struct Start {
    const char* name;
    World world;
};

// The states that make a difference to some switch. Values are REG_DWORD as the agent and the
// program write them; another product's odd data is the registry matrix's business.
std::vector<Start> Starts()
{
    World due;
    due.keyExists = true;
    due.stamp = static_cast<DWORD>(kNow - 8 * 86400);
    due.installed = 0;

    World notDue = due;
    notDue.stamp = static_cast<DWORD>(kNow - 3600);
    World future = due;
    future.stamp = static_cast<DWORD>(kNow + 86400);
    World installed = due;
    installed.installed = 1;
    World taskSaved = due;
    taskSaved.taskSaved = true;  // saved by an older version from elsewhere: not ours to change

    return {{"KeyMissing", World()},
            {"Due", due},
            {"NotDue", notDue},
            {"FutureStamp", future},
            {"AgentInstalled", installed},
            {"TaskSaved", taskSaved}};
}

void Prepare(const World& world)
{
    if (world.keyExists)
        platform::CreateKey(kKeyPath);
    if (world.stamp)
        platform::SetDwordValue(kKeyPath, "LastCheckDate", *world.stamp);
    if (world.installed)
        platform::SetDwordValue(kKeyPath, "Installed", *world.installed);
    if (world.taskSaved) {
        platform::SavedTask task = platform::SavedTask();
        task.name = kCheckTaskName;
        task.application = L"C:\\Old\\VorlaLogChecker.exe";
        task.parameters = L"/CHK";
        task.accountSet = true;
        platform::SaveTask(task);
    }
}

std::optional<DWORD> DwordValue(const char* name, std::string* problem)
{
    DWORD type = 0;
    std::string data;
    if (!platform::GetValue(kKeyPath, name, &type, &data))
        return std::nullopt;
    if (type != REG_DWORD || data.size() != 4)
        *problem += std::string(name) + " is no 4-byte REG_DWORD; ";
    DWORD value = 0;
    memcpy(&value, data.data(), std::min<size_t>(data.size(), 4));
    return value;
}

World Observe(std::string* problem)
{
    World world;
    world.keyExists = platform::KeyExists(kKeyPath);
    world.stamp = DwordValue("LastCheckDate", problem);
    world.installed = DwordValue("Installed", problem);
    world.pages = static_cast<int>(platform::ShellCalls().size());
    platform::SavedTask task;
    world.taskSaved = platform::LoadSavedTask(kCheckTaskName, &task);
    if (world.taskSaved) {
        std::string path = kModulePath;
        world.ourTask = task.application == std::wstring(path.begin(), path.end()) &&
                        task.parameters == L"/CHK" && task.triggers.size() == 1;
        world.commentSet = task.comment == L"Display Vorla Offers";
    }
    return world;
}

// Whatever the run did, it holds nothing now. Empty when all is well.
std::string Leftovers()
{
    std::ostringstream out;
    if (platform::OpenKeyHandleCount() != 0)
        out << platform::OpenKeyHandleCount() << " registry handles open; ";
    if (platform::InvalidHandleUseCount() != 0)
        out << platform::InvalidHandleUseCount() << " uses of closed registry handles; ";
    if (platform::LiveObjectCount() != 0)
        out << platform::LiveObjectCount() << " component objects alive; ";
    if (platform::ReferenceMisuseCount() != 0)
        out << platform::ReferenceMisuseCount() << " reference misuses; ";
    if (platform::ApartmentDepth() != 0)
        out << "apartment depth " << platform::ApartmentDepth() << "; ";
    if (platform::UnbalancedUninitializeCount() != 0)
        out << platform::UnbalancedUninitializeCount() << " unbalanced CoUninitialize; ";
    return out.str();
}

std::string Describe(const Start& start, const std::string& tail, const std::vector<Fault>& faults)
{
    std::ostringstream out;
    out << start.name << " " << tail;
    if (faults.empty())
        out << ", no failure";
    for (const Fault& fault : faults) {
        out << ", " << fault.call
            << (fault.occurrence == 0 ? std::string(" every time")
                                      : " #" + std::to_string(fault.occurrence))
            << " fails with " << fault.status;
    }
    return out.str();
}

std::map<std::string, int> Occurrences(const std::vector<std::string>& calls)
{
    std::map<std::string, int> counts;
    for (const std::string& call : calls)
        ++counts[call];
    return counts;
}

class FaultSweepTest : public Machine {
protected:
    // One run from a fresh machine; returns the calls it made.
    std::vector<std::string> RunAndCheck(const Start& start, const std::string& tail,
                                         const std::vector<Fault>& faults)
    {
        ++runs_;
        platform::ResetState();
        platform::SetClock(kNow);
        platform::SetModulePath(kModulePath);
        Prepare(start.world);
        for (const Fault& fault : faults) {
            platform::FailCall(fault.call, fault.status, fault.occurrence);
            covered_.insert({fault.call, fault.status});
        }

        std::vector<char> buffer(tail.begin(), tail.end());
        buffer.push_back(0);
        int exitCode = WinMain(kInstance, NULL, buffer.data(), SW_SHOWDEFAULT);

        std::vector<std::string> calls = platform::CallLog();
        std::string problem = Leftovers();
        World actual = Observe(&problem);
        World expected = Expectation(start.world, faults).Run(tail);
        if (exitCode != 0)
            problem += "exit code " + std::to_string(exitCode) + "; ";
        if (!(actual == expected)) {
            std::ostringstream out;
            out << "left " << actual << ", the rules say " << expected << "; ";
            problem += out.str();
        }
        for (const std::string& call : calls) {
            if (FailureTable().count(call) == 0)
                unknownCalls_.insert(call);
        }
        if (!problem.empty() && ++problems_ <= 20) {
            std::string log;
            for (const std::string& call : calls)
                log += " " + call;
            ADD_FAILURE() << Describe(start, tail, faults) << ": " << problem
                          << "\n  calls:" << log;
        }
        return calls;
    }

    void Sweep(const Start& start, const std::string& tail)
    {
        std::map<std::string, int> clean = Occurrences(RunAndCheck(start, tail, {}));
        for (const auto& entry : clean) {
            auto known = FailureTable().find(entry.first);
            if (known == FailureTable().end())
                continue;
            for (long status : known->second) {
                RunAndCheck(start, tail, {{entry.first, status, 0}});
                for (int occurrence = 1; occurrence <= entry.second; ++occurrence) {
                    Fault first{entry.first, status, occurrence};
                    std::map<std::string, int> opened =
                        Occurrences(RunAndCheck(start, tail, {first}));
                    SweepOpenedPaths(start, tail, first, clean, opened);
                }
            }
        }
    }

    // Occurrences that only the first failure brought about, failed on top of it.
    void SweepOpenedPaths(const Start& start, const std::string& tail, const Fault& first,
                          const std::map<std::string, int>& clean,
                          const std::map<std::string, int>& opened)
    {
        for (const auto& entry : opened) {
            auto known = FailureTable().find(entry.first);
            if (known == FailureTable().end())
                continue;
            auto before = clean.find(entry.first);
            int cleanCount = before == clean.end() ? 0 : before->second;
            for (int occurrence = cleanCount + 1; occurrence <= entry.second; ++occurrence) {
                for (long status : known->second)
                    RunAndCheck(start, tail, {first, {entry.first, status, occurrence}});
            }
        }
    }

    int runs_ = 0;
    int problems_ = 0;
    std::set<std::pair<std::string, long>> covered_;
    std::set<std::string> unknownCalls_;
};

TEST_F(FaultSweepTest, EveryFailureOfEveryCallEndsQuietlyAndAsTheRulesSay)
{
    for (const Start& start : Starts()) {
        for (const char* tail : {"/INS", "/CHK", "/INV", "/chk"})
            Sweep(start, tail);
    }

    for (const std::string& call : unknownCalls_)
        ADD_FAILURE() << "the program calls " << call << ", which the failure table does not know";
    size_t pairs = 0;
    for (const auto& entry : FailureTable()) {
        for (long status : entry.second) {
            ++pairs;
            EXPECT_EQ(covered_.count({entry.first, status}), 1u)
                << entry.first << " failing with " << status << " was never reached";
        }
    }
    EXPECT_EQ(covered_.size(), pairs);
    std::cout << "fault sweep: " << covered_.size() << " of " << pairs
              << " (call, failure) pairs over " << FailureTable().size() << " calls, " << runs_
              << " runs\n";
}

}  // namespace
