#ifndef VORLA_TASK_TASKSCHEDULERCONNECTION_H
#define VORLA_TASK_TASKSCHEDULERCONNECTION_H

#include <windows.h>
#include <mstask.h>

// One single-threaded-apartment initialisation of the component library plus the Task Scheduler
// 1.0 object, from a successful Connect to Disconnect. Disconnect is the caller's explicit step:
// the destructor does nothing, and Disconnect must not follow a Connect that returned 0.
class TaskSchedulerConnection {
public:
    TaskSchedulerConnection();
    ~TaskSchedulerConnection();

    // 1 when the library was initialised and the scheduler created; on 0 nothing is held.
    int Connect();
    // Releases the scheduler and ends the apartment initialisation.
    void Disconnect();

    ITaskScheduler* Scheduler() const { return scheduler_; }

private:
    TaskSchedulerConnection(const TaskSchedulerConnection&);
    TaskSchedulerConnection& operator=(const TaskSchedulerConnection&);

    ITaskScheduler* scheduler_;
};

#endif
