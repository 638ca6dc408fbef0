# The header's QUENTHALOY_VERSION_MAJOR, _MINOR and _PATCH against the one
# version of project(). Included by CMakeLists.txt (configuring stops on a
# mismatch) and run by the version.header test:
#   cmake -DSOURCE_DIR=<tree> -P cmake/version-check.cmake
# which reads the version from CMakeLists.txt itself.
if(NOT DEFINED SOURCE_DIR)
  set(SOURCE_DIR ${PROJECT_SOURCE_DIR})
endif()
if(CMAKE_SCRIPT_MODE_FILE)
  file(READ ${SOURCE_DIR}/CMakeLists.txt lists)
  if(NOT lists MATCHES "project\\([A-Za-z]+ VERSION ([0-9]+\\.[0-9]+\\.[0-9]+)")
    message(FATAL_ERROR "CMakeLists.txt: no project(... VERSION x.y.z ...)")
  endif()
  set(expected ${CMAKE_MATCH_1})
else()
  set(expected ${PROJECT_VERSION})
endif()

set(header ${SOURCE_DIR}/include/quenthaloy.h)
set(found "")
foreach(part MAJOR MINOR PATCH)
  file(STRINGS ${header} line REGEX "^#define QUENTHALOY_VERSION_${part} ")
  list(LENGTH line count)
  if(NOT count EQUAL 1 OR NOT line MATCHES "^#define QUENTHALOY_VERSION_${part} ([0-9]+)$")
    message(FATAL_ERROR "${header}: needs exactly one line '#define QUENTHALOY_VERSION_${part} <number>'")
  endif()
  list(APPEND found ${CMAKE_MATCH_1})
endforeach()
list(JOIN found . found)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "${header} says version ${found}, CMakeLists.txt's project() says ${expected}: "
                      "change the QUENTHALOY_VERSION_ macros with the project's version")
endif()
