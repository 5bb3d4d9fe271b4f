// Internals shared by the stand-in's modules: the state directory, its files, the per-process
// counters, and the entry check that every platform call makes.
#ifndef PLATFORM_STATE_H
#define PLATFORM_STATE_H

#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace platform {
namespace detail {

std::string StatePath(const std::string& file);
bool ReadStateFile(const std::string& file, std::string* content);         // false when absent
void WriteStateFile(const std::string& file, const std::string& content);  // atomic replace
void AppendStateLine(const std::string& file, const std::string& line);
std::vector<std::string> ReadStateLines(const std::string& file);  // none when absent
void RemoveStateFile(const std::string& file);

// Serialises read-modify-write of the shared state between processes (the registry and the
// task store are atomic per call on Windows).
class StateLock {
public:
    StateLock();
    ~StateLock();

private:
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
    int fd_;
};

// Logs the call and reports whether a test made it fail, with the status to fail with.
bool EnterCall(const char* call, long* status);

struct RegistryHandle {
    std::string path;
    REGSAM access;
};

struct ProcessState {
    std::map<std::string, int> callCounts;
    std::map<uintptr_t, RegistryHandle> keyHandles;
    uintptr_t nextKeyHandle = 0x1000;
    int invalidHandleUses = 0;
    std::string commandLine;
    int apartmentDepth = 0;
    int unbalancedUninitialize = 0;
    int liveObjects = 0;
    int referenceMisuse = 0;
    DWORD lastError = 0;
    DWORD defaultDllDirectories = 0;  // 0 until SetDefaultDllDirectories
    bool currentDirectorySearched = true;
    std::set<std::string> loadedDlls;
};

// Loads a delay-loaded DLL into this process, once, and records the DLL search in force.
void LoadDelayedDll(const char* dll);
ProcessState& Process();

std::string ToHex(const std::string& bytes);
std::string FromHex(const std::string& hex);
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);
std::string ToUpperAscii(std::string text);

}  // namespace detail
}  // namespace platform

#endif
