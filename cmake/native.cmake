# The program built for Linux against the Win32 stand-in under platform/, with its tests.
# Everything is built with AddressSanitizer and UndefinedBehaviorSanitizer.
set(SANITIZERS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
add_compile_options(-Wall -Wextra -g ${SANITIZERS})
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
add_subdirectory(tests)
