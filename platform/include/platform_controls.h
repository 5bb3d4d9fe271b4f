// Test controls of the Win32 stand-in. Everything that separate runs of a program share on Windows
// (the registry, the task store) and every control a test sets lives in files under the directory
// named by PLATFORM_STATE_DIR, so separate processes of the native build see the same machine.
// Counts of handles, interfaces and apartments are per process, as on Windows.
#ifndef PLATFORM_CONTROLS_H
#define PLATFORM_CONTROLS_H

#include <windows.h>
#include <mstask.h>

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

extern const char kStateDirVariable[];  // "PLATFORM_STATE_DIR"

// The state directory (created on demand); "./platform-state" when the variable is unset.
std::string StateDir();
// Empties the state directory and this process's counters: a fresh machine.
void ResetState();

// Clock and system facts.
void SetClock(int64_t secondsSince1970);  // _time64 reports this from now on
void ClearClock();                        // back to the host clock
void SetOsVersion(DWORD major, DWORD minor);
void SetModulePath(const std::string& path);  // what GetModuleFileNameW reports, in UTF-8
void SetAnsiCodePage(UINT codePage);          // 932 makes IsDBCSLeadByte see Shift-JIS lead bytes
void SetCommandLine(const std::string& commandLine);  // this process's GetCommandLineA
void SetDriveType(wchar_t letter, UINT driveType);    // what GetDriveTypeW reports for it
void RemoveExport(const std::string& function);       // GetProcAddress no longer finds it

// Makes the named call fail with the given status (a Win32 error, HRESULT or SE_ERR_* value, as
// the call reports failures). occurrence 0 fails every call; n fails only the n-th in a process.
void FailCall(const std::string& call, long status, int occurrence = 0);
// A key refuses any open or create that asks for one of these access bits; a key whose
// KEY_CREATE_SUB_KEY is denied refuses new subkeys. Paths are written "HKLM\\SOFTWARE\\...".
// Denying the complement of some rights leaves a key whose ACL grants those and nothing more.
void DenyAccess(const std::string& keyPath, REGSAM mask);

// Registry content, bypassing access checks and faults.
bool KeyExists(const std::string& keyPath);
void CreateKey(const std::string& keyPath);
void DeleteKey(const std::string& keyPath);  // with its subkeys
void SetValue(const std::string& keyPath, const std::string& name, DWORD type,
              const std::string& data);
void SetDwordValue(const std::string& keyPath, const std::string& name, DWORD value);
bool GetValue(const std::string& keyPath, const std::string& name, DWORD* type, std::string* data);

// Records.
struct ShellCall {
    std::string owner, verb, file, parameters, directory;
    int showMode;
};
std::vector<ShellCall> ShellCalls();
// Each delay-loaded DLL (shell32 at the first ShellExecuteA, ole32 at the first Co* call) as a
// process loaded it, with the folders that the DLL search then took in order: "system" alone
// once the search is restricted to the system directory; by default "program folder; system;
// current directory; PATH", less "current directory" after SetDllDirectoryW(L"").
struct DllLoad {
    std::string dll, search;
};
std::vector<DllLoad> DllLoads();
std::vector<std::string> CallLog();  // every platform call by name, in order, across processes
int OpenKeyHandleCount();            // registry handles this process holds
int InvalidHandleUseCount();         // registry calls on handles that were not open (double closes)

// Component objects in this process.
int ApartmentDepth();               // successful CoInitialize calls not yet undone
int UnbalancedUninitializeCount();  // CoUninitialize calls with no initialisation to undo
int LiveObjectCount();              // component objects not yet destroyed
int ReferenceMisuseCount();         // releases past zero, and calls on objects outside an apartment

// The task store.
struct SavedTask {
    std::wstring name, application, parameters, workingDirectory, comment, account;
    bool accountSet;
    bool passwordSet;
    std::vector<TASK_TRIGGER> triggers;
};
std::vector<std::wstring> SavedTaskNames();
bool LoadSavedTask(const std::wstring& name, SavedTask* task);
void SaveTask(const SavedTask& task);  // places a task in the store, as if saved earlier

}  // namespace platform

#endif
