# Cross-build for IBM Z Linux (64-bit, big-endian).
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(STARTUTIL_TRIPLET s390x-linux-gnu)
set(STARTUTIL_DEBIAN_ARCH s390x)
set(STARTUTIL_QEMU_USER qemu-s390x)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
