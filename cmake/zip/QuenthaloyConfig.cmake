# find_package(Quenthaloy CONFIG) for the Windows zip, whose top holds x86/
# and x64/ (each with both DLLs and both kinds of import library),
# include/ and this cmake/ directory:
#   cmake -DCMAKE_PREFIX_PATH=<the unpacked zip> ...  (or -DQuenthaloy_DIR=<zip>/cmake)
# Imported targets:
#   Quenthaloy::Quenthaloy     Quenthaloy.dll, stdcall
#   Quenthaloy::QuenthaloyC    QuenthaloyC.dll, cdecl; defines QUENTHALOY_CDECL for its users
# The directory follows the consumer's pointer size (4: x86, 8: x64), and the
# import library its linker: Microsoft's linker, clang-cl and lld-link get the
# MSVC .lib (the mingw .dll.a has no SafeSEH table, so link.exe refuses it for
# x86), GNU toolchains the .dll.a.
get_filename_component(_quenthaloy_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

if(CMAKE_SIZEOF_VOID_P STREQUAL "4")
  set(_quenthaloy_arch x86)
elseif(CMAKE_SIZEOF_VOID_P STREQUAL "8")
  set(_quenthaloy_arch x64)
else()
  set(Quenthaloy_FOUND FALSE)
  set(Quenthaloy_NOT_FOUND_MESSAGE
      "the pointer size is unknown: enable C or C++ (project() or enable_language) before find_package(Quenthaloy)")
  return()
endif()
set(_quenthaloy_dir "${_quenthaloy_root}/${_quenthaloy_arch}")
if(NOT EXISTS "${_quenthaloy_dir}/Quenthaloy.dll")
  set(Quenthaloy_FOUND FALSE)
  set(Quenthaloy_NOT_FOUND_MESSAGE "this package has no ${_quenthaloy_arch} DLLs (${_quenthaloy_dir})")
  return()
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

foreach(_quenthaloy_dll Quenthaloy QuenthaloyC)
  if(TARGET Quenthaloy::${_quenthaloy_dll})
    continue()
  endif()
  if(_quenthaloy_msvc)
    set(_quenthaloy_implib "${_quenthaloy_dir}/${_quenthaloy_dll}.lib")
  else()
    set(_quenthaloy_implib "${_quenthaloy_dir}/lib${_quenthaloy_dll}.dll.a")
  endif()
  add_library(Quenthaloy::${_quenthaloy_dll} SHARED IMPORTED)
  set_target_properties(Quenthaloy::${_quenthaloy_dll} PROPERTIES
    IMPORTED_LOCATION "${_quenthaloy_dir}/${_quenthaloy_dll}.dll"
    IMPORTED_IMPLIB "${_quenthaloy_implib}"
    INTERFACE_INCLUDE_DIRECTORIES "${_quenthaloy_root}/include")
  if(_quenthaloy_dll STREQUAL "QuenthaloyC")
    set_property(TARGET Quenthaloy::QuenthaloyC PROPERTY INTERFACE_COMPILE_DEFINITIONS QUENTHALOY_CDECL)
  endif()
endforeach()
unset(_quenthaloy_root)
unset(_quenthaloy_arch)
unset(_quenthaloy_dir)
unset(_quenthaloy_msvc)
unset(_quenthaloy_implib)
