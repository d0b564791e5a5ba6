#!/usr/bin/env bash
# Installs everything the build and the tests need on Debian 12 (run as root).
set -euo pipefail

packages=(
  cmake ninja-build g++ clang-format         # native build and layout check
  g++-mingw-w64-x86-64-posix                 # StartUtil.dll and the Windows test programs
  wine wine64                                # runs the Windows tests
  default-jdk-headless                       # javac for the JNI header, the JVM for the tests
  googletest                                 # GoogleTest sources, built with each compiler
  junit4                                     # runs the JVM tests of libStartUtil.so
  musl-tools                                 # the musl host that loads libStartUtil.so
  maven libmaven-resources-plugin-java       # the Maven consumer of the jar, built offline
  libmaven-compiler-plugin-java libmaven-exec-plugin-java  # from Debian's repository; junit5
  junit5                                     # for the junit-bom that plexus-compiler's POM imports
  gradle                                     # the Gradle consumer of the jar, offline
  clang libclang-rt-14-dev llvm-14           # linux-asan: sanitizers, libFuzzer, symbolizer
  clang-tidy                                 # tools/lint.sh
  g++-aarch64-linux-gnu libc6-dev-arm64-cross  # libStartUtil.so for 64-bit Arm
  lld-19 mingw-w64-common                    # StartUtil.dll for Windows on Arm64 (with clang)
  g++-powerpc64le-linux-gnu libc6-dev-ppc64el-cross  # libStartUtil.so for 64-bit POWER
  g++-s390x-linux-gnu libc6-dev-s390x-cross  # libStartUtil.so for IBM Z
  g++-riscv64-linux-gnu libc6-dev-riscv64-cross  # libStartUtil.so for 64-bit RISC-V
  g++-arm-linux-gnueabihf libc6-dev-armhf-cross  # libStartUtil.so for 32-bit Arm
  g++-i686-linux-gnu libc6-dev-i386-cross    # libStartUtil.so for 32-bit x86
  qemu-user                                  # runs the cross-built unit tests on this machine
  qemu-system-arm qemu-system-ppc qemu-system-misc  # the emulated arm64, armhf, POWER9,
  qemu-system-x86                            # s390x, riscv64 and i386 machines
  mmdebstrap gpg cpio kmod e2fsprogs         # the emulated machines' images and disks
  gnuplot-nox                                # bench/run.sh's plot
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=600 update
  apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends "${missing[@]}"
fi
