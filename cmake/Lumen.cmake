# Warnings are errors in our own code; Qt and Boost headers come in as
# system headers through their imported targets.
function(lumen_strict target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# lumen_add_qtest(NAME <name> SOURCES <files...> LIBS <targets...>)
# A QtTest executable registered with CTest, run on the offscreen platform.
function(lumen_add_qtest)
    cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE Qt5::Test ${T_LIBS})
    lumen_strict(${T_NAME})
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES
        ENVIRONMENT "QT_QPA_PLATFORM=offscreen"
        TIMEOUT 300)
endfunction()
