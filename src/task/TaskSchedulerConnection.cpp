#include "task/TaskSchedulerConnection.h"

TaskSchedulerConnection::TaskSchedulerConnection() : scheduler_(NULL) {}

TaskSchedulerConnection::~TaskSchedulerConnection() {}

int TaskSchedulerConnection::Connect()
{
    // S_FALSE (already initialised on this thread) still counts and still needs its uninitialise.
    if (FAILED(CoInitialize(NULL)))
        return 0;
    if (FAILED(CoCreateInstance(CLSID_CTaskScheduler, NULL, CLSCTX_INPROC_SERVER,
                                IID_ITaskScheduler, reinterpret_cast<void**>(&scheduler_)))) {
        scheduler_ = NULL;
        CoUninitialize();
        return 0;
    }
    return 1;
}

void TaskSchedulerConnection::Disconnect()
{
    if (scheduler_ != NULL) {
        scheduler_->Release();
        scheduler_ = NULL;
    }
    CoUninitialize();
}
