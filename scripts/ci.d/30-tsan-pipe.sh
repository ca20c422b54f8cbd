#!/usr/bin/env bash
# Builds the pipe library and its tests with ThreadSanitizer in build-tsan/
# and runs every pipe test; any report fails the stage.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps.sh
cmake -S . -B build-tsan -G Ninja -DTARN_TSAN=ON -DTARN_BUILD_BENCH=OFF >/dev/null
. scripts/progress.sh
with_progress "tsan: build of build-tsan" build-tsan/build.log cmake --build build-tsan -j"${TARN_JOBS:-2}" --target test_pipe
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
bin=build-tsan/bin/test_pipe
# One process per test, as ctest runs them: some tests fork, and a fork must
# not happen while threads of an earlier test are still ending.
mapfile -t tests < <("$bin" --gtest_list_tests | awk '/^[^ ]/ {suite=$1} /^  / {print suite $1}')
[ ${#tests[@]} -gt 0 ] || { echo "no pipe tests found"; exit 1; }
failed=0
for t in "${tests[@]}"; do
  if ! timeout 300 "$bin" --gtest_filter="$t" >build-tsan/tsan-pipe.log 2>&1; then
    cat build-tsan/tsan-pipe.log
    echo "FAILED under ThreadSanitizer: $t"
    failed=1
  fi
done
echo "ThreadSanitizer: ${#tests[@]} pipe tests run, $([ $failed = 0 ] && echo none failed || echo some failed)"
exit $failed
