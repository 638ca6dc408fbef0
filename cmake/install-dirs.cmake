# GNUInstallDirs, with Debian's multiarch library directory for cross builds
# too: installed under /usr, the library goes to /usr/lib/<triplet>, where
# the dynamic linker and pkg-config of that architecture (a cross
# pkg-config among them) look. GNUInstallDirs itself gives lib/<triplet>
# only when building for the machine it runs on.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND CMAKE_CROSSCOMPILING AND NOT DEFINED CMAKE_INSTALL_LIBDIR
   AND CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$" AND EXISTS /etc/debian_version)
  set(triplet ${CMAKE_LIBRARY_ARCHITECTURE})
  if(NOT triplet)
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-multiarch OUTPUT_VARIABLE triplet
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(triplet)
    set(CMAKE_INSTALL_LIBDIR lib/${triplet} CACHE PATH "Object code libraries (lib/${triplet})")
  endif()
endif()
include(GNUInstallDirs)
