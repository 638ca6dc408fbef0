# cpack's project configuration for the Debian packages (read at packing
# time, when the library exists): the runtime package's Depends.
# Built for this machine's architecture, dpkg-shlibdeps decides from the
# installed libc's symbols file, as for any Debian package. A cross build's
# target libc is not registered with dpkg here, so there the floor is the
# highest GLIBC_ symbol version the library needs (readelf reads every
# architecture), which is what libc6's symbols file maps those symbols to.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(library ${CPACK_QUENTHALOY_LIBRARY})
if(NOT EXISTS ${library})
  message(FATAL_ERROR "${library} is not built: build the library before packing it")
endif()
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE build_architecture
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(depends "")
if(build_architecture STREQUAL CPACK_QUENTHALOY_ARCHITECTURE)
  set(work ${CPACK_PACKAGE_DIRECTORY}/_CPack_Packages/shlibdeps)
  file(MAKE_DIRECTORY ${work}/debian)
  file(WRITE ${work}/debian/control "Source: quenthaloy\n\nPackage: ${CPACK_QUENTHALOY_RUNTIME_PACKAGE}\nArchitecture: any\n")
  execute_process(COMMAND dpkg-shlibdeps -O ${library} WORKING_DIRECTORY ${work}
                  OUTPUT_VARIABLE substvars ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT substvars MATCHES "shlibs:Depends=([^\n]+)")
    message(FATAL_ERROR "dpkg-shlibdeps failed on ${library}: ${errors}")
  endif()
  set(depends ${CMAKE_MATCH_1})
else()
  execute_process(COMMAND readelf -V --wide ${library} OUTPUT_VARIABLE versions RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "readelf could not read ${library}")
  endif()
  string(REGEX MATCHALL "Name: GLIBC_[0-9.]+" needed "${versions}")
  set(floor "")
  foreach(name ${needed})
    string(REGEX REPLACE "Name: GLIBC_" "" version ${name})
    if(floor STREQUAL "" OR version VERSION_GREATER floor)
      set(floor ${version})
    endif()
  endforeach()
  if(floor)
    set(depends "libc6 (>= ${floor})")
  endif()
endif()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${depends}")
