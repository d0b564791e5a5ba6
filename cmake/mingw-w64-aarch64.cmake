# Cross-build for Windows on Arm64 with Debian's clang and mingw-w64's headers, which serve every
# processor. Debian has no MinGW runtime for Arm64, and the library needs none: it is built
# freestanding, with a small shim (StartUtil/windows_arm64) and import libraries made from .def
# files. The C++ headers are MinGW's x86_64 libstdc++ ones: only templates are used, no runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER clang-14)
set(CMAKE_CXX_COMPILER clang++-14)
set(CMAKE_C_COMPILER_TARGET aarch64-w64-windows-gnu)
set(CMAKE_CXX_COMPILER_TARGET aarch64-w64-windows-gnu)

file(GLOB _libstdcxx LIST_DIRECTORIES true /usr/lib/gcc/x86_64-w64-mingw32/*-posix/include/c++)
if(NOT _libstdcxx)
  message(FATAL_ERROR "no MinGW libstdc++ headers: install g++-mingw-w64-x86-64-posix")
endif()
list(GET _libstdcxx 0 _libstdcxx)
set(CMAKE_C_STANDARD_INCLUDE_DIRECTORIES /usr/share/mingw-w64/include)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    "${_libstdcxx}" "${_libstdcxx}/x86_64-w64-mingw32" /usr/share/mingw-w64/include)

# lld 19: lld 14 writes an export ordinal base of 0. No start files and no default libraries:
# each program names what it links. No link time in the PE header, so builds are reproducible.
set(_link "--ld-path=/usr/bin/ld.lld-19 -nostdlib -Wl,--no-insert-timestamp")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_link}")
# The compiler checks link nothing: there is no runtime to link a test program against.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_C_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)

# Import libraries for the system DLLs, made at build time from .def files.
set(STARTUTIL_DLLTOOL llvm-dlltool-14)

# Host tools (javac, the objdump that reads Arm64 PE files) come from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
