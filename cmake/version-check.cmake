# Every place that writes the version down against the one version of
# project(): the header's QUENTHALOY_VERSION_MAJOR, _MINOR and _PATCH, the
# Python package's __version__ (pyproject.toml reads it from there) and the
# library file it loads, whose SONAME follows the version rule
# (cmake/version-rule.cmake); and pyproject.toml's home page and authors
# against CMakeLists.txt's. Included by CMakeLists.txt (configuring stops on
# a mismatch) and run by the version.header test:
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
  string(REGEX MATCH "HOMEPAGE_URL \"([^\"]+)\"" homepage "${lists}")
  set(homepage ${CMAKE_MATCH_1})
  string(REGEX MATCH "set\\(QUENTHALOY_AUTHORS \"([^\"]+)\"\\)" authors "${lists}")
  set(authors ${CMAKE_MATCH_1})
  string(REGEX MATCH "set\\(QUENTHALOY_CONTACT \"([^\"]+)\"\\)" contact "${lists}")
  set(contact ${CMAKE_MATCH_1})
  include(${CMAKE_CURRENT_LIST_DIR}/version-rule.cmake)
else()
  set(expected ${PROJECT_VERSION})
  set(homepage ${PROJECT_HOMEPAGE_URL})
  set(authors ${QUENTHALOY_AUTHORS})
  set(contact ${QUENTHALOY_CONTACT})
endif()
quenthaloy_version_rule(${expected})

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

# The Python package: its version, the library it loads, and its metadata.
function(quenthaloy_expect_line file pattern expected what)
  file(STRINGS ${file} line REGEX "${pattern}")
  list(LENGTH line count)
  if(NOT count EQUAL 1 OR NOT line MATCHES "${pattern}" OR NOT CMAKE_MATCH_1 STREQUAL expected)
    message(FATAL_ERROR "${file}: ${what} is '${CMAKE_MATCH_1}' (${count} lines), not '${expected}' as "
                        "CMakeLists.txt has it")
  endif()
endfunction()
set(package ${SOURCE_DIR}/python/quenthaloy/__init__.py)
quenthaloy_expect_line(${package} "^__version__ = \"(.*)\"$" ${expected} "__version__")
quenthaloy_expect_line(${package} "^_LINUX_LIBRARY = \"(.*)\"$" libquenthaloy.so.${QUENTHALOY_SOVERSION}
                       "the library's file name")
set(pyproject ${SOURCE_DIR}/python/pyproject.toml)
quenthaloy_expect_line(${pyproject} "^dynamic = \\[\"(version)\"\\]$" version "the version's source")
quenthaloy_expect_line(${pyproject} "^Homepage = \"(.*)\"$" "${homepage}" "the home page")
quenthaloy_expect_line(${pyproject} "^authors = \\[{ name = \"(.*)\", email = " "${authors}" "the authors")
quenthaloy_expect_line(${pyproject} "^authors = .*email = \"(.*)\" }\\]$" "${contact}" "the authors' address")
