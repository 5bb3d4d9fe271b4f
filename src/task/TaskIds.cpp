// The one place that defines the Task Scheduler 1.0 and IPersistFile identifiers, so the program
// needs no import library of the scheduler's own.
#include <initguid.h>
#include <windows.h>
#include <mstask.h>
