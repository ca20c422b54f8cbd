#!/usr/bin/env bash
# Configures and builds into build/ (or $TARN_BUILD_DIR) with Ninja, running
# $TARN_JOBS jobs at once (default: one per processor). The build's output
# goes to build.log there; a line a minute says how far it is.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${TARN_BUILD_DIR:-build}
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
. scripts/progress.sh
with_progress "build of $dir" "$dir/build.log" cmake --build "$dir" -j"${TARN_JOBS:-$(nproc)}"
