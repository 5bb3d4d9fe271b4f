#ifndef VORLA_CHECKSTATE_CHECKSTATE_H
#define VORLA_CHECKSTATE_CHECKSTATE_H

#include <windows.h>
#include <time.h>

// The check-state key lives in the 32-bit registry view and is shared with the maker's printer
// agent: we read and write "LastCheckDate", the agent writes "Installed" (1 = agent installed).
extern const char kCheckStateKeyPath[];
extern const char kLastCheckDateValue[];
extern const char kInstalledValue[];

// Offers are shown again once this many seconds have passed since the last stamp.
const __int64 kCheckIntervalSeconds = 604800;  // seven days

// Records the current time in "LastCheckDate". Creates the key first only when it is missing and
// createIfMissing is 1; a key that exists but refuses writing is left as it is.
void StampLastCheckDate(int createIfMissing);

// 1 when offers are due, else 0. A stamp in the future (clock set back) is replaced by now and
// restarts the week.
int IsCheckDue();

// Seconds from the stored 32-bit stamp to now; negative when the stamp lies in the future.
// Once now no longer fits 32 bits, the stamp is taken as the latest instant at or before now
// whose low 32 bits it holds, so the weekly rhythm survives the wrap in 2106.
__int64 SecondsSinceStamp(DWORD stamp, __int64 now);

#endif
