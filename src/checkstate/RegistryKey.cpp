#include "checkstate/RegistryKey.h"

RegistryKey::RegistryKey() : key_(NULL), isOpen_(0) {}

RegistryKey::~RegistryKey()
{
    Close();
}

int RegistryKey::OpenKey(HKEY root, const char* subKey, REGSAM access)
{
    Close();
    access_ = access != 0 ? access : KEY_READ;
    isOpen_ = RegOpenKeyExA(root, subKey, 0, access_, &key_) == ERROR_SUCCESS ? 1 : 0;
    if (!isOpen_)
        key_ = NULL;  // the platform does not promise what a failed open leaves behind
    return isOpen_;
}

int RegistryKey::CreateKey(HKEY root, const char* subKey, char* keyClass, REGSAM access)
{
    Close();
    access_ = access;
    DWORD disposition = 0;
    isOpen_ = RegCreateKeyExA(root, subKey, 0, keyClass, REG_OPTION_NON_VOLATILE, access, NULL,
                              &key_, &disposition) == ERROR_SUCCESS
                  ? 1
                  : 0;
    if (!isOpen_) {
        key_ = NULL;
        return 0;
    }
    return disposition == REG_CREATED_NEW_KEY ? 1 : 0;
}

DWORD RegistryKey::ReadDword(const char* valueName, DWORD defaultValue)
{
    if (!isOpen_)
        return defaultValue;

    // Start from the default's bytes so that data shorter than four bytes overlays it.
    BYTE data[4];
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<BYTE>(defaultValue >> (8 * i));
    DWORD size = sizeof data;
    // On ERROR_MORE_DATA the platform leaves the buffer undefined, so any failure means default.
    if (RegQueryValueExA(key_, valueName, NULL, NULL, data, &size) != ERROR_SUCCESS)
        return defaultValue;

    return static_cast<DWORD>(data[0]) | static_cast<DWORD>(data[1]) << 8 |
           static_cast<DWORD>(data[2]) << 16 | static_cast<DWORD>(data[3]) << 24;
}

int RegistryKey::WriteDword(const char* valueName, DWORD value)
{
    if (!isOpen_)
        return 0;
    BYTE data[4];
    for (int i = 0; i < 4; ++i)
        data[i] = static_cast<BYTE>(value >> (8 * i));
    LONG status = RegSetValueExA(key_, valueName, 0, REG_DWORD, data, sizeof data);
    return status == ERROR_SUCCESS ? 1 : 0;
}

void RegistryKey::Close()
{
    if (key_ != NULL) {
        RegCloseKey(key_);
        key_ = NULL;
    }
    isOpen_ = 0;
}
