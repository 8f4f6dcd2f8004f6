# Project-wide helpers: one place for the language level, warnings and the
# include root, and one for every test target.

function(kivo_defaults target)
    target_compile_features(${target} PUBLIC cxx_std_20)
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(KIVO_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# kivo_add_gtest(name sources... LINK libs... [LABELS labels...] [ENV vars...])
function(kivo_add_gtest name)
    cmake_parse_arguments(ARG "" "TIMEOUT" "LINK;LABELS;ENV" ${ARGN})
    add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
    kivo_defaults(${name})
    target_link_libraries(${name} PRIVATE ${ARG_LINK} GTest::gtest GTest::gmock GTest::gtest_main
        Threads::Threads)
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    # Empty values would vanish from the flattened list and shift the pairs.
    set(properties TIMEOUT ${ARG_TIMEOUT})
    if(ARG_LABELS)
        list(APPEND properties LABELS "${ARG_LABELS}")
    endif()
    if(ARG_ENV)
        list(APPEND properties ENVIRONMENT "${ARG_ENV}")
    endif()
    # No test may reach a real serial port: a COM number that a test leaves
    # unmapped would otherwise fall back to /dev/ttyS*. A test that wants a
    # device tree sets its own. (A property of its own: a second pair in
    # ENVIRONMENT would not survive the test discovery's flattening.)
    if(NOT ARG_ENV MATCHES "KIVO_DEV_ROOT=")
        list(APPEND properties ENVIRONMENT_MODIFICATION
             "KIVO_DEV_ROOT=set:${PROJECT_BINARY_DIR}/no-devices-in-tests")
    endif()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${properties})
endfunction()
