#!/bin/sh
# Builds the fuzz targets with clang and runs them for a while on seed
# corpora (default 60 seconds in all): the scene loader for half of the
# time, the OBJ reader and the cache reader for a quarter each.
#   tests/fuzz/run.sh [seconds]
# A crash leaves its input in build-fuzz/crashes/ and the script fails.
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build="$root/build-fuzz"
seconds="${1:-60}"

CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja -DDRAPEON_FUZZ=ON -DDRAPEON_WERROR=ON \
  -DDRAPEON_SANITIZE=address,undefined -DDRAPEON_TESTS=OFF -DDRAPEON_BENCH=OFF >/dev/null
cmake --build "$build" --target drapeon_scene_fuzz drapeon_obj_fuzz drapeon_cache_fuzz

mkdir -p "$build/crashes"
fuzz() {  # target, seconds, maximum input length, seed files...
  target=$1 time=$2 length=$3
  shift 3
  corpus="$build/corpus-$target"
  mkdir -p "$corpus"
  cp "$@" "$corpus"/ 2>/dev/null || true
  "$build/drapeon_${target}_fuzz" "$corpus" -max_total_time="$time" -max_len="$length" -timeout=20 \
    -rss_limit_mb=2048 -artifact_prefix="$build/crashes/$target-" -print_final_stats=1
}
fuzz scene $((seconds / 2)) 16384 "$root"/scenes/*.json "$root"/tests/fuzz/seeds/*.json "$root"/tests/fuzz/seeds/*.obj
fuzz obj $((seconds / 4)) 16384 "$root"/scenes/meshes/*.obj "$root"/tests/fuzz/seeds/*.obj
fuzz cache $((seconds - seconds / 2 - seconds / 4)) 4096 "$root"/tests/fuzz/seeds/cache/*
