# The shipped program: PE32, GUI subsystem 5.01, no C runtime start-up of mingw's (we bring our
# own), only DLLs that every Windows has, and nothing in the file that depends on when or where
# it was built.
enable_language(RC)

add_executable(VorlaLogChecker WIN32 ${LOGCHECKER_SOURCES} res/VorlaLogChecker.rc)
target_include_directories(VorlaLogChecker PRIVATE src)
target_compile_definitions(VorlaLogChecker PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
target_compile_options(VorlaLogChecker PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:-Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-ident -ffunction-sections -fdata-sections -fno-threadsafe-statics
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -Wall -Wextra -Werror>)
target_link_options(VorlaLogChecker PRIVATE
    -nostdlib -s
    -Wl,--entry=_WinMainCRTStartup
    -Wl,--subsystem,windows:5.01
    -Wl,--major-os-version,5 -Wl,--minor-os-version,1
    -Wl,--gc-sections -Wl,--no-insert-timestamp
    -Wl,--dynamicbase -Wl,--nxcompat)
target_link_libraries(VorlaLogChecker PRIVATE kernel32 advapi32 shell32 ole32 uuid -l:libstdc++.a msvcrt gcc)
set_target_properties(VorlaLogChecker PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# Resource compilation through windres must not see build paths or the host's locale.
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")
