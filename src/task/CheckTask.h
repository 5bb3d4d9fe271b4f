#ifndef VORLA_TASK_CHECKTASK_H
#define VORLA_TASK_CHECKTASK_H

#include <windows.h>
#include <mstask.h>
#include <time.h>

#include "task/TaskSchedulerConnection.h"

extern const wchar_t kCheckTaskName[];

// Results of CreateCheckTask.
enum {
    kTaskSaved = 0,
    // The scheduler refused the name, most often because the task exists.
    kTaskNameTaken = 1,
    kTaskNoScheduler = -2,
    // No local path of our own, or the application, parameters or account not set.
    kTaskNotDescribed = -3,
    kTaskNoTrigger = -4,
    kTaskNotSaved = -5,
};

// The "/INS" command: registers the hourly "/CHK" task. Failures are silent.
void InstallCheckTask();

// Creates, describes, triggers and saves the check task. An existing task is left unchanged.
// Whatever the outcome, every interface obtained here has been released on return.
int CreateCheckTask(TaskSchedulerConnection& connection);

// The running program's own path, for the task to start: 1 when it was had whole and lies on a
// local fixed drive (an absolute X:\ path), else 0.
int GetCheckTaskApplication(WCHAR (&path)[MAX_PATH]);

// Fills the daily trigger: every 60 minutes around the clock, from the local time seven days after
// now until the local date thirty days after it. 0 when a local breakdown isn't available.
int FillCheckTrigger(__time64_t now, TASK_TRIGGER* trigger);

#endif
