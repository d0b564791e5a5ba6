# Cross-build for 64-bit RISC-V Linux (RV64GC, the lp64d ABI).
set(CMAKE_SYSTEM_PROCESSOR riscv64)
set(STARTUTIL_TRIPLET riscv64-linux-gnu)
set(STARTUTIL_DEBIAN_ARCH riscv64)
set(STARTUTIL_QEMU_USER qemu-riscv64)
include("${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake")
