#include <windows.h>
#include <delayimp.h>

namespace {

// shell32 and ole32 are delay-loaded. Without a hook, a DLL or function that is missing when
// the first call comes raises an exception that nobody handles, and the user of an hourly task
// gets a crash dialog. The run can't do its work without them, so it ends as quietly as any
// run that had nothing to do. The hook is a plain initialised pointer: our start-up runs no
// constructors.
FARPROC WINAPI EndRunQuietly(unsigned, PDelayLoadInfo)
{
    ExitProcess(0);
}

}  // namespace

extern "C" {
PfnDliHook __pfnDliFailureHook2 = EndRunQuietly;
}
