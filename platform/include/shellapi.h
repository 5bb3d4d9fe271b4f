#ifndef PLATFORM_SHELLAPI_H
#define PLATFORM_SHELLAPI_H

#include <windows.h>

// Records verb, file, parameters, directory and show mode of each call (see <platform_controls.h>).
// Returns a value above 32 on success, SE_ERR_* (at most 32) on failure, as the platform does.
HINSTANCE ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        INT showMode);

#define SE_ERR_FNF 2
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_OOM 8
#define SE_ERR_NOASSOC 31

#endif
