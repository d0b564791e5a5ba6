#!/usr/bin/env bash
# Builds everything and runs every test suite; fails on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

# Layout is part of the build: every C and C++ source must be clang-formatted.
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

# The presets of tools/presets.txt in its order; those whose library the jar does not pack
# (linux-asan) come after all the others.
presets=()
unpacked=()
while read -r preset folder _; do
  [[ -z $preset || $preset == '#'* ]] && continue
  if [[ $folder == - ]]; then unpacked+=("$preset"); else presets+=("$preset"); fi
done < tools/presets.txt

# Every preset is built before any is tested: the jar that the linux preset assembles carries the
# other presets' libraries, and the emulated machines run the JVM tests from that jar.
for preset in "${presets[@]}"; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
for preset in "${presets[@]}"; do
  ctest --preset "$preset"
done

# Unit and launcher tests under the sanitizers, and the fuzzers (clang); then clang-tidy over the
# library with the compile databases that the builds above wrote.
for preset in "${unpacked[@]}"; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done
bash tools/lint.sh
