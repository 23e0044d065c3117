#!/usr/bin/env bash
# Sets everything up and runs the whole test suite:
#   1. a normal build with every test (unit, program end-to-end),
#   2. the same tests under AddressSanitizer + UndefinedBehaviorSanitizer,
#   3. the core's tests (every parallel pass and the job pool) under ThreadSanitizer,
#   3b. a Release build of everything (benchmarks included) and its tests,
#   4. a short fuzzing run of the scene loader,
#   5. the browser test of the viewer.
# Build folders: build/ (normal), build-asan/, build-tsan/, build-release-test/, build-fuzz/.
# Every build here treats compiler warnings as errors (DRAPEON_WERROR).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
status=0
passed=0
failed=0
step() { printf '\n== %s\n' "$*" >&2; }
result() { if [ "$1" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi; }

configure_and_test() {  # folder, ctest arguments..., -- cmake arguments...
  local dir=$1; shift
  local ctest_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  cmake -S . -B "$dir" -G Ninja -DDRAPEON_BENCH=OFF -DDRAPEON_WERROR=ON "$@" >/dev/null &&
    cmake --build "$dir" -j "$jobs" &&
    ctest --test-dir "$dir" -j "$jobs" --output-on-failure "${ctest_args[@]}"
}

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

echo "test stages: $passed passed, $failed failed"
exit $status
