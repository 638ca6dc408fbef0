cmake_minimum_required(VERSION 3.20)
# A CMake package's version file against the version rule (CHANGELOG.md):
# while 0.x a new minor version may change the interface, so a host that asks
# for another 0.x minor is refused, and one that asks for this minor gets it;
# from 1.0 on the same with major versions. The rule is restated here, not
# read from cmake/version-rule.cmake, so that a change of either fails this.
#   cmake -DVERSION_FILE=<QuenthaloyConfigVersion.cmake> -DVERSION=<x.y.z> -P check-version-rule.cmake
if(NOT VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "VERSION '${VERSION}' is not x.y.z")
endif()
set(major ${CMAKE_MATCH_1})
set(minor ${CMAKE_MATCH_2})

# Whether find_package(Quenthaloy <asked>) takes the package, as find_package
# asks its version file.
function(takes asked expected)
  string(REPLACE "." ";" parts ${asked})
  list(LENGTH parts count)
  list(APPEND parts 0 0)
  list(GET parts 0 PACKAGE_FIND_VERSION_MAJOR)
  list(GET parts 1 PACKAGE_FIND_VERSION_MINOR)
  list(GET parts 2 PACKAGE_FIND_VERSION_PATCH)
  set(PACKAGE_FIND_VERSION ${asked})
  set(PACKAGE_FIND_VERSION_COUNT ${count})
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
  include(${VERSION_FILE})
  if(expected AND NOT PACKAGE_VERSION_COMPATIBLE)
    message(FATAL_ERROR "${VERSION_FILE} (${PACKAGE_VERSION}) refuses a host that asks for ${asked}")
  elseif(NOT expected AND PACKAGE_VERSION_COMPATIBLE)
    message(FATAL_ERROR "${VERSION_FILE} (${PACKAGE_VERSION}) takes a host that asks for ${asked}, "
                        "another interface under the version rule")
  endif()
endfunction()

takes(${VERSION} TRUE)
takes(${major}.${minor} TRUE)
math(EXPR next_minor "${minor} + 1")
math(EXPR next_major "${major} + 1")
takes(${major}.${next_minor} FALSE)
takes(${next_major}.0 FALSE)
if(major EQUAL 0 AND minor GREATER 0)
  math(EXPR earlier_minor "${minor} - 1")
  takes(0.${earlier_minor} FALSE)
elseif(major GREATER 0)
  takes(${major}.0 TRUE)
endif()
message(STATUS "${VERSION_FILE}: ${VERSION} follows the version rule")
