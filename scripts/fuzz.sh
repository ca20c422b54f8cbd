#!/usr/bin/env bash
# Builds every fuzz target with clang, libFuzzer, ASan and UBSan into
# build-fuzz/, then runs each for SECONDS (default 30) on a copy of its seed
# corpus. Prints executions and crashes per target; exits non-zero when any
# target crashed, leaked, hit a sanitizer report or failed to run.
#
#   scripts/fuzz.sh [SECONDS]
# TARN_FUZZ_SUMMARY=FILE also writes "target executions crashes" lines there.
set -euo pipefail
cd "$(dirname "$0")/.."
secs=${1:-30}
dir=${TARN_FUZZ_BUILD_DIR:-build-fuzz}
jobs=${TARN_JOBS:-2}

# clang-14 installs versioned names; the clang package adds the plain ones.
cc=clang cxx=clang++
command -v clang >/dev/null || cc=clang-14 cxx=clang++-14
command -v "$cxx" >/dev/null || { echo "fuzz: clang not found (install clang-14 libclang-rt-14-dev)" >&2; exit 1; }
CC=$cc CXX=$cxx cmake -S . -B "$dir" -G Ninja -DTARN_FUZZ=ON -DTARN_ASAN=ON \
  -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
. scripts/progress.sh
with_progress "fuzz: build of $dir" "$dir/build.log" cmake --build "$dir" -j"$jobs" --target fuzz_all ||
  { echo "fuzz: build failed" >&2; exit 1; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
work=$(mktemp -d /tmp/tarn-fuzz-run.XXXXXX)
trap 'rm -rf "$work"' EXIT
summary=${TARN_FUZZ_SUMMARY:-}
[ -z "$summary" ] || : >"$summary"

failed=0
printf '%-22s %12s %8s\n' target executions crashes
for src in fuzz/fuzz_*.cpp; do
  t=$(basename "$src" .cpp)
  mkdir -p "$work/$t/corpus" "$work/$t/artifacts"
  cp fuzz/corpus/"$t"/* "$work/$t/corpus/" 2>/dev/null || true
  rc=0
  # Inputs up to 20000 bytes let chunks exceed the pipe client's buffer.
  "$dir/bin/$t" -max_total_time="$secs" -max_len=20000 -timeout=10 -rss_limit_mb=1024 \
    -print_final_stats=1 -artifact_prefix="$work/$t/artifacts/" "$work/$t/corpus" \
    >"$work/$t/log" 2>&1 || rc=$?
  execs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$work/$t/log" | tail -n1)
  crashes=$(find "$work/$t/artifacts" -type f | wc -l)
  if [ "$rc" != 0 ] && [ "$crashes" = 0 ]; then crashes=1; fi
  printf '%-22s %12s %8s\n' "$t" "${execs:-?}" "$crashes"
  [ -z "$summary" ] || echo "$t ${execs:-0} $crashes" >>"$summary"
  if [ "$crashes" != 0 ] || [ -z "$execs" ]; then
    failed=1
    echo "--- $t (exit $rc): last lines of its log" >&2
    tail -n 40 "$work/$t/log" >&2
    mkdir -p "$dir/crashes"
    cp -r "$work/$t/artifacts/." "$dir/crashes/" 2>/dev/null || true
  fi
done
[ "$failed" = 0 ] && echo "fuzz: no crashes" || { echo "fuzz: crashes found; inputs kept in $dir/crashes/" >&2; exit 1; }
