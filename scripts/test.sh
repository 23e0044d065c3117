#!/usr/bin/env bash
# Sets everything up and runs the whole test suite:
#   1. a normal build with every test (unit, program end-to-end),
#   2. the same tests under AddressSanitizer + UndefinedBehaviorSanitizer,
#   3. the core's tests (every parallel pass and the job pool) under ThreadSanitizer,
#   4. a short fuzzing run of the scene loader,
#   5. the browser test of the viewer.
# Build folders: build/ (normal), build-asan/, build-tsan/, build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

jobs=$(nproc)
status=0
step() { printf '\n== %s\n' "$*" >&2; }

configure_and_test() {  # folder, ctest arguments..., -- cmake arguments...
  local dir=$1; shift
  local ctest_args=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do ctest_args+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  cmake -S . -B "$dir" -G Ninja -DDRAPEON_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure "${ctest_args[@]}"
}

step "build and test"
configure_and_test build -- -DCMAKE_BUILD_TYPE=RelWithDebInfo || status=1

step "AddressSanitizer + UndefinedBehaviorSanitizer"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  configure_and_test build-asan -- -DCMAKE_BUILD_TYPE=Debug -DDRAPEON_SANITIZE=address,undefined || status=1

step "ThreadSanitizer (core: job pool and parallel passes)"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  configure_and_test build-tsan -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAPEON_SANITIZE=thread -DDRAPEON_APP=OFF || status=1

if [ -x tests/fuzz/run.sh ]; then
  step "fuzzing the scene loader"
  bash tests/fuzz/run.sh || status=1
fi

if [ -x tests/browser/run.sh ]; then
  step "browser test of the viewer"
  bash tests/browser/run.sh build || status=1
fi

if [ $status -eq 0 ]; then echo "all test stages passed" >&2; else echo "some test stages FAILED" >&2; fi
exit $status
