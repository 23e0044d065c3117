#!/bin/sh
# Builds the scene loader's fuzz target with clang and runs it for a while
# (default 60 seconds) on a seed corpus of the shipped scenes.
#   tests/fuzz/run.sh [seconds]
# A crash leaves its input in build-fuzz/crashes/ and the script fails.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-fuzz"
seconds="${1:-60}"

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DDRAPEON_FUZZ=ON \
  -DDRAPEON_SANITIZE=address,undefined -DDRAPEON_TESTS=OFF -DDRAPEON_BENCH=OFF >/dev/null
cmake --build "$build" --target drapeon_scene_fuzz

corpus="$build/corpus"
mkdir -p "$corpus" "$build/crashes"
cp "$root"/scenes/*.json "$root"/tests/fuzz/seeds/* "$corpus"/ 2>/dev/null || true

"$build/drapeon_scene_fuzz" "$corpus" -max_total_time="$seconds" -max_len=16384 -timeout=20 \
  -rss_limit_mb=2048 -artifact_prefix="$build/crashes/" -print_final_stats=1
