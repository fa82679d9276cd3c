# How a GoogleTest program is registered with CTest.
#
# By default a program runs as a few shards (GTEST_TOTAL_SHARDS/GTEST_SHARD_INDEX), each one process
# running its share of the tests: starting the sanitizer build's test program is slow, and one
# process per test spent most of the test run starting processes. A failing test is named in
# the shard's output (--output-on-failure). ZARN_TEST_EACH=ON registers every test on its own
# (`ctest -R Suite.Name`), as gtest_discover_tests does.
option(ZARN_TEST_EACH "Register every GoogleTest test with CTest on its own instead of in shards" OFF)
include(GoogleTest)

# zarn_add_gtests(TARGET SHARDS [PREFIX prefix])
function(zarn_add_gtests target shards)
    cmake_parse_arguments(ARG "" "PREFIX" "" ${ARGN})
    if(ZARN_TEST_EACH)
        gtest_discover_tests(${target} DISCOVERY_TIMEOUT 60 TEST_PREFIX "${ARG_PREFIX}")
        return()
    endif()
    math(EXPR last "${shards} - 1")
    foreach(index RANGE ${last})
        set(name "${ARG_PREFIX}${target}.shard${index}")
        add_test(NAME ${name} COMMAND ${target} --gtest_brief=1)
        set_tests_properties(${name} PROPERTIES
            ENVIRONMENT "GTEST_TOTAL_SHARDS=${shards};GTEST_SHARD_INDEX=${index}")
    endforeach()
endfunction()

# zarn_test_program(TARGET): in an optimized build a test program's own code is compiled for
# debugging (-Og, with line tables only: the optimizer gains the tests nothing, and it took most of
# the build's time), and the program links the libraries' machine code without link-time
# optimization. The driver and the simulator it runs keep the build's optimization.
function(zarn_test_program target)
    target_compile_options(${target} PRIVATE $<$<CONFIG:Release,RelWithDebInfo,MinSizeRel>:-Og>
                                             $<$<CONFIG:RelWithDebInfo>:-g1>)
    if(ZARN_IPO AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(${target} PRIVATE -fno-lto)
        target_link_options(${target} PRIVATE -fno-lto)
    endif()
endfunction()
