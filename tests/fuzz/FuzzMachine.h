// What both fuzz targets share: a state directory of their own for the stand-in platform, a
// check that stops the run on a broken invariant, and the check that a run released everything.
#ifndef TESTS_FUZZ_FUZZMACHINE_H
#define TESTS_FUZZ_FUZZMACHINE_H

#include <platform_controls.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// A broken invariant is a finding: libFuzzer keeps the input that led to the abort.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__,           \
                         __LINE__);                                                                \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {

const char kKeyPath[] = "HKLM\\SOFTWARE\\VORLA\\VorlaPrinterAgentForKDLX";
const char kModulePath[] = "C:\\Program Files (x86)\\Vorla Printer Driver\\VorlaLogChecker.exe";

inline std::string& StateDirectory()
{
    static std::string dir;
    return dir;
}

// One directory per fuzzing process, in memory where the machine has it: every input rewrites the
// platform's state files.
inline void UseOwnStateDirectory()
{
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/vorla-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    StateDirectory() = pattern;
    setenv(platform::kStateDirVariable, pattern.c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(StateDirectory(), ignored);
    });
}

// Handles, objects and the apartment, as every run must leave them.
inline void CheckEverythingReleased()
{
    FUZZ_CHECK(platform::OpenKeyHandleCount() == 0);
    FUZZ_CHECK(platform::InvalidHandleUseCount() == 0);
    FUZZ_CHECK(platform::LiveObjectCount() == 0);
    FUZZ_CHECK(platform::ReferenceMisuseCount() == 0);
    FUZZ_CHECK(platform::ApartmentDepth() == 0);
    FUZZ_CHECK(platform::UnbalancedUninitializeCount() == 0);
}

struct Value {
    bool present = false;
    DWORD type = 0;
    std::string data;
};

inline Value ReadValue(const char* name)
{
    Value value;
    value.present = platform::GetValue(kKeyPath, name, &value.type, &value.data);
    return value;
}

inline bool operator==(const Value& a, const Value& b)
{
    return a.present == b.present && (!a.present || (a.type == b.type && a.data == b.data));
}

inline bool IsStampOf(const Value& value, int64_t clock)
{
    std::string expected;
    for (int i = 0; i < 4; ++i)
        expected += static_cast<char>((static_cast<uint64_t>(clock) >> (8 * i)) & 0xFF);
    return value.present && value.type == REG_DWORD && value.data == expected;
}

}  // namespace fuzz

#endif
