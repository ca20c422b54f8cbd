#!/usr/bin/env bash
# Runs bench_report with the report of an earlier commit as its baseline,
# built in a throwaway worktree, so before and after are measured in one run.
# usage: bench/run_report_bench.sh [REV [ROWS]]   (default: HEAD~1, 1000000 rows)
set -euo pipefail
cd "$(dirname "$0")/.."
rev=${1:-HEAD~1}
rows=${2:-1000000}
[ -x build/bin/bench_report ] || scripts/build.sh
tmp=$(mktemp -d)
trap 'git worktree remove --force "$tmp/src" >/dev/null 2>&1 || true; rm -rf "$tmp"' EXIT
git worktree add --detach "$tmp/src" "$rev" >/dev/null
cmake -S "$tmp/src" -B "$tmp/build" -G Ninja >/dev/null
cmake --build "$tmp/build" --target tarn-latency-report -j"${TARN_JOBS:-2}" >/dev/null
build/bin/bench_report "$rows" "${TMPDIR:-/tmp}" "$tmp/build/bin/tarn-latency-report"
