#!/usr/bin/env bash
# CI stage: the whole test suite, plus a replay of every fuzz corpus, built
# with AddressSanitizer and UndefinedBehaviorSanitizer (gcc). Any report
# fails the stage: leaks, UB and memory errors all abort the test.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps.sh
dir=build-asan
cmake -S . -B "$dir" -G Ninja -DTARN_ASAN=ON -DTARN_FUZZ_REPLAY=ON -DTARN_BUILD_BENCH=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
. scripts/progress.sh
with_progress "asan: build of $dir" "$dir/build.log" cmake --build "$dir" -j"${TARN_JOBS:-2}" ||
  { echo "asan: build failed" >&2; exit 1; }
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
cd "$dir"
ctest --output-on-failure -j"${TARN_JOBS:-2}" 2>&1 | tee ctest.log | grep -vE '^ *(Start|[0-9]+/[0-9]+ Test) ' || true
grep -qE '^100% tests passed' ctest.log || { echo "asan: tests failed under the sanitizers" >&2; exit 1; }
