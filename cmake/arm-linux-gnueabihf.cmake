# Cross-build for 32-bit Arm Linux (Debian's armhf: ARMv7-A, Thumb-2, hardware floating point).
set(CMAKE_SYSTEM_PROCESSOR arm)
set(STARTUTIL_TRIPLET arm-linux-gnueabihf)
set(STARTUTIL_DEBIAN_ARCH armhf)
set(STARTUTIL_QEMU_USER qemu-arm)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
