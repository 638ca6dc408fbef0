# find_package(Quenthaloy CONFIG): imported targets
#   Quenthaloy::Quenthaloy     everywhere: libquenthaloy.so on Linux, Quenthaloy.dll (stdcall) on Windows
#   Quenthaloy::QuenthaloyC    Windows: QuenthaloyC.dll, cdecl; defines QUENTHALOY_CDECL for its users
#   Quenthaloy::quenthaloy     Linux: the same library as Quenthaloy::Quenthaloy, under its former name
# On Windows the exported targets name the mingw-w64 import libraries; a
# consumer whose compiler is Microsoft's or simulates it (clang-cl) links
# with Microsoft's linker or lld-link, which need the MSVC .lib beside them
# (link.exe refuses a mingw import library in a 32-bit SafeSEH image).
include("${CMAKE_CURRENT_LIST_DIR}/QuenthaloyTargets.cmake")
if(NOT TARGET Quenthaloy::QuenthaloyC AND NOT TARGET Quenthaloy::quenthaloy)
  add_library(Quenthaloy::quenthaloy INTERFACE IMPORTED)
  set_property(TARGET Quenthaloy::quenthaloy PROPERTY INTERFACE_LINK_LIBRARIES Quenthaloy::Quenthaloy)
endif()

set(_quenthaloy_msvc FALSE)
if(MSVC)
  set(_quenthaloy_msvc TRUE)
endif()
foreach(_quenthaloy_language C CXX)
  if(CMAKE_${_quenthaloy_language}_COMPILER_ID STREQUAL "MSVC"
     OR CMAKE_${_quenthaloy_language}_SIMULATE_ID STREQUAL "MSVC")
    set(_quenthaloy_msvc TRUE)
  endif()
endforeach()
if(_quenthaloy_msvc)
  foreach(_quenthaloy_dll Quenthaloy QuenthaloyC)
    if(NOT TARGET Quenthaloy::${_quenthaloy_dll})
      continue()
    endif()
    get_target_property(_quenthaloy_configs Quenthaloy::${_quenthaloy_dll} IMPORTED_CONFIGURATIONS)
    foreach(_quenthaloy_config ${_quenthaloy_configs})
      get_target_property(_quenthaloy_implib Quenthaloy::${_quenthaloy_dll} IMPORTED_IMPLIB_${_quenthaloy_config})
      get_filename_component(_quenthaloy_implib_dir "${_quenthaloy_implib}" DIRECTORY)
      if(NOT EXISTS "${_quenthaloy_implib_dir}/${_quenthaloy_dll}.lib")
        set(Quenthaloy_FOUND FALSE)
        set(Quenthaloy_NOT_FOUND_MESSAGE
            "no MSVC import library ${_quenthaloy_implib_dir}/${_quenthaloy_dll}.lib (the build had no llvm-dlltool)")
        return()
      endif()
      set_property(TARGET Quenthaloy::${_quenthaloy_dll} PROPERTY
                   IMPORTED_IMPLIB_${_quenthaloy_config} "${_quenthaloy_implib_dir}/${_quenthaloy_dll}.lib")
    endforeach()
  endforeach()
endif()
unset(_quenthaloy_msvc)
unset(_quenthaloy_configs)
unset(_quenthaloy_implib)
unset(_quenthaloy_implib_dir)
