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

    // A path that fills the buffer was cut short: a task running as the system account must
    // never name a file that may not be this program.
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return kTaskNotDescribed;
    // Nothing would terminate the wide buffer after a failed conversion.
    WCHAR widePath[MAX_PATH + 1];
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH + 1) == 0)
        return kTaskNotDescribed;

    if (FAILED((*task)->SetApplicationName(widePath)) || FAILED((*task)->SetParameters(L"/CHK")) ||
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
