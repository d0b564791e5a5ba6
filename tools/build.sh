#!/usr/bin/env bash
# The main job: builds StartUtil.dll, libStartUtil.so and the jar with both, then runs the demo.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh

# The presets whose libraries the jar packs, in tools/presets.txt's order: linux, which assembles
# the jar, comes after the others.
presets=()
libraries=()
while read -r preset folder library; do
  [[ -z $preset || $preset == '#'* || $folder == - ]] && continue
  presets+=("$preset")
  libraries+=("build/$preset/StartUtil/$library")
done < tools/presets.txt
for preset in "${presets[@]}"; do
  cmake --preset "$preset"
  cmake --build --preset "$preset"
done
ls -l "${libraries[@]}" build/dist/*.jar
bash demo/run.sh
