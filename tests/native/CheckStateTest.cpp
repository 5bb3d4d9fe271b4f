#include "checkstate/CheckState.h"

#include "Machine.h"

namespace {

class CheckStateTest : public Machine {};

TEST(SecondsSinceStampTest, CountsFromTheStoredStampAsUnsigned)
{
    EXPECT_EQ(SecondsSinceStamp(0, kNow), kNow);
    EXPECT_EQ(SecondsSinceStamp(static_cast<DWORD>(kNow - 604800), kNow), 604800);
    EXPECT_EQ(SecondsSinceStamp(static_cast<DWORD>(kNow + 1), kNow), -1);
    // A stamp past 2038 is a later time, not a negative one.
    EXPECT_EQ(SecondsSinceStamp(0x80000000u, 0x80000000LL + 10), 10);
    EXPECT_EQ(SecondsSinceStamp(0xFFFFFFFFu, 0xFFFFFFFFLL), 0);
    EXPECT_EQ(SecondsSinceStamp(0xFFFFFFFFu, 0x7FFFFFFFLL), -0x80000000LL);
}

TEST(SecondsSinceStampTest, KeepsTheWeeklyRhythmPastTheYear2106)
{
    const int64_t kWrap = 0x100000000LL;  // 2106-02-07 06:28:16 UTC
    // A stamp written just before the wrap, read just after it.
    EXPECT_EQ(SecondsSinceStamp(0xFFFFFF00u, kWrap + 0x100), 0x200);
    // Stamps written after the wrap hold only the low 32 bits of the time.
    int64_t later = kWrap + 5000000;
    EXPECT_EQ(SecondsSinceStamp(static_cast<DWORD>(later), later + 604799), 604799);
    EXPECT_EQ(SecondsSinceStamp(static_cast<DWORD>(later), later + 604800), 604800);
    EXPECT_EQ(SecondsSinceStamp(static_cast<DWORD>(later), later), 0);
}

TEST_F(CheckStateTest, MissingKeyIsDueAndIsNotCreated)
{
    EXPECT_EQ(IsCheckDue(), 1);
    EXPECT_FALSE(platform::KeyExists(kKeyPath));
}

TEST_F(CheckStateTest, MissingStampIsDue)
{
    platform::SetDwordValue(kKeyPath, "Installed", 0);
    EXPECT_EQ(IsCheckDue(), 1);
    EXPECT_FALSE(HasStamp());
}

TEST_F(CheckStateTest, DueFromSevenDaysOn)
{
    platform::SetDwordValue(kKeyPath, "LastCheckDate", static_cast<DWORD>(kNow - 604799));
    EXPECT_EQ(IsCheckDue(), 0);
    platform::SetDwordValue(kKeyPath, "LastCheckDate", static_cast<DWORD>(kNow - 604800));
    EXPECT_EQ(IsCheckDue(), 1);
    EXPECT_EQ(Stamp(), static_cast<DWORD>(kNow - 604800)) << "deciding must not stamp";
}

TEST_F(CheckStateTest, FutureStampIsReplacedByNowAndRestartsTheWeek)
{
    platform::SetDwordValue(kKeyPath, "LastCheckDate", static_cast<DWORD>(kNow + 1));
    EXPECT_EQ(IsCheckDue(), 0);
    EXPECT_EQ(Stamp(), static_cast<DWORD>(kNow));
    platform::SetClock(kNow + 604799);
    EXPECT_EQ(IsCheckDue(), 0);

    // A key deleted between the read and the re-stamp stays deleted.
    platform::SetDwordValue(kKeyPath, "LastCheckDate", static_cast<DWORD>(kNow + 604800));
    platform::FailCall("RegOpenKeyExA", ERROR_FILE_NOT_FOUND, CallCount("RegOpenKeyExA") + 2);
    EXPECT_EQ(IsCheckDue(), 0);
    EXPECT_EQ(CallCount("RegCreateKeyExA"), 0);
}

TEST_F(CheckStateTest, StampAboveTheSignedRangeIsNotInThePast)
{
    // Read as signed, 0x80000000 would lie in 1901 and the check would be due at once.
    platform::SetClock(0x80000000LL + 3600);
    platform::SetDwordValue(kKeyPath, "LastCheckDate", 0x80000000u);
    EXPECT_EQ(IsCheckDue(), 0);
    platform::SetClock(0x80000000LL + 604800);
    EXPECT_EQ(IsCheckDue(), 1);
}

TEST_F(CheckStateTest, UnreadableKeyIsDue)
{
    platform::SetDwordValue(kKeyPath, "LastCheckDate", static_cast<DWORD>(kNow));
    platform::DenyAccess(kKeyPath, KEY_QUERY_VALUE);
    EXPECT_EQ(IsCheckDue(), 1);
}

TEST_F(CheckStateTest, StampWithoutCreationLeavesAMissingKeyMissing)
{
    StampLastCheckDate(0);
    EXPECT_FALSE(platform::KeyExists(kKeyPath));
    EXPECT_EQ(CallCount("RegCreateKeyExA"), 0);
}

TEST_F(CheckStateTest, StampCreatesAMissingKey)
{
    StampLastCheckDate(1);
    EXPECT_EQ(Stamp(), static_cast<DWORD>(kNow));
}

TEST_F(CheckStateTest, StampKeepsTheLow32BitsPast2106)
{
    platform::SetClock(0x100000000LL + 42);
    StampLastCheckDate(1);
    EXPECT_EQ(Stamp(), 42u);
}

TEST_F(CheckStateTest, KeyThatRefusesWritingIsLeftAsItWas)
{
    platform::SetDwordValue(kKeyPath, "LastCheckDate", 7);
    platform::DenyAccess(kKeyPath, KEY_SET_VALUE);
    StampLastCheckDate(1);
    EXPECT_EQ(Stamp(), 7u);

    // The same on a future stamp: no creation is attempted, the stamp stays.
    platform::SetDwordValue(kKeyPath, "LastCheckDate", static_cast<DWORD>(kNow + 100));
    EXPECT_EQ(IsCheckDue(), 0);
    EXPECT_EQ(Stamp(), static_cast<DWORD>(kNow + 100));
}

TEST_F(CheckStateTest, KeyThatGrantsOnlyReadingAndWritingValuesIsStamped)
{
    // An administrator or the printer agent may narrow the key's rights to this. Asking for more
    // (WRITE_DAC, DELETE) would be refused, and every hourly /CHK would show the page again.
    platform::SetDwordValue(kKeyPath, "LastCheckDate", 7);
    platform::DenyAccess(kKeyPath, ~static_cast<REGSAM>(KEY_READ | KEY_WRITE));
    StampLastCheckDate(1);
    EXPECT_EQ(Stamp(), static_cast<DWORD>(kNow));

    platform::SetDwordValue(kKeyPath, "LastCheckDate", static_cast<DWORD>(kNow + 100));
    EXPECT_EQ(IsCheckDue(), 0);
    EXPECT_EQ(Stamp(), static_cast<DWORD>(kNow));
}

}  // namespace
