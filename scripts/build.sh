#!/usr/bin/env bash
# Configures and builds into build/ (or $TARN_BUILD_DIR) with Ninja.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${TARN_BUILD_DIR:-build}
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
