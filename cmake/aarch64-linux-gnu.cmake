# Cross-build for 64-bit Arm Linux.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(STARTUTIL_TRIPLET aarch64-linux-gnu)
set(STARTUTIL_DEBIAN_ARCH arm64)
set(STARTUTIL_QEMU_USER qemu-aarch64)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
