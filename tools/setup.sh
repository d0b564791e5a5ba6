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
