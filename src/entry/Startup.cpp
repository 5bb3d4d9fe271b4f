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

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFunction)(DWORD);
typedef BOOL(WINAPI* SetDllDirectoryWFunction)(LPCWSTR);

// GetProcAddress's generic pointer goes through the one function type that GCC lets stand for
// any other.
template <typename Function>
Function LookUp(HMODULE module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

}  // namespace

void RestrictDllSearch()
{
    // Both are looked up, not imported: Vista and Windows 7 without their loader update lack the
    // first, and an import of it would keep the file from loading there at all.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    SetDefaultDllDirectoriesFunction setDefaultDllDirectories =
        LookUp<SetDefaultDllDirectoriesFunction>(kernel, "SetDefaultDllDirectories");
    if (setDefaultDllDirectories != NULL && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    // All that is left there: drop the current directory. The program's own folder stays first in
    // the search, so it must be one that only administrators can write.
    SetDllDirectoryWFunction setDllDirectory =
        LookUp<SetDllDirectoryWFunction>(kernel, "SetDllDirectoryW");
    if (setDllDirectory != NULL)
        setDllDirectory(L"");
}

// Windows enters the start-up with the stack aligned to 4 bytes, not the 16 that GCC assumes;
// and its frame can't carry a guard that it seeds itself.
#if defined(__i386__) && defined(_WIN32)
#define STARTUP_ATTRIBUTES __attribute__((force_align_arg_pointer, no_stack_protector))
#else
#define STARTUP_ATTRIBUTES
#endif

// Our own start-up replaces the C runtime's: the program needs none of its initialisation, and
// this way the tail follows the rule above exactly, whatever runtime the build links.
extern "C" STARTUP_ATTRIBUTES void WinMainCRTStartup()
{
#ifdef _WIN32
    SeedStackGuard();
#endif
    // The task runs us as the system account. shell32, ole32 and what they load by name later
    // must come from the system directory, never from a folder a user could write to: so this
    // comes before the first call that can load a DLL.
    RestrictDllSearch();

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    int showMode =
        (startup.dwFlags & STARTF_USESHOWWINDOW) != 0 ? startup.wShowWindow : SW_SHOWDEFAULT;
    ExitProcess(static_cast<UINT>(
        WinMain(GetModuleHandleA(NULL), NULL, GetCommandTail(GetCommandLineA()), showMode)));
}
