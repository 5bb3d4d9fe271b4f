#ifndef VORLA_CHECKSTATE_REGISTRYKEY_H
#define VORLA_CHECKSTATE_REGISTRYKEY_H

#include <windows.h>

// Owns at most one open registry key handle; the destructor closes it. Not copyable.
//
// What callers may rely on (1 is success, 0 failure):
// - OpenKey with an access mask of 0 opens for KEY_READ.
// - CreateKey returns 1 only for a key it created. For a key that already existed it returns 0
//   although it holds the key open; Close or the destructor releases that handle like any other.
// - Opening or creating again first releases the handle held so far.
// - ReadDword yields the default when no key is open, the value is missing, or the data does not
//   fit four bytes. Shorter data (any type) overlays the default's low bytes, little-endian.
// - WriteDword writes REG_DWORD data and fails when no key is open.
class RegistryKey {
public:
    RegistryKey();
    virtual ~RegistryKey();

    int OpenKey(HKEY root, const char* subKey, REGSAM access);
    int CreateKey(HKEY root, const char* subKey, char* keyClass, REGSAM access);
    DWORD ReadDword(const char* valueName, DWORD defaultValue);
    int WriteDword(const char* valueName, DWORD value);
    void Close();

private:
    RegistryKey(const RegistryKey&);
    RegistryKey& operator=(const RegistryKey&);

    HKEY key_;
    int isOpen_;
    REGSAM access_;  // recorded for inspection in a debugger; never read back
};

#endif
