#!/usr/bin/env bash
# Installs what is missing, builds, runs the whole test suite, then every
# further stage in scripts/ci.d/ (sanitizer builds, fuzzing, packages, ...).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
(cd build && ctest --output-on-failure -j"$(nproc)") | tee build/ctest.log
for stage in scripts/ci.d/*.sh; do
  [ -e "$stage" ] || continue
  echo "=== stage $(basename "$stage")"
  bash "$stage"
done
line=$(grep -E 'tests passed, [0-9]+ tests failed out of' build/ctest.log | tail -n1)
total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
failed=$(sed -E 's/.*, ([0-9]+) tests failed.*/\1/' <<<"$line")
echo "tests: $((total - failed)) passed, $failed failed"
