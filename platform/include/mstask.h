// Task Scheduler 1.0: the work-item interfaces the program uses, laid out as the platform's header
// declares them (methods the program never calls are still declared, in order, with E_NOTIMPL
// behind them in the stand-in).
#ifndef PLATFORM_MSTASK_H
#define PLATFORM_MSTASK_H

#include <windows.h>

#define TASK_TRIGGER_FLAG_HAS_END_DATE 0x1
#define TASK_TRIGGER_FLAG_KILL_AT_DURATION_END 0x2
#define TASK_TRIGGER_FLAG_DISABLED 0x4

typedef enum _TASK_TRIGGER_TYPE {
    TASK_TIME_TRIGGER_ONCE = 0,
    TASK_TIME_TRIGGER_DAILY = 1,
    TASK_TIME_TRIGGER_WEEKLY = 2,
    TASK_TIME_TRIGGER_MONTHLYDATE = 3,
    TASK_TIME_TRIGGER_MONTHLYDOW = 4,
    TASK_EVENT_TRIGGER_ON_IDLE = 5,
    TASK_EVENT_TRIGGER_AT_SYSTEMSTART = 6,
    TASK_EVENT_TRIGGER_AT_LOGON = 7
} TASK_TRIGGER_TYPE;

typedef struct _DAILY {
    WORD DaysInterval;
} DAILY;

typedef struct _WEEKLY {
    WORD WeeksInterval;
    WORD rgfDaysOfTheWeek;
} WEEKLY;

typedef struct _MONTHLYDATE {
    DWORD rgfDays;
    WORD rgfMonths;
} MONTHLYDATE;

typedef struct _MONTHLYDOW {
    WORD wWhichWeek;
    WORD rgfDaysOfTheWeek;
    WORD rgfMonths;
} MONTHLYDOW;

typedef union _TRIGGER_TYPE_UNION {
    DAILY Daily;
    WEEKLY Weekly;
    MONTHLYDATE MonthlyDate;
    MONTHLYDOW MonthlyDOW;
} TRIGGER_TYPE_UNION;

typedef struct _TASK_TRIGGER {
    WORD cbTriggerSize;
    WORD Reserved1;
    WORD wBeginYear;
    WORD wBeginMonth;
    WORD wBeginDay;
    WORD wEndYear;
    WORD wEndMonth;
    WORD wEndDay;
    WORD wStartHour;
    WORD wStartMinute;
    DWORD MinutesDuration;
    DWORD MinutesInterval;
    DWORD rgFlags;
    TASK_TRIGGER_TYPE TriggerType;
    TRIGGER_TYPE_UNION Type;
    WORD Reserved2;
    WORD wRandomMinutesInterval;
} TASK_TRIGGER, *PTASK_TRIGGER;

static_assert(sizeof(TASK_TRIGGER) == 48, "TASK_TRIGGER must keep the platform's 48-byte layout");

struct ITaskTrigger : public IUnknown {
    virtual HRESULT SetTrigger(const PTASK_TRIGGER trigger) = 0;
    virtual HRESULT GetTrigger(PTASK_TRIGGER trigger) = 0;
    virtual HRESULT GetTriggerString(LPWSTR* text) = 0;
};

struct IScheduledWorkItem : public IUnknown {
    virtual HRESULT CreateTrigger(WORD* newTrigger, ITaskTrigger** trigger) = 0;
    virtual HRESULT DeleteTrigger(WORD trigger) = 0;
    virtual HRESULT GetTriggerCount(WORD* count) = 0;
    virtual HRESULT GetTrigger(WORD index, ITaskTrigger** trigger) = 0;
    virtual HRESULT GetTriggerString(WORD index, LPWSTR* text) = 0;
    virtual HRESULT GetRunTimes(const void* begin, const void* end, WORD* count,
                                void** runTimes) = 0;
    virtual HRESULT GetNextRunTime(void* runTime) = 0;
    virtual HRESULT SetIdleWait(WORD idleMinutes, WORD deadlineMinutes) = 0;
    virtual HRESULT GetIdleWait(WORD* idleMinutes, WORD* deadlineMinutes) = 0;
    virtual HRESULT Run() = 0;
    virtual HRESULT Terminate() = 0;
    virtual HRESULT EditWorkItem(HWND parent, DWORD reserved) = 0;
    virtual HRESULT GetMostRecentRunTime(void* runTime) = 0;
    virtual HRESULT GetStatus(HRESULT* status) = 0;
    virtual HRESULT GetExitCode(DWORD* exitCode) = 0;
    virtual HRESULT SetComment(LPCWSTR comment) = 0;
    virtual HRESULT GetComment(LPWSTR* comment) = 0;
    virtual HRESULT SetCreator(LPCWSTR creator) = 0;
    virtual HRESULT GetCreator(LPWSTR* creator) = 0;
    virtual HRESULT SetWorkItemData(WORD size, BYTE* data) = 0;
    virtual HRESULT GetWorkItemData(WORD* size, BYTE** data) = 0;
    virtual HRESULT SetErrorRetryCount(WORD retryCount) = 0;
    virtual HRESULT GetErrorRetryCount(WORD* retryCount) = 0;
    virtual HRESULT SetErrorRetryInterval(WORD retryInterval) = 0;
    virtual HRESULT GetErrorRetryInterval(WORD* retryInterval) = 0;
    virtual HRESULT SetFlags(DWORD flags) = 0;
    virtual HRESULT GetFlags(DWORD* flags) = 0;
    virtual HRESULT SetAccountInformation(LPCWSTR accountName, LPCWSTR password) = 0;
    virtual HRESULT GetAccountInformation(LPWSTR* accountName) = 0;
};

struct ITask : public IScheduledWorkItem {
    virtual HRESULT SetApplicationName(LPCWSTR applicationName) = 0;
    virtual HRESULT GetApplicationName(LPWSTR* applicationName) = 0;
    virtual HRESULT SetParameters(LPCWSTR parameters) = 0;
    virtual HRESULT GetParameters(LPWSTR* parameters) = 0;
    virtual HRESULT SetWorkingDirectory(LPCWSTR workingDirectory) = 0;
    virtual HRESULT GetWorkingDirectory(LPWSTR* workingDirectory) = 0;
    virtual HRESULT SetPriority(DWORD priority) = 0;
    virtual HRESULT GetPriority(DWORD* priority) = 0;
    virtual HRESULT SetTaskFlags(DWORD flags) = 0;
    virtual HRESULT GetTaskFlags(DWORD* flags) = 0;
    virtual HRESULT SetMaxRunTime(DWORD maxRunTimeMs) = 0;
    virtual HRESULT GetMaxRunTime(DWORD* maxRunTimeMs) = 0;
};

struct IEnumWorkItems;

struct ITaskScheduler : public IUnknown {
    virtual HRESULT SetTargetComputer(LPCWSTR computer) = 0;
    virtual HRESULT GetTargetComputer(LPWSTR* computer) = 0;
    virtual HRESULT Enum(IEnumWorkItems** enumWorkItems) = 0;
    virtual HRESULT Activate(LPCWSTR name, REFIID riid, IUnknown** unknown) = 0;
    virtual HRESULT Delete(LPCWSTR name) = 0;
    virtual HRESULT NewWorkItem(LPCWSTR name, REFCLSID classId, REFIID riid,
                                IUnknown** unknown) = 0;
    virtual HRESULT AddWorkItem(LPCWSTR name, IScheduledWorkItem* workItem) = 0;
    virtual HRESULT IsOfType(LPCWSTR name, REFIID riid) = 0;
};

extern const CLSID CLSID_CTaskScheduler;
extern const IID IID_ITaskScheduler;
extern const CLSID CLSID_CTask;
extern const IID IID_ITask;
extern const IID IID_IScheduledWorkItem;
extern const IID IID_ITaskTrigger;

#endif
