# Cross build of the shipped 32-bit program with Debian's mingw-w64 (win32 thread model, so
# nothing drags in a threads DLL).
#
# VORLA_TOOLCHAIN "recorded" (the windows preset) builds with exactly the packages of
# toolchain/packages.txt, since another version of any of them may give other bytes: the host's
# own where they are those, else the build root's that scripts/setup made, through the wrappers
# in toolchain/bin. "host" (the windows-host preset) builds with whatever the host has.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VORLA_TOOLCHAIN recorded CACHE STRING
    "recorded: the toolchain of toolchain/packages.txt; host: the host's own mingw-w64")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VORLA_TOOLCHAIN)
get_filename_component(VORLA_TOOLCHAIN_DIR ${CMAKE_CURRENT_LIST_DIR}/../toolchain ABSOLUTE)

set(prefix "")
if(VORLA_TOOLCHAIN STREQUAL "recorded")
    execute_process(COMMAND ${VORLA_TOOLCHAIN_DIR}/enter --check
                    OUTPUT_VARIABLE VORLA_TOOLCHAIN_PLACE ERROR_VARIABLE error
                    RESULT_VARIABLE failed OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(failed)
        message(FATAL_ERROR "${error}(cmake --preset windows-host builds with the host's own "
                            "toolchain, which may give other bytes than a release)")
    endif()
    if(VORLA_TOOLCHAIN_PLACE STREQUAL "root")
        set(prefix ${VORLA_TOOLCHAIN_DIR}/bin/)
        set(VORLA_LLD_NAMES ${prefix}ld.lld)
        set(VORLA_DLLTOOL_NAMES ${prefix}llvm-dlltool)
    else()
        # The host may hold more than one LLVM: the recorded one by its versioned name.
        file(STRINGS ${VORLA_TOOLCHAIN_DIR}/packages.txt lld REGEX "^lld-[0-9]+=")
        string(REGEX REPLACE "^lld(-[0-9]+)=.*" "\\1" suffix "${lld}")
        set(VORLA_LLD_NAMES ld.lld${suffix})
        set(VORLA_DLLTOOL_NAMES llvm-dlltool${suffix})
    endif()
elseif(VORLA_TOOLCHAIN STREQUAL "host")
    set(VORLA_TOOLCHAIN_PLACE host)
    set(VORLA_LLD_NAMES ld.lld)
    set(VORLA_DLLTOOL_NAMES llvm-dlltool llvm-dlltool-14)
else()
    message(FATAL_ERROR "VORLA_TOOLCHAIN is ${VORLA_TOOLCHAIN}, not recorded or host")
endif()

set(CMAKE_C_COMPILER ${prefix}i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER ${prefix}i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER ${prefix}i686-w64-mingw32-windres)
if(prefix)
    set(CMAKE_AR ${prefix}i686-w64-mingw32-ar)
    set(CMAKE_RANLIB ${prefix}i686-w64-mingw32-ranlib)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
