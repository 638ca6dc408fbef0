# The Debian packages, made by cpack from the install components:
#   libquenthaloy<so>  (runtime) the shared library, under /usr/lib/<triplet>
#                      (<so>: its SONAME version, cmake/version-rule.cmake);
#   libquenthaloy-dev  (dev)     header, .so link, pkg-config file, CMake
#                                package, README, hosts guide and its C# and
#                                Pascal files, changelog.
# Both for the architecture the library is built for (a cross build makes
# packages of its target), version <project version>-<revision>, with the
# files lintian looks for: copyright, changelog.Debian.gz and changelog.gz in
# each package's documentation, and in the runtime package an shlibs file and
# an ldconfig trigger (no maintainer scripts).
#
# Maintainer, in this order: -DQUENTHALOY_MAINTAINER="Name <address>"; the
# environment's DEBFULLNAME and DEBEMAIL, as Debian's own tools read them
# (DEBEMAIL may be "Name <address>" alone); else the project's own address
# (QUENTHALOY_AUTHORS and QUENTHALOY_CONTACT of CMakeLists.txt).
#
# Only a build configured with CMAKE_INSTALL_PREFIX=/usr (as `make dist`
# configures its release builds) makes them: the packages hold what such a
# build installs, and only under /usr does the library go to the multiarch
# directory. QUENTHALOY_DEBIAN_PACKAGES says whether this build makes them.
# `make install` turns QUENTHALOY_DEBIAN off: an install under /usr that is
# no package gets no Debian changelogs or lintian overrides.
option(QUENTHALOY_DEBIAN "Make the Debian packages from a build that installs under /usr" ON)
set(QUENTHALOY_DEBIAN_PACKAGES OFF)
if(NOT QUENTHALOY_DEBIAN)
  return()
endif()
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Debian packages: not from this build, which installs under ${CMAKE_INSTALL_PREFIX} "
                 "(configure with -DCMAKE_INSTALL_PREFIX=/usr, as make dist does)")
  return()
endif()
set(QUENTHALOY_MAINTAINER "" CACHE STRING
    "Maintainer of the Debian packages, \"Name <address>\" (empty: DEBFULLNAME and DEBEMAIL, else the project's)")
set(QUENTHALOY_DEBIAN_REVISION 1 CACHE STRING "Debian revision of the packages' version (<version>-<revision>)")
set(QUENTHALOY_DEBIAN_ARCHITECTURE "" CACHE STRING
    "Debian architecture of the packages (empty: the one the library is built for)")

if(QUENTHALOY_MAINTAINER)
  set(debian_maintainer "${QUENTHALOY_MAINTAINER}")
elseif("$ENV{DEBEMAIL}" MATCHES "<.+@.+>")
  set(debian_maintainer "$ENV{DEBEMAIL}")
elseif(NOT "$ENV{DEBEMAIL}" STREQUAL "" AND NOT "$ENV{DEBFULLNAME}" STREQUAL "")
  set(debian_maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  set(debian_maintainer "${QUENTHALOY_AUTHORS} <${QUENTHALOY_CONTACT}>")
endif()
if(NOT debian_maintainer MATCHES "^[^<>@]+ <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$")
  message(FATAL_ERROR "Debian packages: the maintainer \"${debian_maintainer}\" is not \"Name <user@host.domain>\"")
endif()

# The target's Debian architecture, from its multiarch triplet.
if(QUENTHALOY_DEBIAN_ARCHITECTURE)
  set(debian_architecture ${QUENTHALOY_DEBIAN_ARCHITECTURE})
else()
  string(REGEX REPLACE "^lib/" "" debian_triplet "${CMAKE_INSTALL_LIBDIR}")
  if(NOT debian_triplet MATCHES "-linux-")
    set(debian_triplet ${CMAKE_LIBRARY_ARCHITECTURE})
  endif()
  find_program(QUENTHALOY_DPKG_ARCHITECTURE dpkg-architecture)
  if(debian_triplet AND QUENTHALOY_DPKG_ARCHITECTURE)
    execute_process(COMMAND ${QUENTHALOY_DPKG_ARCHITECTURE} -t ${debian_triplet} -qDEB_HOST_ARCH
                    OUTPUT_VARIABLE debian_architecture OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT debian_architecture)
    message(STATUS "Debian packages: the target's architecture is unknown (no multiarch triplet or no "
                   "dpkg-architecture): set QUENTHALOY_DEBIAN_ARCHITECTURE to make them")
    return()
  endif()
endif()

# The date of the Debian changelog's entry: SOURCE_DATE_EPOCH, else the last
# commit's, else CMakeLists.txt's: the same packages from the same tree.
set(debian_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(NOT debian_epoch)
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                    OUTPUT_VARIABLE debian_epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
endif()
if(NOT debian_epoch)
  file(TIMESTAMP ${PROJECT_SOURCE_DIR}/CMakeLists.txt debian_epoch "%s" UTC)
endif()
execute_process(COMMAND date -u -R -d @${debian_epoch} OUTPUT_VARIABLE debian_date
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

set(debian_version ${PROJECT_VERSION}-${QUENTHALOY_DEBIAN_REVISION})
set(debian_dir ${PROJECT_BINARY_DIR}/debian)
file(MAKE_DIRECTORY ${debian_dir}/runtime ${debian_dir}/dev)
# Compressed as dh_compress does (-n: no name or time stamp in the file).
function(quenthaloy_gzip source target)
  execute_process(COMMAND gzip -9nc ${source} OUTPUT_FILE ${target} COMMAND_ERROR_IS_FATAL ANY)
endfunction()
set(QUENTHALOY_DEBIAN_VERSION ${debian_version})
set(QUENTHALOY_DEBIAN_MAINTAINER ${debian_maintainer})
set(QUENTHALOY_DEBIAN_DATE ${debian_date})
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${debian_dir}/changelog.Debian @ONLY)
quenthaloy_gzip(${debian_dir}/changelog.Debian ${debian_dir}/changelog.Debian.gz)
quenthaloy_gzip(${PROJECT_SOURCE_DIR}/CHANGELOG.md ${debian_dir}/changelog.gz)
quenthaloy_gzip(${PROJECT_SOURCE_DIR}/README.md ${debian_dir}/README.md.gz)
quenthaloy_gzip(${PROJECT_SOURCE_DIR}/docs/hosts.md ${debian_dir}/hosts.md.gz)
# Hosts built against this release run with any later one of the same SONAME
# version, which is what the version rule lets change the interface.
set(debian_runtime libquenthaloy${QUENTHALOY_SOVERSION})
file(WRITE ${debian_dir}/runtime/shlibs
     "libquenthaloy ${QUENTHALOY_SOVERSION} ${debian_runtime} (>= ${PROJECT_VERSION})\n")
# dpkg runs ldconfig once after all packages of a run are unpacked.
file(WRITE ${debian_dir}/runtime/triggers "activate-noawait ldconfig\n")

foreach(component runtime dev)
  if(component STREQUAL runtime)
    set(package ${debian_runtime})
  else()
    set(package libquenthaloy-dev)
  endif()
  set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package})
  install(FILES LICENSE DESTINATION ${doc} RENAME copyright COMPONENT ${component})
  install(FILES ${debian_dir}/changelog.Debian.gz ${debian_dir}/changelog.gz DESTINATION ${doc}
          COMPONENT ${component})
  # lintian wants a first Debian upload to close its "intent to package" bug.
  file(WRITE ${debian_dir}/${component}/${package}
       "# Built by the Quenthaloy project for its own releases, not uploaded to Debian:\n"
       "# there is no intent-to-package bug for the first entry to close.\n"
       "${package}: initial-upload-closes-no-bugs\n")
  install(FILES ${debian_dir}/${component}/${package} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          COMPONENT ${component})
endforeach()
install(FILES ${debian_dir}/README.md.gz ${debian_dir}/hosts.md.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libquenthaloy-dev COMPONENT dev)
# The host files that apply on Linux (the Pascal unit links libquenthaloy.so;
# the C# file runs under Mono or .NET), uncompressed as examples are.
install(FILES hosts/quenthaloy.pas hosts/Quenthaloy.cs
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libquenthaloy-dev/examples COMPONENT dev)

set(QUENTHALOY_DEBIAN_PACKAGES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "${debian_maintainer}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${debian_maintainer}")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUENTHALOY_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${debian_architecture})
set(CPACK_DEBIAN_PACKAGE_SOURCE quenthaloy)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PROJECT_HOMEPAGE_URL})
# Installed as into /usr, so that the pkg-config file names /usr.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${debian_runtime})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# cpack's own shlibs and dpkg-shlibdeps runs would add maintainer scripts
# that call ldconfig; the shlibs file and trigger above replace them, and
# the Depends are found at packing time (cmake/debian-depends.cmake).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${debian_dir}/runtime/shlibs ${debian_dir}/runtime/triggers)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/debian-depends.cmake)
set(CPACK_QUENTHALOY_LIBRARY ${CMAKE_LIBRARY_OUTPUT_DIRECTORY}/libquenthaloy.so.${PROJECT_VERSION})
set(CPACK_QUENTHALOY_ARCHITECTURE ${debian_architecture})
set(CPACK_QUENTHALOY_RUNTIME_PACKAGE ${debian_runtime})
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libquenthaloy-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${debian_runtime} (= ${debian_version})")
# Each package's first description line is its summary.
set(license_note "Licensed under the MIT License: see /usr/share/doc/<package>/copyright.")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "${summary}\nThe shared library libquenthaloy.so.${QUENTHALOY_SOVERSION}.\n${license_note}")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "${summary} (development files)\nThe header, the .so link, the pkg-config file and the CMake package,\nwith the README and the guide for hosts in other languages, and its C# and\nPascal files.\n${license_note}")
