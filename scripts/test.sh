#!/usr/bin/env bash
# Sets everything up and runs the whole test suite:
#   1. a normal build with every test (unit, program end-to-end),
#   2. the same tests under AddressSanitizer + UndefinedBehaviorSanitizer,
#   3. the core's tests (every parallel pass and the job pool) under ThreadSanitizer,
#   3b. a Release build of everything (benchmarks included) and its tests,
#   4. a short fuzzing run of the scene loader,
#   5. the browser test of the viewer,
#   6. drapeon wedge as a Slurm job array on a one-node cluster started here,
#   7. the Blender add-on in headless Blender,
#   8. the README's first command (scripts/run-example.sh) in a fresh clone.
# Build folders: build/ (normal), build-asan/, build-tsan/, build-release-test/, build-fuzz/.
# Every build here treats compiler warnings as errors (DRAPEON_WERROR).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
status=0
passed=0
failed=0
current=""
failed_names=()
step() { current=$*; printf '\n== %s\n' "$*" >&2; }
result() {
  if [ "$1" -eq 0 ]; then passed=$((passed + 1))
  else failed=$((failed + 1)); failed_names+=("$current"); status=1; fi
}

configure_and_test() {  # folder, ctest arguments..., -- cmake arguments...
  local dir=$1; shift
  local ctest_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  cmake -S . -B "$dir" -G Ninja -DDRAPEON_BENCH=OFF -DDRAPEON_WERROR=ON "$@" >/dev/null &&
    cmake --build "$dir" -j "$jobs" &&
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure "${ctest_args[@]}"
}

# One compiler cache for every stage, so that the fresh-clone stage below
# compiles nothing the first stage compiled (both build inside their source
# tree, so their compile commands match; -Werror is left out of the
# cache's key, as the clone builds without it).
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
  export CCACHE_IGNOREOPTIONS=-Werror
fi

step "build and test"
rc=0; configure_and_test build -- -DCMAKE_BUILD_TYPE=RelWithDebInfo || rc=$?; result $rc

step "AddressSanitizer + UndefinedBehaviorSanitizer"
rc=0; ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  configure_and_test build-asan -- -DCMAKE_BUILD_TYPE=Debug -DDRAPEON_SANITIZE=address,undefined || rc=$?; result $rc

step "ThreadSanitizer (core: job pool and parallel passes)"
rc=0; TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  configure_and_test build-tsan -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAPEON_SANITIZE=thread -DDRAPEON_APP=OFF || rc=$?; result $rc

step "Release build, warnings as errors (what users build)"
rc=0; configure_and_test build-release-test -- -DCMAKE_BUILD_TYPE=Release -DDRAPEON_BENCH=ON || rc=$?; result $rc

if [ -x tests/fuzz/run.sh ]; then
  step "fuzzing the scene loader, the OBJ reader and the cache reader"
  rc=0; bash tests/fuzz/run.sh || rc=$?; result $rc
fi

if [ -x tests/browser/run.sh ]; then
  step "browser test of the viewer"
  rc=0; bash tests/browser/run.sh build || rc=$?; result $rc
fi

if [ -x tests/slurm/run.sh ]; then
  step "Slurm: drapeon wedge as a job array"
  rc=0; bash tests/slurm/run.sh build || rc=$?; result $rc
fi

if [ -x tests/blender/run.sh ]; then
  step "Blender add-on in headless Blender"
  rc=0; bash tests/blender/run.sh build || rc=$?; result $rc
fi

step "the README's first command in a fresh clone"
# What a new user runs first: scripts/run-example.sh in a clone of the
# committed tree, here with the smallest scene. It must build the viewer and
# say where the results are, every time.
rc=0
mkdir -p build-clone
clone=$(mktemp -d "$PWD/build-clone/XXXXXX")
if git clone -q "$PWD" "$clone/drapeon" && (cd "$clone/drapeon" && bash scripts/run-example.sh scenes/sheet.json) >"$clone/log" 2>&1; then
  grep -q '^Results of frames 0 to 30 are in out/sheet' "$clone/log" && [ -s "$clone/drapeon/out/sheet/viewer.html" ] || rc=1
else
  rc=1
fi
[ $rc -eq 0 ] || { echo "run-example.sh in a fresh clone failed:" >&2; cat "$clone/log" >&2; }
rm -rf "$clone"
result $rc

echo "test stages: $passed passed, $failed failed"
for name in "${failed_names[@]}"; do echo "failed: $name"; done
exit $status
