# Registers each test function of a Qt Test program as its own CTest test, named
# <prefix>.<function>, from the list the program itself prints with -functions after every
# build, so no list of names is kept by hand:
#   mmfcast_add_qt_test_functions(target PREFIX p TIMEOUT s [ENVIRONMENT v=x ...])
# Run with cmake -P, the same file writes that list out as CTest commands.
if(NOT CMAKE_SCRIPT_MODE_FILE)
  function(mmfcast_add_qt_test_functions target)
    cmake_parse_arguments(arg "" "PREFIX;TIMEOUT" "ENVIRONMENT" ${ARGN})
    set(ctest_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_functions.cmake)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -D executable=$<TARGET_FILE:${target}> -D prefix=${arg_PREFIX}
              -D timeout=${arg_TIMEOUT} "-D environment=${arg_ENVIRONMENT}"
              -D ctest_file=${ctest_file} -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
      BYPRODUCTS ${ctest_file}
      VERBATIM)
    # Before the first build there is no list yet; CTest then runs one test that fails, named
    # so that it says the program was not built.
    set(include_file ${CMAKE_CURRENT_BINARY_DIR}/${target}_include.cmake)
    file(WRITE ${include_file}
      "if(EXISTS [==[${ctest_file}]==])\n"
      "  include([==[${ctest_file}]==])\n"
      "else()\n"
      "  add_test([==[${arg_PREFIX}.NOT_BUILT]==] [==[${target}_NOT_BUILT]==])\n"
      "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${include_file})
  endfunction()
  return()
endif()

# Script mode: executable, prefix, timeout, environment (a list) and ctest_file are given.
# Listing needs no display; a sanitized build's leak check would only fail the listing.
set(ENV{QT_QPA_PLATFORM} offscreen)
set(ENV{ASAN_OPTIONS} detect_leaks=0)
execute_process(COMMAND ${executable} -functions
                OUTPUT_VARIABLE listed ERROR_VARIABLE errors RESULT_VARIABLE status)
# One line per test function, "name()"; init and cleanup are not listed.
string(REGEX MATCHALL "[^\n]+" lines "${listed}")
list(FILTER lines INCLUDE REGEX "^[A-Za-z_][A-Za-z0-9_]*\\(\\)$")
if(NOT status EQUAL 0 OR NOT lines)
  message(FATAL_ERROR "${executable} -functions listed no tests (status ${status}):\n"
                      "${listed}${errors}")
endif()
set(properties "TIMEOUT ${timeout}")
if(environment)
  string(APPEND properties " ENVIRONMENT [==[${environment}]==]")
endif()
set(commands "")
foreach(line IN LISTS lines)
  string(REPLACE "()" "" function ${line})
  string(APPEND commands
    "add_test([==[${prefix}.${function}]==] [==[${executable}]==] ${function})\n"
    "set_tests_properties([==[${prefix}.${function}]==] PROPERTIES ${properties})\n")
endforeach()
file(WRITE ${ctest_file} "${commands}")
