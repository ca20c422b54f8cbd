#!/usr/bin/env bash
# Runs bench_inspector in a throwaway root with /data on a tmpfs.
# usage: bench/run_inspector_bench.sh [SECONDS-PER-CASE]
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/bin/bench_inspector ] || scripts/build.sh
exec scripts/sandbox.sh bash -c 'mkdir -p /data && mount -t tmpfs tarn-data /data && build/bin/bench_inspector "$@"' bench "$@"
