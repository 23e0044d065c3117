#!/usr/bin/env bash
# Sets everything up, builds drapeon, simulates an example scene and says
# where the results are.  Usage: scripts/run-example.sh [scene.json]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
scene=${1:-scenes/drape_sphere.json}
[ -f "$scene" ] || scene=scenes/sheet.json
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAPEON_BENCH=OFF >/dev/null
targets=(drapeon_app)  # the program; it brings the plug-in module
cmake --build build --target help | grep -q '^[^ ]*viewer:' && targets+=(viewer)
cmake --build build -j "$(nproc)" --target "${targets[@]}"
name=$(basename "$scene" .json)
./build/drapeon run "$scene" --out "out/$name"
if ./build/drapeon view "out/$name" >/dev/null 2>&1; then
  echo "Open out/$name/viewer.html in a browser to play the result."
fi
echo "Results: out/$name/ (OBJ sequence, PC2 point caches, glTF scene)"
