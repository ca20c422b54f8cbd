#!/usr/bin/env bash
# Configures and builds into build/ (or $TARN_BUILD_DIR) with Ninja, running
# $TARN_JOBS jobs at once (default: one per processor).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${TARN_BUILD_DIR:-build}
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j"${TARN_JOBS:-$(nproc)}"
