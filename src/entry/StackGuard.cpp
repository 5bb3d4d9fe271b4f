#include <windows.h>

#include "entry/Entry.h"

// GCC's -fstack-protector-strong keeps a copy of this value below the locals of every function
// that has a buffer or a local whose address is taken, and checks it before the function returns.
// GCC's runtime seeds it from a constructor, and our start-up runs no constructors: so the guard
// and its seeding are ours. Until seeded it holds a fixed value that is never 0.
extern "C" {
UINT_PTR __stack_chk_guard = 0xBB40E64E;

// The stack is already overwritten: end now, running nothing more of ours and no DLL's detach
// code, with the status that Windows gives a process whose buffer overran.
__attribute__((noreturn)) void __stack_chk_fail()
{
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    for (;;) {
    }
}
}

// The sources of MSVC's own cookie: the clock, the process and thread, the performance counter,
// and where ASLR put our stack. Random enough that an overwrite can't carry the value along, and
// all of it already in kernel32: no DLL to load on the hourly run. Not itself protected, since
// the guard changes under it.
__attribute__((no_stack_protector)) void SeedStackGuard()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    UINT_PTR guard = now.dwLowDateTime ^ now.dwHighDateTime ^ GetCurrentProcessId() ^
                     GetCurrentThreadId() ^ counter.LowPart ^ static_cast<DWORD>(counter.HighPart) ^
                     reinterpret_cast<UINT_PTR>(&counter);
    if (guard != 0)
        __stack_chk_guard = guard;
}
