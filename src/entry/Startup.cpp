#include "entry/Entry.h"

char* GetCommandTail(char* commandLine)
{
    unsigned char* p = reinterpret_cast<unsigned char*>(commandLine);
    int inQuotes = 0;
    while (*p != 0 && (*p > ' ' || inQuotes)) {
        if (*p == '"')
            inQuotes = !inQuotes;
        // A lead byte just before the terminator must not carry the scan past the end.
        if (IsDBCSLeadByte(*p) && p[1] != 0)
            ++p;
        ++p;
    }
    while (*p != 0 && *p <= ' ')
        ++p;
    return reinterpret_cast<char*>(p);
}

// Our own start-up replaces the C runtime's: the program needs none of its initialisation, and
// this way the tail follows the rule above exactly, whatever runtime the build links.
extern "C"
#if defined(__i386__) && defined(_WIN32)
    __attribute__((force_align_arg_pointer))
#endif
    void WinMainCRTStartup()
{
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int showMode = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
    ExitProcess(static_cast<UINT>(
        WinMain(GetModuleHandleA(NULL), NULL, GetCommandTail(GetCommandLineA()), showMode)));
}
