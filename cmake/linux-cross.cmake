# Cross-build for Linux with Debian's cross compiler for STARTUTIL_TRIPLET, which the file for
# each architecture sets with CMAKE_SYSTEM_PROCESSOR, STARTUTIL_DEBIAN_ARCH and the qemu-user
# program (STARTUTIL_QEMU_USER) before including this one. Programs built here run on the host
# under qemu-user, with the target's C runtime from Debian's cross packages.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${STARTUTIL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${STARTUTIL_TRIPLET}-g++)
set(CMAKE_CROSSCOMPILING_EMULATOR ${STARTUTIL_QEMU_USER} -L /usr/${STARTUTIL_TRIPLET})

set(CMAKE_FIND_ROOT_PATH /usr/${STARTUTIL_TRIPLET})
# Host tools (javac, qemu) come from the build machine; headers and libraries from the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
