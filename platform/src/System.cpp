// System services, the C runtime clock and the shell: version query, strings, module facts,
// start-up information, and ShellExecuteA's record of what would have opened.
#include "State.h"

#include <platform_controls.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <sstream>

namespace platform {
namespace {

const char kDefaultModulePath[] = "C:\\Program Files\\Vorla\\VorlaLogChecker.exe";

bool ReadControl(const char* file, std::string* value)
{
    if (!detail::ReadStateFile(file, value))
        return false;
    while (!value->empty() && (value->back() == '\n' || value->back() == '\r'))
        value->pop_back();
    return true;
}

// Fields of a record line may hold anything but tabs and line ends.
std::string Field(LPCSTR text)
{
    if (text == nullptr)
        return "(null)";
    std::string field(text);
    for (char& c : field) {
        if (c == '\t' || c == '\n' || c == '\r')
            c = ' ';
    }
    return field;
}

}  // namespace

void SetClock(int64_t secondsSince1970)
{
    detail::WriteStateFile("clock", std::to_string(secondsSince1970));
}
void ClearClock()
{
    detail::RemoveStateFile("clock");
}
void SetOsVersion(DWORD major, DWORD minor)
{
    detail::WriteStateFile("osversion", std::to_string(major) + " " + std::to_string(minor));
}
void SetModulePath(const std::string& path)
{
    detail::WriteStateFile("modulepath", path);
}
void SetAnsiCodePage(UINT codePage)
{
    detail::WriteStateFile("codepage", std::to_string(codePage));
}
void SetCommandLine(const std::string& commandLine)
{
    detail::Process().commandLine = commandLine;
}
void SetDriveType(wchar_t letter, UINT driveType)
{
    detail::AppendStateLine("drivetypes", std::string(1, static_cast<char>(towupper(letter))) +
                                              " " + std::to_string(driveType));
}
void RemoveExport(const std::string& function)
{
    detail::AppendStateLine("missing-exports", function);
}

std::vector<DllLoad> DllLoads()
{
    std::vector<DllLoad> loads;
    for (const std::string& line : detail::ReadStateLines("loads.log")) {
        size_t tab = line.find('\t');
        loads.push_back(
            {line.substr(0, tab), tab == std::string::npos ? "" : line.substr(tab + 1)});
    }
    return loads;
}

namespace detail {

void LoadDelayedDll(const char* dll)
{
    ProcessState& process = Process();
    if (!process.loadedDlls.insert(dll).second)
        return;
    std::string search;
    DWORD restricted = process.defaultDllDirectories;
    if (restricted & LOAD_LIBRARY_SEARCH_DEFAULT_DIRS)
        restricted |= LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                      LOAD_LIBRARY_SEARCH_SYSTEM32;
    if (restricted == 0) {
        search = std::string("program folder; system; ") +
                 (process.currentDirectorySearched ? "current directory; " : "") + "PATH";
    } else {
        if (restricted & LOAD_LIBRARY_SEARCH_APPLICATION_DIR)
            search += "program folder; ";
        if (restricted & LOAD_LIBRARY_SEARCH_USER_DIRS)
            search += "added folders; ";
        if (restricted & LOAD_LIBRARY_SEARCH_SYSTEM32)
            search += "system; ";
        search.resize(search.size() - 2);
    }
    AppendStateLine("loads.log", std::string(dll) + "\t" + search);
}

}  // namespace detail

std::vector<ShellCall> ShellCalls()
{
    std::vector<ShellCall> calls;
    std::string content;
    if (!detail::ReadStateFile("shell.log", &content))
        return calls;
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        ShellCall call;
        std::string showMode;
        std::getline(fields, call.owner, '\t');
        std::getline(fields, call.verb, '\t');
        std::getline(fields, call.file, '\t');
        std::getline(fields, call.parameters, '\t');
        std::getline(fields, call.directory, '\t');
        std::getline(fields, showMode, '\t');
        call.showMode = std::atoi(showMode.c_str());
        calls.push_back(call);
    }
    return calls;
}

}  // namespace platform

using platform::detail::EnterCall;

DWORD GetLastError(void)
{
    return platform::detail::Process().lastError;
}
void SetLastError(DWORD error)
{
    platform::detail::Process().lastError = error;
}

BOOL GetVersionExA(LPOSVERSIONINFOA versionInfo)
{
    long injected;
    if (EnterCall("GetVersionExA", &injected)) {
        SetLastError(static_cast<DWORD>(injected));
        return FALSE;
    }
    if (versionInfo == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD size = versionInfo->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOEXA)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    DWORD major = 10, minor = 0;
    std::string version;
    if (platform::ReadControl("osversion", &version))
        std::sscanf(version.c_str(), "%u %u", &major, &minor);
    memset(reinterpret_cast<BYTE*>(versionInfo) + sizeof(DWORD), 0, size - sizeof(DWORD));
    versionInfo->dwMajorVersion = major;
    versionInfo->dwMinorVersion = minor;
    versionInfo->dwBuildNumber = major >= 10 ? 19045 : major == 6 ? 7601 : 2600;
    versionInfo->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
    return TRUE;
}

int lstrcmpA(LPCSTR a, LPCSTR b)
{
    long injected;
    EnterCall("lstrcmpA", &injected);  // cannot fail
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : a == nullptr ? -1 : 1;
    int order = strcmp(a, b);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

BOOL IsDBCSLeadByte(BYTE testChar)
{
    std::string codePage;
    if (!platform::ReadControl("codepage", &codePage) || codePage != "932")
        return FALSE;
    return (testChar >= 0x81 && testChar <= 0x9F) || (testChar >= 0xE0 && testChar <= 0xFC);
}

LPSTR GetCommandLineA(void)
{
    return &platform::detail::Process().commandLine[0];
}

HMODULE GetModuleHandleA(LPCSTR moduleName)
{
    return moduleName == nullptr ? reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000))
                                 : nullptr;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size)
{
    long injected;
    bool failing = EnterCall("GetModuleFileNameW", &injected);
    (void)module;
    std::string utf8;
    if (!platform::ReadControl("modulepath", &utf8))
        utf8 = platform::kDefaultModulePath;
    std::wstring path = platform::detail::FromUtf8(utf8);
    if (failing && injected != ERROR_INSUFFICIENT_BUFFER) {
        // Nothing is promised about the buffer on failure. It gets the module's path, which looks
        // right to a caller that ignores the result, so only the result keeps the caller safe.
        if (size != 0) {
            size_t copied = path.size() < size ? path.size() : size - 1;
            wmemcpy(fileName, path.data(), copied);
            fileName[copied] = 0;
        }
        SetLastError(static_cast<DWORD>(injected));
        return 0;
    }
    // The platform reports a too small buffer only through a cut path; an injected one is the
    // answer for a module that lives deeper than the buffer reaches.
    if (failing)
        path += L"\\" + std::wstring(size, L'd');
    if (size == 0)
        return 0;
    // Too small a buffer gets the path cut short and terminated, and the result is the size.
    if (path.size() >= size) {
        wmemcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    wmemcpy(fileName, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

namespace {

const HMODULE kKernel32 = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7C800000));

BOOL WINAPI StandInSetDefaultDllDirectories(DWORD flags)
{
    long injected;
    if (EnterCall("SetDefaultDllDirectories", &injected)) {
        SetLastError(static_cast<DWORD>(injected));
        return FALSE;
    }
    const DWORD known = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                        LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
    if (flags == 0 || (flags & ~known) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    platform::detail::Process().defaultDllDirectories = flags;
    return TRUE;
}

BOOL WINAPI StandInSetDllDirectoryW(LPCWSTR folder)
{
    long injected;
    if (EnterCall("SetDllDirectoryW", &injected)) {
        SetLastError(static_cast<DWORD>(injected));
        return FALSE;
    }
    // NULL restores the default search; "" takes the current directory out; a folder would be
    // added in its place, which the stand-in has no use for.
    platform::detail::Process().currentDirectorySearched = folder == nullptr;
    return TRUE;
}

bool ExportRemoved(const std::string& function)
{
    for (const std::string& line : platform::detail::ReadStateLines("missing-exports")) {
        if (line == function)
            return true;
    }
    return false;
}

}  // namespace

HMODULE GetModuleHandleW(LPCWSTR moduleName)
{
    if (moduleName == nullptr)
        return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x400000));
    std::wstring name(moduleName);
    for (wchar_t& c : name)
        c = static_cast<wchar_t>(towlower(c));
    if (name == L"kernel32.dll" || name == L"kernel32")
        return kKernel32;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR procName)
{
    long injected;
    if (EnterCall("GetProcAddress", &injected)) {
        SetLastError(static_cast<DWORD>(injected));
        return nullptr;
    }
    std::string name = procName != nullptr ? procName : "";
    if (module == kKernel32 && !ExportRemoved(name)) {
        if (name == "SetDefaultDllDirectories")
            return reinterpret_cast<FARPROC>(
                reinterpret_cast<void (*)()>(StandInSetDefaultDllDirectories));
        if (name == "SetDllDirectoryW")
            return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(StandInSetDllDirectoryW));
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

UINT GetDriveTypeW(LPCWSTR rootPathName)
{
    long injected;
    if (EnterCall("GetDriveTypeW", &injected))
        return static_cast<UINT>(injected);  // DRIVE_UNKNOWN or DRIVE_NO_ROOT_DIR, as it fails
    if (rootPathName == nullptr)
        return DRIVE_NO_ROOT_DIR;
    std::wstring root(rootPathName);
    if (root.size() != 3 || !iswalpha(root[0]) || root[1] != L':' || root[2] != L'\\')
        return DRIVE_NO_ROOT_DIR;
    UINT type = DRIVE_FIXED;
    std::string content;
    if (platform::detail::ReadStateFile("drivetypes", &content)) {
        std::istringstream lines(content);
        std::string letter;
        UINT set;
        while (lines >> letter >> set) {
            if (letter[0] == static_cast<char>(towupper(root[0])))
                type = set;
        }
    }
    return type;
}

void GetStartupInfoA(LPSTARTUPINFOA startupInfo)
{
    memset(startupInfo, 0, sizeof *startupInfo);
    startupInfo->cb = sizeof *startupInfo;
}

void ExitProcess(UINT exitCode)
{
    std::exit(static_cast<int>(exitCode));
}

__time64_t _time64(__time64_t* result)
{
    long injected;
    EnterCall("_time64", &injected);  // cannot fail
    std::string clock;
    __time64_t now = platform::ReadControl("clock", &clock)
                         ? std::stoll(clock)
                         : static_cast<__time64_t>(time(nullptr));
    if (result != nullptr)
        *result = now;
    return now;
}

struct tm* _localtime64(const __time64_t* time)
{
    // It fails only for instants it cannot break down: msvcrt's range is 1970-01-01 through
    // 3000-12-31 23:59:59 UTC. An injected failure is one of those, with errno set as for them.
    long injected;
    if (EnterCall("_localtime64", &injected)) {
        errno = static_cast<int>(injected);
        return nullptr;
    }
    if (time == nullptr || *time < 0 || *time > 32535215999LL) {
        errno = EINVAL;
        return nullptr;
    }
    static thread_local struct tm broken;
    time_t value = static_cast<time_t>(*time);
    return localtime_r(&value, &broken);
}

HINSTANCE ShellExecuteA(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        INT showMode)
{
    platform::detail::LoadDelayedDll("shell32.dll");
    long injected;
    if (EnterCall("ShellExecuteA", &injected))
        return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(injected));
    char ownerText[32];
    std::snprintf(ownerText, sizeof ownerText, "%p", static_cast<void*>(owner));
    platform::detail::AppendStateLine(
        "shell.log", std::string(ownerText) + "\t" + platform::Field(verb) + "\t" +
                         platform::Field(file) + "\t" + platform::Field(parameters) + "\t" +
                         platform::Field(directory) + "\t" + std::to_string(showMode));
    return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(42));
}
