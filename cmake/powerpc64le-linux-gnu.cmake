# Cross-build for 64-bit little-endian POWER Linux (the ELFv2 ABI).
set(CMAKE_SYSTEM_PROCESSOR ppc64le)
set(STARTUTIL_TRIPLET powerpc64le-linux-gnu)
set(STARTUTIL_DEBIAN_ARCH ppc64el)
set(STARTUTIL_QEMU_USER qemu-ppc64le)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
