// The weekly decision and the offers over whatever another product may leave in the shared key:
// "LastCheckDate" and "Installed" of any type and length, or missing, the key itself missing, at
// any clock the runtime can report (1970 to the end of 3000).
//
// The expected outcome is worked out here from the rules as stated, not from the program's code:
// data of at most four bytes is a little-endian number, longer data counts as missing (0); until
// 2106 the stamp is a plain count of seconds, after it the latest instant at or before now with
// the stamp's low 32 bits; seven days make a check due; a stamp in the future is replaced by now;
// Installed = 1 suppresses page and stamp; a page always comes with a stamp.
#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzMachine.h"
#include "checkstate/CheckState.h"
#include "offers/ShowOffers.h"

namespace {

const int64_t kWeek = 604800;
const int64_t kWrap = 0x100000000LL;
const int64_t kLastClock = 32535215999LL;  // 3000-12-31 23:59:59 UTC

fuzz::Value ConsumeValue(FuzzedDataProvider& input)
{
    static const DWORD kTypes[] = {REG_NONE,     REG_SZ,    REG_EXPAND_SZ,
                                   REG_BINARY,   REG_DWORD, 5 /* big-endian DWORD */,
                                   REG_MULTI_SZ, REG_QWORD};
    fuzz::Value value;
    value.present = input.ConsumeBool();
    uint8_t pick = input.ConsumeIntegralInRange<uint8_t>(0, 8);
    value.type = pick < 8 ? kTypes[pick] : input.ConsumeIntegral<uint32_t>();
    value.data = input.ConsumeBytesAsString(input.ConsumeIntegralInRange<size_t>(0, 12));
    return value;
}

uint32_t Number(const fuzz::Value& value)
{
    if (!value.present || value.data.size() > 4)
        return 0;
    uint32_t number = 0;
    for (size_t i = 0; i < value.data.size(); ++i)
        number |= static_cast<uint32_t>(static_cast<unsigned char>(value.data[i])) << (8 * i);
    return number;
}

// Near the stamp (in any 2^32-second era), near the ends of the 32-bit ranges, or anywhere.
int64_t ConsumeClock(FuzzedDataProvider& input, uint32_t stamp)
{
    int64_t near = input.ConsumeIntegralInRange<int64_t>(-3 * kWeek, 3 * kWeek);
    int64_t clock = 0;
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: clock = stamp + input.ConsumeIntegralInRange<int64_t>(0, 7) * kWrap + near; break;
    case 1: clock = 0x80000000LL + near; break;
    case 2: clock = input.ConsumeIntegralInRange<int64_t>(1, 7) * kWrap + near; break;
    default: clock = input.ConsumeIntegralInRange<int64_t>(0, kLastClock); break;
    }
    return clock < 0 ? 0 : clock > kLastClock ? kLastClock : clock;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::UseOwnStateDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const bool weekly = input.ConsumeBool();  // "/CHK" when set, else "/INV"
    const bool keyExists = input.ConsumeBool();
    fuzz::Value last = ConsumeValue(input);
    fuzz::Value installed = ConsumeValue(input);
    if (!keyExists)
        last.present = installed.present = false;
    const int64_t clock = ConsumeClock(input, Number(last));

    platform::ResetState();
    platform::SetClock(clock);
    if (keyExists)
        platform::CreateKey(fuzz::kKeyPath);
    if (last.present)
        platform::SetValue(fuzz::kKeyPath, "LastCheckDate", last.type, last.data);
    if (installed.present)
        platform::SetValue(fuzz::kKeyPath, "Installed", installed.type, installed.data);

    if (weekly) {
        if (IsCheckDue() == 1)
            ShowOffers();
    } else {
        ShowOffers();
    }
    fuzz::CheckEverythingReleased();

    bool offer = !weekly, stamp = false;
    if (weekly) {
        if (!keyExists) {
            offer = true;
        } else {
            uint32_t then = Number(last);
            int64_t elapsed = clock < kWrap
                                  ? clock - then
                                  : static_cast<uint32_t>(static_cast<uint32_t>(clock) - then);
            stamp = elapsed < 0;
            offer = elapsed >= kWeek;
        }
    }
    const bool page = offer && Number(installed) != 1;
    stamp = stamp || page;

    FUZZ_CHECK(platform::ShellCalls().size() == (page ? 1u : 0u));
    fuzz::Value stampAfter = fuzz::ReadValue("LastCheckDate");
    FUZZ_CHECK(stamp ? fuzz::IsStampOf(stampAfter, clock) : stampAfter == last);
    FUZZ_CHECK(fuzz::ReadValue("Installed") == installed);
    FUZZ_CHECK(platform::KeyExists(fuzz::kKeyPath) == (keyExists || page));
    return 0;
}
