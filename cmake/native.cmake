# The program built for Linux against the Win32 stand-in under platform/, with its tests.
# Everything is built with AddressSanitizer and UndefinedBehaviorSanitizer, unless
# LOGCHECKER_SANITIZE is OFF (for runs under valgrind, which cannot share the address space with
# them). LOGCHECKER_FUZZ (clang) adds libFuzzer's instrumentation and builds the fuzz targets
# instead of the unit tests.
option(LOGCHECKER_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
option(LOGCHECKER_FUZZ "Build the libFuzzer targets instead of the unit tests (clang only)" OFF)
set(LOGCHECKER_FUZZ_RUNS 20000 CACHE STRING "Executions of each fuzz target in its CTest test")

if(LOGCHECKER_FUZZ)
    set(SANITIZERS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                   -fno-omit-frame-pointer)
elseif(LOGCHECKER_SANITIZE)
    set(SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
else()
    set(SANITIZERS)
endif()
add_compile_options(-Wall -Wextra -g ${SANITIZERS})

# The Python tests and scripts/sign read Windows files with pefile and asn1crypto, which Debian
# packages for its own Python alone; another one first on PATH (pyenv's, say) lacks them.
# -DPython3_EXECUTABLE=... still names another.
if(NOT DEFINED CACHE{Python3_EXECUTABLE} AND EXISTS /usr/bin/python3)
    set(Python3_EXECUTABLE /usr/bin/python3)
endif()
add_link_options(${SANITIZERS})

add_library(win32platform STATIC
    platform/src/State.cpp
    platform/src/Registry.cpp
    platform/src/System.cpp
    platform/src/TaskScheduler.cpp)
target_include_directories(win32platform PUBLIC platform/include)
target_compile_features(win32platform PUBLIC cxx_std_17)

add_library(logchecker STATIC ${LOGCHECKER_SOURCES})
target_include_directories(logchecker PUBLIC src)
target_link_libraries(logchecker PUBLIC win32platform)

add_executable(VorlaLogChecker platform/src/Main.cpp)
target_link_libraries(VorlaLogChecker PRIVATE logchecker)

enable_testing()
if(LOGCHECKER_FUZZ)
    add_subdirectory(tests/fuzz)
else()
    add_subdirectory(tests)
    if(NOT LOGCHECKER_SANITIZE)
        include(tests/native/memcheck.cmake)
    endif()
endif()
