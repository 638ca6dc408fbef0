# 32-bit Windows DLLs (x86), built with mingw-w64; programs run under Wine's
# 32-bit side.
# packages: g++-mingw-w64-i686 wine32:i386
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QUENTHALOY_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/windows-mingw.cmake)

# The name of this architecture in release folders and file names.
set(QUENTHALOY_ARCHITECTURE x86)
# stdcall names carry their argument size (_Name@N) on x86, and so does the
# DLL's entry point; the DLLs have no structured exception handlers to list.
set(QUENTHALOY_STDCALL_DECORATED ON)
set(QUENTHALOY_DLL_ENTRY _DllEntry@12)
set(QUENTHALOY_DLL_LINK_OPTIONS -Wl,--no-seh)
# The machine as llvm-dlltool and clang name it, for the MSVC import
# libraries and the MSVC-style host of the tests.
set(QUENTHALOY_LLVM_DLLTOOL_MACHINE i386)
set(QUENTHALOY_MSVC_TARGET i686-pc-windows-msvc)
