#!/usr/bin/env bash
# The main job: builds StartUtil.dll, libStartUtil.so and the jar with both, then runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

for preset in windows windows-arm64 linux-aarch64 linux-ppc64le linux-s390x linux; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
ls -l build/windows/StartUtil/StartUtil.dll build/windows-arm64/StartUtil/StartUtil.dll \
  build/linux/StartUtil/libStartUtil.so \
  build/linux-aarch64/StartUtil/libStartUtil.so build/linux-ppc64le/StartUtil/libStartUtil.so \
  build/linux-s390x/StartUtil/libStartUtil.so build/dist/*.jar
bash demo/run.sh
