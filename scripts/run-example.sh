#!/usr/bin/env bash
# Sets everything up, builds drapeon, simulates an example scene and says
# where the results are.  Usage: scripts/run-example.sh [scene.json]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
scene=${1:-scenes/drape_sphere.json}
[ -f "$scene" ] || scene=scenes/sheet.json
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAPEON_BENCH=OFF -DDRAPEON_VIEWER=ON >/dev/null
# The set-up installs node and npm, so the viewer target must exist. (The
# list is read whole: a reader that stops early, such as grep -q, would kill
# cmake with SIGPIPE under pipefail and make the test fail at random.)
target_list=$(cmake --build build --target help)
if ! grep -q '^viewer:' <<<"$target_list"; then
  echo "run-example: the viewer cannot be built (node or npm missing?); see the cmake output in build/" >&2
  exit 1
fi
cmake --build build -j "$(nproc)" --target drapeon_app viewer
name=$(basename "$scene" .json)
./build/drapeon run "$scene" --out "out/$name"
./build/drapeon view "out/$name" >/dev/null
echo "Results: out/$name/ (OBJ sequence, PC2 point caches, glTF scene)"
echo "Open out/$name/viewer.html in a browser to play the result."
echo "The program is build/drapeon; to call it as drapeon (as docs/tutorial.md does): export PATH=\"$PWD/build:\$PATH\""
