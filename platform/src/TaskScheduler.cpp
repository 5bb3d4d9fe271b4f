// The component library and Task Scheduler 1.0, following the platform's contract: a counted
// apartment; NewWorkItem refuses a saved name with HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
// SetTrigger validates the record; only IPersistFile::Save puts a task in the store. Every object
// counts its references, so a test can see each interface released exactly once.
#include "State.h"

#include <platform_controls.h>

#include <sstream>
#include <vector>

const IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_IPersistFile = {
    0x0000010B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const CLSID CLSID_CTaskScheduler = {
    0x148BD52A, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
const IID IID_ITaskScheduler = {
    0x148BD527, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
const CLSID CLSID_CTask = {
    0x148BD520, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
const IID IID_ITask = {
    0x148BD524, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};
const IID IID_IScheduledWorkItem = {
    0xA6B952F0, 0xA4B1, 0x11D0, {0x99, 0x7D, 0x00, 0xAA, 0x00, 0x68, 0x87, 0xEC}};
const IID IID_ITaskTrigger = {
    0x148BD52B, 0xA2AB, 0x11CE, {0xB1, 0x1F, 0x00, 0xAA, 0x00, 0x53, 0x05, 0x03}};

namespace platform {
namespace {

using detail::EnterCall;
using detail::Process;

const char kTaskFolder[] = "tasks/";

std::string TaskFile(const std::wstring& name)
{
    return kTaskFolder + detail::ToUtf8(name) + ".job";
}

std::string TriggerToHex(const TASK_TRIGGER& trigger)
{
    return detail::ToHex(std::string(reinterpret_cast<const char*>(&trigger), sizeof trigger));
}

// Base of every stand-in object: the reference count, and the checks that catch misuse.
class Object {
protected:
    Object() { ++Process().liveObjects; }
    virtual ~Object() { --Process().liveObjects; }

    ULONG AddReference()
    {
        CheckApartment();
        return ++references_;
    }
    ULONG ReleaseReference()
    {
        CheckApartment();
        if (references_ == 0) {
            ++Process().referenceMisuse;
            return 0;
        }
        ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }
    static void CheckApartment()
    {
        if (Process().apartmentDepth <= 0)
            ++Process().referenceMisuse;
    }

private:
    ULONG references_ = 1;
};

bool IsLeapYear(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

bool IsValidDate(WORD year, WORD month, WORD day)
{
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1)
        return false;
    int days = kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
    return day <= days;
}

class Task;

class Trigger : public ITaskTrigger, private Object {
public:
    Trigger(Task* task, size_t index);
    ~Trigger() override;

    HRESULT QueryInterface(REFIID riid, void** object) override
    {
        CheckApartment();
        if (object == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITaskTrigger) {
            AddRef();
            *object = static_cast<ITaskTrigger*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddReference(); }
    ULONG Release() override { return ReleaseReference(); }

    HRESULT SetTrigger(const PTASK_TRIGGER trigger) override;
    HRESULT GetTrigger(PTASK_TRIGGER trigger) override;
    HRESULT GetTriggerString(LPWSTR*) override { return E_NOTIMPL; }

private:
    Task* task_;
    size_t index_;
};

class Task : public ITask, public IPersistFile, private Object {
public:
    explicit Task(const std::wstring& name) { saved_.name = name; }

    HRESULT QueryInterface(REFIID riid, void** object) override
    {
        CheckApartment();
        if (object == nullptr)
            return E_POINTER;
        long injected;
        if (EnterCall("ITask::QueryInterface", &injected)) {
            *object = nullptr;
            return injected;
        }
        if (riid == IID_IUnknown || riid == IID_ITask || riid == IID_IScheduledWorkItem) {
            *object = static_cast<ITask*>(this);
        } else if (riid == IID_IPersistFile) {
            *object = static_cast<IPersistFile*>(this);
        } else {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        AddReference();
        return S_OK;
    }
    ULONG AddRef() override { return AddReference(); }
    ULONG Release() override { return ReleaseReference(); }

    HRESULT CreateTrigger(WORD* newTrigger, ITaskTrigger** trigger) override
    {
        CheckApartment();
        long injected;
        if (EnterCall("IScheduledWorkItem::CreateTrigger", &injected))
            return injected;
        if (newTrigger == nullptr || trigger == nullptr)
            return E_INVALIDARG;
        // A new trigger starts disabled with today's date; a full SetTrigger record replaces it.
        TASK_TRIGGER initial;
        memset(&initial, 0, sizeof initial);
        initial.cbTriggerSize = sizeof initial;
        initial.wBeginYear = 2000;
        initial.wBeginMonth = 1;
        initial.wBeginDay = 1;
        initial.rgFlags = TASK_TRIGGER_FLAG_DISABLED;
        initial.TriggerType = TASK_TIME_TRIGGER_DAILY;
        initial.Type.Daily.DaysInterval = 1;
        saved_.triggers.push_back(initial);
        *newTrigger = static_cast<WORD>(saved_.triggers.size() - 1);
        *trigger = new Trigger(this, saved_.triggers.size() - 1);
        return S_OK;
    }
    HRESULT DeleteTrigger(WORD) override { return E_NOTIMPL; }
    HRESULT GetTriggerCount(WORD* count) override
    {
        *count = static_cast<WORD>(saved_.triggers.size());
        return S_OK;
    }
    HRESULT GetTrigger(WORD, ITaskTrigger**) override { return E_NOTIMPL; }
    HRESULT GetTriggerString(WORD, LPWSTR*) override { return E_NOTIMPL; }
    HRESULT GetRunTimes(const void*, const void*, WORD*, void**) override { return E_NOTIMPL; }
    HRESULT GetNextRunTime(void*) override { return E_NOTIMPL; }
    HRESULT SetIdleWait(WORD, WORD) override { return E_NOTIMPL; }
    HRESULT GetIdleWait(WORD*, WORD*) override { return E_NOTIMPL; }
    HRESULT Run() override { return E_NOTIMPL; }
    HRESULT Terminate() override { return E_NOTIMPL; }
    HRESULT EditWorkItem(HWND, DWORD) override { return E_NOTIMPL; }
    HRESULT GetMostRecentRunTime(void*) override { return E_NOTIMPL; }
    HRESULT GetStatus(HRESULT*) override { return E_NOTIMPL; }
    HRESULT GetExitCode(DWORD*) override { return E_NOTIMPL; }
    HRESULT SetComment(LPCWSTR comment) override
    {
        return SetText("IScheduledWorkItem::SetComment", comment, &saved_.comment);
    }
    HRESULT GetComment(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT SetCreator(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT GetCreator(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT SetWorkItemData(WORD, BYTE*) override { return E_NOTIMPL; }
    HRESULT GetWorkItemData(WORD*, BYTE**) override { return E_NOTIMPL; }
    HRESULT SetErrorRetryCount(WORD) override { return E_NOTIMPL; }
    HRESULT GetErrorRetryCount(WORD*) override { return E_NOTIMPL; }
    HRESULT SetErrorRetryInterval(WORD) override { return E_NOTIMPL; }
    HRESULT GetErrorRetryInterval(WORD*) override { return E_NOTIMPL; }
    HRESULT SetFlags(DWORD) override { return E_NOTIMPL; }
    HRESULT GetFlags(DWORD*) override { return E_NOTIMPL; }
    HRESULT SetAccountInformation(LPCWSTR accountName, LPCWSTR password) override
    {
        HRESULT result =
            SetText("IScheduledWorkItem::SetAccountInformation", accountName, &saved_.account);
        if (SUCCEEDED(result)) {
            saved_.accountSet = true;
            saved_.passwordSet = password != nullptr;
        }
        return result;
    }
    HRESULT GetAccountInformation(LPWSTR*) override { return E_NOTIMPL; }

    HRESULT SetApplicationName(LPCWSTR name) override
    {
        return SetText("ITask::SetApplicationName", name, &saved_.application);
    }
    HRESULT GetApplicationName(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT SetParameters(LPCWSTR parameters) override
    {
        return SetText("ITask::SetParameters", parameters, &saved_.parameters);
    }
    HRESULT GetParameters(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT SetWorkingDirectory(LPCWSTR directory) override
    {
        return SetText("ITask::SetWorkingDirectory", directory, &saved_.workingDirectory);
    }
    HRESULT GetWorkingDirectory(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT SetPriority(DWORD) override { return E_NOTIMPL; }
    HRESULT GetPriority(DWORD*) override { return E_NOTIMPL; }
    HRESULT SetTaskFlags(DWORD) override { return E_NOTIMPL; }
    HRESULT GetTaskFlags(DWORD*) override { return E_NOTIMPL; }
    HRESULT SetMaxRunTime(DWORD) override { return E_NOTIMPL; }
    HRESULT GetMaxRunTime(DWORD*) override { return E_NOTIMPL; }

    HRESULT GetClassID(CLSID* classId) override
    {
        *classId = CLSID_CTask;
        return S_OK;
    }
    HRESULT IsDirty() override { return S_OK; }
    HRESULT Load(LPCWSTR, DWORD) override { return E_NOTIMPL; }
    HRESULT Save(LPCWSTR fileName, BOOL) override
    {
        CheckApartment();
        long injected;
        if (EnterCall("IPersistFile::Save", &injected))
            return injected;
        if (fileName != nullptr)
            return E_NOTIMPL;  // the program saves under the work item's own name only
        SaveTask(saved_);
        return S_OK;
    }
    HRESULT SaveCompleted(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT GetCurFile(LPWSTR*) override { return E_NOTIMPL; }

    TASK_TRIGGER& TriggerRecord(size_t index) { return saved_.triggers[index]; }
    void Hold() { AddReference(); }
    void Drop() { ReleaseReference(); }

private:
    HRESULT SetText(const char* call, LPCWSTR text, std::wstring* field)
    {
        CheckApartment();
        long injected;
        if (EnterCall(call, &injected))
            return injected;
        if (text == nullptr)
            return E_INVALIDARG;
        *field = text;
        return S_OK;
    }

    SavedTask saved_ = SavedTask();
};

// A trigger keeps its work item alive, as on the platform.
Trigger::Trigger(Task* task, size_t index) : task_(task), index_(index)
{
    task_->Hold();
}
Trigger::~Trigger()
{
    task_->Drop();
}

HRESULT Trigger::SetTrigger(const PTASK_TRIGGER trigger)
{
    CheckApartment();
    long injected;
    if (EnterCall("ITaskTrigger::SetTrigger", &injected))
        return injected;
    if (trigger == nullptr || trigger->cbTriggerSize != sizeof(TASK_TRIGGER))
        return E_INVALIDARG;
    if (!IsValidDate(trigger->wBeginYear, trigger->wBeginMonth, trigger->wBeginDay) ||
        trigger->wStartHour > 23 || trigger->wStartMinute > 59)
        return E_INVALIDARG;
    if ((trigger->rgFlags & TASK_TRIGGER_FLAG_HAS_END_DATE) != 0 &&
        !IsValidDate(trigger->wEndYear, trigger->wEndMonth, trigger->wEndDay))
        return E_INVALIDARG;
    if (trigger->MinutesInterval != 0 && trigger->MinutesInterval >= trigger->MinutesDuration)
        return E_INVALIDARG;
    if (trigger->TriggerType > TASK_EVENT_TRIGGER_AT_LOGON)
        return E_INVALIDARG;
    task_->TriggerRecord(index_) = *trigger;
    return S_OK;
}

HRESULT Trigger::GetTrigger(PTASK_TRIGGER trigger)
{
    CheckApartment();
    *trigger = task_->TriggerRecord(index_);
    return S_OK;
}

class Scheduler : public ITaskScheduler, private Object {
public:
    HRESULT QueryInterface(REFIID riid, void** object) override
    {
        CheckApartment();
        if (object == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ITaskScheduler) {
            AddRef();
            *object = static_cast<ITaskScheduler*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return AddReference(); }
    ULONG Release() override { return ReleaseReference(); }

    HRESULT SetTargetComputer(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT GetTargetComputer(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT Enum(IEnumWorkItems**) override { return E_NOTIMPL; }
    HRESULT Activate(LPCWSTR, REFIID, IUnknown**) override { return E_NOTIMPL; }
    HRESULT Delete(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT NewWorkItem(LPCWSTR name, REFCLSID classId, REFIID riid, IUnknown** unknown) override
    {
        CheckApartment();
        long injected;
        if (EnterCall("ITaskScheduler::NewWorkItem", &injected))
            return injected;
        if (unknown == nullptr)
            return E_POINTER;
        *unknown = nullptr;
        if (name == nullptr || *name == 0 ||
            std::wstring(name).find_first_of(L"\\/:*?\"<>|") != std::wstring::npos)
            return E_INVALIDARG;
        if (classId != CLSID_CTask)
            return 0x80040111L;  // CLASS_E_CLASSNOTAVAILABLE
        if (riid != IID_ITask && riid != IID_IUnknown && riid != IID_IScheduledWorkItem)
            return E_NOINTERFACE;
        SavedTask existing;
        if (LoadSavedTask(name, &existing))
            return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
        *unknown = static_cast<ITask*>(new Task(name));
        return S_OK;
    }
    HRESULT AddWorkItem(LPCWSTR, IScheduledWorkItem*) override { return E_NOTIMPL; }
    HRESULT IsOfType(LPCWSTR, REFIID) override { return E_NOTIMPL; }
};

}  // namespace

int ApartmentDepth()
{
    return Process().apartmentDepth;
}
int UnbalancedUninitializeCount()
{
    return Process().unbalancedUninitialize;
}
int LiveObjectCount()
{
    return Process().liveObjects;
}
int ReferenceMisuseCount()
{
    return Process().referenceMisuse;
}

std::vector<std::wstring> SavedTaskNames()
{
    std::vector<std::wstring> names;
    std::string index;
    if (!detail::ReadStateFile("tasks/index", &index))
        return names;
    std::istringstream lines(index);
    for (std::string line; std::getline(lines, line);)
        names.push_back(detail::FromUtf8(line));
    return names;
}

bool LoadSavedTask(const std::wstring& name, SavedTask* task)
{
    detail::StateLock lock;
    std::string content;
    if (!detail::ReadStateFile(TaskFile(name), &content))
        return false;
    *task = SavedTask();
    task->name = name;
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
        size_t equals = line.find('=');
        std::string field = line.substr(0, equals);
        std::string value = equals == std::string::npos ? std::string() : line.substr(equals + 1);
        std::wstring text = detail::FromUtf8(detail::FromHex(value));
        if (field == "application")
            task->application = text;
        else if (field == "parameters")
            task->parameters = text;
        else if (field == "workingDirectory")
            task->workingDirectory = text;
        else if (field == "comment")
            task->comment = text;
        else if (field == "account") {
            task->account = text;
            task->accountSet = true;
        } else if (field == "password")
            task->passwordSet = true;
        else if (field == "trigger") {
            std::string bytes = detail::FromHex(value);
            TASK_TRIGGER trigger;
            memset(&trigger, 0, sizeof trigger);
            memcpy(&trigger, bytes.data(), std::min(bytes.size(), sizeof trigger));
            task->triggers.push_back(trigger);
        }
    }
    return true;
}

void SaveTask(const SavedTask& task)
{
    auto text = [](const std::wstring& value) { return detail::ToHex(detail::ToUtf8(value)); };
    std::string content = "application=" + text(task.application) + "\n" +
                          "parameters=" + text(task.parameters) + "\n" +
                          "workingDirectory=" + text(task.workingDirectory) + "\n" +
                          "comment=" + text(task.comment) + "\n";
    if (task.accountSet)
        content += "account=" + text(task.account) + "\n";
    if (task.passwordSet)
        content += "password=\n";
    for (const TASK_TRIGGER& trigger : task.triggers)
        content += "trigger=" + TriggerToHex(trigger) + "\n";

    detail::StateLock lock;
    std::string existing;
    bool known = detail::ReadStateFile(TaskFile(task.name), &existing);
    detail::WriteStateFile(TaskFile(task.name), content);
    if (!known)
        detail::AppendStateLine("tasks/index", detail::ToUtf8(task.name));
}

}  // namespace platform

using platform::detail::EnterCall;
using platform::detail::Process;

HRESULT CoInitialize(LPVOID reserved)
{
    platform::detail::LoadDelayedDll("ole32.dll");
    long injected;
    if (EnterCall("CoInitialize", &injected))
        return injected;
    if (reserved != nullptr)
        return E_INVALIDARG;
    return ++Process().apartmentDepth == 1 ? S_OK : S_FALSE;
}

void CoUninitialize(void)
{
    platform::detail::LoadDelayedDll("ole32.dll");
    long injected;
    EnterCall("CoUninitialize", &injected);  // cannot fail
    if (Process().apartmentDepth <= 0)
        ++Process().unbalancedUninitialize;
    else
        --Process().apartmentDepth;
}

HRESULT CoCreateInstance(REFCLSID classId, LPUNKNOWN outer, DWORD context, REFIID riid,
                         LPVOID* object)
{
    platform::detail::LoadDelayedDll("ole32.dll");
    long injected;
    if (EnterCall("CoCreateInstance", &injected)) {
        if (object != nullptr)
            *object = nullptr;
        return injected;
    }
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (Process().apartmentDepth <= 0)
        return CO_E_NOTINITIALIZED;
    if (outer != nullptr)
        return 0x80040110L;  // CLASS_E_NOAGGREGATION
    if (classId != CLSID_CTaskScheduler || (context & CLSCTX_INPROC_SERVER) == 0)
        return REGDB_E_CLASSNOTREG;
    if (riid != IID_ITaskScheduler && riid != IID_IUnknown)
        return E_NOINTERFACE;
    *object = static_cast<ITaskScheduler*>(new platform::Scheduler());
    return S_OK;
}

void CoTaskMemFree(LPVOID memory)
{
    free(memory);
}
