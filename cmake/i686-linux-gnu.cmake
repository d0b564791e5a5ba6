# Cross-build for 32-bit x86 Linux (Debian's i386, whose baseline is the i686).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(STARTUTIL_TRIPLET i686-linux-gnu)
set(STARTUTIL_DEBIAN_ARCH i386)
set(STARTUTIL_QEMU_USER qemu-i386)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
