# The About box's version line for several versions and suffixes: run as
# cmake -P by ctest (AboutTextFollowsTheVersion). Fails with every line
# that came out otherwise.
cmake_minimum_required(VERSION 3.20)
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/about_text.cmake)

# version | suffix | the line
set(rows
  "1.0.0.0||Slot_Bench version 1.0"
  "1.0.1.0||Slot_Bench version 1.0.1"
  "1.2.0.0||Slot_Bench version 1.2"
  "2.0.0.7||Slot_Bench version 2.0.0.7"
  "1.0.0.1||Slot_Bench version 1.0.0.1"
  "0.0.0.0||Slot_Bench version 0.0"
  "10.20.30.0||Slot_Bench version 10.20.30"
  "1.10.0.0||Slot_Bench version 1.10"
  "3.0.100.0||Slot_Bench version 3.0.100"
  "1.0.0.0|-dirty|Slot_Bench version 1.0-dirty"
  "1.0.1.0|-dirty|Slot_Bench version 1.0.1-dirty"
)
set(failures "")
foreach(row IN LISTS rows)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 version)
  list(GET fields 1 suffix)
  list(GET fields 2 want)
  slotbench_about_text(got "${version}" "${suffix}")
  if(NOT got STREQUAL want)
    string(APPEND failures "\n  ${version}${suffix}: '${got}', not '${want}'")
  endif()
endforeach()
if(failures)
  message(FATAL_ERROR "About text:${failures}")
endif()
list(LENGTH rows count)
message(STATUS "About text: ${count} versions as expected")
