#include "checkstate/CheckState.h"

#include "checkstate/RegistryKey.h"

const char kCheckStateKeyPath[] = "SOFTWARE\\VORLA\\VorlaPrinterAgentForKDLX";
const char kLastCheckDateValue[] = "LastCheckDate";
const char kInstalledValue[] = "Installed";

void StampLastCheckDate(int createIfMissing)
{
    RegistryKey key;
    if (!key.OpenKey(HKEY_LOCAL_MACHINE, kCheckStateKeyPath, KEY_WRITE)) {
        // CreateKey reports a key that exists (but refused KEY_WRITE) as 0: we leave it alone.
        if (createIfMissing != 1 ||
            key.CreateKey(HKEY_LOCAL_MACHINE, kCheckStateKeyPath, NULL, KEY_ALL_ACCESS) != 1)
            return;
    }
    key.WriteDword(kLastCheckDateValue, static_cast<DWORD>(_time64(NULL)));
    key.Close();
}

__int64 SecondsSinceStamp(DWORD stamp, __int64 now)
{
    const __int64 kStampRange = 0x100000000LL;
    __int64 then = stamp;
    if (now >= kStampRange) {
        then += now - now % kStampRange;
        if (then > now)
            then -= kStampRange;
    }
    return now - then;
}

int IsCheckDue()
{
    RegistryKey key;
    if (!key.OpenKey(HKEY_LOCAL_MACHINE, kCheckStateKeyPath, KEY_READ))
        return 1;
    DWORD last = key.ReadDword(kLastCheckDateValue, 0);
    key.Close();

    __int64 elapsed = SecondsSinceStamp(last, _time64(NULL));
    if (elapsed < 0) {
        StampLastCheckDate(0);
        return 0;
    }
    return elapsed >= kCheckIntervalSeconds ? 1 : 0;
}
