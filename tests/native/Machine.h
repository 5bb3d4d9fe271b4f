// A fresh stand-in machine for each test: its own state directory, a fixed clock, a supported
// platform version and the program at a path with spaces.
#ifndef TESTS_NATIVE_MACHINE_H
#define TESTS_NATIVE_MACHINE_H

#include <gtest/gtest.h>
#include <platform_controls.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "checkstate/CheckState.h"

const char kKeyPath[] = "HKLM\\SOFTWARE\\VORLA\\VorlaPrinterAgentForKDLX";
const int64_t kNow = 1800000000;  // 2027-01-15 08:00:00 UTC
const HINSTANCE kInstance = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000));

class Machine : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/platform-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv(platform::kStateDirVariable, dir_.c_str(), 1);
        platform::ResetState();
        platform::SetClock(kNow);
        platform::SetModulePath(
            "C:\\Program Files (x86)\\Vorla Printer Driver\\VorlaLogChecker.exe");
    }

    void TearDown() override
    {
        if (zoneChanged_) {
            if (hadZone_)
                setenv("TZ", savedZone_.c_str(), 1);
            else
                unsetenv("TZ");
            tzset();
        }
        EXPECT_EQ(platform::OpenKeyHandleCount(), 0) << "a registry handle was left open";
        EXPECT_EQ(platform::InvalidHandleUseCount(), 0)
            << "a registry handle was used after it was closed";
        EXPECT_EQ(platform::LiveObjectCount(), 0) << "a component object was never released";
        EXPECT_EQ(platform::ReferenceMisuseCount(), 0);
        EXPECT_EQ(platform::ApartmentDepth(), 0) << "CoInitialize without CoUninitialize";
        EXPECT_EQ(platform::UnbalancedUninitializeCount(), 0);
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    // Local times follow this zone until the test ends.
    void UseTimeZone(const char* zone)
    {
        if (!zoneChanged_) {
            const char* current = getenv("TZ");
            hadZone_ = current != nullptr;
            savedZone_ = hadZone_ ? current : "";
            zoneChanged_ = true;
        }
        setenv("TZ", zone, 1);
        tzset();
    }

    static bool HasStamp(DWORD* stamp = nullptr)
    {
        DWORD type = 0;
        std::string data;
        if (!platform::GetValue(kKeyPath, "LastCheckDate", &type, &data) || data.size() != 4)
            return false;
        EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
        if (stamp != nullptr)
            memcpy(stamp, data.data(), 4);
        return true;
    }

    static DWORD Stamp()
    {
        DWORD stamp = 0;
        EXPECT_TRUE(HasStamp(&stamp));
        return stamp;
    }

    static int CallCount(const std::string& call)
    {
        int count = 0;
        for (const std::string& logged : platform::CallLog())
            count += logged == call ? 1 : 0;
        return count;
    }

    static bool TouchedRegistry()
    {
        for (const std::string& call : platform::CallLog()) {
            if (call.compare(0, 3, "Reg") == 0)
                return true;
        }
        return false;
    }

    std::string dir_;

private:
    bool zoneChanged_ = false;
    bool hadZone_ = false;
    std::string savedZone_;
};

#endif
