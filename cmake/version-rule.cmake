# The version rule (CHANGELOG.md states it): while the major version is 0, a
# new minor version may change the interface; from 1.0 on, only a new major
# version may. Everything that says which releases a host built against one
# may run with follows from it here:
#   QUENTHALOY_SOVERSION      the shared library's SONAME version and the
#                             Debian runtime package's suffix: 0.<minor> while
#                             0.x (libquenthaloy.so.0.1, libquenthaloy0.1),
#                             else <major>
#   QUENTHALOY_COMPATIBILITY  the CMake package's: SameMinorVersion while 0.x,
#                             else SameMajorVersion
# quenthaloy_version_rule(<x.y.z>) sets both in the caller's scope.
function(quenthaloy_version_rule version)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.[0-9]+$")
    message(FATAL_ERROR "quenthaloy_version_rule: '${version}' is not x.y.z")
  endif()
  if(CMAKE_MATCH_1 EQUAL 0)
    set(QUENTHALOY_SOVERSION 0.${CMAKE_MATCH_2} PARENT_SCOPE)
    set(QUENTHALOY_COMPATIBILITY SameMinorVersion PARENT_SCOPE)
  else()
    set(QUENTHALOY_SOVERSION ${CMAKE_MATCH_1} PARENT_SCOPE)
    set(QUENTHALOY_COMPATIBILITY SameMajorVersion PARENT_SCOPE)
  endif()
endfunction()
