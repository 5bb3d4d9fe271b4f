# The unit tests once more under valgrind's memcheck, for the build without sanitizers (the
# "memcheck" preset). Any error memcheck reports, a definite leak included, fails the run; the
# canary shows that it does. Only the test process itself runs under valgrind: the copies of the
# native program that some tests start are not traced.
find_program(VALGRIND valgrind REQUIRED)
set(MEMCHECK ${VALGRIND} --tool=memcheck --error-exitcode=99 --leak-check=full --show-leak-kinds=definite
    --errors-for-leak-kinds=definite --track-origins=yes --num-callers=30 --quiet
    --suppressions=${CMAKE_CURRENT_LIST_DIR}/memcheck.supp)

add_test(NAME memcheck.native_tests COMMAND ${MEMCHECK} $<TARGET_FILE:native_tests>)
set_tests_properties(memcheck.native_tests PROPERTIES LABELS memcheck TIMEOUT 900)

add_executable(memcheck_canary ${CMAKE_CURRENT_LIST_DIR}/MemcheckCanary.cpp)
add_test(NAME memcheck.fails_on_a_real_error COMMAND ${MEMCHECK} $<TARGET_FILE:memcheck_canary>)
set_tests_properties(memcheck.fails_on_a_real_error PROPERTIES LABELS memcheck WILL_FAIL TRUE)
