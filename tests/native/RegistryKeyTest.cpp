#include "checkstate/RegistryKey.h"

#include "Machine.h"

namespace {

const char kSubKey[] = "SOFTWARE\\VORLA\\VorlaPrinterAgentForKDLX";

class RegistryKeyTest : public Machine {};

TEST_F(RegistryKeyTest, OpenFailsOnMissingKeyAndHoldsNothing)
{
    RegistryKey key;
    EXPECT_EQ(key.OpenKey(HKEY_LOCAL_MACHINE, kSubKey, KEY_READ), 0);
    EXPECT_EQ(platform::OpenKeyHandleCount(), 0);
    EXPECT_EQ(key.ReadDword("LastCheckDate", 77), 77u);
    EXPECT_EQ(key.WriteDword("LastCheckDate", 1), 0);
    EXPECT_FALSE(platform::KeyExists(kKeyPath));
}

TEST_F(RegistryKeyTest, ZeroAccessMaskOpensForReading)
{
    platform::SetDwordValue(kKeyPath, "LastCheckDate", 5);
    {
        RegistryKey key;
        ASSERT_EQ(key.OpenKey(HKEY_LOCAL_MACHINE, kSubKey, 0), 1);
        EXPECT_EQ(key.ReadDword("LastCheckDate", 0), 5u);
        EXPECT_EQ(key.WriteDword("LastCheckDate", 6), 0) << "a read-only handle must not write";
    }
    // KEY_NOTIFY is part of KEY_READ and nothing else: denying it proves the mask used.
    platform::DenyAccess(kKeyPath, KEY_NOTIFY);
    RegistryKey key;
    EXPECT_EQ(key.OpenKey(HKEY_LOCAL_MACHINE, kSubKey, 0), 0);
}

TEST_F(RegistryKeyTest, CreateReportsOnlyNewKeysButHoldsExistingOnes)
{
    {
        RegistryKey key;
        EXPECT_EQ(key.CreateKey(HKEY_LOCAL_MACHINE, kSubKey, NULL, KEY_ALL_ACCESS), 1);
        EXPECT_EQ(key.WriteDword("LastCheckDate", 0x01020304), 1);
    }
    EXPECT_EQ(Stamp(), 0x01020304u);

    RegistryKey key;
    EXPECT_EQ(key.CreateKey(HKEY_LOCAL_MACHINE, kSubKey, NULL, KEY_ALL_ACCESS), 0);
    EXPECT_EQ(platform::OpenKeyHandleCount(), 1) << "the existing key stays open until Close";
    EXPECT_EQ(key.WriteDword("LastCheckDate", 9), 1);
    key.Close();
    key.Close();
    EXPECT_EQ(platform::OpenKeyHandleCount(), 0);
    EXPECT_EQ(Stamp(), 9u);
}

TEST_F(RegistryKeyTest, CreateFailsWhereTheParentRefusesSubkeys)
{
    platform::CreateKey("HKLM\\SOFTWARE\\VORLA");
    platform::DenyAccess("HKLM\\SOFTWARE\\VORLA", KEY_CREATE_SUB_KEY);
    RegistryKey key;
    EXPECT_EQ(key.CreateKey(HKEY_LOCAL_MACHINE, kSubKey, NULL, KEY_ALL_ACCESS), 0);
    EXPECT_EQ(platform::OpenKeyHandleCount(), 0);
    EXPECT_FALSE(platform::KeyExists(kKeyPath));
}

TEST_F(RegistryKeyTest, OpeningOrCreatingAgainReleasesTheHandleHeldSoFar)
{
    platform::CreateKey(kKeyPath);
    RegistryKey key;
    ASSERT_EQ(key.OpenKey(HKEY_LOCAL_MACHINE, kSubKey, KEY_READ), 1);
    ASSERT_EQ(key.OpenKey(HKEY_LOCAL_MACHINE, kSubKey, KEY_WRITE), 1);
    EXPECT_EQ(platform::OpenKeyHandleCount(), 1);
    EXPECT_EQ(key.CreateKey(HKEY_LOCAL_MACHINE, kSubKey, NULL, KEY_ALL_ACCESS), 0);
    EXPECT_EQ(platform::OpenKeyHandleCount(), 1);
    EXPECT_EQ(key.CreateKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\VORLA\\New", NULL, KEY_ALL_ACCESS), 1);
    EXPECT_EQ(platform::OpenKeyHandleCount(), 1);
    EXPECT_EQ(key.OpenKey(HKEY_LOCAL_MACHINE, "SOFTWARE\\Missing", KEY_READ), 0);
    EXPECT_EQ(platform::OpenKeyHandleCount(), 0);
}

TEST_F(RegistryKeyTest, ClosedKeyNeitherReadsNorWrites)
{
    platform::SetDwordValue(kKeyPath, "LastCheckDate", 5);
    RegistryKey key;
    ASSERT_EQ(key.OpenKey(HKEY_LOCAL_MACHINE, kSubKey, KEY_READ | KEY_WRITE), 1);
    key.Close();
    EXPECT_EQ(key.ReadDword("LastCheckDate", 3), 3u);
    EXPECT_EQ(key.WriteDword("LastCheckDate", 6), 0);
    EXPECT_EQ(platform::InvalidHandleUseCount(), 0) << "the released handle was used";
    EXPECT_EQ(Stamp(), 5u);
}

struct StoredData {
    const char* name;
    DWORD type;
    std::string data;
    DWORD expected;  // read over the default 0xAABBCCDD
};

void PrintTo(const StoredData& stored, std::ostream* out)
{
    *out << stored.name;
}

class ReadDwordTest : public Machine, public ::testing::WithParamInterface<StoredData> {};

TEST_P(ReadDwordTest, ReadsFourBytesOrLessOverTheDefault)
{
    const StoredData& stored = GetParam();
    platform::SetValue(kKeyPath, "LastCheckDate", stored.type, stored.data);
    RegistryKey key;
    ASSERT_EQ(key.OpenKey(HKEY_LOCAL_MACHINE, kSubKey, KEY_READ), 1);
    EXPECT_EQ(key.ReadDword("LastCheckDate", 0xAABBCCDD), stored.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Types, ReadDwordTest,
    ::testing::Values(
        StoredData{"Dword", REG_DWORD, std::string("\x04\x03\x02\x01", 4), 0x01020304},
        StoredData{"DwordAboveSignedRange", REG_DWORD, std::string("\xff\xff\xff\xfe", 4),
                   0xFEFFFFFF},
        StoredData{"BinaryOfFour", REG_BINARY, std::string("\x01\x00\x00\x00", 4), 1},
        StoredData{"BinaryOfTwo", REG_BINARY, std::string("\x34\x12", 2), 0xAABB1234},
        StoredData{"Empty", REG_BINARY, std::string(), 0xAABBCCDD},
        StoredData{"QwordIsTooLong", REG_QWORD, std::string(8, '\x01'), 0xAABBCCDD},
        StoredData{"LongStringIsTooLong", REG_SZ, std::string("1234567\0", 8), 0xAABBCCDD}),
    [](const ::testing::TestParamInfo<StoredData>& info) { return std::string(info.param.name); });

TEST_F(RegistryKeyTest, FailedReadsYieldTheDefault)
{
    platform::SetDwordValue(kKeyPath, "LastCheckDate", 5);
    {
        RegistryKey key;
        ASSERT_EQ(key.OpenKey(HKEY_LOCAL_MACHINE, kSubKey, KEY_READ), 1);
        EXPECT_EQ(key.ReadDword("Missing", 3), 3u);
    }
    {
        RegistryKey key;  // a write-only handle may not query
        ASSERT_EQ(key.OpenKey(HKEY_LOCAL_MACHINE, kSubKey, KEY_WRITE), 1);
        EXPECT_EQ(key.ReadDword("LastCheckDate", 3), 3u);
    }
    platform::FailCall("RegQueryValueExA", ERROR_MORE_DATA);
    RegistryKey key;
    ASSERT_EQ(key.OpenKey(HKEY_LOCAL_MACHINE, kSubKey, KEY_READ), 1);
    EXPECT_EQ(key.ReadDword("LastCheckDate", 3), 3u);
}

TEST_F(RegistryKeyTest, FailedWriteReportsZero)
{
    platform::CreateKey(kKeyPath);
    platform::FailCall("RegSetValueExA", ERROR_ACCESS_DENIED);
    RegistryKey key;
    ASSERT_EQ(key.OpenKey(HKEY_LOCAL_MACHINE, kSubKey, KEY_WRITE), 1);
    EXPECT_EQ(key.WriteDword("LastCheckDate", 1), 0);
    EXPECT_FALSE(HasStamp());
}

}  // namespace
