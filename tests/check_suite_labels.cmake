# Run by ctest as Tests.EverySuiteHasOneLabel:
#   cmake -DSETTINGS=FILE -P check_suite_labels.cmake
# FILE, written by tests/CMakeLists.txt, sets test_command (the test binary,
# behind the emulator of a cross build) and labelled_suites (every suite
# named under a label there). Lists the binary's suites and fails, naming
# them, when one is under no label or under two, or when a name under a
# label is no suite of the binary.
cmake_minimum_required(VERSION 3.25)
include(${SETTINGS})
execute_process(COMMAND ${test_command} --gtest_list_tests
                OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${test_command} --gtest_list_tests failed (${status}):\n${errors}")
endif()

# A suite's line is its name and a dot, at the start of the line; its tests
# follow indented.
string(REPLACE "\n" ";" lines "${listing}")
set(suites "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([A-Za-z0-9_/]+)\\.( .*)?$")
    list(APPEND suites ${CMAKE_MATCH_1})
  endif()
endforeach()
if(NOT suites)
  message(FATAL_ERROR "No suite in the test binary's list:\n${listing}")
endif()

set(unlabelled ${suites})
list(REMOVE_ITEM unlabelled ${labelled_suites})
set(missing ${labelled_suites})
list(REMOVE_ITEM missing ${suites})
set(seen "")
set(twice "")
foreach(suite IN LISTS labelled_suites)
  if(suite IN_LIST seen)
    list(APPEND twice ${suite})
  endif()
  list(APPEND seen ${suite})
endforeach()

set(report "")
if(unlabelled)
  string(APPEND report "Suites under no label: ${unlabelled}\n")
endif()
if(twice)
  string(APPEND report "Suites under two labels: ${twice}\n")
endif()
if(missing)
  string(APPEND report "Names under a label that are no suite: ${missing}\n")
endif()
if(report)
  message(FATAL_ERROR "${report}Each suite goes under one label in tests/CMakeLists.txt.")
endif()
