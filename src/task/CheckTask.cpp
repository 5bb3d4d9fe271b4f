#include "task/CheckTask.h"

const wchar_t kCheckTaskName[] = L"Vorla PrinterDriver Log Checker for KDLX";

namespace {

const __time64_t kWindowStartSeconds = 604800;  // seven days
const __time64_t kWindowEndSeconds = 2592000;   // thirty days

// Steps up to the save. Each interface it obtains is handed back through the out parameters so
// that the caller releases all of them in one place, whichever step failed.
int BuildAndSaveCheckTask(ITaskScheduler* scheduler, ITask** task, ITaskTrigger** trigger,
                          IPersistFile** file)
{
    if (FAILED(scheduler->NewWorkItem(kCheckTaskName, CLSID_CTask, IID_ITask,
                                      reinterpret_cast<IUnknown**>(task)))) {
        *task = NULL;
        return kTaskNameTaken;
    }

    WCHAR path[MAX_PATH];
    if (!GetCheckTaskApplication(path))
        return kTaskNotDescribed;

    if (FAILED((*task)->SetApplicationName(path)) || FAILED((*task)->SetParameters(L"/CHK")) ||
        FAILED((*task)->SetAccountInformation(L"", NULL)))  // "" is the local system account
        return kTaskNotDescribed;
    (*task)->SetComment(L"Display Vorla Offers");

    TASK_TRIGGER record;
    if (!FillCheckTrigger(_time64(NULL), &record))
        return kTaskNoTrigger;
    WORD triggerIndex = 0;
    if (FAILED((*task)->CreateTrigger(&triggerIndex, trigger))) {
        *trigger = NULL;
        return kTaskNoTrigger;
    }
    if (FAILED((*trigger)->SetTrigger(&record)))
        return kTaskNoTrigger;

    // Only the save makes the task exist; everything before it leaves no trace.
    if (FAILED((*task)->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file)))) {
        *file = NULL;
        return kTaskNotSaved;
    }
    if (FAILED((*file)->Save(NULL, TRUE)))
        return kTaskNotSaved;
    return kTaskSaved;
}

}  // namespace

int GetCheckTaskApplication(WCHAR (&path)[MAX_PATH])
{
    // Taken in UTF-16 as the platform knows it: through the ANSI code page a folder name can come
    // back best-fitted ("Vorła" as "Vorla") or as question marks, naming another file or none.
    // A path that fills the buffer was cut short and may also name another file.
    DWORD length = GetModuleFileNameW(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 0;
    // The task runs as the system account long after this run: a share, a mapped or removable
    // drive, or a disc may by then hold a file that somebody else put there, or nothing.
    int drivePath =
        ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
        path[1] == L':' && path[2] == L'\\';
    if (!drivePath)
        return 0;
    WCHAR root[] = {path[0], L':', L'\\', 0};
    return GetDriveTypeW(root) == DRIVE_FIXED ? 1 : 0;
}

int FillCheckTrigger(__time64_t now, TASK_TRIGGER* trigger)
{
    ZeroMemory(trigger, sizeof *trigger);

    // The 64-bit breakdown keeps the dates right past 2038; its result is a shared buffer, so
    // each instant is copied out before the next is broken down.
    __time64_t begin = now + kWindowStartSeconds;
    const struct tm* local = _localtime64(&begin);
    if (local == NULL)
        return 0;
    trigger->wBeginYear = static_cast<WORD>(local->tm_year + 1900);
    trigger->wBeginMonth = static_cast<WORD>(local->tm_mon + 1);
    trigger->wBeginDay = static_cast<WORD>(local->tm_mday);
    trigger->wStartHour = static_cast<WORD>(local->tm_hour);
    trigger->wStartMinute = static_cast<WORD>(local->tm_min);

    __time64_t end = now + kWindowEndSeconds;
    local = _localtime64(&end);
    if (local == NULL)
        return 0;
    trigger->wEndYear = static_cast<WORD>(local->tm_year + 1900);
    trigger->wEndMonth = static_cast<WORD>(local->tm_mon + 1);
    trigger->wEndDay = static_cast<WORD>(local->tm_mday);

    trigger->cbTriggerSize = sizeof(TASK_TRIGGER);
    trigger->MinutesDuration = 1440;
    trigger->MinutesInterval = 60;
    trigger->rgFlags = TASK_TRIGGER_FLAG_HAS_END_DATE;
    trigger->TriggerType = TASK_TIME_TRIGGER_DAILY;
    trigger->Type.Daily.DaysInterval = 1;
    return 1;
}

int CreateCheckTask(TaskSchedulerConnection& connection)
{
    ITaskScheduler* scheduler = connection.Scheduler();
    if (scheduler == NULL)
        return kTaskNoScheduler;

    ITask* task = NULL;
    ITaskTrigger* trigger = NULL;
    IPersistFile* file = NULL;
    int result = BuildAndSaveCheckTask(scheduler, &task, &trigger, &file);

    if (task != NULL)
        task->Release();
    if (trigger != NULL)
        trigger->Release();
    if (file != NULL)
        file->Release();
    return result;
}

void InstallCheckTask()
{
    TaskSchedulerConnection connection;
    if (connection.Connect() != 1)
        return;
    CreateCheckTask(connection);
    connection.Disconnect();
}
