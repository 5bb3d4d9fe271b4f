// The registry: keys and values of any type and size, access checked against what each key
// grants, handles per process. The hive is one file under the state directory, read and
// rewritten whole under the state lock by every call, so each call is atomic across processes.
#include "State.h"

#include <platform_controls.h>

#include <map>
#include <sstream>

namespace platform {
namespace {

struct Value {
    DWORD type;
    std::string data;
};

struct Key {
    std::string path;                          // as first created
    std::map<std::string, Value> values;       // by upper-cased name
    std::map<std::string, std::string> names;  // upper-cased name -> name as written
};

// Keys by upper-cased full path ("HKLM\\SOFTWARE\\..."); names compare without case.
typedef std::map<std::string, Key> Hive;

const char kHiveFile[] = "registry";
const char kDenialFile[] = "denials";

Hive LoadHive()
{
    Hive hive;
    std::string content;
    if (!detail::ReadStateFile(kHiveFile, &content))
        return hive;
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string kind, path;
        std::getline(fields, kind, '\t');
        std::getline(fields, path, '\t');
        Key& key = hive[detail::ToUpperAscii(path)];
        if (key.path.empty())
            key.path = path;
        if (kind == "value") {
            std::string name, type, data;
            std::getline(fields, name, '\t');
            std::getline(fields, type, '\t');
            std::getline(fields, data, '\t');
            std::string upper = detail::ToUpperAscii(name);
            key.values[upper] = Value{static_cast<DWORD>(std::stoul(type)), detail::FromHex(data)};
            key.names[upper] = name;
        }
    }
    return hive;
}

void StoreHive(const Hive& hive)
{
    std::string content;
    for (const auto& entry : hive) {
        const Key& key = entry.second;
        content += "key\t" + key.path + "\n";
        for (const auto& value : key.values) {
            content += "value\t" + key.path + "\t" + key.names.at(value.first) + "\t" +
                       std::to_string(value.second.type) + "\t" + detail::ToHex(value.second.data) +
                       "\n";
        }
    }
    detail::WriteStateFile(kHiveFile, content);
}

bool IsRoot(const std::string& upperPath)
{
    return upperPath == "HKLM" || upperPath == "HKCU" || upperPath == "HKCR" || upperPath == "HKU";
}

bool Exists(const Hive& hive, const std::string& path)
{
    std::string upper = detail::ToUpperAscii(path);
    return IsRoot(upper) || hive.count(upper) != 0;
}

std::string ParentOf(const std::string& path)
{
    size_t slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

REGSAM DeniedAccess(const std::string& path)
{
    std::string content;
    if (!detail::ReadStateFile(kDenialFile, &content))
        return 0;
    REGSAM denied = 0;
    std::string upper = detail::ToUpperAscii(path);
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
        size_t tab = line.rfind('\t');
        if (tab != std::string::npos && detail::ToUpperAscii(line.substr(0, tab)) == upper)
            denied |= static_cast<REGSAM>(std::stoul(line.substr(tab + 1)));
    }
    return denied;
}

// The view bits choose a registry view; they are not rights.
REGSAM Rights(REGSAM access)
{
    return access & ~static_cast<REGSAM>(KEY_WOW64_32KEY | KEY_WOW64_64KEY);
}

// Every use of a handle that is not open is counted, so tests see double closes and stale handles.
const detail::RegistryHandle* FindHandle(HKEY key)
{
    auto& handles = detail::Process().keyHandles;
    auto found = handles.find(reinterpret_cast<uintptr_t>(key));
    if (found == handles.end()) {
        ++detail::Process().invalidHandleUses;
        return nullptr;
    }
    return &found->second;
}

// Resolves a root handle and subkey to a full path. Empty result: the handle is not valid.
std::string FullPath(HKEY root, LPCSTR subKey)
{
    std::string base;
    switch (reinterpret_cast<uintptr_t>(root)) {
    case 0x80000000: base = "HKCR"; break;
    case 0x80000001: base = "HKCU"; break;
    case 0x80000002: base = "HKLM"; break;
    case 0x80000003: base = "HKU"; break;
    default: {
        const detail::RegistryHandle* handle = FindHandle(root);
        if (handle == nullptr)
            return std::string();
        base = handle->path;
    }
    }
    if (subKey != nullptr && *subKey != 0)
        base += "\\" + std::string(subKey);
    while (!base.empty() && base.back() == '\\')
        base.pop_back();
    return base;
}

HKEY NewHandle(const std::string& path, REGSAM access)
{
    detail::ProcessState& process = detail::Process();
    uintptr_t value = process.nextKeyHandle;
    process.nextKeyHandle += 4;
    process.keyHandles[value] = detail::RegistryHandle{path, access};
    return reinterpret_cast<HKEY>(value);
}

}  // namespace

bool KeyExists(const std::string& keyPath)
{
    detail::StateLock lock;
    return Exists(LoadHive(), keyPath);
}

void CreateKey(const std::string& keyPath)
{
    detail::StateLock lock;
    Hive hive = LoadHive();
    for (std::string path = keyPath; !path.empty() && !IsRoot(detail::ToUpperAscii(path));
         path = ParentOf(path)) {
        Key& key = hive[detail::ToUpperAscii(path)];
        if (key.path.empty())
            key.path = path;
    }
    StoreHive(hive);
}

void DeleteKey(const std::string& keyPath)
{
    detail::StateLock lock;
    Hive hive = LoadHive();
    std::string upper = detail::ToUpperAscii(keyPath);
    for (auto it = hive.begin(); it != hive.end();) {
        if (it->first == upper || it->first.compare(0, upper.size() + 1, upper + "\\") == 0)
            it = hive.erase(it);
        else
            ++it;
    }
    StoreHive(hive);
}

void SetValue(const std::string& keyPath, const std::string& name, DWORD type,
              const std::string& data)
{
    CreateKey(keyPath);
    detail::StateLock lock;
    Hive hive = LoadHive();
    Key& key = hive[detail::ToUpperAscii(keyPath)];
    std::string upper = detail::ToUpperAscii(name);
    key.values[upper] = Value{type, data};
    key.names[upper] = name;
    StoreHive(hive);
}

void SetDwordValue(const std::string& keyPath, const std::string& name, DWORD value)
{
    std::string data;
    for (int i = 0; i < 4; ++i)
        data += static_cast<char>((value >> (8 * i)) & 0xFF);
    SetValue(keyPath, name, REG_DWORD, data);
}

bool GetValue(const std::string& keyPath, const std::string& name, DWORD* type, std::string* data)
{
    detail::StateLock lock;
    Hive hive = LoadHive();
    auto key = hive.find(detail::ToUpperAscii(keyPath));
    if (key == hive.end())
        return false;
    auto value = key->second.values.find(detail::ToUpperAscii(name));
    if (value == key->second.values.end())
        return false;
    if (type != nullptr)
        *type = value->second.type;
    if (data != nullptr)
        *data = value->second.data;
    return true;
}

void DenyAccess(const std::string& keyPath, REGSAM mask)
{
    detail::AppendStateLine(kDenialFile, keyPath + "\t" + std::to_string(mask));
}

int OpenKeyHandleCount()
{
    return static_cast<int>(detail::Process().keyHandles.size());
}

int InvalidHandleUseCount()
{
    return detail::Process().invalidHandleUses;
}

}  // namespace platform

using platform::detail::EnterCall;

LONG RegOpenKeyExA(HKEY root, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result)
{
    long injected;
    if (EnterCall("RegOpenKeyExA", &injected)) {
        if (result != nullptr)
            *result = nullptr;
        return injected;
    }
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    (void)options;
    std::string path = platform::FullPath(root, subKey);
    if (path.empty())
        return ERROR_INVALID_HANDLE;

    platform::detail::StateLock lock;
    platform::Hive hive = platform::LoadHive();
    if (!platform::Exists(hive, path))
        return ERROR_FILE_NOT_FOUND;
    if ((platform::DeniedAccess(path) & platform::Rights(desired)) != 0)
        return ERROR_ACCESS_DENIED;
    *result = platform::NewHandle(path, desired);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExA(HKEY root, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options,
                     REGSAM desired, LPSECURITY_ATTRIBUTES security, PHKEY result,
                     LPDWORD disposition)
{
    long injected;
    if (EnterCall("RegCreateKeyExA", &injected)) {
        if (result != nullptr)
            *result = nullptr;
        return injected;
    }
    (void)keyClass;
    (void)security;
    if (result == nullptr || reserved != 0 || options > 0x0F)
        return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::string path = platform::FullPath(root, subKey);
    if (path.empty())
        return ERROR_INVALID_HANDLE;

    platform::detail::StateLock lock;
    platform::Hive hive = platform::LoadHive();
    bool existed = platform::Exists(hive, path);
    if (!existed) {
        // Each missing level needs the right to create a subkey in its parent.
        for (std::string level = path; !platform::Exists(hive, level);
             level = platform::ParentOf(level)) {
            if ((platform::DeniedAccess(platform::ParentOf(level)) & KEY_CREATE_SUB_KEY) != 0)
                return ERROR_ACCESS_DENIED;
        }
    }
    if ((platform::DeniedAccess(path) & platform::Rights(desired)) != 0)
        return ERROR_ACCESS_DENIED;
    if (!existed) {
        for (std::string level = path; !platform::Exists(hive, level);
             level = platform::ParentOf(level))
            hive[platform::detail::ToUpperAscii(level)].path = level;
        platform::StoreHive(hive);
    }
    *result = platform::NewHandle(path, desired);
    if (disposition != nullptr)
        *disposition = existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY;
    return ERROR_SUCCESS;
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize)
{
    long injected;
    if (EnterCall("RegQueryValueExA", &injected)) {
        // As for real data that does not fit: the buffer's contents are undefined.
        if (injected == ERROR_MORE_DATA && data != nullptr && dataSize != nullptr) {
            memset(data, 0xCD, *dataSize);
            *dataSize += 4;
        }
        return injected;
    }
    const platform::detail::RegistryHandle* handle = platform::FindHandle(key);
    if (handle == nullptr)
        return ERROR_INVALID_HANDLE;
    if (reserved != nullptr || (data != nullptr && dataSize == nullptr))
        return ERROR_INVALID_PARAMETER;
    if ((platform::Rights(handle->access) & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;

    platform::detail::StateLock lock;
    platform::Hive hive = platform::LoadHive();
    auto found = hive.find(platform::detail::ToUpperAscii(handle->path));
    if (found == hive.end())
        return ERROR_KEY_DELETED;
    auto value = found->second.values.find(
        platform::detail::ToUpperAscii(valueName != nullptr ? valueName : ""));
    if (value == found->second.values.end())
        return ERROR_FILE_NOT_FOUND;

    const std::string& bytes = value->second.data;
    if (type != nullptr)
        *type = value->second.type;
    if (data != nullptr && *dataSize < bytes.size()) {
        // The platform leaves the buffer's contents undefined here: make that visible.
        memset(data, 0xCD, *dataSize);
        *dataSize = static_cast<DWORD>(bytes.size());
        return ERROR_MORE_DATA;
    }
    if (data != nullptr)
        memcpy(data, bytes.data(), bytes.size());
    if (dataSize != nullptr)
        *dataSize = static_cast<DWORD>(bytes.size());
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize)
{
    long injected;
    if (EnterCall("RegSetValueExA", &injected))
        return injected;
    (void)reserved;
    const platform::detail::RegistryHandle* handle = platform::FindHandle(key);
    if (handle == nullptr)
        return ERROR_INVALID_HANDLE;
    if ((platform::Rights(handle->access) & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    if (data == nullptr && dataSize != 0)
        return ERROR_INVALID_PARAMETER;

    platform::detail::StateLock lock;
    platform::Hive hive = platform::LoadHive();
    auto found = hive.find(platform::detail::ToUpperAscii(handle->path));
    if (found == hive.end())
        return ERROR_KEY_DELETED;
    std::string name = valueName != nullptr ? valueName : "";
    std::string upper = platform::detail::ToUpperAscii(name);
    found->second.values[upper] =
        platform::Value{type, std::string(reinterpret_cast<const char*>(data), dataSize)};
    found->second.names[upper] = name;
    platform::StoreHive(hive);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key)
{
    // The platform fails this call only for a handle that is not open. An injected failure is
    // reported to the caller, but a valid handle is released all the same: the open-handle count
    // then still means "handles the program never closed", and a second close of the same handle
    // shows up as a use of an invalid handle.
    long injected;
    bool failing = EnterCall("RegCloseKey", &injected);
    uintptr_t value = reinterpret_cast<uintptr_t>(key);
    if (value >= 0x80000000 && value <= 0x80000003)
        return failing ? injected : ERROR_SUCCESS;
    if (platform::detail::Process().keyHandles.erase(value) == 0) {
        ++platform::detail::Process().invalidHandleUses;
        return ERROR_INVALID_HANDLE;
    }
    return failing ? injected : ERROR_SUCCESS;
}
