# Warnings are errors in our own code; Qt and Boost headers come in as
# system headers through their imported targets.
function(lumen_strict target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# What every test process gets: the offscreen platform and, in a sanitizer
# build, full allocation stacks so that Qt's own known leaks can be told
# apart from ours (tests/lsan.supp).
set(LUMEN_TEST_ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
if(LUMEN_SANITIZE)
    list(APPEND LUMEN_TEST_ENVIRONMENT
        "ASAN_OPTIONS=fast_unwind_on_malloc=0:detect_leaks=1"
        "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp:print_suppressions=0"
        "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
endif()

# lumen_add_qtest(NAME <name> SOURCES <files...> LIBS <targets...> [LAUNCHER <program>]
#                 [LOCKS <resources...>])
# A QtTest executable registered with CTest, run on the offscreen platform
# (or as the launcher, given the program, runs it). LOCKS names what only one
# test program at a time may hold, such as a fixed port.
function(lumen_add_qtest)
    cmake_parse_arguments(T "" "NAME;LAUNCHER" "SOURCES;LIBS;LOCKS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt5::Test ${T_LIBS})
    lumen_strict(${T_NAME})
    add_test(NAME ${T_NAME} COMMAND ${T_LAUNCHER} $<TARGET_FILE:${T_NAME}>)
    # A home of its own: settings, cookies and caches of one test program
    # never meet another's, whatever runs at the same time.
    set(home ${CMAKE_BINARY_DIR}/test-homes/${T_NAME})
    file(MAKE_DIRECTORY ${home})
    set_tests_properties(${T_NAME} PROPERTIES
        ENVIRONMENT "${LUMEN_TEST_ENVIRONMENT};HOME=${home};XDG_CONFIG_HOME=${home}/config;XDG_CACHE_HOME=${home}/cache;XDG_DATA_HOME=${home}/data"
        TIMEOUT 300)
    if(T_LOCKS)
        set_tests_properties(${T_NAME} PROPERTIES RESOURCE_LOCK "${T_LOCKS}")
    endif()
endfunction()
