#include "offers/ShowOffers.h"

#include <windows.h>
#include <shellapi.h>

#include "checkstate/CheckState.h"
#include "checkstate/RegistryKey.h"

const char kOffersAddress[] = "http://www.vorla.eu/KDLXsuper19/";

void ShowOffers()
{
    RegistryKey key;
    if (key.OpenKey(HKEY_LOCAL_MACHINE, kCheckStateKeyPath, KEY_READ)) {
        DWORD installed = key.ReadDword(kInstalledValue, 0);
        key.Close();
        if (installed == 1)
            return;
    }
    ShellExecuteA(NULL, "open", kOffersAddress, NULL, NULL, SW_SHOWNORMAL);
    StampLastCheckDate(1);
}
