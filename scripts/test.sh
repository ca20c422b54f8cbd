#!/usr/bin/env bash
# Installs what is missing, builds, runs the whole test suite, then every
# further stage in scripts/ci.d/ (sanitizer builds, fuzzing, packages, ...),
# and closes with the time each part took. Stops at the first failure.
#
# TARN_CI_NESTED=1 marks a run inside the minimal Debian root that
# scripts/ci.d/70-minimal-root.sh builds within a CI run: there that stage
# does not start itself again, nor the stages named in TARN_CI_NESTED_SKIP
# (set by that stage; they run on the CI machine in the same run). Both
# lines say so in the output; nothing else is ever left out.
set -euo pipefail
cd "$(dirname "$0")/.."
times=()
timed() {  # NAME COMMAND...: runs it and notes its time
  local name=$1 start=$SECONDS; shift
  "$@"
  times+=("$(printf '%-28s %5d s' "$name" $((SECONDS - start)))")
}
all=$SECONDS
timed "packages (deps.sh)" scripts/deps.sh build test
timed "build" scripts/build.sh -DTARN_BUILD_TESTS=ON -DTARN_BUILD_BENCH=ON
ctest_run() { (cd build && ctest --output-on-failure -j"$(nproc)") | tee build/ctest.log; }
timed "ctest" ctest_run
for stage in scripts/ci.d/*.sh; do
  [ -e "$stage" ] || continue
  name=$(basename "$stage")
  if [ "${TARN_CI_NESTED:-0}" = 1 ]; then
    if [ "$name" = 70-minimal-root.sh ]; then
      echo "=== stage $name: not started again inside the minimal root it builds"
      continue
    fi
    if [[ " ${TARN_CI_NESTED_SKIP:-} " == *" $name "* ]]; then
      echo "=== stage $name: runs on the CI machine in this run, not again inside the minimal root"
      continue
    fi
  fi
  echo "=== stage $name"
  timed "stage $name" bash "$stage"
done
line=$(grep -E 'tests passed, [0-9]+ tests failed out of' build/ctest.log | tail -n1)
total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
failed=$(sed -E 's/.*, ([0-9]+) tests failed.*/\1/' <<<"$line")
echo "=== times"
printf '%s\n' "${times[@]}" "$(printf '%-28s %5d s' all $((SECONDS - all)))"
echo "tests: $((total - failed)) passed, $failed failed"
