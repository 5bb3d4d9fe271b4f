# The shipped program: PE32, GUI subsystem 5.01, no C runtime start-up of mingw's (we bring our
# own), only DLLs that every Windows has, and nothing in the file that depends on when or where
# it was built.
enable_language(RC)

# GCC compiles, LLD links. Almost every run only reads one registry value and exits, so shell32
# and ole32, whose loading costs more than the rest of such a run, are delay-loaded: only the
# runs that call them pay for them. GNU ld cannot do that here: dlltool's i386 delay libraries
# leave the thunks' IAT slots and the name table empty, and ld never fills in the delay-import
# directory. LLD builds the delay tables itself from short import libraries.
find_program(VORLA_LLD NAMES ${VORLA_LLD_NAMES} REQUIRED)
find_program(VORLA_DLLTOOL NAMES ${VORLA_DLLTOOL_NAMES} REQUIRED)
# GCC's own libraries by name from its folder: in the build root that folder is not on the host,
# where make would look for a library given by its path.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libgcc.a
                OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(VORLA_GCC_LIBRARIES ${path} DIRECTORY)
# The packages this build's tools come from, in build/windows/toolchain.txt: scripts/sign writes
# them into a release's record, and verify compares another build's with them.
set(tools ${CMAKE_C_COMPILER} ${CMAKE_CXX_COMPILER} ${CMAKE_RC_COMPILER} ${VORLA_LLD} ${VORLA_DLLTOOL})
set(describe ${VORLA_TOOLCHAIN_DIR}/describe)
if(VORLA_TOOLCHAIN_PLACE STREQUAL "root")
    # Inside the build root the wrappers' names are its own programs'. Anything but a wrapper
    # would run on the host.
    foreach(tool ${tools})
        if(NOT tool MATCHES "^${VORLA_TOOLCHAIN_DIR}/bin/[^/]+$")
            message(FATAL_ERROR "${tool} would run on the host, not in the build root of the "
                                "recorded toolchain: remove ${CMAKE_BINARY_DIR} and configure "
                                "again.")
        endif()
    endforeach()
    list(TRANSFORM tools REPLACE "^.*/" "")
    set(describe ${VORLA_TOOLCHAIN_DIR}/enter ${describe})
endif()
execute_process(COMMAND ${describe} ${tools} ${CMAKE_FIND_ROOT_PATH}
                OUTPUT_VARIABLE used ERROR_VARIABLE error RESULT_VARIABLE failed)
if(failed)
    set(used "# unknown: ${error}")
    message(WARNING "The packages of this build's toolchain are unknown: ${error}")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/toolchain.txt "${used}")
if(VORLA_TOOLCHAIN STREQUAL "recorded")
    file(STRINGS ${VORLA_TOOLCHAIN_DIR}/packages.txt recorded REGEX "^[^#]")
    string(REPLACE "\n" ";" used_list "${used}")
    list(REMOVE_ITEM used_list "")
    if(NOT used_list STREQUAL recorded)
        message(FATAL_ERROR "The build's tools are not the recorded ones: they come from "
                            "${used_list}; toolchain/packages.txt records ${recorded}. A build "
                            "folder configured before may hold other tools: remove "
                            "${CMAKE_BINARY_DIR} and configure again.")
    endif()
endif()

# Nothing implicit: no start files, no default libraries, only what the targets list. CMake's
# default list would bring back plain import libraries of the delay-loaded DLLs.
set(CMAKE_CXX_STANDARD_LIBRARIES "")
set(CMAKE_CXX_LINK_EXECUTABLE "${VORLA_LLD} -m i386pe <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

# The functions called from each delay-loaded DLL. A call to one not listed fails to link,
# on purpose: a plain import library would quietly load the DLL on every run again.
set(VORLA_DELAYED_shell32 ShellExecuteA@24)
set(VORLA_DELAYED_ole32 CoInitialize@4 CoCreateInstance@20 CoUninitialize@0)
set(VORLA_DELAY_LIBS)
set(VORLA_DELAY_OPTIONS)
foreach(dll shell32 ole32)
    set(def ${CMAKE_BINARY_DIR}/delayed/${dll}.def)
    set(lib ${CMAKE_BINARY_DIR}/delayed/lib${dll}.a)
    list(JOIN VORLA_DELAYED_${dll} "\n" exports)
    file(GENERATE OUTPUT ${def} CONTENT "LIBRARY ${dll}.dll\nEXPORTS\n${exports}\n")
    add_custom_command(OUTPUT ${lib}
                       COMMAND ${VORLA_DLLTOOL} -m i386 -k -d ${def} -l ${lib}
                       DEPENDS ${def} VERBATIM)
    list(APPEND VORLA_DELAY_LIBS ${lib})
    list(APPEND VORLA_DELAY_OPTIONS --delayload=${dll}.dll)
endforeach()
add_custom_target(delay-import-libs DEPENDS ${VORLA_DELAY_LIBS})

# Everything built for Windows gets the shipped exe's options, so that the benchmark's
# reference programs differ from it in their code alone.
function(vorla_windows_program target)
    add_dependencies(${target} delay-import-libs)
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src)
    target_compile_definitions(${target} PRIVATE WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0501)
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX>:-Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
        -fno-ident -ffunction-sections -fdata-sections -fno-threadsafe-statics
        -ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -Wall -Wextra -Werror>)
    target_link_options(${target} PRIVATE
        --entry=_WinMainCRTStartup
        --subsystem=windows:5.01
        --major-os-version=5 --minor-os-version=1
        --gc-sections --no-insert-timestamp --strip-all
        # Hardened as a program that runs as the system account should be: relocatable for
        # ASLR, data never executable, and no SEH handlers of ours for an overwrite to aim at.
        --dynamicbase --nxcompat --no-seh
        # GNU ld's defaults, which the program was first shipped with.
        --disable-tsaware --stack=0x200000
        ${VORLA_DELAY_OPTIONS}
        -L${CMAKE_FIND_ROOT_PATH}/lib -L${VORLA_GCC_LIBRARIES})
    # mingwex is there for the delay-load helper alone; how a failed delay load ends the run is
    # ours, in src/entry/DelayLoadFailure.cpp.
    target_link_libraries(${target} PRIVATE kernel32 advapi32 ${VORLA_DELAY_LIBS} uuid
        -l:libstdc++.a msvcrt -l:libgcc.a mingwex)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()

add_executable(VorlaLogChecker ${LOGCHECKER_SOURCES} src/entry/DelayLoadFailure.cpp
               src/entry/StackGuard.cpp res/VorlaLogChecker.rc)
vorla_windows_program(VorlaLogChecker)
# Stack buffers checked on return, with a guard of our own (src/entry/StackGuard.cpp). Only here:
# the benchmark's baselines have no guard to check against, and need none.
target_compile_options(VorlaLogChecker PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-fstack-protector-strong>)

# The baselines that bench/startup_cost.py builds and times the program against: a program that
# does nothing, and one that only reads the registry value the hourly check reads.
foreach(name EmptyProgram RegistryProgram)
    add_executable(${name} EXCLUDE_FROM_ALL bench/${name}.cpp)
    vorla_windows_program(${name})
endforeach()

# Resource compilation through windres must not see build paths or the host's locale.
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")
