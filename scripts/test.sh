#!/usr/bin/env bash
# Installs what is missing, builds, runs the whole test suite, then every
# further stage in scripts/ci.d/ (sanitizer builds, fuzzing, packages, ...),
# and closes with the time each part took and the line
# "tests: N passed, N failed". A part that fails does not stop the others
# (but for the test suite, which needs its build): at the end the parts and
# the tests that failed are named, and the status is 1.
#
# TARN_CI_NESTED=1 marks a run inside the minimal Debian root that
# scripts/ci.d/70-minimal-root.sh builds within a CI run: there that stage
# does not start itself again, nor the stages named in TARN_CI_NESTED_SKIP
# (set by that stage; they run on the CI machine in the same run). Both
# lines say so in the output; a stage that leaves a test out says which and
# why.
set -euo pipefail
cd "$(dirname "$0")/.."

# Measured on a 2-core machine with other builds running beside it (load
# average 3 to 5): a first run builds six trees and a minimal Debian root;
# the minimal-root stage (about 35 min) starts from nothing every time.
echo "test.sh: a first run takes about 75 min on a busy 2-core machine (six builds and a"
echo "test.sh: minimal Debian root, 35 min of it); a second run about 55 min. A line a minute shows progress."

times=()
failed_parts=()
failed_tests=()
passed=0 failed=0
mkdir -p build
logs=build/test-logs
rm -rf "$logs"
mkdir -p "$logs"

# The tests ctest names in its "The following tests FAILED:" block, and the
# "FAILED: NAME" lines of our own checks, in the output LOG.
note_failed_tests() {  # LOG PREFIX
  local name
  while IFS= read -r name; do
    [ -n "$name" ] && failed_tests+=("$2$name")
  done < <(awk '
    /^The following tests FAILED:/ { in_list = 1; next }
    in_list && /^[ \t]+[0-9]+ - / { sub(/^[ \t]+[0-9]+ - /, ""); sub(/ \([^)]*\)$/, ""); print; next }
    { in_list = 0 }
    /^FAILED( under ThreadSanitizer)?: / { sub(/^FAILED( under ThreadSanitizer)?: /, ""); print }
  ' "$1" | sort -u)
}
# Adds the counts of the last "N% tests passed, F tests failed out of T"
# of ctest in LOG (the main suite, the sanitizer and arm64 stages).
count_tests() {  # LOG
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of' "$1" | tail -n1) || return 0
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*, ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}
# part NAME COMMAND...: runs it with its output shown and kept in a log,
# notes its time, and on failure its name and the tests it names.
part() {
  local name=$1 start=$SECONDS st=0 log
  shift
  log=$logs/$(printf '%s' "$name" | tr -c 'A-Za-z0-9.-' '_').log
  "$@" 2>&1 | tee "$log" || st=${PIPESTATUS[0]}
  local had=${#failed_tests[@]} counted=$((passed + failed))
  count_tests "$log"
  times+=("$(printf '%-28s %5d s%s' "$name" $((SECONDS - start)) "$([ "$st" = 0 ] || echo "  FAILED (status $st)")")")
  if [ "$st" != 0 ]; then
    failed_parts+=("$name")
    note_failed_tests "$log" "$([ "$name" = ctest ] || echo "$name: ")"
    # A part that failed without a test to blame counts as one failed test.
    [ ${#failed_tests[@]} != "$had" ] || [ $((passed + failed)) != "$counted" ] || failed=$((failed + 1))
  fi
  return "$st"
}
report() {
  echo "=== times"
  printf '%s\n' "${times[@]}" "$(printf '%-28s %5d s' all $((SECONDS - all)))"
  if [ ${#failed_parts[@]} -gt 0 ]; then
    echo "=== failed"
    printf 'part:  %s\n' "${failed_parts[@]}"
    [ ${#failed_tests[@]} -eq 0 ] || printf 'test:  %s\n' "${failed_tests[@]}"
    echo "(the outputs: $logs/)"
  fi
  echo "tests: $passed passed, $failed failed"
}
all=$SECONDS

part "packages (deps.sh)" scripts/deps.sh build test || true
if part "build" scripts/build.sh -DTARN_BUILD_TESTS=ON -DTARN_BUILD_BENCH=ON; then
  ctest_run() { (cd build && ctest --output-on-failure -j"${TARN_JOBS:-$(nproc)}"); }
  part "ctest" ctest_run || true
else
  echo "=== ctest: not run, the build failed"
fi
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
  part "stage $name" bash "$stage" || echo "=== stage $name FAILED; going on with the next stage"
done

report
[ ${#failed_parts[@]} -eq 0 ]
