# The Linux library for arm64, cross-built with Debian's aarch64 compilers;
# programs run under qemu-user.
# packages: g++-aarch64-linux-gnu qemu-user qemu-user-binfmt binfmt-support
# binfmt: qemu-aarch64
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(QUENTHALOY_ARCHITECTURE arm64)
set(triplet aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${triplet}-gcc)
set(CMAKE_CXX_COMPILER ${triplet}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The test programs start children of their own (exec of themselves): the
# kernel hands those to qemu through binfmt_misc (scripts/ensure-deps
# registers it), and qemu finds the target's C library through
# QEMU_LD_PREFIX, inherited by the children.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_COMMAND} -E env QEMU_LD_PREFIX=/usr/${triplet} qemu-${CMAKE_SYSTEM_PROCESSOR})
unset(triplet)
