# Release artefacts, built by `make dist` and checked by tests/dist.
#   Windows: MSVC-format import libraries and a version resource for both
#            DLLs; scripts/make-zip packs the install trees of the x86 and
#            x64 builds into quenthaloy-<version>-windows.zip.
#   Linux:   two Debian packages made by cpack, libquenthaloy0 and
#            libquenthaloy-dev (cmake/debian-package.cmake).
# Added to another project, this tree leaves packaging to that project: only
# the import libraries and version resources are made then.
# Without llvm-dlltool there are no MSVC import libraries (`make dist`
# installs it).
set(summary "Per-recipient message queue and plain locks for threads")

if(WIN32)
  quenthaloy_find_tools(llvm-dlltool)
  set(QUENTHALOY_DESCRIPTION_Quenthaloy "Quenthaloy thread messages and resources (stdcall exports)")
  set(QUENTHALOY_DESCRIPTION_QuenthaloyC "Quenthaloy thread messages and resources (cdecl exports)")
  set(msvc_import_libraries "")
  foreach(dll Quenthaloy QuenthaloyC)
    # The MSVC import library, from the same .def file as the GNU one. With
    # -k a stdcall host's decorated reference (_SendThreadMessage@8) binds
    # to the undecorated name the DLL exports.
    set(def ${QUENTHALOY_DEF_DIR}/${dll}.def)
    set(lib ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/${dll}.lib)
    if(QUENTHALOY_LLVM_DLLTOOL)
      add_custom_command(OUTPUT ${lib}
        COMMAND ${QUENTHALOY_LLVM_DLLTOOL} -m ${QUENTHALOY_LLVM_DLLTOOL_MACHINE} -k -d ${def} -D ${dll}.dll -l ${lib}
        DEPENDS ${def}
        VERBATIM)
      list(APPEND msvc_import_libraries ${lib})
    endif()

    # The version resource, compiled apart so that none of the C++ flags
    # reach windres, and linked in as an object.
    set(QUENTHALOY_DLL_NAME ${dll})
    set(QUENTHALOY_DLL_DESCRIPTION ${QUENTHALOY_DESCRIPTION_${dll}})
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/version/${dll}.rc)
    set(object ${CMAKE_CURRENT_BINARY_DIR}/version/${dll}.res.obj)
    configure_file(${PROJECT_SOURCE_DIR}/shell/win32/version.rc.in ${rc} @ONLY)
    add_custom_command(OUTPUT ${object}
      COMMAND ${CMAKE_RC_COMPILER} -O coff -i ${rc} -o ${object}
      DEPENDS ${rc}
      VERBATIM)
    set_source_files_properties(${object} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
    target_sources(${dll} PRIVATE ${object})
  endforeach()
  if(msvc_import_libraries)
    add_custom_target(quenthaloy_msvc_import_libraries ALL DEPENDS ${msvc_import_libraries})
    install(FILES ${msvc_import_libraries} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  else()
    message(STATUS "llvm-dlltool not found: no MSVC import libraries")
  endif()
endif()
if(NOT QUENTHALOY_IS_TOP_LEVEL)
  return()
endif()

set(CPACK_PACKAGE_NAME quenthaloy)
set(CPACK_PACKAGE_VENDOR "The Quenthaloy developers")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
if(NOT WIN32)
  include(cmake/debian-package.cmake)
  if(QUENTHALOY_DEBIAN_PACKAGES)
    include(CPack)
  endif()
endif()
