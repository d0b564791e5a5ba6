#!/usr/bin/env bash
# clang-tidy over the library with the checks in .clang-tidy; any finding fails. Reads the
# compile databases of the linux and windows presets, which must be built first (the bindings
# include the JNI header that the build generates).
set -euo pipefail
cd "$(dirname "$0")/.."
library="^$PWD/StartUtil/[^/]*\.cpp\$"
status=0

run-clang-tidy-14 -quiet -clang-tidy-binary clang-tidy-14 -j 2 -p build/linux "$library" || status=1

# The Windows sources as MinGW compiles them. Clang's driver does not find the C++ headers in
# Debian's posix MinGW layout, so they come from asking that compiler where it looks.
mingw_cxx_headers=()
while read -r dir; do
  mingw_cxx_headers+=(-extra-arg="-isystem$dir")
done < <(x86_64-w64-mingw32-g++-posix -E -x c++ -v /dev/null 2>&1 |
         sed -n '/<\.\.\.> search starts/,/End of/p' | sed -n 's|^ \(.*/c++.*\)|\1|p')
run-clang-tidy-14 -quiet -clang-tidy-binary clang-tidy-14 -j 2 -p build/windows \
  -extra-arg=--target=x86_64-w64-mingw32 -extra-arg=-nostdinc++ "${mingw_cxx_headers[@]}" \
  "$library" || status=1
exit "$status"
