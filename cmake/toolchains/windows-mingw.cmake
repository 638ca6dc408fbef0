# What the two Windows toolchains share: mingw-w64 cross compilers named by
# QUENTHALOY_MINGW_TRIPLET (set by the including file), programs run under
# Wine. Everything that names an architecture is in the including file.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model gives the test programs std::thread; the DLLs link
# no runtime at all, so the choice does not reach them.
set(CMAKE_C_COMPILER ${QUENTHALOY_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUENTHALOY_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${QUENTHALOY_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${QUENTHALOY_MINGW_TRIPLET}-dlltool)
set(CMAKE_OBJDUMP ${QUENTHALOY_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${QUENTHALOY_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../../scripts/wine-run)
