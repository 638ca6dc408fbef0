# 64-bit Windows DLLs (x64), built with mingw-w64; programs run under 64-bit
# Wine.
# packages: g++-mingw-w64-x86-64 wine64
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUENTHALOY_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/windows-mingw.cmake)

# The name of this architecture in release folders and file names.
set(QUENTHALOY_ARCHITECTURE x64)
# One calling convention on x64: no decorated names, and unwind tables are
# part of the ABI there.
set(QUENTHALOY_STDCALL_DECORATED OFF)
set(QUENTHALOY_DLL_ENTRY DllEntry)
set(QUENTHALOY_DLL_LINK_OPTIONS "")
set(QUENTHALOY_LLVM_DLLTOOL_MACHINE i386:x86-64)
set(QUENTHALOY_MSVC_TARGET x86_64-pc-windows-msvc)
