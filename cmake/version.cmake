# The product's version is written once, as SLOTBENCH_VERSION_TEXT in
# res/version.h, and its publisher once, as name= in
# docs/release/publisher.txt (the version resources' CompanyName).
# Everything else is derived from these here: SLOTBENCH_VERSION
# (a.b.c.d, for the manifest) and, in slotbench_version.h of the build, the
# version resources' fixed form (a,b,c,d), their version string and the About
# box's line (cmake/about_text.cmake).
# SLOTBENCH_VERSION_SUFFIX marks a build that is not of a commit (release.sh
# --allow-dirty gives "-dirty"): it goes into the string, never into the
# numbers, which Windows requires to be four plain numbers.
set(SLOTBENCH_VERSION_SUFFIX "" CACHE STRING "appended to the version string, e.g. -dirty")
if(NOT SLOTBENCH_VERSION_SUFFIX MATCHES "^(-[a-z]+)?$")
  message(FATAL_ERROR "SLOTBENCH_VERSION_SUFFIX '${SLOTBENCH_VERSION_SUFFIX}' is not empty or -word")
endif()

file(STRINGS ${CMAKE_SOURCE_DIR}/res/version.h SLOTBENCH_VERSION_LINE REGEX "^#define SLOTBENCH_VERSION_TEXT ")
if(NOT SLOTBENCH_VERSION_LINE MATCHES "^#define SLOTBENCH_VERSION_TEXT \"([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)\"$")
  message(FATAL_ERROR "res/version.h has no four-part SLOTBENCH_VERSION_TEXT")
endif()
foreach(part 1 2 3 4)
  if(CMAKE_MATCH_${part} GREATER 65535)
    message(FATAL_ERROR "res/version.h: ${CMAKE_MATCH_${part}} does not fit a version resource (at most 65535)")
  endif()
endforeach()
set(SLOTBENCH_VERSION "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}.${CMAKE_MATCH_4}")
set(SLOTBENCH_VERSION_RC "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},${CMAKE_MATCH_4}")
set(SLOTBENCH_VERSION_STRING "${SLOTBENCH_VERSION}${SLOTBENCH_VERSION_SUFFIX}")
include(${CMAKE_SOURCE_DIR}/cmake/about_text.cmake)
slotbench_about_text(SLOTBENCH_ABOUT_TEXT "${SLOTBENCH_VERSION}" "${SLOTBENCH_VERSION_SUFFIX}")

# Read whole, not by file(STRINGS): that would take a ";" in the name for a list's.
file(READ ${CMAKE_SOURCE_DIR}/docs/release/publisher.txt SLOTBENCH_PUBLISHER)
string(REGEX MATCH "(^|\n)name=([^\n]*)(.*)" found "${SLOTBENCH_PUBLISHER}")
string(STRIP "${CMAKE_MATCH_2}" SLOTBENCH_COMPANY_NAME)
set(after "${CMAKE_MATCH_3}")
if(NOT SLOTBENCH_COMPANY_NAME MATCHES "^[ -~]+$" OR after MATCHES "\nname=")
  message(FATAL_ERROR "docs/release/publisher.txt has no single name= line in plain ASCII")
endif()
# A string of the resource compiler's, which takes \\ for a backslash and "" for a quote.
string(REPLACE "\\" "\\\\" SLOTBENCH_COMPANY_NAME "${SLOTBENCH_COMPANY_NAME}")
string(REPLACE "\"" "\"\"" SLOTBENCH_COMPANY_NAME "${SLOTBENCH_COMPANY_NAME}")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/res/version.h
  ${CMAKE_SOURCE_DIR}/cmake/about_text.cmake ${CMAKE_SOURCE_DIR}/docs/release/publisher.txt)

# Only the resource scripts include it (windres cannot join two strings).
set(SLOTBENCH_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
file(CONFIGURE OUTPUT ${SLOTBENCH_GENERATED_DIR}/slotbench_version.h CONTENT
"// Made by cmake/version.cmake from res/version.h and docs/release/publisher.txt: do not edit.
#pragma once
#define SLOTBENCH_VERSION_RC @SLOTBENCH_VERSION_RC@
#define SLOTBENCH_VERSION_STRING \"@SLOTBENCH_VERSION_STRING@\"
#define SLOTBENCH_ABOUT_TEXT \"@SLOTBENCH_ABOUT_TEXT@\"
#define SLOTBENCH_COMPANY_NAME \"@SLOTBENCH_COMPANY_NAME@\"
" @ONLY)
