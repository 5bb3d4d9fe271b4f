// The floor for the hourly run that finds nothing due: start, read the one registry value the
// check reads, end. Built exactly like the shipped program.
#include <windows.h>

extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup()
{
    HKEY key;
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\VORLA\\VorlaPrinterAgentForKDLX", 0, KEY_READ,
                      &key) == ERROR_SUCCESS) {
        RegQueryValueExA(key, "LastCheckDate", NULL, NULL, reinterpret_cast<BYTE*>(&value), &size);
        RegCloseKey(key);
    }
    ExitProcess(0);
}
