#!/usr/bin/env bash
# Builds the pipe library and its tests with ThreadSanitizer in build-tsan/
# and runs them; any report fails the stage.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/deps.sh
cmake -S . -B build-tsan -G Ninja -DTARN_TSAN=ON -DTARN_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j2 --target test_pipe
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
# Each test runs in its own process (ctest), so no fork happens while
# threads of an earlier test are alive.
cd build-tsan
ctest -R 'Pipe' --output-on-failure --timeout 300
