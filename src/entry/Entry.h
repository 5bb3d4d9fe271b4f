#ifndef VORLA_ENTRY_ENTRY_H
#define VORLA_ENTRY_ENTRY_H

#include <windows.h>

// 1 on a platform of major version 6 or above, else 0 (also when the version can't be read).
int IsSupportedOs();

// The command tail of a full command line, by the runtime's rule for GUI programs: skip the
// program name (a double quote toggles quoting; outside quotes a character from 1 to 0x20 ends
// it; a DBCS lead byte carries the byte after it), then the blanks and control characters after
// it. The rest is returned as it stands. Points into commandLine.
char* GetCommandTail(char* commandLine);

#ifdef _WIN32
// Gives the stack protector's guard a value of this run's own; before anything else runs.
void SeedStackGuard();
#endif

// Limits the DLL search of the whole process to the system directory where the platform can
// (SetDefaultDllDirectories); elsewhere it takes the current directory out of it.
void RestrictDllSearch();

// Restricts the DLL search, then calls WinMain with the tail of GetCommandLineA and ends the
// process with its result.
extern "C" void WinMainCRTStartup();

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandTail, int showMode);

#endif
