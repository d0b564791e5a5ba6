#!/usr/bin/env bash
# Builds everything and runs every test suite; fails on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

# Layout is part of the build: every C++ source must be clang-formatted.
git ls-files -z '*.cpp' '*.h' | xargs -0 clang-format --dry-run --Werror

for preset in windows linux; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

# Unit and launcher tests under the sanitizers, and the fuzzers (clang); then clang-tidy over the
# library with the compile databases that the builds above wrote.
cmake --preset linux-asan
cmake --build --preset linux-asan
ctest --preset linux-asan
bash tools/lint.sh
