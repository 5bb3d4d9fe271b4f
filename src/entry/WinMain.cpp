#include "entry/Entry.h"

#include "checkstate/CheckState.h"
#include "offers/ShowOffers.h"
#include "task/CheckTask.h"

namespace {

void RunWeeklyCheck()
{
    if (IsCheckDue() == 1)
        ShowOffers();
}

// One run carries out at most one command. The whole tail is compared, case-sensitively, with
// each switch in turn and the first equal one runs:
//   "/INS"  register the hourly scheduled task that starts us with "/CHK"
//   "/CHK"  show the offers page if a week has passed since it was last shown
//   "/INV"  show the offers page now
// Anything else, the empty tail included, does nothing. No outcome reaches the exit code.
struct Command {
    const char* name;
    void (*run)();
};

const Command kCommands[] = {
    {"/INS", InstallCheckTask},
    {"/CHK", RunWeeklyCheck},
    {"/INV", ShowOffers},
};

}  // namespace

int IsSupportedOs()
{
    // Platforms that don't know the extended record accept only the older, shorter one.
    OSVERSIONINFOEXA version;
    ZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) {
        version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version));
    }
    return version.dwMajorVersion >= 6 ? 1 : 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandTail, int)
{
    if (instance == NULL || previousInstance != NULL)
        return -1;
    if (IsSupportedOs() != 1)
        return 0;
    if (commandTail == NULL)
        return 0;

    for (size_t i = 0; i < sizeof kCommands / sizeof kCommands[0]; ++i) {
        if (lstrcmpA(commandTail, kCommands[i].name) == 0) {
            kCommands[i].run();
            break;
        }
    }
    return 0;
}
